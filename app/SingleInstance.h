#pragma once

#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;
class QLockFile;

// One running program per settings file. The settings file is named after the program as started,
// so the first start of a program name takes a lock file named after it and listens on a local
// socket beside it; a later start of the same name finds the lock held, knocks on the socket so
// that the running window comes forward, and ends without reading or writing anything. Different
// program names (symbolic links) keep their own lock and run side by side.
//
// Both live in the user's runtime folder ($XDG_RUNTIME_DIR), or, when it is unset or unusable, in
// a folder of the program's data that only the user can reach. A lock whose process is gone
// (killed, crashed) is taken over; a lock still held by a running process never is, since the
// lock file stays locked by that process for as long as it lives. When no lock can be had at all
// (no private folder, a folder the lock cannot be made in) the program runs all the same, and
// says so on stderr.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    explicit SingleInstance(const QString& programName, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True: this start is the one to run, and it is listening for later ones. False: the program
    // runs already with these settings and has been asked to come forward (or does not answer,
    // which stderr says); this start is to end.
    bool Claim();

Q_SIGNALS:
    // A later start of the same program knocked.
    void presentRequested();

private:
    bool Knock() const;
    void Listen();
    void OnConnection();

    QString program_;
    QString lockPath_;
    QString socketPath_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer* server_ = nullptr;
};
