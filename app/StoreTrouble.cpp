#include "app/StoreTrouble.h"

#include "app/AppMessageBox.h"
#include "app/WidgetText.h"

void StoreTrouble::TellLoad(const LoadReport& report, const QString& fileName)
{
    if (!report.fileError.empty()) {
        toldSaveError_ = report.fileError;
        AppMessageBox::Show(
            window_,
            QStringLiteral("The job list could not be read from %1: %2.\n\n"
                           "The program goes on with an empty job list and leaves that file as it "
                           "is: jobs you add now are kept in this window only. Put the right file "
                           "in its place and start the program again.")
                .arg(fileName, FromText(report.fileError)),
            QMessageBox::Warning);
    }
    if (report.unreadPasswords == 0) {
        return;
    }
    const int count = report.unreadPasswords;
    AppMessageBox::Show(
        window_,
        QStringLiteral("The stored passwords of %1 could not be read, because %2.\n\n"
                       "Key file: %3\n\n"
                       "Their stored passwords are kept unchanged. Put the right key file back "
                       "and start the program again to use them; until then these jobs log in "
                       "with an empty password.")
            .arg(count == 1 ? QStringLiteral("1 job") : QStringLiteral("%1 jobs").arg(count),
                 FromText(report.reason), FromText(report.keyFile)),
        QMessageBox::Warning);
}

void StoreTrouble::TellSave(const SaveReport& report, const QString& fileName)
{
    if (report.written) {
        toldSaveError_.clear();
    } else if (report.fileError != toldSaveError_) {
        toldSaveError_ = report.fileError;
        AppMessageBox::Show(
            window_,
            QStringLiteral("The job list could not be saved to %1: %2.\n\n"
                           "Your changes are kept in this window and will be written at the next "
                           "successful save.")
                .arg(fileName, FromText(report.fileError)),
            QMessageBox::Warning);
    }
    if (report.passwordsNotEnciphered == 0) {
        toldKeyError_.clear();
    } else if (report.keyError != toldKeyError_) {
        toldKeyError_ = report.keyError;
        AppMessageBox::Show(
            window_,
            QStringLiteral("A password could not be enciphered for storing, because %1.\n\n"
                           "Key file: %2\n\n"
                           "The job's stored password is kept unchanged; the password you typed "
                           "is used until the program ends.")
                .arg(FromText(report.keyError), FromText(report.keyFile)),
            QMessageBox::Warning);
    }
}
