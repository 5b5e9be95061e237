#pragma once

#include <string>
#include <string_view>
#include <vector>

// The user's own key files in ~/.ssh, found by their usual names, and whether each can be used
// without its passphrase. Only names and paths are kept: the keys stay in their files.
namespace transfer {

struct SshKeyFile
{
    enum class Use
    {
        Usable,
        NeedsPassphrase,
        Unreadable,
    };
    std::string name;       // as the user is told it: "~/.ssh/id_ed25519"
    std::string privateKey; // the file's path
    Use use = Use::Usable;
};

// Those of id_ed25519, id_ecdsa and id_rsa that are files in `home`/.ssh, in that order, as
// OpenSSH's client offers them.
std::vector<SshKeyFile> FindSshKeyFiles(const std::string& home);

// Whether a private key file's text is enciphered with a passphrase: OpenSSH's own format names
// its cipher ("none" when there is none), the older PEM ones say so in their header.
bool SshKeyNeedsPassphrase(std::string_view text);

} // namespace transfer
