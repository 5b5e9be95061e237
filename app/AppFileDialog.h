#pragma once

#include <QString>
#include <optional>

class QWidget;

// Every file-open dialog of the program goes through here, so that a test can pick the file (or
// cancel) in advance instead of facing a modal loop.
class AppFileDialog
{
public:
    // Asks for one existing file, all files listed; the process's current directory is left
    // alone. Returns the chosen file's full path, or nothing when the user cancels.
    static std::optional<QString> OpenExistingFile(QWidget* parent);

    // Test hooks: the next call returns this path (an empty optional: cancel) without a dialog.
    static void SetNextFileName(std::optional<QString> path);
    static void Clear();
};
