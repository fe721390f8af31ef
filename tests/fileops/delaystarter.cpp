// Calls UTIL::delayStartExe(argv[1], argv[2..]) and exits at once, as the updater does after its
// last step: the started program must not need this process any more.

#include "fileops/util.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2)
        return 2;
    arguments.removeFirst();
    const QString program = arguments.takeFirst();
    UTIL::delayStartExe(program, arguments);
    return 0;
}
