#include "resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be expanded outside any namespace.
static void registerResources()
{
    Q_INIT_RESOURCE(resources);
}

void ensureResources()
{
    static const bool registered = (registerResources(), true);
    Q_UNUSED(registered)
}
