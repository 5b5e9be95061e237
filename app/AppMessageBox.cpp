#include "app/AppMessageBox.h"

#include <QCoreApplication>
#include <QList>

namespace {
QList<QMessageBox::StandardButton>& Answers()
{
    static QList<QMessageBox::StandardButton> answers;
    return answers;
}

QList<AppMessageBox::Shown>& ShownBoxes()
{
    static QList<AppMessageBox::Shown> shown;
    return shown;
}

bool g_suppressed = false;
} // namespace

void AppMessageBox::SetSuppressed(bool suppressed)
{
    g_suppressed = suppressed;
}

QMessageBox::StandardButton AppMessageBox::Show(QWidget* parent, const QString& text,
                                                QMessageBox::Icon icon)
{
    ShownBoxes().append({text, icon});
    if (!Answers().isEmpty()) {
        return Answers().takeFirst();
    }
    if (g_suppressed) {
        return QMessageBox::Ok;
    }
    QMessageBox box(icon, QCoreApplication::applicationName(), text, QMessageBox::Ok, parent);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

namespace {
// Opens a box that closes itself and hands its button to `answered`, or answers it from the event
// loop when it is not to be shown.
void OpenBox(QWidget* parent, const QString& text, QMessageBox::Icon icon,
             QMessageBox::StandardButtons buttons, QMessageBox::StandardButton refusal,
             std::function<void(QMessageBox::StandardButton)> answered)
{
    ShownBoxes().append({text, icon});
    if (!Answers().isEmpty() || g_suppressed) {
        const QMessageBox::StandardButton answer =
            !Answers().isEmpty() ? Answers().takeFirst() : refusal;
        QObject* context = parent != nullptr ? static_cast<QObject*>(parent)
                                             : static_cast<QObject*>(QCoreApplication::instance());
        QMetaObject::invokeMethod(
            context,
            [answered = std::move(answered), answer] {
                if (answered) {
                    answered(answer);
                }
            },
            Qt::QueuedConnection);
        return;
    }
    auto* box = new QMessageBox(icon, QCoreApplication::applicationName(), text, buttons, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (buttons.testFlag(QMessageBox::No)) {
        box->setDefaultButton(QMessageBox::No);
        box->setEscapeButton(QMessageBox::No);
    }
    QObject::connect(
        box, &QMessageBox::finished, box, [answered = std::move(answered), refusal](int result) {
            if (answered) {
                const auto button = static_cast<QMessageBox::StandardButton>(result);
                answered(button == QMessageBox::Yes || button == QMessageBox::Ok ? button
                                                                                 : refusal);
            }
        });
    box->open();
}
} // namespace

void AppMessageBox::ShowLater(QWidget* parent, const QString& text, QMessageBox::Icon icon)
{
    OpenBox(parent, text, icon, QMessageBox::Ok, QMessageBox::Ok, {});
}

void AppMessageBox::AskLater(QWidget* parent, const QString& text, QMessageBox::Icon icon,
                             std::function<void(QMessageBox::StandardButton)> answered)
{
    OpenBox(parent, text, icon, QMessageBox::Yes | QMessageBox::No, QMessageBox::No,
            std::move(answered));
}

void AppMessageBox::SetNextAnswer(QMessageBox::StandardButton answer)
{
    Answers().append(answer);
}

void AppMessageBox::ClearAnswers()
{
    Answers().clear();
    g_suppressed = false;
}

const QList<AppMessageBox::Shown>& AppMessageBox::History()
{
    return ShownBoxes();
}

void AppMessageBox::ClearHistory()
{
    ShownBoxes().clear();
}
