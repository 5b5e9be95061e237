#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <string>

class QPlainTextEdit;
class QTimer;

// The "Log" pane: the log's text with its own line ends, trimmed to its latest lines, shown in
// the read-only pane and nowhere else. The pane takes Enter, so Enter there never ends the
// dialog.
//
// The pane is set once per turn of the event loop, however many entries came in it: each entry
// changes the text at once and asks for one update, which the next dispatch of posted events
// (the one after every entry among them) carries out before anything paints.
//
// A wildcard run over many small files brings an entry every few milliseconds, each in a turn of
// its own. The text still changes at once, but the pane then paints at most once per repaint gap:
// its updates are held back until the gap since the last shown entry is over.
class LogPane : public QObject
{
public:
    explicit LogPane(QPlainTextEdit* pane, int repaintGapMs = 40);

    // Appends one finished entry and trims the text; the pane shows it from the next dispatch.
    void Append(const std::string& entry);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Show();
    void Resume();

    QPlainTextEdit* pane_;
    std::string text_;
    // What the pane was last given, as the widget shows it.
    QString shown_;
    bool showPosted_ = false;
    int repaintGapMs_;
    QElapsedTimer sinceShown_;
    QTimer* resume_;
};
