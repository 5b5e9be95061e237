#include "transfer/CurlExchange.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <sys/select.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace transfer {

namespace {

using std::chrono::milliseconds;

// The progress callback is due this long after its last call returned, well within the 100 ms
// promised.
constexpr milliseconds kProgressEvery{50};

// Far longer than any upload takes; see ApplyTimeouts.
constexpr milliseconds kWholeTransferBound{std::chrono::hours(24 * 24)};

// Keeps an easy handle attached to a multi handle for the life of the object. Declared after both
// handles, so it detaches before either is cleaned up.
class MultiAttachment
{
public:
    MultiAttachment(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy)
    {
        if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) {
            throw TransferSessionError("Could not start the FTP client session.");
        }
    }
    ~MultiAttachment() { curl_multi_remove_handle(multi_, easy_); }
    MultiAttachment(const MultiAttachment&) = delete;
    MultiAttachment& operator=(const MultiAttachment&) = delete;

private:
    CURLM* multi_;
    CURL* easy_;
};

TransferTimeouts& CurrentTimeouts()
{
    static TransferTimeouts timeouts;
    return timeouts;
}

std::mutex& TimeoutsMutex()
{
    static std::mutex mutex;
    return mutex;
}

curl_socket_t OpenSocket(void* user, curlsocktype, curl_sockaddr* address)
{
    return static_cast<Exchange*>(user)->sockets.Open(*address);
}

int CloseSocket(void* user, curl_socket_t fd)
{
    return static_cast<Exchange*>(user)->sockets.Close(fd);
}

// libcurl hands every line of the server's replies to the header callback.
std::size_t OnReplyLine(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* exchange = static_cast<Exchange*>(user);
    const std::string_view line(data, size * count);
    if (IsReplyLine(line)) {
        exchange->lastReply.assign(line);
        exchange->lastActivity = Clock::now();
    }
    return size * count;
}

// The debug callback is the one place where libcurl shows the commands it sends; knowing them
// tells a refused login from a refused change of directory or store.
int OnDebug(CURL*, curl_infotype type, char* data, std::size_t size, void* user)
{
    auto* exchange = static_cast<Exchange*>(user);
    const std::string_view line(data, size);
    if (type != CURLINFO_HEADER_OUT) {
        return 0;
    }
    const std::string_view verb = line.substr(0, line.find_first_of(" \r\n"));
    exchange->lastCommand.assign(verb);
    if (verb != "AUTH" && verb != "USER" && verb != "PASS" && verb != "ACCT") {
        exchange->loggedIn = true;
    }
    exchange->lastActivity = Clock::now();
    return 0;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded)
{
    auto* exchange = static_cast<Exchange*>(user);
    const auto sent = static_cast<std::uint64_t>(std::max<curl_off_t>(uploaded, 0));
    if (sent != exchange->sent) {
        exchange->sent = sent;
        exchange->lastActivity = Clock::now();
    }
    return exchange->abandon ? 1 : 0;
}

// Tells the exchange running on the helper thread to end now, from the reporting thread.
void Abandon(CURLM* multi, Exchange& exchange)
{
    exchange.abandon = true;
    exchange.sockets.ShutDownAll();
    curl_multi_wakeup(multi); // out of its poll at once rather than at the next tick
}

// The progress figures: the file may have grown since its size was taken, and the caller works
// out sent * 100 / total.
std::pair<std::uint64_t, std::uint64_t> ProgressFigures(const Exchange& exchange,
                                                        std::uint64_t total)
{
    const std::uint64_t sent = exchange.sent;
    return {sent, std::max(sent, total)};
}

} // namespace

void InitCurlOnce()
{
    // A function-local static is initialised exactly once, even with several threads racing.
    static const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (rc != CURLE_OK) {
        throw TransferSessionError(std::string("Could not initialise the FTP client: ") +
                                   curl_easy_strerror(rc));
    }
}

curl_socket_t ExchangeSockets::Open(const curl_sockaddr& address)
{
    std::lock_guard lock(mutex_);
    if (shutDown_) {
        return CURL_SOCKET_BAD; // abandoned: no new connections
    }
    const curl_socket_t fd = socket(address.family, address.socktype, address.protocol);
    if (fd != CURL_SOCKET_BAD) {
        open_.push_back(fd);
    }
    return fd;
}

int ExchangeSockets::Close(curl_socket_t fd)
{
    std::lock_guard lock(mutex_);
    open_.erase(std::remove(open_.begin(), open_.end(), fd), open_.end());
    return ::close(fd);
}

void ExchangeSockets::ShutDownAll()
{
    std::lock_guard lock(mutex_);
    shutDown_ = true;
    for (const curl_socket_t fd : open_) {
        shutdown(fd, SHUT_RDWR);
    }
}

void SetUrlPart(CURLU* url, CURLUPart part, const std::string& value)
{
    const CURLUcode rc = curl_url_set(url, part, value.c_str(), 0);
    if (rc != CURLUE_OK) {
        throw std::invalid_argument(curl_url_strerror(rc));
    }
}

bool IsReplyLine(std::string_view line)
{
    return line.size() >= 3 &&
           std::all_of(line.begin(), line.begin() + 3, [](char c) { return c >= '0' && c <= '9'; });
}

std::string PercentEncode(std::string_view text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
            byte == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        }
    }
    return out;
}

