// updatehelper.exe: replaces update.exe after the updater has ended and hands back to it.
// No window; everything it does is in updatehelper.log.

#include "config/systemconfig.h"
#include "helper/updatehelper.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    CUpdateHelper::startLogging();
    CUpdateHelper helper(CSystemConfig::appDirPath());
    return static_cast<int>(helper.run(QCoreApplication::arguments().mid(1)));
}
