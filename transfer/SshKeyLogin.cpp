#include "transfer/SshKeyLogin.h"

#include "transfer/SshAgent.h"
#include "transfer/SshKeyFile.h"
#include "transfer/TransferTexts.h"

#include <algorithm>
#include <cstdlib>

namespace transfer {

namespace {

// An agent on this machine answers at once; one that does not is as good as none.
constexpr std::chrono::milliseconds kAgentTimeout{1000};

std::string Joined(const std::vector<std::string>& parts, const char* separator)
{
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : separator) + part;
    }
    return text;
}

} // namespace

SshKeyLogin::SshKeyLogin(const std::optional<SshKeyWay>& worked)
{
    const char* agent = std::getenv("SSH_AUTH_SOCK");
    if (agent != nullptr && agent[0] != '\0') {
        agentKeys_ = SshAgentKeyCount(agent, kAgentTimeout);
    }
    if (agentKeys_ && *agentKeys_ > 0) {
        ways_.push_back({"", "agent (" + std::to_string(*agentKeys_) +
                                 (*agentKeys_ == 1 ? " key)" : " keys)")});
    }
    // Without a home there is no ~/.ssh to look in.
    const char* home = std::getenv("HOME");
    const bool hasHome = home != nullptr && home[0] != '\0';
    for (const SshKeyFile& key : hasHome ? FindSshKeyFiles(home) : std::vector<SshKeyFile>()) {
        switch (key.use) {
        case SshKeyFile::Use::Usable:
            ways_.push_back({key.privateKey, key.name});
            break;
        case SshKeyFile::Use::NeedsPassphrase:
            skipped_.push_back(key.name + " skipped: it needs its passphrase");
            break;
        case SshKeyFile::Use::Unreadable:
            skipped_.push_back(key.name + " skipped: it cannot be read");
            break;
        }
    }
    if (const auto it = worked ? std::find(ways_.begin(), ways_.end(), *worked) : ways_.end();
        it != ways_.end()) {
        std::rotate(ways_.begin(), it, it + 1);
    }
}

bool SshKeyLogin::Next()
{
    if (current_ + 1 >= ways_.size()) {
        return false;
    }
    ++current_;
    return true;
}

std::string SshKeyLogin::FailureText() const
{
    std::string text;
    if (ways_.empty()) {
        text =
            std::string("Could not log in without a password: ") +
            (agentKeys_ ? "the SSH agent holds no key" : "no SSH agent") +
            (skipped_.empty() ? " and no key file in ~/.ssh" : ", and " + Joined(skipped_, "; "));
    } else {
        std::vector<std::string> offered;
        for (const SshKeyWay& way : ways_) {
            offered.push_back(way.name);
        }
        text = "Could not log in: the SSH server accepted no key: " + Joined(offered, ", ");
        if (!skipped_.empty()) {
            text += "; " + Joined(skipped_, "; ");
        }
    }
    return AsErrorLine(text + "!!");
}

} // namespace transfer
