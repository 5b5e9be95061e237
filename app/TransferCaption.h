#pragma once

#include <QString>
#include <string>
#include <utility>
#include <vector>

class QWidget;

// The window's caption while files go out: the caption it had, the file's name and how far it
// has gone. A transfer nested in another's progress puts its own after it, and each puts back the
// caption it found, however it ends.
class TransferCaption
{
public:
    explicit TransferCaption(QWidget* window) : window_(window) {}

    void Begin(const std::string& localPath);
    void Progress(int percent);
    void End();

private:
    QWidget* window_;
    // The caption found and the file's name, innermost transfer last.
    std::vector<std::pair<QString, QString>> shown_;
};
