#include "common/envguard.h"
#include "fileops/util.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int kStartTimeoutMs = 15000;

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A private script directory (TMPDIR) and output file for one delayed start.
struct Sandbox
{
    QTemporaryDir dir;
    QString scripts = dir.filePath(QStringLiteral("scripts"));
    QString out = dir.filePath(QStringLiteral("args.txt"));
    bool ready = QDir().mkpath(scripts);

    QStringList scriptFiles() const { return QDir(scripts).entryList(QDir::Files | QDir::Hidden); }
};

const QRegularExpression kScriptName(QStringLiteral("^delay_start_\\d+\\.sh$"));
const QRegularExpression kBatchName(QStringLiteral("^delay_start_\\d+\\.bat$"));

} // namespace

// UTIL::delayStartExe with real processes: the script runs the program a second later, passes
// every argument intact, cleans up after itself and falls back to a direct start.
class TestDelayStart : public QObject
{
    Q_OBJECT

private slots:
    void batchScript_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QByteArray>("expected");

        const QByteArray head = "@echo off\r\necho Starting in 1 second...\r\ntimeout /t 1 /nobreak >nul\r\n";
        QTest::newRow("update helper, Chinese path")
            << QStringLiteral("C:/Program Files/应用/updatehelper.exe")
            << QStringList{QStringLiteral("update.exe"), QStringLiteral("update.exe")}
            << QStringLiteral("C:/Users/me/AppData/Local/Temp/delay_start_1700000000000.bat")
            << head + "\"C:\\Program Files\\\xd3\xa6\xd3\xc3\\updatehelper.exe\" \"update.exe\" \"update.exe\"\r\n"
                      "del \"C:\\Users\\me\\AppData\\Local\\Temp\\delay_start_1700000000000.bat\"\r\n";
        QTest::newRow("no arguments")
            << QStringLiteral("D:/app/host.exe") << QStringList()
            << QStringLiteral("C:/Temp/delay_start_5.bat")
            << head + "\"D:\\app\\host.exe\"\r\ndel \"C:\\Temp\\delay_start_5.bat\"\r\n";
        QTest::newRow("arguments written unchanged")
            << QStringLiteral("D:\\app\\host.exe")
            << QStringList{QStringLiteral("a b"), QStringLiteral("x/y"), QStringLiteral("it's"), QString()}
            << QStringLiteral("C:\\Temp\\delay_start_6.bat")
            << head + "\"D:\\app\\host.exe\" \"a b\" \"x/y\" \"it's\" \"\"\r\ndel \"C:\\Temp\\delay_start_6.bat\"\r\n";
        QTest::newRow("Chinese script path")
            << QStringLiteral("D:/app/host.exe") << QStringList()
            << QStringLiteral("C:/临时/delay_start_7.bat")
            << head + "\"D:\\app\\host.exe\"\r\ndel \"C:\\\xc1\xd9\xca\xb1\\delay_start_7.bat\"\r\n";
    }

    void batchScript()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(QString, script);
        QFETCH(QByteArray, expected);
        QCOMPARE(UTIL::batchScript(program, arguments, script), expected);
    }

    void shellScript_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("command");

        QTest::newRow("update helper")
            << QStringLiteral("/opt/app/updatehelper.exe")
            << QStringList{QStringLiteral("update.exe"), QStringLiteral("update.exe")}
            << QByteArray("'/opt/app/updatehelper.exe' 'update.exe' 'update.exe'");
        QTest::newRow("no arguments") << QStringLiteral("/opt/app/host.exe") << QStringList()
                                      << QByteArray("'/opt/app/host.exe'");
        QTest::newRow("blanks, quotes and shell syntax")
            << QStringLiteral("/opt/my app/it's.exe")
            << QStringList{QStringLiteral("a b"), QStringLiteral("it's"), QString(), QStringLiteral("$HOME;`id`\"")}
            << QByteArray("'/opt/my app/it'\\''s.exe' 'a b' 'it'\\''s' '' '$HOME;`id`\"'");
    }

    void shellScript()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, command);
        const QByteArray expected =
            "#!/bin/sh\nsleep 1\n" + command + "\nrm -f -- '/tmp/it'\\''s/delay_start_9.sh'\n";
        QCOMPARE(UTIL::shellScript(program, arguments, QStringLiteral("/tmp/it's/delay_start_9.sh")), expected);
    }

