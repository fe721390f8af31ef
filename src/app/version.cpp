#include "app/version.h"

#ifndef UPDATER_VERSION
#error "the build defines UPDATER_VERSION"
#endif

QString updaterVersion()
{
    return QStringLiteral(UPDATER_VERSION);
}
