#include "app/MainApp.h"

#include "app/CommandLine.h"
#include "app/MainDialog.h"
#include "app/SingleInstance.h"
#include "app/TerminationSignals.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {
// The program's name as started, for the one line it prints when it cannot start.
std::string ProgramName(int argc, char** argv)
{
    if (argc < 1 || argv[0] == nullptr || argv[0][0] == '\0') {
        return "ferrovane";
    }
    const char* slash = std::strrchr(argv[0], '/');
    return slash != nullptr ? slash + 1 : argv[0];
}

void ReportNoGraphicalSession(const std::string& program)
{
    std::fprintf(stderr,
                 "%s: Ferrovane needs a graphical session, and none was found (DISPLAY and "
                 "WAYLAND_DISPLAY name no usable display); start it from a desktop session, or on "
                 "a server under a virtual display: xvfb-run %s\n",
                 program.c_str(), program.c_str());
    std::fflush(stderr);
}

bool Named(const char* variable)
{
    const char* value = std::getenv(variable);
    return value != nullptr && value[0] != '\0';
}

// The user chose a platform (the variable, or -platform on the command line); then the toolkit
// is left to it, so that QT_QPA_PLATFORM=offscreen runs without a display.
bool PlatformChosen(int argc, char** argv)
{
    if (Named("QT_QPA_PLATFORM")) {
        return true;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0 ||
            std::strncmp(argv[i], "-platform=", 10) == 0 ||
            std::strncmp(argv[i], "--platform=", 11) == 0) {
            return true;
        }
    }
    return false;
}

// While the application object is made, the toolkit's messages are held back: when the display
// named cannot be opened the toolkit ends the program with a fatal message about its plugins,
// and the user gets the program's own line instead. Otherwise they are passed on afterwards.
std::string gProgram;
std::vector<std::pair<QtMsgType, QString>> gHeld;
QtMessageHandler gPrevious = nullptr; // restored once the application object stands

void HoldDuringStart(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    (void)context;
    if (type == QtFatalMsg) {
        ReportNoGraphicalSession(gProgram);
        std::_Exit(1);
    }
    gHeld.emplace_back(type, message);
}
} // namespace

int MainApp::Run(int argc, char** argv)
{
    // Help, the version and an unknown option are answered without a display.
    const CommandLine commandLine = CommandLine::Read(argc, argv);
    if (commandLine.action != CommandLine::Action::Run) {
        return commandLine.Answer(ProgramName(argc, argv));
    }
    const bool chosen = PlatformChosen(argc, argv);
    if (!chosen && !Named("DISPLAY") && !Named("WAYLAND_DISPLAY")) {
        ReportNoGraphicalSession(ProgramName(argc, argv));
        return 1;
    }
    gProgram = ProgramName(argc, argv);
    if (!chosen) {
        gPrevious = qInstallMessageHandler(HoldDuringStart);
    }
    QApplication app(argc, argv);
    if (!chosen) {
        qInstallMessageHandler(gPrevious);
        for (const auto& [type, message] : gHeld) {
            qt_message_output(type, QMessageLogContext(), message);
        }
        gHeld.clear();
    }
    // The application name stays the executable's own name: message-box captions and the
    // settings file follow it, so a renamed copy keeps its own jobs.
    QCoreApplication::setOrganizationName(QStringLiteral("Ombrix"));
    // One program per settings file: a second start brings the running window forward and ends
    // before it has read or written anything.
    SingleInstance instance(QCoreApplication::applicationName());
    if (!instance.Claim()) {
        return 0;
    }
    // A termination signal before the jobs are loaded ends the program without writing anything:
    // a list that was never read must not replace the stored one. From here on signals reach the
    // event loop, and the window, once made, saves as on every exit.
    TerminationSignals::Instance();
    if (TerminationSignals::Requested()) {
        return 0;
    }
    MainDialog dialog;
    QObject::connect(&instance, &SingleInstance::presentRequested, &dialog, &MainDialog::Present);
    dialog.DoModal();
    if (dialog.TransfersLeftRunning()) {
        // The jobs are saved; a thread stuck in the network would only keep the program from
        // ending, and its destruction would wait for it.
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}
