#include "app/CommandLine.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string_view>

namespace {
// The options QGuiApplication, QApplication and the X11 platform plugin read themselves, as Qt
// documents them (without their dash): those followed by a value, those that stand alone, and
// those that may carry their value after '='.
constexpr std::string_view kToolkitValued[] = {
    // QGuiApplication
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "qwindowicon",
    "qwindowtitle", "session",
    // the X11 plugin
    "display", "geometry", "title", "icon", "name", "visual",
    // QApplication
    "style", "stylesheet"};
constexpr std::string_view kToolkitFlags[] = {"reverse", "widgetcount", "nograb", "dograb"};
constexpr std::string_view kToolkitWithEquals[] = {"style", "stylesheet", "qmljsdebugger"};

template <typename Names> bool Among(const Names& names, std::string_view name)
{
    return std::ranges::find(names, name) != std::end(names);
}
} // namespace

CommandLine CommandLine::Read(int argc, char** argv)
{
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i] != nullptr ? argv[i] : "";
        if (argument == "--help" || argument == "-h") {
            line.action = Action::Help;
            return line;
        }
        if (argument == "--version") {
            line.action = Action::Version;
            return line;
        }
        if (!argument.starts_with('-')) {
            continue;
        }
        // The toolkit reads --name as -name.
        std::string_view name = argument.substr(argument.starts_with("--") ? 2 : 1);
        const std::size_t equals = name.find('=');
        name = name.substr(0, equals);
        const bool known = equals != std::string_view::npos
                               ? Among(kToolkitWithEquals, name)
                               : Among(kToolkitValued, name) || Among(kToolkitFlags, name);
        if (!known) {
            line.action = Action::Refuse;
            line.complaint = "unknown option '" + std::string(argument) + "'";
            return line;
        }
        // Without its value the toolkit would take the option's name for nothing, or end.
        if (equals == std::string_view::npos && Among(kToolkitValued, name) && ++i >= argc) {
            line.action = Action::Refuse;
            line.complaint = "option '" + std::string(argument) + "' needs a value";
            return line;
        }
    }
    return line;
}

int CommandLine::Answer(const std::string& program) const
{
    switch (action) {
    case Action::Help:
        std::fputs(Usage(program).c_str(), stdout);
        return 0;
    case Action::Version:
        std::fputs("ferrovane " FERROVANE_VERSION "\n", stdout);
        return 0;
    case Action::Refuse:
        std::fprintf(stderr, "%s: %s\n%s", program.c_str(), complaint.c_str(),
                     Usage(program).c_str());
        return 2;
    case Action::Run:
        break;
    }
    return 0;
}

std::string CommandLine::Usage(const std::string& program)
{
    return "Usage: " + program +
           " [OPTION]...\n"
           "Keeps a list of upload jobs and sends each job's files to its FTP, FTPS or SFTP\n"
           "server again and again, each job at its own interval. Everything is done in its\n"
           "window, which needs a graphical session (on a server: xvfb-run " +
           program +
           ").\n"
           "\n"
           "  -h, --help     print this help and end\n"
           "      --version  print the version and end\n"
           "\n"
           "The Qt toolkit's own options are taken as well, such as -platform NAME,\n"
           "-display DISPLAY, -style STYLE and -reverse.\n"
           "\n"
           "Exit status: 0 when ended normally, 1 without a graphical session, 2 for an\n"
           "unknown option. The manual page ferrovane(1) tells which files it keeps.\n";
}
