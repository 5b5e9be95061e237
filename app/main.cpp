#include "app/MainApp.h"
#include "app/TerminationSignals.h"

#include <csignal>
#include <sys/prctl.h>

int main(int argc, char** argv)
{
    // The window holds the jobs' passwords in the clear: a crash or SIGQUIT leaves no core file
    // with them in it, and other programs of the user cannot read this one's memory.
    prctl(PR_SET_DUMPABLE, 0);
    // A server that drops its connection while we write to it is a failed upload, told in the
    // log, never the end of the program.
    signal(SIGPIPE, SIG_IGN);
    // Before anything that takes time: from here on a termination signal ends the program
    // cleanly, with status 0, whenever it comes.
    TerminationSignals::Install();
    return MainApp::Run(argc, argv);
}
