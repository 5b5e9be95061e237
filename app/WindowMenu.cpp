#include "app/WindowMenu.h"

#include "app/AppMessageBox.h"
#include "app/AutostartEntry.h"

WindowMenu::WindowMenu(QWidget* window, std::function<void()> about) : QMenu(window)
{
    setObjectName(QStringLiteral("windowMenu"));
    addSeparator();
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
