#pragma once

#include <QString>

// The program's entry in the XDG autostart folder, which desktop sessions read at login:
// $XDG_CONFIG_HOME/autostart/ (~/.config/autostart/ when XDG_CONFIG_HOME is unset, empty or not
// an absolute path) with the same file name as the installed launcher, so that it stands for the
// launcher there. The entry starts the program that wrote it.
class AutostartEntry
{
public:
    // The launcher's file name, shared with the installed one.
    static constexpr const char* kFileName = "com.ombrix.Ferrovane.desktop";

    static QString Path();
    static bool Exists();

    // Writes the entry (atomically) or removes it. On failure `why` says what went wrong.
    static bool Write(QString& why);
    static bool Remove(QString& why);

    // The program the entry starts: the one running, named as it was started (argv[0] made
    // absolute, symbolic links kept), since its file name names the settings file.
    static QString ProgramPath();
    // The same for a given start: `started` as argv[0], relative to `folder`, or looked up on
    // `searchPath` (PATH's form) when it has no '/'. Falls back to the running executable.
    static QString ProgramPath(const QString& started, const QString& folder,
                               const QString& searchPath);
    // The entry's text for the given program.
    static QString Text(const QString& program);
    // One program path as an Exec value: quoted as the desktop entry rules ask when it holds a
    // reserved character, field codes' '%' doubled, and then the string value's own escapes.
    static QString ExecValue(const QString& program);
};