#ifndef Q_OS_WIN
    void startsProgramAboutOneSecondLater()
    {
        Sandbox box;
        QVERIFY(box.ready);
        EnvGuard tmp("TMPDIR", QFile::encodeName(box.scripts));
        EnvGuard out("RECORDARGS_OUT", QFile::encodeName(box.out));

        QElapsedTimer timer;
        timer.start();
        UTIL::delayStartExe(QStringLiteral(RECORDARGS_PATH),
                            {QStringLiteral("plain"), QStringLiteral("with blank"), QStringLiteral("it's"),
                             QStringLiteral("\"double\""), QStringLiteral("中文 参数"), QString()});

        const QStringList scripts = box.scriptFiles();
        QCOMPARE(scripts.size(), 1);
        QVERIFY2(kScriptName.match(scripts.first()).hasMatch(), qPrintable(scripts.first()));
        QVERIFY2(!QFile::exists(box.out), "the program ran before the delay");

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(box.out), kStartTimeoutMs);
        QVERIFY2(timer.elapsed() >= 1000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(readAll(box.out), QByteArray("plain\nwith blank\nit's\n\"double\"\n\xe4\xb8\xad\xe6\x96\x87 \xe5\x8f\x82\xe6\x95\xb0\n\n"));
        QTRY_COMPARE_WITH_TIMEOUT(box.scriptFiles(), QStringList(), kStartTimeoutMs);
    }

    void relativeProgramResolvesAgainstWorkingDirectory()
    {
        Sandbox box;
        QVERIFY(box.ready);
        // The resolved path holds a blank, a quote and Chinese characters.
        const QString programDir = box.dir.filePath(QStringLiteral("程序 it's"));
        QVERIFY(QDir().mkpath(programDir));
        QVERIFY(QFile::copy(QStringLiteral(RECORDARGS_PATH), programDir + QStringLiteral("/prog")));
        EnvGuard tmp("TMPDIR", QFile::encodeName(box.scripts));
        EnvGuard out("RECORDARGS_OUT", QFile::encodeName(box.out));

        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(programDir));
        UTIL::delayStartExe(QStringLiteral("prog"), {QStringLiteral("relative")});
        QVERIFY(QDir::setCurrent(previous));

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(box.out), kStartTimeoutMs);
        QCOMPARE(readAll(box.out), QByteArray("relative\n"));
        QTRY_COMPARE_WITH_TIMEOUT(box.scriptFiles(), QStringList(), kStartTimeoutMs);
    }

    // The updater exits right after the call; the program still starts, and the updater's output
    // (a pipe the host program reads in console mode) is not held open by it.
    void outlivesTheCallerAndReleasesItsOutput()
    {
        Sandbox box;
        QVERIFY(box.ready);
        EnvGuard tmp("TMPDIR", QFile::encodeName(box.scripts));
        EnvGuard out("RECORDARGS_OUT", QFile::encodeName(box.out));
        EnvGuard sleep("RECORDARGS_SLEEP_MS", "2000");

        QProcess pipeline;
        pipeline.start(QStringLiteral("/bin/sh"),
                       {QStringLiteral("-c"), UTIL::shellQuote(QStringLiteral(DELAYSTARTER_PATH)) + QLatin1Char(' ')
                            + UTIL::shellQuote(QStringLiteral(RECORDARGS_PATH)) + QStringLiteral(" 'x y' | cat")});
        QVERIFY(pipeline.waitForFinished(kStartTimeoutMs));
        QCOMPARE(pipeline.exitCode(), 0);
        QVERIFY2(!QFile::exists(box.out), "the pipeline waited for the started program to end");

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(box.out), kStartTimeoutMs);
        QCOMPARE(readAll(box.out), QByteArray("x y\n"));
        QTRY_COMPARE_WITH_TIMEOUT(box.scriptFiles(), QStringList(), kStartTimeoutMs);
    }

    void everyCallGetsItsOwnScript()
    {
        Sandbox box;
        QVERIFY(box.ready);
        EnvGuard tmp("TMPDIR", QFile::encodeName(box.scripts));
        const QString first = box.dir.filePath(QStringLiteral("first.txt"));
        const QString second = box.dir.filePath(QStringLiteral("second.txt"));
        {
            EnvGuard out("RECORDARGS_OUT", QFile::encodeName(first));
            UTIL::delayStartExe(QStringLiteral(RECORDARGS_PATH), {QStringLiteral("one")});
        }
        {
            EnvGuard out("RECORDARGS_OUT", QFile::encodeName(second));
            UTIL::delayStartExe(QStringLiteral(RECORDARGS_PATH), {QStringLiteral("two")});
        }
        QCOMPARE(box.scriptFiles().size(), 2);

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(first) && QFile::exists(second), kStartTimeoutMs);
        QCOMPARE(readAll(first), QByteArray("one\n"));
        QCOMPARE(readAll(second), QByteArray("two\n"));
        QTRY_COMPARE_WITH_TIMEOUT(box.scriptFiles(), QStringList(), kStartTimeoutMs);
    }

    void startsDirectlyWhenScriptCannotBeWritten()
    {
        Sandbox box;
        QVERIFY(box.ready);
        // QDir::tempPath() follows TMPDIR; a file there leaves no place for the script.
        const QString notADirectory = box.dir.filePath(QStringLiteral("not-a-directory"));
        {
            QFile file(notADirectory);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("plain file");
        }
        EnvGuard tmp("TMPDIR", QFile::encodeName(notADirectory));
        EnvGuard out("RECORDARGS_OUT", QFile::encodeName(box.out));

        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^无法创建批处理文件:")
                                                + QRegularExpression::escape(notADirectory)
                                                + QStringLiteral("/delay_start_\\d+\\.sh$")));
        UTIL::delayStartExe(QStringLiteral(RECORDARGS_PATH), {QStringLiteral("a b"), QStringLiteral("it's")});

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(box.out), kStartTimeoutMs);
        QCOMPARE(readAll(box.out), QByteArray("a b\nit's\n"));
        QCOMPARE(readAll(notADirectory), QByteArray("plain file"));
        QCOMPARE(box.scriptFiles(), QStringList());
    }

    void startsDirectlyWhenInterpreterCannotStart()
    {
        Sandbox box;
        QVERIFY(box.ready);
        EnvGuard tmp("TMPDIR", QFile::encodeName(box.scripts));
        EnvGuard out("RECORDARGS_OUT", QFile::encodeName(box.out));

        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^无法启动批处理脚本:")
                                                + QRegularExpression::escape(box.scripts)
                                                + QStringLiteral("/delay_start_\\d+\\.sh$")));
        UTIL::delayStartExe(QStringLiteral(RECORDARGS_PATH), {QStringLiteral("one two")},
                            box.dir.filePath(QStringLiteral("no-such-shell")));
        QCOMPARE(box.scriptFiles(), QStringList());

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(box.out), kStartTimeoutMs);
        QCOMPARE(readAll(box.out), QByteArray("one two\n"));
    }
