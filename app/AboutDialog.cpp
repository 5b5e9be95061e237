#include "app/AboutDialog.h"

#include "app/DialogUnits.h"
#include "app/Resources.h"
#include "ui_AboutDialog.h"

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::AboutDialog>())
{
    EnsureResources();
    ui_->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    // The project's version, so that the box and --version never disagree.
    ui_->versionLabel->setText(QStringLiteral("Ferrovane Version " FERROVANE_VERSION));
    PlaceInDialogUnits(this);
    const QIcon icon = ProgramIcon();
    setWindowIcon(icon);
    ui_->iconLabel->setPixmap(icon.pixmap(ui_->iconLabel->size()));
    connect(ui_->okButton, &QPushButton::clicked, this, &QDialog::accept);
}

AboutDialog::~AboutDialog() = default;
