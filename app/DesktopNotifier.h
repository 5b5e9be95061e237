#pragma once

#include <string>

// Puts notices on the desktop through its notification service (org.freedesktop.Notifications on
// the session bus). It never waits for the service: each call goes out and its answer is left to
// the bus. With no session bus, or no service on it, nothing is shown and nothing is said about
// it: a notice is a courtesy, and the window tells the same in its rows and its log.
class DesktopNotifier
{
public:
    // Shows one notice: a title, and a body of plain text lines.
    void Send(const std::string& title, const std::string& body);
};