void WatchExchange(CURL* easy, Exchange& exchange)
{
    SetOption(easy, CURLOPT_HEADERFUNCTION, OnReplyLine);
    SetOption(easy, CURLOPT_HEADERDATA, &exchange);
    SetOption(easy, CURLOPT_DEBUGFUNCTION, OnDebug);
    SetOption(easy, CURLOPT_DEBUGDATA, &exchange);
    SetOption(easy, CURLOPT_VERBOSE, 1L); // feeds the debug callback; nothing goes to stderr
    SetOption(easy, CURLOPT_XFERINFOFUNCTION, OnProgress);
    SetOption(easy, CURLOPT_XFERINFODATA, &exchange);
    SetOption(easy, CURLOPT_NOPROGRESS, 0L);
    SetOption(easy, CURLOPT_OPENSOCKETFUNCTION, OpenSocket);
    SetOption(easy, CURLOPT_OPENSOCKETDATA, &exchange);
    SetOption(easy, CURLOPT_CLOSESOCKETFUNCTION, CloseSocket);
    SetOption(easy, CURLOPT_CLOSESOCKETDATA, &exchange);
}

TransferTimeouts ReadTimeouts()
{
    std::lock_guard lock(TimeoutsMutex());
    return CurrentTimeouts();
}

void ApplyTimeouts(CURL* easy, const TransferTimeouts& timeouts)
{
    SetOption(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connect.count()));
    // No transfer needs a bound on its whole length (the stall watch ends one that stops), but
    // libcurl 7.88 needs one to wait at all where it blocks inside a step: ending an SFTP file
    // (and the session) it polls the socket for the time left, capped at a second, and with no
    // time-out that is no time, so it spins on the socket for a whole round trip per file.
    SetOption(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(kWholeTransferBound.count()));
    SetOption(easy, CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(timeouts.stall.count()));
    // Whole seconds only; our own watch in Run keeps the finer time-out while data flows.
    SetOption(
        easy, CURLOPT_SERVER_RESPONSE_TIMEOUT,
        static_cast<long>(std::max<milliseconds::rep>(1, (timeouts.stall.count() + 999) / 1000)));
}

namespace {

// How long to wait for libcurl's sockets before driving the exchange again. libcurl 7.88 at times
// has a step to take with no socket to wait on and no timer set (FTP, between the server's
// passive reply and the connect of the data connection): a wait of the usual 100 ms there stalled
// about one file in twenty by that long. Such a step gets a moment's pause instead.
int NextWait(CURLM* multi)
{
    fd_set read;
    fd_set write;
    fd_set other;
    FD_ZERO(&read);
    FD_ZERO(&write);
    FD_ZERO(&other);
    int highest = -1;
    long timer = -1;
    if (curl_multi_fdset(multi, &read, &write, &other, &highest) != CURLM_OK ||
        curl_multi_timeout(multi, &timer) != CURLM_OK) {
        return 100;
    }
    return highest < 0 && (timer < 0 || timer > 1) ? 1 : 100;
}

} // namespace

Outcome Run(CURLM* multi, CURL* easy, Exchange& exchange, const TransferTimeouts& timeouts)
{
    MultiAttachment attached(multi, easy);
    Outcome outcome;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            throw TransferSessionError("The FTP client session failed.");
        }
        if (running == 0) {
            break;
        }
        if (exchange.abandon) {
            outcome.code = CURLE_ABORTED_BY_CALLBACK;
            return outcome;
        }
        if (exchange.loggedIn && Clock::now() - exchange.lastActivity > timeouts.stall) {
            outcome.stalled = true;
            return outcome;
        }
        if (curl_multi_poll(multi, nullptr, 0, NextWait(multi), nullptr) != CURLM_OK) {
            throw TransferSessionError("The FTP client session failed.");
        }
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
            outcome.code = message->data.result;
        }
    }
    return outcome;
}

Outcome RunReporting(CURLM* multi, CURL* easy, Exchange& exchange, std::uint64_t total,
                     const TransferTimeouts& timeouts, const TransferProgress& progress)
{
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    Outcome outcome;
    std::exception_ptr error;

    if (!progress(0, total)) {
        Outcome abandoned;
        abandoned.abandoned = true;
        return abandoned;
    }
    std::thread helper([&] {
        try {
            outcome = Run(multi, easy, exchange, timeouts);
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard lock(mutex);
        done = true;
        finished.notify_one();
    });
    // Whatever way we leave, the helper is stopped and joined before the handles go. Leaving
    // early means the callback threw: that ends the transfer as promptly as an abandon.
    struct Joiner
    {
        std::thread& helper;
        std::mutex& mutex;
        const bool& done;
        CURLM* multi;
        Exchange& exchange;
        ~Joiner()
        {
            std::unique_lock lock(mutex);
            if (!done) {
                lock.unlock();
                Abandon(multi, exchange);
            }
            helper.join();
        }
    } joiner{helper, mutex, done, multi, exchange};

    bool abandoned = false;
    std::unique_lock lock(mutex);
    while (!finished.wait_for(lock, kProgressEvery, [&] { return done; })) {
        lock.unlock();
        const auto [sent, all] = ProgressFigures(exchange, total);
        if (!progress(sent, all)) {
            abandoned = true;
            Abandon(multi, exchange);
            lock.lock();
            finished.wait(lock, [&] { return done; });
            break;
        }
        lock.lock();
    }
    lock.unlock();
    if (error) {
        std::rethrow_exception(error);
    }
    if (abandoned) {
        // Unless it had just come to a good end, the exchange ended because we cut it short.
        if (outcome.stalled || outcome.code != CURLE_OK) {
            outcome.abandoned = true;
        }
        return outcome;
    }
    const auto [sent, all] = ProgressFigures(exchange, total);
    progress(sent, all);
    return outcome;
}

} // namespace transfer

TransferTimeouts SetTransferTimeoutsForTesting(const TransferTimeouts& timeouts)
{
    using transfer::CurrentTimeouts;
    std::lock_guard lock(transfer::TimeoutsMutex());
    const TransferTimeouts previous = CurrentTimeouts();
    CurrentTimeouts() = timeouts;
    return previous;
}
