#include "app/AppFileDialog.h"

#include <QFileDialog>
#include <QList>

namespace {
QList<std::optional<QString>>& Queued()
{
    static QList<std::optional<QString>> queued;
    return queued;
}
} // namespace

std::optional<QString> AppFileDialog::OpenExistingFile(QWidget* parent)
{
    if (!Queued().isEmpty()) {
        return Queued().takeFirst();
    }
    QFileDialog dialog(parent);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().constFirst();
}

void AppFileDialog::SetNextFileName(std::optional<QString> path)
{
    Queued().append(std::move(path));
}

void AppFileDialog::Clear()
{
    Queued().clear();
}
