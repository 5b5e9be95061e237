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

QMessageBox::StandardButton AppMessageBox::Ask(QWidget* parent, const QString& text,
                                               QMessageBox::Icon icon)
{
    ShownBoxes().append({text, icon});
    if (!Answers().isEmpty()) {
        return Answers().takeFirst();
    }
    if (g_suppressed) {
        return QMessageBox::No;
    }
    QMessageBox box(icon, QCoreApplication::applicationName(), text,
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    const int answer = box.exec();
    return answer == QMessageBox::Yes ? QMessageBox::Yes : QMessageBox::No;
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
