#include "app/controler.h"
#include "app/processentry.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

// The pieces of the process entry and the controller that decide what a caller sees: the argument
// report, the run mode taken from the command line and the console lines.
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
};

QTEST_MAIN(TestProcessEntry)
#include "tst_processentry.moc"
