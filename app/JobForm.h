#pragma once

#include "jobs/UploadJob.h"

#include <QString>
#include <cstdint>
#include <string>

class QWidget;

namespace Ui {
class MainDialog;
}

// The job form: one job's fields in the window's edit controls, and their values, moved between
// the two by UpdateData as a dialog's data exchange does. What the form refuses is told in a box
// with the field handed back to the user.
class JobForm
{
public:
    // `ui` is the window's, set up or not yet; the form only keeps it.
    JobForm(QWidget* window, Ui::MainDialog* ui);

    // Port 21, active mode: what a new window's form shows.
    void SetDefaults();
    // saveAndValidate false: the values go into the fields. Otherwise the fields are read back; an
    // interval that is no number is told, its field selected, and false returned.
    bool UpdateData(bool saveAndValidate);
    void Load(const UploadJob& job);
    // The job the form describes, its countdown at its interval.
    UploadJob Read();
    // "Time muse be larger than 0.", and the interval back to 1.
    void ShowIntervalTooSmall();
    // The address check shared by add and change: the same parse the transfer uses.
    bool AddressAccepted(const UploadJob& job);
    // A file picked with the file button becomes the source, and its name the destination when
    // the form has none.
    void PutChosenFile(const QString& path);

private:
    QWidget* window_;
    Ui::MainDialog* ui_;
    std::string destinationText_;
    std::string passwordText_;
    std::string sourceText_;
    std::string userNameText_;
    std::string webAddressText_;
    std::int32_t interval_ = 1;
};
