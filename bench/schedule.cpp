// The schedule as a user meets it: the real main window, offscreen, with its real one-second timer
// and real transfers to the system's proftpd on 127.0.0.1, driven only through its widgets.
//
//   cadence  A healthy job (interval 1, a small file) alone for the duration, then beside a job
//            whose server accepts the connection and never greets, and a job sending 48 MiB to
//            a proftpd held to 2 MiB/s: its runs, counted by its server. Target: beside >= 95 %
//            of alone.
//   tick     Ten jobs to ten servers 25 ms away (bench/DelayProxy.h), one small file each, run at
//            once with "Update now selected items": the time until the last has logged, against
//            the slowest of them run alone. The same with a 20-file wildcard job each. Target:
//            at once / slowest alone <= 1.2.
//   click    While a 1 GiB upload runs: a click on a row, posted from another thread as a click
//            from the window system waits in the queue, until the form shows that row's job.
//   rest     100 jobs, the schedule running, nothing due: CPU time and RSS over 20 s.
//
//   bench_schedule [cadence|tick|click|rest|all] [seconds]    (default all 60; as root)
//   bench_schedule seconds                                     (all, cadence for that long)
//
// "all" runs each section in a process of its own, so that one's threads, connections and memory
// never weigh on the next, and the tick section's clients can all be behind the delay from the
// start (a thread made before the switch would stay on the fast side).

#include "app/AppMessageBox.h"
#include "bench/DelayProxy.h"
#include "tests/gui/support/DialogDriver.h"
#include "tests/support/ProftpdServer.h"
#include "tests/support/TempHome.h"

#include <QApplication>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

void Print(const char* section, const std::string& what, const std::string& figure,
           const std::string& target)
{
    std::printf("%-8s %-54s %12s   %s\n", section, what.c_str(), figure.c_str(), target.c_str());
    std::fflush(stdout);
}

std::string Format(const char* format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

void WriteFile(const std::string& path, std::size_t size)
{
    std::ofstream out(path, std::ios::binary);
    const std::string block(std::min<std::size_t>(size, 1 << 20), 'x');
    for (std::size_t left = size; left > 0; left -= std::min(left, block.size())) {
        out.write(block.data(), static_cast<std::streamsize>(std::min(left, block.size())));
    }
}

// The files a server has received whole, from its xferlog (completion status "c").
std::size_t Stores(const ProftpdServer& server)
{
    std::size_t count = 0;
    for (const std::string& line : ReadLogLines(server.transferLog())) {
        count += !line.empty() && line.back() == 'c';
    }
    return count;
}

// Runs the window's event loop until `done` (looked at every 20 ms) or `limit`: a real loop, so
// that the window's own events wake it as in the program.
bool WaitFor(const std::function<bool()>& done, Clock::duration limit)
{
    const Clock::time_point end = Clock::now() + limit;
    QEventLoop loop;
    QTimer look;
    look.setInterval(20);
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (done() || Clock::now() >= end) {
            loop.quit();
        }
    });
    if (!done()) {
        look.start();
        loop.exec();
    }
    return done();
}

// The window's event loop for `length`, with nothing of ours waking it.
void Idle(Clock::duration length)
{
    QEventLoop loop;
    QTimer::singleShot(std::chrono::duration_cast<std::chrono::milliseconds>(length), &loop,
                       &QEventLoop::quit);
    loop.exec();
}

void AddJob(DialogDriver& driver, const ProftpdServer& server, const std::string& source,
            const std::string& destination, int interval)
{
    driver.AddJob(QStringLiteral("ftp://127.0.0.1"), QString::fromStdString(server.user()),
                  QString::fromStdString(source), QString::fromStdString(destination), interval,
                  QString::number(server.port()), true, QString::fromStdString(server.password()));
}

// ---- cadence ----

// A server that never says a word: the kernel completes each connection's handshake into the
// listener's queue, nobody ever accepts or writes, and the client waits for a greeting.
class SilentServer
{
public:
    SilentServer() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address = delay_proxy::Loopback(0);
        socklen_t size = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd_, 64) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            throw std::runtime_error("no silent listener on 127.0.0.1");
        }
        port_ = ntohs(address.sin_port);
    }
    ~SilentServer() { close(fd_); }
    std::uint16_t port() const { return port_; }

private:
    int fd_;
    std::uint16_t port_ = 0;
};

// The healthy job's runs while the schedule runs for `seconds`, counted by its server. The count
// is taken on time by a thread of its own, since the window's thread may be held by a transfer.
std::size_t CountRuns(DialogDriver& driver, const ProftpdServer& healthy, int seconds)
{
    const std::size_t before = Stores(healthy);
    driver.Click("startButton");
    std::atomic<bool> over = false;
    std::size_t after = 0;
    std::thread count([&] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        after = Stores(healthy);
        over = true;
    });
    WaitFor([&] { return over.load(); }, std::chrono::seconds(seconds) + 5min);
    count.join();
    driver.Click("stopButton");
    return after - before;
}

