#pragma once

#include <QObject>
#include <string>

class QPlainTextEdit;

// The "Log" pane: the log's text with its own line ends, trimmed to its latest lines, shown in
// the read-only pane and nowhere else. The pane takes Enter, so Enter there never ends the
// dialog.
class LogPane : public QObject
{
public:
    explicit LogPane(QPlainTextEdit* pane);

    // Appends one finished entry, trims the text and shows it.
    void Append(const std::string& entry);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPlainTextEdit* pane_;
    std::string text_;
};
