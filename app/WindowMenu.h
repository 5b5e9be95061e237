#pragma once

#include <QMenu>
#include <functional>

// The window's own context menu. The window manager owns the system menu here, so the items the
// system menu would carry live in it: "Start at login", whose mark is read from the autostart
// folder each time the menu opens (an entry removed by other means is shown as it is), and the
// About item, which opens once the menu has closed, like a command from the system menu. "Show
// history" opens the log's history file in the user's own viewer.
class WindowMenu : public QMenu
{
public:
    WindowMenu(QWidget* window, std::function<void()> about);

private:
    void OnStartAtLogin(bool start);
    void OnShowHistory();

    QAction* startAtLogin_ = nullptr;
};
