#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal delivered on the event loop, so that the end of
// a desktop session or a kill request closes the window the ordinary way, saving the jobs. The
// handler only notes the signal and writes a byte to a pipe; everything else happens on the
// window's thread.
//
// The handler is installed first thing in main, long before the toolkit and the window stand, so
// that no signal ever kills the program outright: one that comes before the event loop runs is
// found through Requested() and its byte waits in the pipe for the loop.
class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    // Installs the handler; later calls do nothing.
    static void Install();
    // Whether a termination signal has come since Install.
    static bool Requested();
    // The event-loop side; made (and the handler installed) on first use, once the application
    // object stands.
    static TerminationSignals& Instance();

Q_SIGNALS:
    void terminationRequested(int signalNumber);

private:
    TerminationSignals();
    void OnReadable();

    QSocketNotifier* notifier_ = nullptr;
};
