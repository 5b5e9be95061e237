#include "tests/support/SshdServer.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <stdexcept>
#include <unistd.h>

namespace {

const char* const kSshd = "/usr/sbin/sshd";
const std::string kPrefix = "fvtest";

// "fvtest<pid>_<n>": the process that made the account is in its name.
std::string NewAccountName()
{
    static std::atomic<int> made{0};
    return kPrefix + std::to_string(getpid()) + "_" + std::to_string(made++);
}

// Deletes the accounts of test processes that have ended, and `name` should it be there.
void DeleteStaleAccounts(const std::string& name)
{
    std::vector<std::string> stale;
    setpwent();
    while (const passwd* entry = getpwent()) {
        const std::string user = entry->pw_name;
        if (user.rfind(kPrefix, 0) != 0) {
            continue;
        }
        const pid_t owner = static_cast<pid_t>(std::atol(user.c_str() + kPrefix.size()));
        if (user == name || (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH)) {
            stale.push_back(user);
        }
    }
    endpwent();
    for (const std::string& user : stale) {
        RunTool({"/usr/sbin/userdel", "-f", user});
    }
}

} // namespace

std::string SshdServer::Unavailable()
{
    return DaemonUnavailable(
        {kSshd, "/usr/bin/ssh-keygen", "/usr/sbin/useradd", "/usr/sbin/userdel"});
}

SshdServer::Account::Account(const std::string& home, const std::string& password)
    : name(NewAccountName())
{
    DeleteStaleAccounts(name);
    RunTool({"/usr/sbin/useradd", "-M", "-N", "-d", home, "-s", "/usr/sbin/nologin", "-p",
             PasswordHash(password), name});
}

SshdServer::Account::~Account()
{
    try {
        RunTool({"/usr/sbin/userdel", "-f", name});
    } catch (const std::exception&) {
        // The next server deletes it on its way in.
    }
}

SshdServer::SshdServer(const std::string& sftpArguments, const std::string& authorizedKeys,
                       const char* hostKeyType)
    : DaemonServer("sshd"), account_(home_, password_)
{
    user_ = account_.name;
    const passwd* account = getpwnam(user_.c_str());
    if (account == nullptr || chown(home_.c_str(), account->pw_uid, account->pw_gid) != 0) {
        throw std::runtime_error("could not hand " + home_ + " to " + user_);
    }
    // sshd's privilege separation wants this folder; no system sshd need have made it.
    std::filesystem::create_directories("/run/sshd");
    makeHostKey(hostKeyType);
    port_ = FreePort();
    loginLog_ = folder_ + "/output.log";
    const bool keys = !authorizedKeys.empty();
    loginMark_ =
        std::string(keys ? "Accepted publickey for " : "Accepted password for ") + user_ + " ";
    std::ofstream(folder_ + "/authorized_keys") << authorizedKeys;
    std::ofstream(folder_ + "/sshd_config")
        << "ListenAddress 127.0.0.1\nPort " << port_ << "\nHostKey " << folder_ << "/host_key\n"
        << "PidFile " << folder_ << "/sshd.pid\nAllowUsers " << user_ << "\n"
        << "PasswordAuthentication " << (keys ? "no" : "yes") << "\nPubkeyAuthentication "
        << (keys ? "yes" : "no") << "\nAuthorizedKeysFile " << folder_ << "/authorized_keys\n"
        << "KbdInteractiveAuthentication no\nUsePAM no\nStrictModes no\n"
        << "Subsystem sftp internal-sftp" << (sftpArguments.empty() ? "" : " " + sftpArguments)
        << "\nLogLevel VERBOSE\n";
    start({kSshd, "-D", "-e", "-f", folder_ + "/sshd_config"});
}

SshdServer::~SshdServer()
{
    stop();
}
