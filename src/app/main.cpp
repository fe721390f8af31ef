#include "app/controler.h"
#include "app/processentry.h"
#include "app/resources.h"

#include <QApplication>
#include <QIcon>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1; // a second instance, or a controller that could not be set up

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ensureResources();
    QApplication::setWindowIcon(QIcon(QLatin1String(ApplicationIconPath)));

    const QStringList arguments = QCoreApplication::arguments();
    reportArguments(arguments);

    if (!acquireSingleInstance(instanceKey()))
        return kExitFailure;

    startLogging();

    CControler controller;
    if (!controller.initialize()) {
        if (arguments.contains(QStringLiteral("console")))
            writeConsoleLine(consoleFailureLine());
        return kExitFailure;
    }

    if (!controller.parseArguments(arguments)) {
        controller.runHelperMode();
        return kExitOk;
    }

    controller.run();
    // A TCP update ends inside run(); its request to quit is then already pending and makes the
    // event loop return at once.
    if (controller.isAnyWindowVisible() && !controller.quitRequested())
        return app.exec();
    return kExitOk;
}
