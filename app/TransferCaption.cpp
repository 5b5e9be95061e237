#include "app/TransferCaption.h"

#include "app/WidgetText.h"

#include <QFileInfo>
#include <QWidget>
#include <algorithm>

void TransferCaption::Begin(RunId run, const std::string& localPath)
{
    if (shown_.empty()) {
        caption_ = window_->windowTitle();
    }
    shown_.push_back({run, QFileInfo(FromText(localPath)).fileName(), 0});
    Show();
}

void TransferCaption::Progress(RunId run, int percent)
{
    const auto found = std::find_if(shown_.begin(), shown_.end(),
                                    [run](const Transfer& t) { return t.run == run; });
    if (found != shown_.end() && found->percent != percent) {
        found->percent = percent;
        // Only the file named in the caption changes it.
        if (found == shown_.begin()) {
            Show();
        }
    }
}

void TransferCaption::End(RunId run)
{
    const auto found = std::find_if(shown_.begin(), shown_.end(),
                                    [run](const Transfer& t) { return t.run == run; });
    if (found != shown_.end()) {
        shown_.erase(found);
        Show();
    }
}

void TransferCaption::Show()
{
    if (shown_.empty()) {
        window_->setWindowTitle(caption_);
        return;
    }
    const Transfer& first = shown_.front();
    QString title = QStringLiteral("%1 - %2 %3%").arg(caption_, first.name).arg(first.percent);
    if (shown_.size() > 1) {
        title += QStringLiteral(" (%1 more going out)").arg(shown_.size() - 1);
    }
    window_->setWindowTitle(title);
}
