#include "tests/gui/support/DialogDriver.h"

#include "tests/support/TempHome.h"
#include "transfer/FolderScanner.h"

#include <QApplication>
#include <QHeaderView>
#include <QTest>
#include <algorithm>

DialogDriver::DialogDriver() : folder_(MakeTempDir("ferrovane-gui")), ownsFolder_(true)
{
    Open(OpenStore());
}

DialogDriver::DialogDriver(const std::string& storeFolder) : folder_(storeFolder)
{
    Open(OpenStore());
}

DialogDriver::DialogDriver(std::shared_ptr<SettingsStore> store)
{
    Open(std::move(store));
}

DialogDriver::~DialogDriver()
{
    dialog_.reset();
    if (ownsFolder_) {
        RemoveTree(folder_);
    }
}

std::shared_ptr<SettingsStore> DialogDriver::OpenStore() const
{
    auto store = std::make_shared<SettingsStore>(
        SettingsStore::FromFile(QString::fromStdString(folder_ + "/ferrovane.conf")));
    store->SetKeyStoreRoot(folder_ + "/keys");
    return store;
}

void DialogDriver::Open(std::shared_ptr<SettingsStore> store)
{
    dialog_ = std::make_unique<MainDialog>(std::move(store));
    dialog_->show();
    if (!QTest::qWaitForWindowExposed(dialog_.get())) {
        throw std::runtime_error("window not exposed");
    }
    Settle();
}

void DialogDriver::Settle()
{
    // A stand-in's answers each post the run's next request; a few passes see a run through.
    for (int pass = 0; pass < 50; ++pass) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents();
        if (dialog_->RunnerForTesting().ActiveRuns() == 0) {
            break;
        }
    }
}

bool DialogDriver::WaitForRuns(int timeoutMs)
{
    const bool ended = QTest::qWaitFor(
        [this] { return dialog_->RunnerForTesting().ActiveRuns() == 0; }, timeoutMs);
    Settle();
    return ended;
}

StandInTransport& DialogDriver::UseStandIn(std::function<FileOutcome(const FileRequest&)> answer)
{
    auto transport = std::make_unique<StandInTransport>();
    StandInTransport& standIn = *transport;
    standIn.answerSends = std::move(answer);
    standIn.answerLists = ListPatternFiles;
    dialog_->SetTransportForTesting(std::move(transport));
    return standIn;
}

void DialogDriver::Type(const char* editName, const QString& text)
{
    QLineEdit* edit = Edit(editName);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    if (!text.isEmpty()) {
        QTest::keyClicks(edit, text);
    }
}

void DialogDriver::Click(const char* buttonName)
{
    QTest::mouseClick(Button(buttonName), Qt::LeftButton);
    Settle();
}

void DialogDriver::ClickRow(int row, Qt::KeyboardModifiers modifiers)
{
    QTableWidget* list = List();
    const QRect cell = list->visualRect(list->model()->index(row, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers, cell.center());
    Settle();
}

void DialogDriver::AddJob(const QString& web, const QString& user, const QString& source,
                          const QString& destination, int interval, const QString& port,
                          bool passive, const QString& password)
{
    Type("webEdit", web);
    Type("userEdit", user);
    Type("passwordEdit", password);
    Type("sourceEdit", source);
    Type("destinationEdit", destination);
    Type("timeEdit", QString::number(interval));
    Type("portEdit", port);
    if (Passive()->isChecked() != passive) {
        QTest::mouseClick(Passive(), Qt::LeftButton, Qt::NoModifier,
                          QPoint(4, Passive()->height() / 2));
    }
    Click("addButton");
}

QStringList DialogDriver::Row(int row) const
{
    QStringList cells;
    for (int column = 0; column < List()->columnCount(); ++column) {
        const QTableWidgetItem* item = List()->item(row, column);
        cells << (item ? item->text() : QString());
    }
    return cells;
}

std::vector<int> DialogDriver::SelectedRows() const
{
    std::vector<int> rows;
    for (const QModelIndex& index : List()->selectionModel()->selectedRows()) {
        rows.push_back(index.row());
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}
