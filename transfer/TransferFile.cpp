#include "transfer/TransferFile.h"

#include "transfer/CurlExchange.h"
#include "transfer/FtpTls.h"
#include "transfer/IdentityText.h"
#include "transfer/LocalSource.h"
#include "transfer/ServerAddress.h"
#include "transfer/SftpTransfer.h"
#include "transfer/TransferSession.h"
#include "transfer/TransferTexts.h"
#include "transfer/TrustStore.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

using namespace transfer;

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

} // namespace

// Everything a client session keeps from one file to the next: the handles, and what they point
// to, declared before them so that it outlives them.
struct TransferSession::State
{
    State()
    {
        // Failing to get a session is the single failure that goes to the caller.
        InitCurlOnce();
        url.reset(curl_url());
        easy.reset(curl_easy_init());
        multi.reset(curl_multi_init());
        if (!easy || !multi || !url) {
            throw TransferSessionError("Could not open an FTP client session.");
        }
    }

    char errorBuffer[CURL_ERROR_SIZE] = {};
    Exchange exchange;
    UrlHandle url;
    StringList quote;
    std::string knownHosts;
    EasyHandle easy;
    MultiHandle multi;
    // The folder the login left us in, once a file has gone: a later file on the same connection
    // starts from there, as it would after a login of its own.
    std::string entryPath;
};

