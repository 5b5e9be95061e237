#include "app/Resources.h"

#include <QPainter>
#include <QSvgRenderer>
#include <QtGlobal>

void EnsureResources()
{
    // A static library's resources are registered by hand.
    static const bool registered = [] {
        Q_INIT_RESOURCE(ferrovane);
        return true;
    }();
    (void)registered;
}

QPixmap RenderSvg(const QString& resource, int width, int height)
{
    EnsureResources();
    QPixmap pixmap(width, height);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(resource);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    return pixmap;
}

QIcon ProgramIcon()
{
    QIcon icon;
    for (int size : {16, 20, 32, 48}) {
        icon.addPixmap(RenderSvg(QStringLiteral(":/ferrovane.svg"), size, size));
    }
    return icon;
}
