#pragma once

#include "transfer/ServerIdentity.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The servers the user has chosen to trust although no authority vouches for them: for TLS the
// SHA-256 fingerprint of each server's certificate, per host and port; for SSH a known-hosts file
// in OpenSSH's format, which the SSH client reads itself. Both live in the folder trust/ under the
// program's data folder, beside the key containers, and are as private: the folders are made
// 0700, the files 0600, and every change is written to a temporary file that is synced and then
// renamed over the old one, so that a reader never sees half a record.
//
// Nothing is cached: every look-up reads the file afresh, so a record made by another window or
// process counts at once. A missing or unreadable file records nothing.
class TrustStore
{
public:
    // root: the program's data folder (PasswordCipher::DefaultKeyStoreRoot()); tests pass their
    // own.
    explicit TrustStore(std::string root);

    const std::string& Root() const { return root_; }
    std::string TlsFile() const;
    std::string KnownHostsFile() const;

    // The fingerprint recorded for host and port, or "" when none is.
    std::string TlsFingerprint(const std::string& host, std::uint16_t port) const;

    // The keys the known-hosts file records for host and port: type and base64, in its order.
    std::vector<std::pair<std::string, std::string>> SshHostKeys(const std::string& host,
                                                                 std::uint16_t port) const;

    // Records the identity as trusted, replacing what was recorded for the same server. False,
    // with the reason in `why`, when it could not be written.
    bool Trust(const ServerIdentity& identity, std::string& why) const;

    // Makes the trust folder when missing; false with the reason when it cannot be made.
    bool MakeFolder(std::string& why) const;

private:
    bool TrustTls(const ServerIdentity& identity, std::string& why) const;
    bool TrustSsh(const ServerIdentity& identity, std::string& why) const;

    std::string root_;
};
