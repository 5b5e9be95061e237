#include "app/MainApp.h"
#include "app/TerminationSignals.h"

#include <sys/prctl.h>

int main(int argc, char** argv)
{
    // The window holds the jobs' passwords in the clear: a crash or SIGQUIT leaves no core file
    // with them in it, and other programs of the user cannot read this one's memory.
    prctl(PR_SET_DUMPABLE, 0);
    // Before anything that takes time: from here on a termination signal ends the program
    // cleanly, with status 0, whenever it comes.
    TerminationSignals::Install();
    return MainApp::Run(argc, argv);
}