void Cadence(const std::string& files, int seconds)
{
    ProftpdServer healthy(ProftpdServer::Mode::Plain);
    ProftpdServer throttled(ProftpdServer::Mode::Plain, {}, "TransferRate STOR 2048\n");
    SilentServer silent;
    WriteFile(files + "/small.txt", 1024);
    WriteFile(files + "/large.bin", std::size_t{48} << 20);

    DialogDriver driver;
    AddJob(driver, healthy, files + "/small.txt", "/small.txt", 1);
    const std::size_t alone = CountRuns(driver, healthy, seconds);
    driver.AddJob(QStringLiteral("ftp://127.0.0.1"), QStringLiteral("nobody"),
                  QString::fromStdString(files + "/small.txt"), QStringLiteral("/silent.txt"), 1,
                  QString::number(silent.port()), true, QStringLiteral("never asked"));
    AddJob(driver, throttled, files + "/large.bin", "/large.bin", 1);
    const std::size_t beside = CountRuns(driver, healthy, seconds);

    const std::string over = " in " + std::to_string(seconds) + " s";
    Print("cadence", "healthy job alone: runs" + over, std::to_string(alone), "");
    Print("cadence", "beside silent + 2 MiB/s jobs: runs" + over, std::to_string(beside), "");
    Print("cadence", "beside / alone",
          alone > 0 ? Format("%.1f %%", 100.0 * beside / alone) : "no runs alone",
          "target >= 95 %");
}

// ---- tick ----

constexpr int kFarServers = 10;
constexpr int kWildcardFiles = 20;
constexpr int kDelayMs = 25;

// The ten servers and the delay in front of them. Made before the window and its threads, and
// the process then steps behind the delay for good.
struct FarServers
{
    std::vector<std::unique_ptr<ProftpdServer>> servers;
    std::unique_ptr<delay_proxy::DelayProxy> proxy;

    FarServers()
    {
        std::vector<std::uint16_t> ports;
        for (int i = 0; i < kFarServers; ++i) {
            servers.push_back(std::make_unique<ProftpdServer>(ProftpdServer::Mode::Plain));
            servers.back()->addFolder("many");
            ports.push_back(servers.back()->port());
            for (std::uint16_t p = 0; p < ProftpdServer::kPassiveCount; ++p) {
                ports.push_back(servers.back()->firstPassivePort() + p);
            }
        }
        // Two servers' passive ranges may overlap; the proxy listens on each port once.
        std::sort(ports.begin(), ports.end());
        ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
        proxy = std::make_unique<delay_proxy::DelayProxy>(kDelayMs, ports);
        proxy->Enter();
    }
};

// Selects rows first..last, as a click and a shift-click.
void SelectRows(DialogDriver& driver, int first, int last)
{
    driver.List()->scrollTo(driver.List()->model()->index(first, 0));
    driver.ClickRow(first);
    if (last != first) {
        driver.List()->scrollTo(driver.List()->model()->index(last, 0));
        driver.ClickRow(last, Qt::ShiftModifier);
    }
}

// "Update now selected items" on rows first..last (row r sends to server r % 10): the time from
// the click until the log pane last changed, once every server has all its files and the pane
// has been still for a while. The pane keeps only its latest lines and may take several entries
// at once, so its entries are not counted; the servers say when every file is there, and the
// pane's last change is when the last entry showed.
double TimeUpdate(DialogDriver& driver, const FarServers& far, int first, int last, int files)
{
    SelectRows(driver, first, last);
    std::vector<std::size_t> want;
    for (int row = first; row <= last; ++row) {
        want.push_back(Stores(*far.servers[row % kFarServers]) + files);
    }
    Clock::time_point changed{};
    const QMetaObject::Connection watch = QObject::connect(
        driver.Log(), &QPlainTextEdit::textChanged, driver.Log(), [&] { changed = Clock::now(); });
    const Clock::time_point start = Clock::now();
    driver.Click("updateNowButton");
    const bool done = WaitFor(
        [&] {
            for (int row = first; row <= last; ++row) {
                if (Stores(*far.servers[row % kFarServers]) < want[row - first]) {
                    return false;
                }
            }
            return changed > start && Clock::now() - changed > 500ms;
        },
        10min);
    QObject::disconnect(watch);
    if (!done) {
        throw std::runtime_error("the runs did not all end; the log pane shows:\n" +
                                 driver.Log()->toPlainText().toStdString());
    }
    return std::chrono::duration<double>(changed - start).count();
}

