#include "app/controler.h"
#include "app/processentry.h"
#include "app/terminationwatcher.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#endif

namespace {

// Asks this process to end the way the system or a host program does: request is a row name of
// terminationRequests. False when the request could not be made.
bool askToEnd(const QString &request)
{
#ifdef Q_OS_WIN
    // Like QProcess::terminate() and taskkill: a message to every top-level window of the process.
    struct Request
    {
        UINT message;
        bool sent = false;
        bool refused = false;
    } state{request == QLatin1String("WM_CLOSE") ? UINT(WM_CLOSE) : UINT(WM_QUERYENDSESSION)};
    EnumWindows(
        [](HWND window, LPARAM parameter) -> BOOL {
            auto *state = reinterpret_cast<Request *>(parameter);
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            if (process != GetCurrentProcessId())
                return TRUE;
            if (state->message == WM_CLOSE)
                state->sent = PostMessageW(window, WM_CLOSE, 0, 0) || state->sent;
            else if (SendMessageW(window, WM_QUERYENDSESSION, 0, 0) == FALSE)
                state->refused = true; // nothing may hold up the end of the session
            else
                state->sent = true;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&state));
    return state.sent && !state.refused;
#else
    return ::raise(request == QLatin1String("SIGTERM") ? SIGTERM : SIGINT) == 0;
#endif
}

} // namespace

// The pieces of the process entry and the controller that decide what a caller sees: the argument
// report, the run mode taken from the command line, the console lines and the requests to end.
class TestProcessEntry : public QObject
{
    Q_OBJECT

private slots:
    void argumentReport()
    {
        QCOMPARE(argumentReportText({QStringLiteral("C:/App/update.exe"), QStringLiteral("console")}),
                 QStringLiteral("命令行参数列表（共 2 个）：\n\nargv[0]: \"C:/App/update.exe\"\nargv[1]: \"console\"\n"));
        QCOMPARE(argumentReportText({}), QStringLiteral("命令行参数列表（共 0 个）：\n\n"));
    }

    void instanceKeyNamesTheExecutable()
    {
        QCOMPARE(instanceKey(), QDir::toNativeSeparators(QCoreApplication::applicationFilePath())
                     + QStringLiteral("SystemObject_Update"));
    }

    void runMode_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("outcome");
        const int console = int(CControler::RunMode::Console);
        const int gui = int(CControler::RunMode::Gui);
        const int helper = int(CControler::RunMode::Helper);
        QTest::newRow("none") << QStringList{"update.exe"} << gui << 1;
        QTest::newRow("console") << QStringList{"update.exe", "console"} << console << 1;
        QTest::newRow("Console is not console") << QStringList{"update.exe", "Console"} << gui << 1;
        QTest::newRow("--console is not console") << QStringList{"update.exe", "--console"} << gui << 1;
        QTest::newRow("helper wins over console")
            << QStringList{"update.exe", "console", "updatehelper", "HelperSuccess"} << helper << 0;
        QTest::newRow("helper failed") << QStringList{"update.exe", "updatehelper", "HelperFaile"} << helper << 1;
        QTest::newRow("helper without outcome") << QStringList{"update.exe", "updatehelper"} << helper << 1;
        QTest::newRow("order does not matter") << QStringList{"HelperSuccess", "x", "updatehelper"} << helper << 0;
    }

    void runMode()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, mode);
        QFETCH(int, outcome);
        QCOMPARE(int(CControler::detectRunMode(arguments)), mode);
        QCOMPARE(CControler::helperOutcome(arguments), outcome);
    }

    void consoleLines()
    {
        QCOMPARE(consoleFailureLine(), QByteArray(R"({"errormsg":"Controller initialization failed","success":false,"update":true})"));
        CControler controller;
        QCOMPARE(QJsonDocument(controller.buildResultJson()).toJson(QJsonDocument::Compact),
                 QByteArray(R"({"errormsg":"","success":true,"update":false})"));
    }

    // Every way the system and host programs ask update.exe to end reaches the controller, also
    // when no window of Qt's exists (console mode on the offscreen platform), and a second time.
    void terminationRequests_data()
    {
        QTest::addColumn<QString>("request");
#ifdef Q_OS_WIN
        QTest::newRow("WM_CLOSE") << QStringLiteral("WM_CLOSE");
        QTest::newRow("end of the session") << QStringLiteral("WM_QUERYENDSESSION");
#else
        QTest::newRow("SIGTERM") << QStringLiteral("SIGTERM");
        QTest::newRow("SIGINT") << QStringLiteral("SIGINT");
#endif
    }

    void terminationRequests()
    {
        QFETCH(QString, request);
        TerminationWatcher watcher;
        QSignalSpy requested(&watcher, &TerminationWatcher::terminationRequested);
        QVERIFY(requested.isValid());
        QVERIFY(askToEnd(request));
        QTRY_COMPARE(requested.count(), 1);
        QVERIFY(askToEnd(request));
        QTRY_COMPARE(requested.count(), 2);
    }
};

QTEST_MAIN(TestProcessEntry)
#include "tst_processentry.moc"
