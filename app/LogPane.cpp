#include "app/LogPane.h"

#include "app/WidgetText.h"
#include "engine/ActivityLogText.h"

#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

LogPane::LogPane(QPlainTextEdit* pane, int repaintGapMs)
    : QObject(pane), pane_(pane), repaintGapMs_(repaintGapMs), resume_(new QTimer(this))
{
    pane_->installEventFilter(this);
    // The pane is edited in place below; nobody undoes a read-only log.
    pane_->setUndoRedoEnabled(false);
    resume_->setSingleShot(true);
    connect(resume_, &QTimer::timeout, this, &LogPane::Resume);
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
    if (!resume_->isActive()) {
        if (sinceShown_.isValid() && sinceShown_.elapsed() < repaintGapMs_) {
            pane_->setUpdatesEnabled(false);
            resume_->start(static_cast<int>(repaintGapMs_ - sinceShown_.elapsed()));
        } else {
            sinceShown_.start();
        }
    }
    QString shown = FromText(text_);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    if (pane_->toPlainText() != shown_) {
        pane_->setPlainText(shown);
        shown_ = shown;
        return;
    }
    // Only the oldest lines leave and new entries arrive, so the pane changes only there: setting
    // the whole text would empty the pane first and lay out and paint all of it, scroll bars and
    // the window behind them included, for every entry. What it shows ends the same, with the
    // caret and both scroll bars back at the start as after setting the whole text.
    qsizetype removed = 0;
    while (removed < shown_.size() && !shown.startsWith(QStringView(shown_).mid(removed))) {
        ++removed;
    }
    QTextCursor cursor(pane_->document());
    cursor.beginEditBlock();
    cursor.setPosition(static_cast<int>(removed), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(shown.mid(shown_.size() - removed));
    cursor.endEditBlock();
    // Setting the caret lays out the first line again, so it is set only when it has moved: the
    // user moved it, or the text grew from empty under it.
    if (const QTextCursor caret = pane_->textCursor();
        caret.position() != 0 || caret.hasSelection()) {
        pane_->setTextCursor(QTextCursor(pane_->document()));
    }
    pane_->horizontalScrollBar()->setValue(0);
    pane_->verticalScrollBar()->setValue(0);
    shown_ = shown;
}

void LogPane::Resume()
{
    sinceShown_.start();
    pane_->setUpdatesEnabled(true); // repaints the pane as it now stands
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
