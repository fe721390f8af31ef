#include "app/controler.h"
#include "app/exitcodes.h"
#include "app/processentry.h"
#include "app/resources.h"
#include "app/terminationwatcher.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ensureResources();
    QApplication::setWindowIcon(QIcon(QLatin1String(ApplicationIconPath)));

    const QStringList arguments = QCoreApplication::arguments();
    const QString information = informationRequest(arguments);
    if (!information.isEmpty()) {
        writeConsoleText(information);
        return ExitCode::Ok;
    }
    reportArguments(arguments);

    if (!acquireSingleInstance(instanceKey()))
        return ExitCode::CouldNotStart;

    startLogging();

    // The controller decides when the program ends; a window the user hides while a download
    // runs must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    CControler controller;
    if (!controller.initialize()) {
        if (arguments.contains(QStringLiteral("console")))
            writeConsoleLine(consoleFailureLine());
        return ExitCode::CouldNotStart;
    }

    if (!controller.parseArguments(arguments))
        return controller.runHelperMode();

    // Queued: the slot that ends the run unwinds before the loop returns.
    QObject::connect(&controller, &CControler::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    TerminationWatcher termination;
    QObject::connect(&termination, &TerminationWatcher::terminationRequested, &controller, &CControler::cancel);

    controller.run();
    // A TCP update ends inside run(); an HTTP update, and a failure window in GUI mode, end in the
    // event loop.
    if (!controller.isFinished())
        app.exec();
    return controller.exitCode();
}
