// What a user waits for in the real window with 10 to 10,000 jobs with passwords, on the offscreen
// platform and a temporary store: the save and load of the list, the start-up to the first paint
// (load, list, first paint), and a click on add, change and delete (the handler, the list's
// refresh, the save and the row load the click posts). Each click figure is the median of three
// clicks. Targets: a click at most 120 ms with 1,000 jobs and 1.2 s with 10,000; the start-up at
// most 1 s with 10,000 jobs. Last, what one log entry costs the window: "Update now selected
// items" on a wildcard job over 500 files, with an instant stand-in transfer.
#include "app/AppMessageBox.h"
#include "app/MainDialog.h"
#include "jobs/JobStore.h"
#include "jobs/PasswordCipher.h"
#include "jobs/SettingsStore.h"
#include "tests/gui/support/DialogDriver.h"
#include "tests/support/TempHome.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSizes[] = {10, 100, 1000, 10000};
constexpr int kClicks = 3;

double Milliseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

template <typename F> double Time(F&& f)
{
    const auto start = Clock::now();
    f();
    return Milliseconds(Clock::now() - start);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

JobList MakeJobs(int count)
{
    JobList jobs;
    for (int n = 0; n < count; ++n) {
        UploadJob job;
        job.userName = "user" + std::to_string(n);
        job.password = "password-" + std::to_string(n);
        job.webAddress = "ftp" + std::to_string(n) + ".example.invalid";
        job.sourceFile = "/home/user/outgoing/file" + std::to_string(n) + ".txt";
        job.destinationFile = "/incoming/file" + std::to_string(n) + ".txt";
        job.intervalSeconds = job.countdown = 60 + n;
        job.port = 21;
        job.passiveMode = n % 2;
        jobs.push_back(job);
    }
    return jobs;
}

// Notes when the main window first paints anything.
class FirstPaint : public QObject
{
public:
    std::optional<Clock::time_point> at;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!at && event->type() == QEvent::Paint && watched->isWidgetType() &&
            qobject_cast<MainDialog*>(static_cast<QWidget*>(watched)->window()) != nullptr) {
            at = Clock::now();
        }
        return false;
    }
};

struct Figures
{
    double save = 0;
    double load = 0;
    double startUp = 0;
    double add = 0;
    double change = 0;
    double remove = 0;
};

Figures Measure(int count)
{
    Figures figures;
    const std::string folder = MakeTempDir("ferrovane-bench-window");
    {
        // The store that DialogDriver opens: its folder's ferrovane.conf and keys.
        SettingsStore store =
            SettingsStore::FromFile(QString::fromStdString(folder + "/ferrovane.conf"));
        store.SetKeyStoreRoot(folder + "/keys");
        JobList jobs = MakeJobs(count);
        PasswordCipher(true, folder + "/keys").Encode("make the pair");
        figures.save = Time([&] { SaveJobs(store, 0, jobs); });
    }
    {
        SettingsStore store =
            SettingsStore::FromFile(QString::fromStdString(folder + "/ferrovane.conf"));
        store.SetKeyStoreRoot(folder + "/keys");
        JobList jobs;
        std::int32_t running = 0;
        figures.load = Time([&] { LoadJobs(store, running, jobs); });
    }
    {
        FirstPaint paint;
        qApp->installEventFilter(&paint);
        const auto start = Clock::now();
        DialogDriver driver(folder);
        QElapsedTimer waited;
        waited.start();
        while (!paint.at && waited.elapsed() < 30000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        qApp->removeEventFilter(&paint);
        figures.startUp = paint.at ? Milliseconds(*paint.at - start) : -1;

        std::vector<double> adds;
        std::vector<double> changes;
        std::vector<double> removes;
        for (int n = 0; n < kClicks; ++n) {
            driver.Type("webEdit", QStringLiteral("ftp.added.invalid"));
            driver.Type("userEdit", QStringLiteral("added%1").arg(n));
            driver.Type("passwordEdit", QStringLiteral("secret%1").arg(n));
            driver.Type("sourceEdit", QStringLiteral("/home/user/added.txt"));
            driver.Type("destinationEdit", QStringLiteral("/incoming/added.txt"));
            driver.Type("timeEdit", QStringLiteral("30"));
            adds.push_back(Time([&] { driver.Click("addButton"); }));
        }
        for (int n = 0; n < kClicks; ++n) {
            driver.List()->scrollToTop();
            driver.ClickRow(n);
            driver.Type("userEdit", QStringLiteral("changed%1").arg(n));
            changes.push_back(Time([&] { driver.Click("changeButton"); }));
        }
        for (int n = 0; n < kClicks; ++n) {
            removes.push_back(Time([&] { driver.Click("deleteButton"); }));
        }
        if (driver.RowCount() != count) {
            std::fprintf(stderr, "%d jobs: the list holds %d rows after the clicks\n", count,
                         driver.RowCount());
        }
        figures.add = Median(adds);
        figures.change = Median(changes);
        figures.remove = Median(removes);
    }
    RemoveTree(folder);
    return figures;
}

constexpr int kRunFiles = 500;

// Milliseconds per file of one run over kRunFiles files: the answer's message, the log entry,
// the pane and the next request.
double MeasureRun()
{
    const std::string folder = MakeTempDir("ferrovane-bench-run");
    for (int n = 0; n < kRunFiles; ++n) {
        std::ofstream(folder + "/file" + std::to_string(n) + ".txt") << n;
    }
    double perFile = 0;
    {
        DialogDriver driver(folder);
        driver.UseStandIn([](const FileRequest&) { return StandInTransport::Ok(); });
        driver.AddJob(QStringLiteral("ftp.run.invalid"), QStringLiteral("user"),
                      QString::fromStdString(folder + "/*.txt"), QStringLiteral("/incoming/x"),
                      3600);
        driver.ClickRow(0);
        perFile = Time([&] {
                      driver.Click("updateNowButton");
                      while (driver.dialog().RunnerForTesting().ActiveRuns() > 0) {
                          driver.Settle();
                      }
                  }) /
                  kRunFiles;
    }
    RemoveTree(folder);
    return perFile;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    TempHome home;
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Ombrix"));
    // A box would stop the bench in a modal loop; any box is a fault, told below.
    AppMessageBox::SetSuppressed(true);

    std::printf("%8s %10s %10s %12s %10s %10s %10s\n", "jobs", "save", "load", "start-up", "add",
                "change", "delete");
    for (const int count : kSizes) {
        const Figures f = Measure(count);
        std::printf("%8d %7.1f ms %7.1f ms %9.1f ms %7.1f ms %7.1f ms %7.1f ms\n", count, f.save,
                    f.load, f.startUp, f.add, f.change, f.remove);
        std::fflush(stdout);
    }
    std::printf("log: %.3f ms per file of a %d-file run\n", MeasureRun(), kRunFiles);
    for (const AppMessageBox::Shown& box : AppMessageBox::History()) {
        std::fprintf(stderr, "message box: %s\n", box.text.toUtf8().constData());
    }
    return AppMessageBox::History().isEmpty() ? 0 : 1;
}
