#include "app/WindowMenu.h"

#include "app/AppMessageBox.h"
#include "app/AutostartEntry.h"
#include "engine/HistoryFile.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

WindowMenu::WindowMenu(QWidget* window, std::function<void()> about) : QMenu(window)
{
    setObjectName(QStringLiteral("windowMenu"));
    addSeparator();
    QAction* showHistory = addAction(QStringLiteral("Show &history"));
    showHistory->setObjectName(QStringLiteral("showHistoryAction"));
    connect(showHistory, &QAction::triggered, this, &WindowMenu::OnShowHistory);
    startAtLogin_ = addAction(QStringLiteral("Start at &login"));
    startAtLogin_->setObjectName(QStringLiteral("startAtLoginAction"));
    startAtLogin_->setCheckable(true);
    startAtLogin_->setChecked(AutostartEntry::Exists());
    connect(this, &QMenu::aboutToShow, this,
            [this] { startAtLogin_->setChecked(AutostartEntry::Exists()); });
    connect(startAtLogin_, &QAction::triggered, this, &WindowMenu::OnStartAtLogin);
    QAction* aboutItem = addAction(QStringLiteral("&About Ferrovane..."));
    aboutItem->setObjectName(QStringLiteral("aboutAction"));
    connect(aboutItem, &QAction::triggered, window, std::move(about), Qt::QueuedConnection);
}

void WindowMenu::OnStartAtLogin(bool start)
{
    QString why;
    if (!(start ? AutostartEntry::Write(why) : AutostartEntry::Remove(why))) {
        AppMessageBox::Show(parentWidget(),
                            QStringLiteral("The login entry %1 could not be %2: %3.")
                                .arg(AutostartEntry::Path(),
                                     start ? QStringLiteral("written") : QStringLiteral("removed"),
                                     why),
                            QMessageBox::Warning);
    }
    startAtLogin_->setChecked(AutostartEntry::Exists());
}

void WindowMenu::OnShowHistory()
{
    const QString path = QFile::decodeName(QByteArray::fromStdString(HistoryFile::DefaultPath()));
    // The viewer is another program: the window does not wait for it, nor for the box.
    if (!QFileInfo::exists(path)) {
        AppMessageBox::ShowLater(parentWidget(),
                                 QStringLiteral("No entry has been written to the history yet. "
                                                "It will be kept in %1.")
                                     .arg(path),
                                 QMessageBox::Information);
    } else if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path))) {
        AppMessageBox::ShowLater(
            parentWidget(),
            QStringLiteral("No program could be found to show the history. It is kept in %1.")
                .arg(path),
            QMessageBox::Information);
    }
}
