#include "app/MainApp.h"
#include "app/TerminationSignals.h"

int main(int argc, char** argv)
{
    // Before anything that takes time: from here on a termination signal ends the program
    // cleanly, with status 0, whenever it comes.
    TerminationSignals::Install();
    return MainApp::Run(argc, argv);
}
