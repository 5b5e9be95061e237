#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace transfer {

// One way of offering keys in an SSH exchange: every key the agent holds, or one key file.
struct SshKeyWay
{
    std::string privateKey; // "" for the agent
    std::string name;       // as the log line names it: "agent (2 keys)", "~/.ssh/id_ed25519"
    bool operator==(const SshKeyWay& other) const { return privateKey == other.privateKey; }
};

// The login of an sftp:// job without a password, made as OpenSSH's client makes one without:
// through the user's SSH agent (SSH_AUTH_SOCK) when it holds keys, then with each of the key
// files ~/.ssh/id_ed25519, id_ecdsa and id_rsa that needs no passphrase, all over one connection
// until the server takes one. The way the session saw work goes first. Only names and paths are
// kept here; the client library reads a key file when it is offered.
class SshKeyLogin
{
public:
    // Looks at what the user has now: HOME and SSH_AUTH_SOCK as the environment holds them.
    explicit SshKeyLogin(const std::optional<SshKeyWay>& worked);

    // Nothing to offer at all.
    bool Empty() const { return ways_.empty(); }
    // Moves on to the next way; false when none is left.
    bool Next();
    const SshKeyWay& Current() const { return ways_[current_]; }
    // The log line when there is nothing to offer, or when the server accepted none of it.
    std::string FailureText() const;

private:
    std::vector<SshKeyWay> ways_;
    std::size_t current_ = 0;
    std::vector<std::string> skipped_; // key files not offered, each with why
    std::optional<std::uint32_t> agentKeys_;
};

} // namespace transfer
