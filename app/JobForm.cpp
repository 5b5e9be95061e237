#include "app/JobForm.h"

#include "app/AppMessageBox.h"
#include "app/WidgetText.h"
#include "jobs/FormValues.h"
#include "transfer/ServerAddress.h"
#include "ui_MainDialog.h"

#include <QFileInfo>

namespace {
const char* const kIntervalTooSmall = "Time muse be larger than 0.";

const char* const kAddressRefused =
    "The web address must take one of these forms:\n"
    "ftp://host (or the host alone)\n"
    "ftpes://host\n"
    "ftps://host\n"
    "sftp://host\n"
    "each with an optional :port. A user name, password or folder does not belong in it.";

} // namespace

JobForm::JobForm(QWidget* window, Ui::MainDialog* ui) : window_(window), ui_(ui) {}

void JobForm::SetDefaults()
{
    ui_->portEdit->setText(QString::number(21));
    ui_->passiveCheck->setChecked(false);
}

bool JobForm::UpdateData(bool saveAndValidate)
{
    if (!saveAndValidate) {
        ui_->destinationEdit->setText(FromText(destinationText_));
        ui_->passwordEdit->setText(FromText(passwordText_));
        ui_->sourceEdit->setText(FromText(sourceText_));
        ui_->userEdit->setText(FromText(userNameText_));
        ui_->webEdit->setText(FromText(webAddressText_));
        ui_->timeEdit->setText(QString::number(interval_));
        return true;
    }
    destinationText_ = ToText(ui_->destinationEdit->text());
    passwordText_ = ToText(ui_->passwordEdit->text());
    sourceText_ = ToText(ui_->sourceEdit->text());
    userNameText_ = ToText(ui_->userEdit->text());
    webAddressText_ = ToText(ui_->webEdit->text());
    const auto interval = ParseIntervalText(ToText(ui_->timeEdit->text()));
    if (!interval) {
        AppMessageBox::Show(window_, QStringLiteral("Please enter an integer."),
                            QMessageBox::Warning);
        ui_->timeEdit->setFocus();
        ui_->timeEdit->selectAll();
        return false;
    }
    interval_ = *interval;
    return true;
}

void JobForm::Load(const UploadJob& job)
{
    userNameText_ = job.userName;
    passwordText_ = job.password;
    webAddressText_ = job.webAddress;
    sourceText_ = job.sourceFile;
    destinationText_ = job.destinationFile;
    interval_ = job.intervalSeconds;
    UpdateData(false);
    ui_->portEdit->setText(QString::number(job.port));
    ui_->passiveCheck->setChecked(job.passiveMode != 0);
}

UploadJob JobForm::Read()
{
    UpdateData(true);
    UploadJob job;
    job.userName = userNameText_;
    job.password = passwordText_;
    job.webAddress = webAddressText_;
    job.sourceFile = sourceText_;
    job.destinationFile = destinationText_;
    job.intervalSeconds = interval_;
    job.countdown = interval_;
    job.passiveMode = ui_->passiveCheck->isChecked() ? 1 : 0;
    job.port = ParsePortText(ToText(ui_->portEdit->text()));
    return job;
}

void JobForm::ShowIntervalTooSmall()
{
    AppMessageBox::Show(window_, QString::fromLatin1(kIntervalTooSmall), QMessageBox::Information);
    interval_ = 1;
    UpdateData(false);
}

// The address check shared by add and change: the same parse the transfer uses, so that the
// editor never keeps an address the transfer would refuse. An address without "://" passes. A
// refused one is told, and the field is handed back to the user with its text selected.
bool JobForm::AddressAccepted(const UploadJob& job)
{
    if (ParseServerAddress(job.webAddress, job.port)) {
        return true;
    }
    AppMessageBox::Show(window_, QString::fromLatin1(kAddressRefused), QMessageBox::Information);
    ui_->webEdit->setFocus();
    ui_->webEdit->selectAll();
    return false;
}

void JobForm::PutChosenFile(const QString& path)
{
    UpdateData(true);
    // The path is kept exactly as chosen: file names here are case-sensitive.
    sourceText_ = ToText(path);
    if (destinationText_.empty()) {
        destinationText_ = ToText(QLatin1Char('/') + QFileInfo(path).fileName());
    }
    UpdateData(false);
}
