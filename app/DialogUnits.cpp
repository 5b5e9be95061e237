#include "app/DialogUnits.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QRect>
#include <QWidget>
#include <cmath>

namespace {
const char* const kDluProperty = "dlu";

struct BaseUnits
{
    int cx;
    int cy;
};

BaseUnits BaseUnitsOf(const QWidget* dialog)
{
    const QFontMetrics metrics(dialog->font());
    const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const int cx = static_cast<int>(std::lround(metrics.horizontalAdvance(alphabet) / 52.0));
    return {cx > 0 ? cx : 6, metrics.height() > 0 ? metrics.height() : 13};
}

QRect ToPixels(const QRect& dlu, BaseUnits base)
{
    return QRect(dlu.x() * base.cx / 4, dlu.y() * base.cy / 8, dlu.width() * base.cx / 4,
                 dlu.height() * base.cy / 8);
}
} // namespace

void PlaceInDialogUnits(QWidget* dialog)
{
    const BaseUnits base = BaseUnitsOf(dialog);
    const QVariant size = dialog->property(kDluProperty);
    const QSize dialogSize = size.isValid() ? ToPixels(size.toRect(), base).size() : QSize();
    for (QWidget* child : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const QVariant dlu = child->property(kDluProperty);
        if (!dlu.isValid()) {
            continue;
        }
        QRect rect = ToPixels(dlu.toRect(), base);
        const auto* label = qobject_cast<QLabel*>(child);
        const bool textOnly = qobject_cast<QCheckBox*>(child) != nullptr ||
                              (label != nullptr && !label->text().isEmpty());
        if (textOnly) {
            // Room for the whole text, but never past the dialog's edge.
            int width = std::max(rect.width(), child->sizeHint().width());
            if (dialogSize.isValid()) {
                width = std::min(width, std::max(rect.width(), dialogSize.width() - rect.x()));
            }
            rect.setWidth(width);
            rect.setHeight(std::max(rect.height(), child->sizeHint().height()));
        }
        child->setGeometry(rect);
    }
    if (dialogSize.isValid()) {
        dialog->setFixedSize(dialogSize);
    }
}
