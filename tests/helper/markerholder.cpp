// markerholder PATH [MS]: takes the single-instance marker that update.exe stored at PATH holds
// while it runs, prints "held", and keeps it until standard input closes or, given MS, for that
// many milliseconds. Exit code 1 when the marker is taken already.

#include "app/processentry.h"
#include "helper/updatehelper.h"

#include <QCoreApplication>
#include <QThread>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2)
        return 2;
    if (!acquireSingleInstance(CUpdateHelper::updaterInstanceKey(arguments.at(1))))
        return 1;
    std::puts("held");
    std::fflush(stdout);
    if (arguments.size() > 2) {
        QThread::msleep(arguments.at(2).toULong());
        return 0;
    }
    while (std::getchar() != EOF)
        continue;
    return 0;
}
