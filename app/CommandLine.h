#pragma once

#include <string>

// What the command line asks of the program, read before anything else so that --help and
// --version are answered without a display. The options the Qt toolkit documents (-platform,
// -display, -style and the rest) are left to it; any other argument that begins with a dash is
// refused with the usage, since a mistyped option silently ignored would start the window the
// user did not ask for. Arguments without a dash are left alone, as the toolkit leaves them.
struct CommandLine
{
    enum class Action
    {
        Run,
        Help,
        Version,
        Refuse
    };

    Action action = Action::Run;
    std::string complaint; // why the arguments are refused

    static CommandLine Read(int argc, char** argv);

    // Prints the answer to an action other than Run (help and version on standard output, a
    // refusal with the usage on standard error) and gives the exit status: 0, or 2 for a
    // refusal.
    int Answer(const std::string& program) const;

    static std::string Usage(const std::string& program);
};