void Tick(const std::string& files, const FarServers& far)
{
    WriteFile(files + "/one.txt", 4096);
    std::filesystem::create_directories(files + "/many");
    for (int i = 0; i < kWildcardFiles; ++i) {
        WriteFile(files + "/many/f" + std::to_string(i) + ".bin", 4096);
    }
    DialogDriver driver;
    for (const auto& server : far.servers) {
        AddJob(driver, *server, files + "/one.txt", "/one.txt", 3600);
    }
    for (const auto& server : far.servers) {
        AddJob(driver, *server, files + "/many/*.bin", "/many/x", 3600);
    }
    TimeUpdate(driver, far, 0, kFarServers - 1, 1); // untimed: every server's first login

    const auto measure = [&](const char* what, int first, int files, int rounds) {
        std::vector<double> alone;
        std::vector<double> together;
        for (int round = 0; round < rounds; ++round) {
            double slowest = 0;
            for (int row = first; row < first + kFarServers; ++row) {
                slowest = std::max(slowest, TimeUpdate(driver, far, row, row, files));
            }
            alone.push_back(slowest);
            together.push_back(TimeUpdate(driver, far, first, first + kFarServers - 1, files));
        }
        const std::string of = std::string(what) + ", median of " + std::to_string(rounds);
        Print("tick", "slowest of ten alone (" + of + ")", Format("%.3f s", Median(alone)), "");
        Print("tick", "all ten at once (" + of + ")", Format("%.3f s", Median(together)), "");
        Print("tick", std::string("at once / slowest alone (") + what + ")",
              Format("%.2f", Median(together) / Median(alone)), "target <= 1.2");
    };
    measure("1 file", 0, 1, 3);
    measure("20 files", kFarServers, kWildcardFiles, 1);
}

// ---- click ----

constexpr std::size_t kHugeSize = std::size_t{1} << 30;
constexpr int kClicks = 9;

void Click(const std::string& files)
{
    ProftpdServer server(ProftpdServer::Mode::Plain);
    WriteFile(files + "/huge.bin", kHugeSize);
    DialogDriver driver;
    AddJob(driver, server, files + "/huge.bin", "/huge.bin", 1);
    // A second row to click to and fro; it is never due.
    driver.AddJob(QStringLiteral("ftp://127.0.0.1"), QStringLiteral("idle"),
                  QString::fromStdString(files + "/huge.bin"), QStringLiteral("/idle.bin"), 3600,
                  QString::number(server.port()), true, QStringLiteral("idle"));
    const QString users[] = {QString::fromStdString(server.user()), QStringLiteral("idle")};

    // The effect: the form shows the clicked row's job.
    std::atomic<int> wanted = -1;
    std::atomic<Clock::rep> shownAt = 0;
    QObject::connect(driver.Edit("userEdit"), &QLineEdit::textChanged, driver.Edit("userEdit"),
                     [&](const QString& text) {
                         const int row = wanted.load();
                         if (row >= 0 && text == users[row]) {
                             shownAt = Clock::now().time_since_epoch().count();
                             wanted = -1;
                         }
                     });
    const std::string served = server.home() + "/huge.bin";
    const auto uploading = [&] {
        std::error_code error;
        const auto size = std::filesystem::file_size(served, error);
        std::this_thread::sleep_for(20ms);
        const auto later = std::filesystem::file_size(served, error);
        return !error && later > size && later < kHugeSize;
    };

    // The user: clicks at odd moments, each only while the upload grows on the server, first on
    // row 0 since the form starts on row 1.
    driver.ClickRow(1);
    QTableWidget* const list = driver.List();
    std::vector<double> latencies;
    std::atomic<bool> finished = false;
    std::thread user([&] {
        std::mt19937 random(7);
        const Clock::time_point end = Clock::now() + 5min;
        for (int n = 0; n < kClicks && Clock::now() < end; ++n) {
            while (!uploading() && Clock::now() < end) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 50));
            const int row = n % 2;
            shownAt = 0;
            wanted = row;
            const Clock::time_point clicked = Clock::now();
            QMetaObject::invokeMethod(
                list,
                [list, row] {
                    const QRect cell = list->visualRect(list->model()->index(row, 0));
                    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
                },
                Qt::QueuedConnection);
            const Clock::time_point giveUp = clicked + 10s;
            while (shownAt.load() == 0 && Clock::now() < giveUp) {
                std::this_thread::sleep_for(1ms);
            }
            if (shownAt.load() != 0) {
                const Clock::time_point shown{Clock::duration(shownAt.load())};
                latencies.push_back(
                    std::chrono::duration<double, std::milli>(shown - clicked).count());
            }
            std::this_thread::sleep_for(200ms);
        }
        finished = true;
    });
    driver.Click("startButton");
    WaitFor([&] { return finished.load(); }, 6min);
    user.join();
    driver.Click("stopButton");
    if (latencies.empty()) {
        throw std::runtime_error("no click was answered during the upload");
    }
    const std::string over = " (" + std::to_string(latencies.size()) + " clicks)";
    Print("click", "click to form during 1 GiB upload, median" + over,
          Format("%.1f ms", Median(latencies)), "no target set; compare with before");
    Print("click", "click to form during 1 GiB upload, max" + over,
          Format("%.1f ms", *std::max_element(latencies.begin(), latencies.end())), "");
}

