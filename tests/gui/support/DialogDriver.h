#pragma once

#include "app/MainDialog.h"
#include "jobs/SettingsStore.h"
#include "tests/support/StandInTransport.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QTableWidget>
#include <memory>
#include <string>
#include <vector>

// Drives the real main window as a user would: finds controls by name, clicks, types, and waits
// for the posted work of a click to be done. Each driver has a store of its own in a temporary
// folder, so tests never see each other's jobs; a second driver can reopen the same store.
class DialogDriver
{
public:
    DialogDriver();
    explicit DialogDriver(const std::string& storeFolder);
    // A window over a store of the caller's; storeFolder() is then empty.
    explicit DialogDriver(std::shared_ptr<SettingsStore> store);
    ~DialogDriver();

    MainDialog& dialog() { return *dialog_; }
    const std::string& storeFolder() const { return folder_; }
    std::shared_ptr<SettingsStore> OpenStore() const;

    template <class T> T* Find(const char* name) const
    {
        T* widget = dialog_->findChild<T*>(QString::fromLatin1(name));
        if (widget == nullptr) {
            throw std::runtime_error(std::string("no widget ") + name);
        }
        return widget;
    }
    QLineEdit* Edit(const char* name) const { return Find<QLineEdit>(name); }
    QPushButton* Button(const char* name) const { return Find<QPushButton>(name); }
    QTableWidget* List() const { return Find<QTableWidget>("jobList"); }
    QPlainTextEdit* Log() const { return Find<QPlainTextEdit>("logPane"); }
    QCheckBox* Passive() const { return Find<QCheckBox>("passiveCheck"); }

    // Replaces a field's text by typing, as a user selecting all and typing over it.
    void Type(const char* editName, const QString& text);
    void Click(const char* buttonName);
    // A click on a row, with modifiers for extending the selection.
    void ClickRow(int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    // Handles what clicks and the list have posted, and what a stand-in transport answers.
    void Settle();
    // Lets the event loop run until no run is going or waiting (false after `timeoutMs`).
    bool WaitForRuns(int timeoutMs = 30000);
    // Puts a stand-in in place of the real transfers; it answers each file with `answer`, and
    // lists a pattern with the real folder scan.
    StandInTransport& UseStandIn(std::function<FileOutcome(const FileRequest&)> answer);

    // Fills the whole form and presses add.
    void AddJob(const QString& web, const QString& user, const QString& source,
                const QString& destination, int interval,
                const QString& port = QStringLiteral("21"), bool passive = false,
                const QString& password = QString());

    int RowCount() const { return List()->rowCount(); }
    QStringList Row(int row) const;
    std::vector<int> SelectedRows() const;
    int CurrentRow() const { return List()->currentRow(); }
    QString Text(const char* editName) const { return Edit(editName)->text(); }

private:
    void Open(std::shared_ptr<SettingsStore> store);

    std::string folder_;
    bool ownsFolder_ = false;
    std::unique_ptr<MainDialog> dialog_;
};
