#include "app/LogPane.h"

#include "app/WidgetText.h"
#include "engine/ActivityLogText.h"

#include <QKeyEvent>
#include <QPlainTextEdit>

LogPane::LogPane(QPlainTextEdit* pane) : QObject(pane), pane_(pane)
{
    pane_->installEventFilter(this);
}

void LogPane::Append(const std::string& entry)
{
    text_ = ActivityLogText::Trim(text_ + entry);
    if (!showPosted_) {
        showPosted_ = true;
        QMetaObject::invokeMethod(this, &LogPane::Show, Qt::QueuedConnection);
    }
}

void LogPane::Show()
{
    showPosted_ = false;
    QString shown = FromText(text_);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    pane_->setPlainText(shown);
}

bool LogPane::eventFilter(QObject* watched, QEvent* event)
{
    const bool keyPress = event->type() == QEvent::KeyPress;
    if (watched == pane_ && (keyPress || event->type() == QEvent::ShortcutOverride)) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (!keyPress) {
                event->accept();
            }
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}