// ---- rest ----

std::string StatusField(const char* name)
{
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(name, 0) == 0) {
            return line.substr(line.find_first_not_of(" \t", std::strlen(name)));
        }
    }
    return "?";
}

void Rest()
{
    constexpr int kJobs = 100;
    constexpr int kSeconds = 20;
    DialogDriver driver;
    for (int n = 0; n < kJobs; ++n) {
        driver.AddJob(QStringLiteral("ftp://127.0.0.1"), QStringLiteral("user%1").arg(n),
                      QStringLiteral("/nowhere/file%1.txt").arg(n),
                      QStringLiteral("/file%1.txt").arg(n), 3600);
    }
    driver.Click("startButton");
    Idle(2s);
    const auto cpu = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
        return seconds(usage.ru_utime) + seconds(usage.ru_stime);
    };
    const double before = cpu();
    Idle(std::chrono::seconds(kSeconds));
    const double used = cpu() - before;
    driver.Click("stopButton");
    const std::string over = " over " + std::to_string(kSeconds) + " s";
    Print("rest", "CPU of 100 idle jobs, schedule running" + over, Format("%.3f s", used),
          "no target set; compare with before");
    Print("rest", "RSS (VmRSS) at the end", StatusField("VmRSS:"), "");
    Print("rest", "threads at the end", StatusField("Threads:"), "");
}

// ---- main ----

const char* const kSections[] = {"cadence", "tick", "click", "rest"};

// One section in a process of its own.
int RunChild(const char* section, int seconds)
{
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::fflush(stdout);
    const std::string command = "'" + self + "' " + section + " " + std::to_string(seconds);
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (const int proxy = delay_proxy::RunDelayProxyIfAsked(argc, argv); proxy >= 0) {
        return proxy;
    }
    std::string section = argc > 1 ? argv[1] : "all";
    int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
    if (std::isdigit(static_cast<unsigned char>(section[0]))) {
        seconds = std::atoi(section.c_str());
        section = "all";
    }
    seconds = std::max(1, seconds);
    if (section == "all") {
        std::string load;
        std::getline(std::ifstream("/proc/loadavg"), load);
        std::printf("bench_schedule: load average %s\n", load.c_str());
        int exitCode = 0;
        for (const char* each : kSections) {
            exitCode |= RunChild(each, seconds);
        }
        return exitCode;
    }
    if (std::find(std::begin(kSections), std::end(kSections), section) == std::end(kSections)) {
        std::fprintf(stderr, "usage: bench_schedule [cadence|tick|click|rest|all] [seconds]\n");
        return 2;
    }
    if (const std::string why = ProftpdServer::Unavailable(ProftpdServer::Mode::Plain);
        !why.empty()) {
        std::printf("bench_schedule %s: not measured (%s)\n", section.c_str(), why.c_str());
        return 0;
    }
    signal(SIGPIPE, SIG_IGN);
    TempHome home;
    const std::string files = MakeTempDir("ferrovane-bench-schedule");
    int exitCode = 0;
    try {
        const std::unique_ptr<FarServers> far =
            section == "tick" ? std::make_unique<FarServers>() : nullptr;
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
        QApplication app(argc, argv);
        QCoreApplication::setOrganizationName(QStringLiteral("Ombrix"));
        // A box would stop the bench in a modal loop; any box is told below.
        AppMessageBox::SetSuppressed(true);
        if (section == "cadence") {
            Cadence(files, seconds);
        } else if (section == "tick") {
            Tick(files, *far);
        } else if (section == "click") {
            Click(files);
        } else {
            Rest();
        }
        for (const AppMessageBox::Shown& box : AppMessageBox::History()) {
            std::fprintf(stderr, "message box: %s\n", box.text.toUtf8().constData());
            exitCode = 1;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_schedule %s: %s\n", section.c_str(), error.what());
        exitCode = 1;
    }
    RemoveTree(files);
    return exitCode;
}
