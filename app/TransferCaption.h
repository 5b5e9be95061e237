#pragma once

#include "transfer/RunTransport.h"

#include <QString>
#include <string>
#include <vector>

class QWidget;

// The window's caption while files go out: the caption it had, the file that has been out the
// longest and how far it has gone, and how many other files go out beside it. When the last one
// ends the caption is what it was.
class TransferCaption
{
public:
    explicit TransferCaption(QWidget* window) : window_(window) {}

    void Begin(RunId run, const std::string& localPath);
    void Progress(RunId run, int percent);
    void End(RunId run);

private:
    void Show();

    struct Transfer
    {
        RunId run;
        QString name;
        int percent;
    };

    QWidget* window_;
    QString caption_;
    // The files out now, in the order they began.
    std::vector<Transfer> shown_;
};
