#pragma once

#include "transfer/LocalSource.h"
#include "transfer/ServerIdentity.h"
#include "transfer/TransferFile.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <curl/curl.h>

struct x509_store_st; // OpenSSL's X509_STORE

// The libcurl side of a transfer, whatever the protocol: the handles, the callbacks that watch
// the exchange (replies, commands sent, progress, sockets), and the loop that drives it to its
// end within the time-outs, reporting progress and abandoning it when asked.
namespace transfer {

using Clock = std::chrono::steady_clock;

struct CurlEasyDeleter
{
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlMultiDeleter
{
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct CurlSlistDeleter
{
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlUrlDeleter
{
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using EasyHandle = std::unique_ptr<CURL, CurlEasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, CurlMultiDeleter>;
using StringList = std::unique_ptr<curl_slist, CurlSlistDeleter>;
using UrlHandle = std::unique_ptr<CURLU, CurlUrlDeleter>;

// Readies libcurl once per process; throws TransferSessionError when it cannot be.
void InitCurlOnce();

// The sockets libcurl has opened for one exchange and not yet closed. Shutting them down makes
// every wait on them end at once, including the blocking ones libcurl does inside a step of the
// multi interface (the server's verdict after the data, the reply to QUIT at teardown), which no
// flag of ours can cut short. Only sockets libcurl still owns are ever touched: it closes them
// through Close(), under the same lock.
class ExchangeSockets
{
public:
    curl_socket_t Open(const curl_sockaddr& address);
    int Close(curl_socket_t fd);
    // Ends every connection of the exchange and refuses new ones. Any thread may call it.
    void ShutDownAll();

private:
    std::mutex mutex_;
    std::vector<curl_socket_t> open_;
    bool shutDown_ = false;
};

// What the callbacks learn while transfers run over one client session; each file starts with
// BeginFile. Lives as long as the session's handles.
struct Exchange
{
    // Forgets what the last file left, keeping the session's sockets and the certificate last
    // seen (a reused connection shows none).
    void BeginFile(std::FILE* local, std::uint64_t size)
    {
        source = LocalSource{local, size};
        sent = 0;
        lastReply.clear();
        lastCommand.clear();
        loggedIn = false;
        recordedFingerprint.clear();
        recordedRefused = false;
        lastActivity = Clock::now();
    }

    LocalSource source;
    ExchangeSockets sockets;
    std::atomic<std::uint64_t> sent{0}; // read by the reporting thread
    std::atomic<bool> abandon{false};   // set by the reporting thread
    // The rest is touched only by the thread that runs the exchange.
    std::string lastReply;   // the server's last reply line, as sent
    std::string lastCommand; // verb of the last command sent
    bool loggedIn = false;   // a command beyond the login has gone out
    // SHA-256 of the certificate the server last showed, uppercase hex pairs joined by ":".
    std::string peerFingerprint;
    // That certificate's subject, issuer and validity, for a user asked to trust it.
    std::string peerSubject;
    std::string peerIssuer;
    std::string peerNotBefore;
    std::string peerNotAfter;
    ServerIdentity::Dates peerDates = ServerIdentity::Dates::InForce;
    // The fingerprint the user once trusted for this server, when there is one: then that exact
    // certificate, and no other, is the server's.
    std::string recordedFingerprint;
    bool recordedRefused = false; // the server showed another certificate than the recorded one
    // The trusted authorities every TLS connection of the exchange checks against, loaded once
    // for many connections; none when libcurl loads them itself.
    std::shared_ptr<x509_store_st> authorities;
    Clock::time_point lastActivity = Clock::now();
};

// What one run of the exchange came to.
struct Outcome
{
    CURLcode code = CURLE_OK;
    bool stalled = false;
    bool abandoned = false; // by the progress callback
};

template <typename T> void SetOption(CURL* easy, CURLoption option, T value)
{
    const CURLcode rc = curl_easy_setopt(easy, option, value);
    if (rc != CURLE_OK) {
        throw TransferSessionError(std::string("Could not set up the FTP client session: ") +
                                   curl_easy_strerror(rc));
    }
}

// Sets one part of the URL; throws std::invalid_argument, in libcurl's words, when the part does
// not fit.
void SetUrlPart(CURLU* url, CURLUPart part, const std::string& value);

// Percent-encodes every byte but the unreserved ones, so that the name the server sees after
// libcurl decodes the URL is exactly the one given ("#", "%", "?", spaces, UTF-8 alike).
std::string PercentEncode(std::string_view text);

// Whether the line is a server's reply: it starts with a three-digit code.
bool IsReplyLine(std::string_view line);

// Points the handle's callbacks at the exchange: the server's replies, the commands sent, the
// progress, and the sockets it opens and closes.
void WatchExchange(CURL* easy, Exchange& exchange);

// The time-outs every transfer starting now runs with.
TransferTimeouts ReadTimeouts();
// Hands libcurl its part of the time-outs; the stall watch of Run does the rest.
void ApplyTimeouts(CURL* easy, const TransferTimeouts& timeouts);

// Drives the exchange to its end. Touches nothing outside its arguments, so that several may run
// at once, nested or on other threads.
Outcome Run(CURLM* multi, CURL* easy, Exchange& exchange, const TransferTimeouts& timeouts);

// Runs the exchange on a helper thread while this thread calls progress in a steady rhythm.
// libcurl blocks in places (waiting for the server's verdict once the data is out, for one) and
// then reports only once a second; the helper keeps such waits from reaching the caller, and an
// abandon cuts them short by shutting the exchange's sockets down.
Outcome RunReporting(CURLM* multi, CURL* easy, Exchange& exchange, std::uint64_t total,
                     const TransferTimeouts& timeouts, const TransferProgress& progress);

} // namespace transfer
