#pragma once

#include "transfer/ServerIdentity.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

class TrustStore;

// Raised when no client session can be had at all (the one failure that passes to the caller).
// The result text and success flag then still hold "Ok.\r\n" and 1, as set on entry.
class TransferSessionError : public std::runtime_error
{
    using std::runtime_error::runtime_error;
};

// Called at least every 100 ms while connecting and sending: bytes sent so far, bytes in all
// (0 when unknown). sent never exceeds total: the total is the file's size when the transfer
// started, or what has been sent when the file has grown past it since. It may run the window's
// event loop, and so call TransferFile again. It returns true to go on; false abandons the
// transfer at once (within a fraction of a second, whatever the server is doing, and without
// waiting for any reply), and the call then reports "Transfer abandoned.\r\n" and 0, unless the
// exchange had already come to its end. An exception it throws ends the transfer just as
// promptly and passes to the caller.
using TransferProgress = std::function<bool(std::uint64_t sent, std::uint64_t total)>;

// Whom a transfer trusts beyond the system's authorities, and where it tells of a server whose
// identity it could not verify.
struct TransferTrust
{
    // The servers the user has chosen to trust; null: none but those the authorities vouch for.
    const TrustStore* store = nullptr;
    // When not null: set to what the server showed when that is why the transfer failed (an
    // unknown or a changed identity), else emptied.
    std::optional<ServerIdentity>* untrusted = nullptr;
};

// How a job's files replace their copies on a secure server, kept by the caller from one file to
// the next for as long as the program runs.
struct TransferReplace
{
    // The server refused renames earlier: the files go straight under their final names.
    bool inPlace = false;
    // Set by a transfer that found renames refused just now and stored the file under its final
    // name instead; the caller keeps inPlace from then on and tells the user once.
    bool renameRefused = false;
};

// Puts one local file on an FTP server in one self-contained exchange: a fresh session, connect
// and log in, change to the directory part of remotePath (up to and including its last "/"; no
// change at all when it has none), store the file in binary mode under the name after the last
// "/", and close everything before returning. TransferSession (transfer/TransferSession.h) sends
// the files of a run to a secure server over one login instead, on the same code.
//
// serverAddress and port are read as ParseServerAddress reads them (transfer/ServerAddress.h): an
// address without "://" is the host name, and port 0 means 21, as always. "ftpes://" sends AUTH
// TLS before the login and protects every data connection (PROT P); "ftps://" speaks TLS from the
// first byte. Either fails rather than go on without TLS, and either fails when the server's
// certificate does not chain to an authority the system trusts or does not name the host: the
// result text then says the identity could not be verified, with the certificate's SHA-256
// fingerprint, and nothing but what TLS needs has been sent (never the user name or password).
// A certificate recorded in trust.store for the host and port is taken instead, that one exactly:
// any other the server shows then fails as a changed identity, even one an authority signed.
// "sftp://" stores the file over SSH, logging in with the user name and password (the password
// method only), or, when the password is empty, with the user's SSH agent and key files
// (transfer/SshKeyLogin.h); a blank user name is the local user's. Host keys of every usual type
// are taken, RSA ones signed with SHA-2. The host key must be the one recorded for the host and
// port in trust.store's known-hosts file; any other (an unknown key, or one that changed) is
// refused before the login, and the result text tells its SHA-256 fingerprint as OpenSSH shows
// it ("SHA256:..."). Without a store no key is known. The file goes where FTP would put it: a
// remote path from "/" is taken as it is, any other from the login folder; a missing folder
// gives "Could not change directory !!\r\n", a refused login a one-line text that says so, and
// the passive flag does not count.
// An address ParseServerAddress refuses fails without connecting.
//
// On the three secure schemes a reader of the destination never sees half a file: the file is
// stored as TemporaryUploadName(name) in the destination's folder and renamed over the
// destination once the server has confirmed all of it: with OpenSSH's replacing rename where the
// server offers it, else, where the server's rename does not replace an existing file (SFTP
// version 3), the old copy is removed just before the rename. A failed store removes its temporary file where the server allows. A server that
// refuses renames altogether gets the file under its final name, and replace->renameRefused says
// so; with replace->inPlace set the file goes there at once. Plain FTP always stores under the
// final name.
//
// Any nonzero passiveMode selects passive mode (EPSV, then PASV), else active mode (EPRT, then
// PORT). A user name that is empty or only blanks (spaces and tabs) logs in as "anonymous", with
// the password given, or the customary one when that is empty too.
//
// The local file must be a regular file (a link to one will do); anything else (a pipe, a
// socket, a device, a folder) fails at once like a missing file, without being opened in any way
// that could block. The file is sent up to its end as found while sending: one that grows
// meanwhile goes whole, one that ends short of its size at the start fails the store.
//
// resultText and success are overwritten on every call: "Ok.\r\n" and 1, or a one-line failure
// text ending in "\r\n" and 0. A failure to connect or log in gives the server's error reply, or
// else the client library's description of the error (at most 253 bytes, its line end replaced by
// "\r\n" and every other control byte by "?", so that it stays one line); a refused change of
// directory gives "Could not change directory !!\r\n"; any failure of the store itself, a missing
// or unreadable local file included, gives "Could not put file to server!!\r\n".
void TransferFile(const std::string& userName, const std::string& password,
                  const std::string& serverAddress, const std::string& remotePath,
                  const std::string& localPath, std::uint16_t port, std::int32_t passiveMode,
                  std::string& resultText, std::int32_t& success,
                  const TransferProgress& progress = {}, const TransferTrust& trust = {},
                  TransferReplace* replace = nullptr);

// The name a file is stored under on a secure server until it is complete:
// ".<name>.<token>.ferrovane-part", or, when that would be too long for a server's folder (over 255
// bytes), ".<the first 16 hex digits of the name's SHA-256>.<token>.ferrovane-part". The token is
// fresh for every upload (NewUploadToken), so that two writers never share a temporary file and
// nobody can lay anything in wait under the name.
std::string TemporaryUploadName(const std::string& name, const std::string& token);

// Eight random hex digits.
std::string NewUploadToken();

// How long a transfer waits before it gives up.
struct TransferTimeouts
{
    // Connecting and logging in, all together.
    std::chrono::milliseconds connect{30000};
    // After the login: no byte moving and no reply from the server for this long abandons the
    // transfer.
    std::chrono::milliseconds stall{60000};
};

// For tests only: replaces the time-outs used by every later call and returns the previous ones.
// The program itself never calls this and always runs with the defaults above.
TransferTimeouts SetTransferTimeoutsForTesting(const TransferTimeouts& timeouts);

// For tests only: the authorities of this PEM file are the ones trusted for TLS servers, in place
// of the system's, by every later call; an empty path goes back to the system's. Returns the
// previous path. The program itself never calls this.
std::string SetTransferAuthorityFileForTesting(const std::string& path);
