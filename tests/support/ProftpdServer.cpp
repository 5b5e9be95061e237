#include "tests/support/ProftpdServer.h"

#include <filesystem>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <stdexcept>
#include <unistd.h>

namespace {

const char* const kProftpd = "/usr/sbin/proftpd";
const char* const kModules = "/usr/lib/proftpd";

bool Tls(ProftpdServer::Mode mode)
{
    return mode != ProftpdServer::Mode::Plain && mode != ProftpdServer::Mode::Sftp;
}

} // namespace

std::string ProftpdServer::Unavailable(Mode mode)
{
    std::vector<std::string> files = {kProftpd};
    if (Tls(mode)) {
        files.push_back(std::string(kModules) + "/mod_tls.so");
    } else if (mode == Mode::Sftp) {
        files.insert(files.end(), {std::string(kModules) + "/mod_sftp.so", "/usr/bin/ssh-keygen"});
    }
    return DaemonUnavailable(files);
}

std::string ProftpdServer::Refusing(const std::string& relativePath, const std::string& commands)
{
    // "~" is the home of the user logged in, which proftpd matches even inside its chroot.
    // A <Directory> of its own starts from proftpd's defaults: overwriting is allowed again.
    return "<Directory ~/" + relativePath + ">\n  AllowOverwrite on\n  <Limit " + commands +
           ">\n    DenyAll\n  </Limit>\n</Directory>\n";
}

ProftpdServer::ProftpdServer(Mode mode, const std::string& certificateFile,
                             const std::string& extraConfiguration)
    : DaemonServer("proftpd")
{
    user_ = "writer";
    const passwd* nobody = getpwnam("nobody");
    const group* nogroup = nobody ? getgrgid(nobody->pw_gid) : nullptr;
    if (nogroup == nullptr || chown(home_.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
        throw std::runtime_error("no user nobody to write the served files as");
    }
    std::ofstream(folder_ + "/users")
        << user_ << ":" << PasswordHash(password_) << ":" << nobody->pw_uid << ":" << nobody->pw_gid
        << "::" << home_ << ":/bin/false\n";
    // proftpd takes no password file others may read.
    std::filesystem::permissions(folder_ + "/users", std::filesystem::perms::owner_read |
                                                         std::filesystem::perms::owner_write);
    port_ = FreePort();
    passive_ = FreePort();
    loginLog_ = folder_ + "/auth.log";
    loginMark_ = "PASS 230";

    std::ofstream conf(folder_ + "/proftpd.conf");
    conf << "ModulePath " << kModules << "\n";
    if (Tls(mode)) {
        conf << "LoadModule mod_tls.c\n";
    } else if (mode == Mode::Sftp) {
        conf << "LoadModule mod_sftp.c\n";
    }
    conf << "ServerType standalone\nServerName \"Ferrovane test\"\nUseIPv6 off\n"
         << "DefaultAddress 127.0.0.1\nSocketBindTight on\nPort " << port_ << "\n"
         << "PassivePorts " << passive_ << " " << passive_ + kPassiveCount - 1 << "\n"
         << "User " << nobody->pw_name << "\nGroup " << nogroup->gr_name << "\n"
         << "PidFile " << folder_ << "/proftpd.pid\nScoreboardFile " << folder_ << "/scoreboard\n"
         << "DelayTable " << folder_ << "/delay\nWtmpLog off\n"
         << "SystemLog " << folder_ << "/system.log\nTransferLog " << folder_ << "/xfer.log\n"
         << "LogFormat auth \"%m %s\"\nExtendedLog " << loginLog_ << " AUTH auth\n"
         << "AuthOrder mod_auth_file.c\nAuthUserFile " << folder_ << "/users\n"
         << "RequireValidShell off\nDefaultRoot ~\n"
         << "<Directory />\n  AllowOverwrite on\n</Directory>\n"
         // An upload-only drop folder: files may be stored and removed, never renamed.
         << "<Directory " << home_ << "/drop>\n  <Limit RNFR RNTO>\n    DenyAll\n  </Limit>\n"
         << "</Directory>\n";
    if (Tls(mode)) {
        conf << "TLSEngine on\nTLSRequired on\nTLSLog " << folder_ << "/tls.log\n"
             << "TLSProtocol "
             << (mode == Mode::ExplicitTls13   ? "TLSv1.3"
                 : mode == Mode::ExplicitTls12 ? "TLSv1.2"
                                               : "TLSv1.2 TLSv1.3")
             << "\nTLSECCertificateFile " << certificateFile << "\nTLSECCertificateKeyFile "
             << certificateFile << "\n";
        if (mode == Mode::ImplicitTls) {
            conf << "TLSOptions UseImplicitSSL\n";
        }
    } else if (mode == Mode::Sftp) {
        makeHostKey();
        conf << "SFTPEngine on\nSFTPHostKey " << folder_ << "/host_key\n"
             << "SFTPAuthMethods password\nSFTPLog " << folder_ << "/sftp.log\n";
    }
    conf << extraConfiguration;
    conf.close();
    start({kProftpd, "-n", "-q", "-c", folder_ + "/proftpd.conf"});
}