namespace {

// Sends one file over the session's handles: a connection the session already holds when
// libcurl can reuse it, else a fresh one.
void SendFile(TransferSession::State& state, const std::string& userName,
              const std::string& password, const std::string& serverAddress,
              const std::string& remotePath, const std::string& localPath, std::uint16_t port,
              std::int32_t passiveMode, std::string& resultText, std::int32_t& success,
              const TransferProgress& progress, const TransferTrust& trust)
{
    resultText = kOk;
    success = 1;
    if (trust.untrusted != nullptr) {
        trust.untrusted->reset();
    }

    char* const errorBuffer = state.errorBuffer;
    errorBuffer[0] = '\0';
    Exchange& exchange = state.exchange;
    UrlHandle& url = state.url;
    StringList& quote = state.quote;
    std::string& knownHosts = state.knownHosts;
    EasyHandle& easy = state.easy;
    MultiHandle& multi = state.multi;
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
    if (tls && passiveMode == 0 && !ActiveModeKeepsTls()) {
        fail(kActiveTlsUnsupported);
        return;
    }

    const TransferTimeouts timeouts = ReadTimeouts();
    exchange.BeginFile(local.get(), total);

    try {
        const std::string& host = address->host;
        SetUrlPart(url.get(), CURLUPART_SCHEME, sftp ? "sftp" : implicitTls ? "ftps" : "ftp");
        const bool bareIpv6 = host.find(':') != std::string::npos && host.front() != '[';
        SetUrlPart(url.get(), CURLUPART_HOST, bareIpv6 ? "[" + host + "]" : host);
        SetUrlPart(url.get(), CURLUPART_PORT, std::to_string(address->port));
        SetUrlPart(url.get(), CURLUPART_PATH,
                   sftp ? SftpUrlPath(directory + (canStore ? name : ""))
                        : "/" + PercentEncode(canStore ? name : ""));
    } catch (const std::invalid_argument& error) {
        // An address that cannot even form a URL is a failed connect, told in the client's words.
        fail(AsErrorLine(std::string(error.what()) + ": " + serverAddress));
        return;
    }

    CURL* const h = easy.get();
    SetOption(h, CURLOPT_ERRORBUFFER, errorBuffer);
    // Every option is set on every file, so that nothing of the last one lingers.
    SetOption(h, CURLOPT_USERNAME, static_cast<const char*>(nullptr));
    SetOption(h, CURLOPT_PASSWORD, static_cast<const char*>(nullptr));
    SetOption(h, CURLOPT_QUOTE, static_cast<curl_slist*>(nullptr));
    SetOption(h, CURLOPT_CURLU, url.get());
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
    if (passiveMode != 0) {
        SetOption(h, CURLOPT_FTPPORT, static_cast<const char*>(nullptr));
    } else {
        SetOption(h, CURLOPT_FTPPORT, "-");
    }
    // We send the CWD ourselves, so that its argument is exactly the directory part, and curl
    // stores under the bare name in whatever directory that leaves us in.
    SetOption(h, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    // On a connection kept from the last file, the directory changes start again from the
    // folder the login left us in.
    quote.reset();
    const auto cwd = [&quote](const std::string& folder) {
        curl_slist* list = curl_slist_append(quote.get(), ("CWD " + folder).c_str());
        if (list == nullptr) {
            throw std::bad_alloc();
        }
        quote.release();
        quote.reset(list);
    };
    if (!sftp && !state.entryPath.empty()) {
        cwd(state.entryPath);
    }
    if (!sftp && !directory.empty()) {
        cwd(directory);
    }
    if (quote) {
        SetOption(h, CURLOPT_QUOTE, quote.get());
    }
    WatchExchange(h, exchange);
    if (tls) {
        ApplyTlsOptions(h, exchange, *address, trust);
    }
    if (sftp) {
        ApplySftpOptions(h, exchange, knownHosts, *address, trust);
    }
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

    const auto run = [&] {
        return progress ? RunReporting(multi.get(), h, exchange, total, timeouts, progress)
                        : Run(multi.get(), h, exchange, timeouts);
    };
    Outcome outcome = run();
    if (sftp && KeyOfAnotherTypeMayBeWhy(outcome, *address, trust)) {
        exchange.BeginFile(local.get(), total);
        LeaveOutKnownHosts(h, knownHosts, exchange);
        outcome = run();
    }

    if (outcome.abandoned) {
        fail(kAbandoned);
        return;
    }
    if (!outcome.stalled && outcome.code == CURLE_OK) {
        const char* entry = nullptr;
        if (!sftp && state.entryPath.empty() &&
            curl_easy_getinfo(h, CURLINFO_FTP_ENTRY_PATH, &entry) == CURLE_OK && entry != nullptr &&
            !HoldsLineBreak(entry)) {
            state.entryPath = entry;
        }
        if (!canStore) {
            fail(kCannotPut);
        }
        return;
    }
    if (sftp) {
        fail(SftpFailure(outcome, exchange, errorBuffer, !directory.empty(), trust));
        return;
    }
    if (tls) {
        if (std::optional<std::string> text = TlsFailure(outcome, exchange, *address, trust)) {
            fail(std::move(*text));
            return;
        }
    }
    if (!exchange.loggedIn) {
        if (IsReplyLine(exchange.lastReply) &&
            (exchange.lastReply[0] == '4' || exchange.lastReply[0] == '5')) {
            fail(AsErrorLine(exchange.lastReply));
        } else if (errorBuffer[0] != '\0') {
            fail(AsErrorLine(errorBuffer));
        } else {
            fail(kCannotConnect);
        }
        return;
    }
    // Over TLS the user also sees the server's reason ("425 Unable to build data connection"), or
    // the log would hide what only the server's own log tells. Plain FTP says what it always has.
    const bool refusedByServer = IsReplyLine(exchange.lastReply) &&
                                 (exchange.lastReply[0] == '4' || exchange.lastReply[0] == '5');
    const auto withReply = [&](const char* text) {
        return tls && refusedByServer ? WithServerReason(text, exchange.lastReply)
                                      : std::string(text);
    };
    if (outcome.code == CURLE_QUOTE_ERROR || exchange.lastCommand == "CWD") {
        fail(withReply(kCannotChangeDirectory));
        return;
    }
    fail(withReply(kCannotPut));
}

} // namespace

void TransferFile(const std::string& userName, const std::string& password,
                  const std::string& serverAddress, const std::string& remotePath,
                  const std::string& localPath, std::uint16_t port, std::int32_t passiveMode,
                  std::string& resultText, std::int32_t& success, const TransferProgress& progress,
                  const TransferTrust& trust)
{
    resultText = kOk;
    success = 1;
    TransferSession::State state;
    SendFile(state, userName, password, serverAddress, remotePath, localPath, port, passiveMode,
             resultText, success, progress, trust);
}

TransferSession::TransferSession() = default;

TransferSession::~TransferSession() = default;

void TransferSession::Send(const std::string& userName, const std::string& password,
                           const std::string& serverAddress, const std::string& remotePath,
                           const std::string& localPath, std::uint16_t port,
                           std::int32_t passiveMode, std::string& resultText, std::int32_t& success,
                           const TransferProgress& progress, const TransferTrust& trust)
{
    const std::optional<ServerAddress> address = ParseServerAddress(serverAddress, port);
    if (!address || address->scheme == ServerScheme::Ftp) {
        // Plain FTP logs in for every file, as it always has.
        TransferFile(userName, password, serverAddress, remotePath, localPath, port, passiveMode,
                     resultText, success, progress, trust);
        return;
    }
    resultText = kOk;
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
        SendFile(*state_, userName, password, serverAddress, remotePath, localPath, port,
                 passiveMode, resultText, success, progress, trust);
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
