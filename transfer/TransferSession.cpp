#include "transfer/TransferSession.h"

#include "transfer/CurlExchange.h"
#include "transfer/FtpCommands.h"
#include "transfer/FtpTls.h"
#include "transfer/LocalSource.h"
#include "transfer/PendingUploads.h"
#include "transfer/RenameFailure.h"
#include "transfer/ServerAddress.h"
#include "transfer/SessionState.h"
#include "transfer/SftpTransfer.h"
#include "transfer/TransferTexts.h"
#include "transfer/TrustStore.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace transfer {

namespace {

// Upload chunk size: large enough that the per-chunk overhead vanishes on a fast link.
constexpr long kUploadBufferSize = 512 * 1024;

// The settings store hands an empty user name back as a blank, which no server takes as a name.
bool IsBlank(std::string_view text)
{
    return text.find_first_not_of(" \t") == std::string_view::npos;
}

std::optional<std::string> RefuseInjection(const std::string& userName, const std::string& password,
                                           const std::string& serverAddress,
                                           const std::string& remotePath)
{
    const std::pair<const char*, const std::string*> fields[] = {
        {"user name", &userName},
        {"password", &password},
        {"server address", &serverAddress},
        {"remote path", &remotePath},
    };
    for (const auto& [name, value] : fields) {
        if (HoldsLineBreak(*value)) {
            return std::string("Refused: the ") + name +
                   " holds a line break or NUL character!!\r\n";
        }
    }
    return std::nullopt;
}

// Points the handle at the server and the file: scheme, host, port and the path the protocol
// stores under. Throws std::invalid_argument when the address cannot form a URL.
void SetServerUrl(CURLU* url, const char* scheme, const std::string& host, std::uint16_t port,
                  const std::string& path)
{
    SetUrlPart(url, CURLUPART_SCHEME, scheme);
    const bool bareIpv6 = host.find(':') != std::string::npos && host.front() != '[';
    SetUrlPart(url, CURLUPART_HOST, bareIpv6 ? "[" + host + "]" : host);
    SetUrlPart(url, CURLUPART_PORT, std::to_string(port));
    SetUrlPart(url, CURLUPART_PATH, path);
}

// What every protocol sets on every file, so that nothing of the last one lingers: the URL, the
// login, the time-outs and the callbacks that watch the exchange.
void ApplyCommonOptions(TransferSession::State& state, const std::string& userName,
                        const std::string& password, const TransferTimeouts& timeouts)
{
    CURL* const h = state.easy.get();
    SetOption(h, CURLOPT_ERRORBUFFER, state.errorBuffer);
    SetOption(h, CURLOPT_USERNAME, static_cast<const char*>(nullptr));
    SetOption(h, CURLOPT_PASSWORD, static_cast<const char*>(nullptr));
    SetOption(h, CURLOPT_QUOTE, static_cast<curl_slist*>(nullptr));
    SetOption(h, CURLOPT_POSTQUOTE, static_cast<curl_slist*>(nullptr));
    SetOption(h, CURLOPT_CURLU, state.url.get());
    // "USER" with no name is a syntax error to every server; no name means an anonymous login,
    // as FTP clients have always taken it. Without a password libcurl supplies the customary one.
    if (!IsBlank(userName)) {
        SetOption(h, CURLOPT_USERNAME, userName.c_str());
        SetOption(h, CURLOPT_PASSWORD, password.c_str());
    } else if (!password.empty()) {
        SetOption(h, CURLOPT_USERNAME, "anonymous");
        SetOption(h, CURLOPT_PASSWORD, password.c_str());
    }
    SetOption(h, CURLOPT_NOSIGNAL, 1L);
    ApplyTimeouts(h, timeouts);
    WatchExchange(h, state.exchange);
}

// Whatever a server sends back (a listing, a file) is never ours to keep, and never goes to the
// program's standard output, which is libcurl's default.
std::size_t Discard(char*, std::size_t size, std::size_t count, void*)
{
    return size * count;
}

// The store itself, or, without a file to read or a name to store under, nothing after the
// change of directory.
void ApplyStoreOptions(CURL* h, Exchange& exchange, bool canStore)
{
    SetOption(h, CURLOPT_WRITEFUNCTION, Discard);
    if (canStore) {
        SetOption(h, CURLOPT_NOBODY, 0L);
        SetOption(h, CURLOPT_UPLOAD, 1L);
        SetOption(h, CURLOPT_READFUNCTION, ReadLocalFile);
        SetOption(h, CURLOPT_READDATA, &exchange.source);
        // No size is announced: libcurl would stop at it, or fail, when the file has grown.
        SetOption(h, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
        SetOption(h, CURLOPT_TRANSFERTEXT, 0L);
    } else {
        SetOption(h, CURLOPT_UPLOAD, 0L);
        SetOption(h, CURLOPT_NOBODY, 1L); // log in and change directory, nothing more
    }
}

} // namespace

void SendFile(TransferSession::State& state, const std::string& userName,
              const std::string& password, const std::string& serverAddress,
              const std::string& remotePath, const std::string& localPath, std::uint16_t port,
              std::int32_t passiveMode, std::string& resultText, std::int32_t& success,
              const TransferProgress& progress, const TransferTrust& trust,
              TransferReplace* replace)
{
    resultText = kOk;
    success = 1;
    if (trust.untrusted != nullptr) {
        trust.untrusted->reset();
    }

    char* const errorBuffer = state.errorBuffer;
    errorBuffer[0] = '\0';
    Exchange& exchange = state.exchange;
    File local;

    const auto fail = [&](std::string text) {
        resultText = std::move(text);
        success = 0;
    };

    // A CR or LF would end the FTP command early and let the rest pass as a command of its own.
    if (auto refusal = RefuseInjection(userName, password, serverAddress, remotePath)) {
        fail(*refusal);
        return;
    }

    const std::size_t slash = remotePath.rfind('/');
    const std::string directory =
        slash == std::string::npos ? std::string() : remotePath.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? remotePath : remotePath.substr(slash + 1);

    std::uint64_t total = 0;
    local = OpenLocalFile(localPath, total);
    // Without a file to read or a name to store under, the store cannot succeed. The exchange
    // still connects, logs in and changes directory, so that a wrong password or a missing
    // directory is told first, just as when the store itself fails; it then stops short of STOR.
    const bool canStore = local && !name.empty();

    // An address without a scheme comes back as it is, host and port alike.
    const std::optional<ServerAddress> address = ParseServerAddress(serverAddress, port);
    if (!address) {
        fail(kAddressRefused);
        return;
    }
    const bool sftp = address->scheme == ServerScheme::Sftp;
    const bool implicitTls = address->scheme == ServerScheme::FtpImplicitTls;
    const bool tls = implicitTls || address->scheme == ServerScheme::FtpExplicitTls;
    // An address without a scheme logs in for every file and changes directory exactly as it
    // always has; one with a scheme keeps its login for a run, and its folder while it holds.
    const FtpFolders folders = serverAddress.find("://") == std::string::npos
                                   ? FtpFolders::OwnCwd
                                   : FtpFolders::KeptConnection;
    if (tls && passiveMode == 0 && !ActiveModeKeepsTls()) {
        fail(kActiveTlsUnsupported);
        return;
    }
    // On a secure server the file goes under a temporary name first and is renamed over the
    // destination once the server has all of it: a reader sees the old copy or the new one,
    // never a part of it. Plain FTP stores under the final name, as it always has. The name is
    // new for every upload, and noted until it has become the destination or is gone, so that a
    // copy left by an upload cut short is removed by the next run to the server.
    const bool secure = sftp || tls;
    const bool viaTemporary = canStore && secure && !(replace && replace->inPlace);
    const std::string temporary = viaTemporary ? TemporaryUploadName(name, NewUploadToken()) : "";
    const std::string& storeAs = viaTemporary ? temporary : name;
    const PendingUploads pending(secure && trust.store != nullptr ? trust.store->Root() : "");
    const std::string server = std::string(sftp          ? "sftp"
                                           : implicitTls ? "ftps"
                                                         : "ftpes") +
                               " " + address->host + " " + std::to_string(address->port) + " " +
                               userName;
    std::vector<PendingUploads::Note> leftovers;
    if (secure && !state.leftoversTaken) {
        state.leftoversTaken = true;
        leftovers = pending.Leftovers(server);
    }
    if (viaTemporary && !state.note.Held()) {
        state.note = pending.Add(server);
    }
    PendingUploads::Note& note = state.note;
    if (viaTemporary) {
        note.Set(directory + temporary);
    }

    if (sftp) {
        resultText = SendOverSftp(state, {*address, userName, password, directory, name, temporary,
                                          local.get(), total, canStore, leftovers, note, progress,
                                          trust, replace});
        success = resultText == kOk ? 1 : 0;
        return;
    }

    const TransferTimeouts timeouts = ReadTimeouts();
    exchange.BeginFile(local.get(), total);

    try {
        SetServerUrl(state.url.get(), implicitTls ? "ftps" : "ftp", address->host, address->port,
                     FtpUrlPath(folders, directory, canStore ? storeAs : ""));
    } catch (const std::invalid_argument& error) {
        // An address that cannot even form a URL is a failed connect, told in the client's words.
        fail(AsErrorLine(std::string(error.what()) + ": " + serverAddress));
        return;
    }

    CURL* const h = state.easy.get();
    ApplyCommonOptions(state, userName, password, timeouts);
    ApplyFtpOptions(h, folders, state.quote, directory, passiveMode != 0);
    if (tls) {
        ApplyTlsOptions(h, exchange, *address, trust);
    }
    ApplyStoreOptions(h, exchange, canStore);
    // Leftovers go first, over the fresh login, from the login folder.
    for (auto note = leftovers.rbegin(); note != leftovers.rend(); ++note) {
        PrependCommand(state.quote, FtpRemoveCommand(note->Path()));
    }
    if (!leftovers.empty()) {
        SetOption(h, CURLOPT_QUOTE, state.quote.get());
    }
    // The old copy goes first only where the server's rename has been seen not to replace one.
    const auto publishCommands = [&](bool removeOld) {
        return FtpRenameCommands(temporary, name, removeOld);
    };
    if (viaTemporary) {
        state.postquote.reset();
        for (const std::string& command : publishCommands(state.removeBeforeRename)) {
            AppendCommand(state.postquote, command);
        }
        SetOption(h, CURLOPT_POSTQUOTE, state.postquote.get());
    }

    const auto run = [&](bool storing = true) {
        if (!progress) {
            return Run(state.multi.get(), h, exchange, timeouts);
        }
        // After the store (the rename, the clean-up) the file shows as sent, as it is.
        const TransferProgress sent = [&](std::uint64_t, std::uint64_t) {
            return progress(total, total);
        };
        return RunReporting(state.multi.get(), h, exchange, total, timeouts,
                            storing ? progress : sent);
    };
    Outcome outcome = run();

    // One more exchange on the same handle (over the same connection while it holds, else a new
    // one): the commands after the change of directory, then the store under `storedName`, or
    // nothing when that is empty.
    const auto exchangeAgain = [&](const std::vector<std::string>& commands,
                                   const std::string& storedName) {
        // The commands go after the store (or after nothing), in the folder the exchange went to.
        state.quote.reset();
        state.postquote.reset();
        ApplyFtpOptions(h, folders, state.quote, directory, passiveMode != 0);
        for (const std::string& command : commands) {
            AppendCommand(state.postquote, command);
        }
        SetOption(h, CURLOPT_QUOTE, state.quote.get());
        SetOption(h, CURLOPT_POSTQUOTE, state.postquote.get());
        const bool store = !storedName.empty() && std::fseek(local.get(), 0, SEEK_SET) == 0;
        SetUrlPart(state.url.get(), CURLUPART_PATH,
                   FtpUrlPath(folders, directory, store ? storedName : ""));
        ApplyStoreOptions(h, exchange, store);
        exchange.BeginFile(store ? local.get() : nullptr, total);
        return run(store);
    };
    const auto finished = [](const Outcome& o) { return !o.abandoned && !o.stalled; };
    const std::string removeTemporary = viaTemporary ? FtpRemoveCommand(temporary) : "";
    const auto failureOf = [&](const Outcome& o) {
        return viaTemporary && finished(o) ? ReadRenameFailure(o.code, exchange.lastCommand,
                                                               exchange.lastReply, errorBuffer)
                                           : std::nullopt;
    };

    // The whole file is on the server under its temporary name, but a publishing command failed.
    // The old copy is removed only where the rename was refused because the name is taken, and
    // only just before a rename; once it may be gone, the temporary copy is the only complete one
    // and stays until it has become the destination.
    std::optional<RenameFailure> failure = failureOf(outcome);
    const bool renameStepFailed = failure.has_value();
    const bool storeBegun = exchange.lastCommand == "STOR";
    // The leftovers' removals went before the store (each allowed to fail: a copy already gone).
    if (outcome.code == CURLE_OK || renameStepFailed || storeBegun) {
        for (PendingUploads::Note& leftover : leftovers) {
            leftover.Forget();
        }
    }
    bool oldMayBeGone =
        state.removeBeforeRename && !(failure && failure->step == RenameFailure::Step::RemoveOld);
    bool refused = false;
    if (failure && failure->why == RenameFailure::Why::Refused &&
        failure->step == RenameFailure::Step::Rename && !oldMayBeGone) {
        // No renames here at all (an upload-only drop folder): the file goes under its final
        // name, and so do the job's later ones; the temporary copy goes where allowed.
        // A name that cannot be stored under (a folder, on proftpd, answers a rename the same way
        // as a refused one) fails that store: then nothing about the server has been learnt.
        refused = true;
        outcome = exchangeAgain({removeTemporary}, name);
        if (finished(outcome) && outcome.code == CURLE_OK) {
            if (replace != nullptr) {
                replace->renameRefused = true;
            }
        } else if (finished(outcome)) {
            // FTP sends its removal after the store, which did not happen: the old copy stands,
            // the temporary one goes.
            const Outcome failed = outcome;
            exchangeAgain({removeTemporary}, {});
            outcome = failed;
        }
        failure.reset();
    } else if (failure && failure->why == RenameFailure::Why::Exists && !state.removeBeforeRename &&
               failure->step == RenameFailure::Step::Rename) {
        // A rename that may not replace an existing file (SFTP version 3, as OpenSSH speaks it):
        // the old copy goes just before the rename, for this file and the session's later ones.
        state.removeBeforeRename = true;
        outcome = exchangeAgain(publishCommands(true), {});
        failure = failureOf(outcome);
        oldMayBeGone = !(failure && failure->step == RenameFailure::Step::RemoveOld);
    }
    if (failure) {
        // Tried once more: over a new connection when the last one was lost, or as a plain rename
        // where the old copy could not be removed (a new file has none).
        if (failure->why == RenameFailure::Why::Other) {
            SetOption(h, CURLOPT_FRESH_CONNECT, 1L);
        }
        const Outcome again = exchangeAgain(publishCommands(false), {});
        SetOption(h, CURLOPT_FRESH_CONNECT, 0L);
        if (finished(again) && again.code == CURLE_OK) {
            outcome = again;
            failure.reset();
        } else {
            if (std::optional<RenameFailure> later = failureOf(again)) {
                failure = std::move(later);
            }
            if (finished(again) && !oldMayBeGone) {
                // The old copy stands: the temporary one is not needed.
                exchangeAgain({removeTemporary}, {});
            }
        }
    }

    if (outcome.abandoned) {
        fail(kAbandoned);
        return;
    }
    if (!outcome.stalled && outcome.code == CURLE_OK) {
        note.Forget();
        if (!canStore) {
            fail(kCannotPut);
        }
        return;
    }
    if (failure) {
        fail(WithServerReason(kCannotPut, failure->reason));
        if (!oldMayBeGone) {
            note.Forget();
        }
        return;
    }
    if (std::optional<std::string> text =
            tls ? TlsFailure(outcome, exchange, *address, trust) : std::nullopt) {
        fail(std::move(*text));
    } else {
        fail(FtpFailure(outcome, exchange, errorBuffer, tls));
    }
    // A store that failed on its way (a refused data connection, a full disk) leaves its
    // temporary copy behind, never the destination: it goes where the server allows, while the
    // failure stays the one told.
    if (viaTemporary && !refused && !renameStepFailed && finished(outcome) && storeBegun) {
        const Outcome cleaned = exchangeAgain({removeTemporary}, {});
        if (finished(cleaned) && cleaned.code == CURLE_OK) {
            note.Forget();
        }
    }
}

} // namespace transfer

