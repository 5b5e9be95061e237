#pragma once

#include "transfer/CurlExchange.h"
#include "transfer/ServerAddress.h"
#include "transfer/TransferFile.h"

#include <string>
#include <vector>

// SFTP: where the file goes on the server, the host key checked against the user's known-hosts
// file only, and what a failed SSH exchange tells.
namespace transfer {

// The URL path that puts the file at `remotePath` as FTP would: a path from "/" stays as it is,
// any other is taken from the login folder (libcurl's "/~/"). Every byte but "/" and the
// unreserved ones is percent-encoded.
std::string SftpUrlPath(const std::string& remotePath);

// The commands that put the stored `temporaryPath` in place of `remotePath` (both as the job
// names them, relative to the login folder unless they start with "/"): the old copy removed
// first when the server's rename does not replace one, then the rename. A removal that fails (no
// old copy, or one that cannot go) ends the list there.
std::vector<std::string> SftpRenameCommands(const std::string& temporaryPath,
                                            const std::string& remotePath, bool removeFirst);
// Removes the file where the server allows; a refusal is no failure.
std::string SftpRemoveCommand(const std::string& remotePath);

// Sets the handle up for SFTP to the address: the password method only (a login with keys puts
// its own in its place after), and the host key checked against the known-hosts file of the trust
// store (none without one). knownHosts keeps the file's path as long as the handle uses it.
void ApplySftpOptions(CURL* easy, Exchange& exchange, std::string& knownHosts,
                      const ServerAddress& address, const TransferTrust& trust);

// libcurl offers the SSH server only the key type the known-hosts file records for it, so a
// server that now has a key of another type ends the key exchange before showing any key. Asked
// once more without the file, it shows its key, which is then a changed identity like any other:
// refused, and put to the user when they are at the window.
//
// Whether the outcome may be such a server: the key exchange failed and a key is recorded.
bool KeyOfAnotherTypeMayBeWhy(const Outcome& outcome, const ServerAddress& address,
                              const TransferTrust& trust);
// Readies the handle, for a file just begun on the exchange, to ask once more without the
// known-hosts file: any key the server shows is then a changed one.
void LeaveOutKnownHosts(CURL* easy, std::string& knownHosts, Exchange& exchange);

// The one-line text of a failed SSH exchange; `directory` is the destination's folder as the job
// names it.
std::string SftpFailure(const Outcome& outcome, Exchange& exchange, const char* errorBuffer,
                        const std::string& directory, const TransferTrust& trust);

} // namespace transfer
