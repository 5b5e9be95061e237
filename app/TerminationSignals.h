#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal delivered on the event loop, so that the end of
// a desktop session or a kill request closes the window the ordinary way, saving the jobs. The
// handler only writes a byte to a socket pair; everything else happens on the window's thread.
class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    static TerminationSignals& Instance();

Q_SIGNALS:
    void terminationRequested(int signalNumber);

private:
    TerminationSignals();
    void OnReadable();

    QSocketNotifier* notifier_ = nullptr;
};
