#include "app/Resources.h"

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
