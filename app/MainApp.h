#pragma once

// The start-up of the program: names the settings organisation, runs the main window modally and
// ends when it ends.
class MainApp
{
public:
    static int Run(int argc, char** argv);
};