TransferSession::TransferSession() = default;

TransferSession::~TransferSession() = default;

void TransferSession::Send(const std::string& userName, const std::string& password,
                           const std::string& serverAddress, const std::string& remotePath,
                           const std::string& localPath, std::uint16_t port,
                           std::int32_t passiveMode, std::string& resultText, std::int32_t& success,
                           const TransferProgress& progress, const TransferTrust& trust,
                           TransferReplace* replace)
{
    const std::optional<ServerAddress> address = ParseServerAddress(serverAddress, port);
    if (!address || serverAddress.find("://") == std::string::npos) {
        // An address without a scheme logs in for every file, as it always has.
        TransferFile(userName, password, serverAddress, remotePath, localPath, port, passiveMode,
                     resultText, success, progress, trust, replace);
        return;
    }
    resultText = transfer::kOk;
    success = 1;
    // Another server or login gets a session of its own.
    std::string key = serverAddress;
    for (const std::string* part : {&userName, &password}) {
        key += '\0';
        key += *part;
    }
    key += '\0' + std::to_string(port) + '\0' + (passiveMode != 0 ? "p" : "a");
    if (!state_ || key != key_) {
        state_.reset();
        state_ = std::make_unique<State>();
        key_ = std::move(key);
    }
    try {
        transfer::SendFile(*state_, userName, password, serverAddress, remotePath, localPath, port,
                           passiveMode, resultText, success, progress, trust, replace);
    } catch (...) {
        state_.reset();
        throw;
    }
    if (success == 0 || state_->exchange.abandon) {
        // Whatever went wrong, or an abandon that came too late to stop the file, may have left
        // the connection in any state: the next file starts with a login of its own.
        state_.reset();
    }
}
