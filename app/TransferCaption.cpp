#include "app/TransferCaption.h"

#include "app/WidgetText.h"

#include <QFileInfo>
#include <QWidget>

void TransferCaption::Begin(const std::string& localPath)
{
    shown_.push_back({window_->windowTitle(), QFileInfo(FromText(localPath)).fileName()});
}

void TransferCaption::Progress(int percent)
{
    window_->setWindowTitle(
        QStringLiteral("%1 - %2 %3%").arg(shown_.back().first, shown_.back().second).arg(percent));
}

void TransferCaption::End()
{
    window_->setWindowTitle(shown_.back().first);
    shown_.pop_back();
}
