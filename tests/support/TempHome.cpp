#include "tests/support/TempHome.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

std::string MakeTempDir(const std::string& prefix)
{
    std::string templ = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (mkdtemp(templ.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return templ;
}

void RemoveTree(const std::string& path)
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

static void Remember(const char* name, std::string& value, bool& had)
{
    const char* old = std::getenv(name);
    had = old != nullptr;
    value = old ? old : "";
}

static void Restore(const char* name, const std::string& value, bool had)
{
    if (had) {
        setenv(name, value.c_str(), 1);
    } else {
        unsetenv(name);
    }
}

TempHome::TempHome() : path_(MakeTempDir("ferrovane-home"))
{
    Remember("XDG_CONFIG_HOME", oldConfig_, hadConfig_);
    Remember("XDG_DATA_HOME", oldData_, hadData_);
    Remember("XDG_STATE_HOME", oldState_, hadState_);
    std::filesystem::create_directories(configHome());
    std::filesystem::create_directories(dataHome());
    setenv("XDG_CONFIG_HOME", configHome().c_str(), 1);
    setenv("XDG_DATA_HOME", dataHome().c_str(), 1);
    setenv("XDG_STATE_HOME", stateHome().c_str(), 1);
}

TempHome::~TempHome()
{
    Restore("XDG_CONFIG_HOME", oldConfig_, hadConfig_);
    Restore("XDG_DATA_HOME", oldData_, hadData_);
    Restore("XDG_STATE_HOME", oldState_, hadState_);
    RemoveTree(path_);
}
