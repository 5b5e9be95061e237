#pragma once

#include <string>

// Points XDG_CONFIG_HOME, XDG_DATA_HOME and XDG_STATE_HOME at a fresh private folder for the life
// of the object, so that a test never reads or writes the real user's settings, keys or history.
// Restores the previous values when destroyed.
class TempHome
{
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& path() const { return path_; }
    std::string configHome() const { return path_ + "/config"; }
    std::string dataHome() const { return path_ + "/data"; }
    std::string stateHome() const { return path_ + "/state"; }

private:
    std::string path_;
    std::string oldConfig_;
    std::string oldData_;
    std::string oldState_;
    bool hadConfig_ = false;
    bool hadData_ = false;
    bool hadState_ = false;
};

// Makes a fresh temporary folder and returns its path; RemoveTree deletes it again.
std::string MakeTempDir(const std::string& prefix = "ferrovane");
void RemoveTree(const std::string& path);
