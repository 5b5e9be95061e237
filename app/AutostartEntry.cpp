#include "app/AutostartEntry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

QString AutostartEntry::Path()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config)) {
        config = QDir::homePath() + QStringLiteral("/.config");
    }
    return config + QStringLiteral("/autostart/") + QLatin1String(kFileName);
}

bool AutostartEntry::Exists()
{
    return QFileInfo::exists(Path());
}

QString AutostartEntry::ProgramPath()
{
    return ProgramPath(QCoreApplication::arguments().value(0), QDir::currentPath(),
                       qEnvironmentVariable("PATH"));
}

QString AutostartEntry::ProgramPath(const QString& started, const QString& folder,
                                    const QString& searchPath)
{
    // The program as it was started, links kept: its file name names the settings file, so the
    // login session must start it under the same name. A name without a folder was found on the
    // search path, as the shell found it.
    QString path = started;
    if (!started.isEmpty() && !started.contains(QLatin1Char('/'))) {
        path = QStandardPaths::findExecutable(started, searchPath.split(QLatin1Char(':')));
    }
    if (!path.isEmpty()) {
        path = QDir::cleanPath(QDir(folder).absoluteFilePath(path));
    }
    const QFileInfo file(path);
    if (path.isEmpty() || !file.isFile() || !file.isExecutable()) {
        return QCoreApplication::applicationFilePath();
    }
    return path;
}

QString AutostartEntry::ExecValue(const QString& program)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool quote = program.isEmpty();
    for (const QChar c : program) {
        if (reserved.contains(c)) {
            quote = true;
            break;
        }
    }
    QString argument;
    if (quote) {
        argument += QLatin1Char('"');
        for (const QChar c : program) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
                c == QLatin1Char('\\')) {
                argument += QLatin1Char('\\');
            }
            argument += c;
        }
        argument += QLatin1Char('"');
    } else {
        argument = program;
    }
    argument.replace(QLatin1Char('%'), QStringLiteral("%%"));
    // The key's value is a string first: its escapes apply before the quoting is read.
    QString value;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\')) {
            value += QStringLiteral("\\\\");
        } else if (c == QLatin1Char('\n')) {
            value += QStringLiteral("\\n");
        } else if (c == QLatin1Char('\t')) {
            value += QStringLiteral("\\t");
        } else if (c == QLatin1Char('\r')) {
            value += QStringLiteral("\\r");
        } else {
            value += c;
        }
    }
    return value;
}

QString AutostartEntry::Text(const QString& program)
{
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Ferrovane\n"
                          "Comment=Upload files to FTP servers on a schedule\n"
                          "Exec=%1\n"
                          "Icon=com.ombrix.Ferrovane\n"
                          "Terminal=false\n"
                          "Categories=Network;FileTransfer;\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(ExecValue(program));
}

bool AutostartEntry::Write(QString& why)
{
    const QString path = Path();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        why = QStringLiteral("the folder %1 cannot be made").arg(QFileInfo(path).absolutePath());
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        why = file.errorString();
        return false;
    }
    file.write(Text(ProgramPath()).toUtf8());
    if (!file.commit()) {
        why = file.errorString();
        return false;
    }
    return true;
}

bool AutostartEntry::Remove(QString& why)
{
    QFile file(Path());
    if (!file.exists() || file.remove()) {
        return true;
    }
    why = file.errorString();
    return false;
}
