#include "app/version.h"

#ifndef UPDATER_VERSION
#error "UPDATER_VERSION must be defined by the build"
#endif

QString updaterVersion()
{
    return QStringLiteral(UPDATER_VERSION);
}
