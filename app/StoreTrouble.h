#pragma once

#include "jobs/JobStore.h"

#include <QString>
#include <string>

class QWidget;

// Tells the user what the settings store could not do: a settings file or passwords it could not
// read at start-up, and a save that could not be written or a password that could not be
// enciphered. A save's trouble is told once, and again only after it has cleared or changed; a
// file that could not be read counts as told for the saves that fail for the same reason.
class StoreTrouble
{
public:
    explicit StoreTrouble(QWidget* window) : window_(window) {}

    void TellLoad(const LoadReport& report, const QString& fileName);
    void TellSave(const SaveReport& report, const QString& fileName);

private:
    QWidget* window_;
    std::string toldSaveError_;
    std::string toldKeyError_;
};