#else
    // The real thing on Windows: cmd.exe reads the GBK batch file, waits, and starts a program
    // whose path and arguments hold blanks and Chinese characters; the script then deletes
    // itself. The stand-in records its arguments and the program that started it.
    void startsThroughCmdExe_data()
    {
        QTest::addColumn<QString>("programDir");
        QTest::addColumn<QString>("programName");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("blanks and Chinese everywhere")
            << QStringLiteral("程序 目录") << QStringLiteral("记录 参数.exe")
            << QStringList{QStringLiteral("plain"), QStringLiteral("带 空格"), QStringLiteral("中文参数"), QString()};
        QTest::newRow("update helper's arguments")
            << QStringLiteral("app") << QStringLiteral("updatehelper.exe")
            << QStringList{QStringLiteral("update.exe"), QStringLiteral("update.exe")};
        QTest::newRow("no arguments") << QStringLiteral("主 程序") << QStringLiteral("host.exe") << QStringList();
    }

    void startsThroughCmdExe()
    {
        QFETCH(QString, programDir);
        QFETCH(QString, programName);
        QFETCH(QStringList, arguments);
        Sandbox box;
        QVERIFY(box.ready);
        const QString program = box.dir.filePath(programDir) + QLatin1Char('/') + programName;
        QVERIFY(QDir().mkpath(box.dir.filePath(programDir)));
        QVERIFY(QFile::copy(QStringLiteral(RECORDARGS_PATH), program));
        // GetTempPath(), behind QDir::tempPath(), reads TMP first.
        EnvGuard tmp("TMP", QDir::toNativeSeparators(box.scripts).toLocal8Bit());
        EnvGuard out("RECORDARGS_OUT", QDir::toNativeSeparators(box.out).toLocal8Bit());

        UTIL::delayStartExe(program, arguments);
        const QStringList scripts = box.scriptFiles();
        QCOMPARE(scripts.size(), 1);
        QVERIFY2(kBatchName.match(scripts.first()).hasMatch(), qPrintable(scripts.first()));

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(box.out), kStartTimeoutMs);
        QString expected;
        for (const QString &argument : qAsConst(arguments))
            expected += argument + QLatin1Char('\n');
        QCOMPARE(QString::fromUtf8(readAll(box.out)), expected);
        QCOMPARE(readAll(box.out + QStringLiteral(".parent")).trimmed().toLower(), QByteArray("cmd.exe"));
        QTRY_COMPARE_WITH_TIMEOUT(box.scriptFiles(), QStringList(), kStartTimeoutMs);
    }

    void startsDirectlyWhenCmdExeCannotStart()
    {
        Sandbox box;
        QVERIFY(box.ready);
        EnvGuard tmp("TMP", QDir::toNativeSeparators(box.scripts).toLocal8Bit());
        EnvGuard out("RECORDARGS_OUT", QDir::toNativeSeparators(box.out).toLocal8Bit());

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^无法启动批处理脚本:.*\\\\delay_start_\\d+\\.bat$")));
        UTIL::delayStartExe(QStringLiteral(RECORDARGS_PATH), {QStringLiteral("one two")},
                            box.dir.filePath(QStringLiteral("no-such-cmd.exe")));
        QCOMPARE(box.scriptFiles(), QStringList());

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(box.out), kStartTimeoutMs);
        QCOMPARE(readAll(box.out), QByteArray("one two\n"));
        QVERIFY(readAll(box.out + QStringLiteral(".parent")).trimmed().toLower() != "cmd.exe");
    }
#endif
};

QTEST_GUILESS_MAIN(TestDelayStart)
#include "tst_delaystart.moc"
