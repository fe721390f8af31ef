// Runs the real update.exe, copied into temporary installations, against our TCP update server
// and a static web server on loopback, and checks what a host program and a user would see:
// the console result line, the exit code, the installed files and whether programs were started.

#include "common/httpserverprocess.h"
#include "common/sandbox.h"
#include "common/tcpserverprocess.h"

#include <QtTest>

#include <csignal>

using namespace EndToEnd;

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void consoleResultLine_data();
    void consoleResultLine();
    void guiWithoutUpdateStartsHost();
    void guiWithoutTransportStartsNothing();
    void tcpUpdateAppliesRelease();
    void httpUpdateAppliesRelease();
    void failedDownloadKeepsInstallation();
    void selfUpdateHandsOverToHelper_data();
    void selfUpdateHandsOverToHelper();
    void secondInstanceExitsWithOne();
    void unsafeTempRefusesToStart_data();
    void unsafeTempRefusesToStart();
    void interruptedApplyIsRestored_data();
    void interruptedApplyIsRestored();
};

void TestEndToEnd::consoleResultLine_data()
{
    QTest::addColumn<QString>("serverVersion"); // empty: no TCP server
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("no transport") << QString() << kNoTransportLine << 2;
    QTest::newRow("no newer version") << QStringLiteral("1.0.0") << kNoUpdateLine << 0;
}

void TestEndToEnd::consoleResultLine()
{
    QFETCH(QString, serverVersion);
    QFETCH(QByteArray, line);
    QFETCH(int, exitCode);
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    std::unique_ptr<TcpServerProcess> server;
    quint16 port = closedPort();
    if (!serverVersion.isEmpty()) {
        server = std::make_unique<TcpServerProcess>(QStringList{"--root", sandbox.releaseDir(), "--version", serverVersion});
        QVERIFY2(server->start(), qPrintable(server->errorString()));
        port = server->port();
    }
    QVERIFY(sandbox.configure(port));
    const Snapshot before = sandbox.installed();

    const RunResult result = sandbox.run({QStringLiteral("console")});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.jsonLines(), QList<QByteArray>{line});
    // The argument lines come first, then the log lines, then the result line.
    QVERIFY2(result.out.startsWith("[DEBUG] Command Line Arguments:\n[DEBUG] argv[0] ="), result.out.constData());
    QVERIFY(result.out.contains("\n[DEBUG] argv[1] =console\n"));
    QVERIFY(result.out.indexOf("Update started") > result.out.indexOf("argv[1]"));
    QVERIFY(result.out.endsWith(line + '\n'));
    QVERIFY2(!sandbox.hostStarted(kNoLaunchWaitMs), "console mode without an update starts nothing");
    QCOMPARE(sandbox.installed(), before);
}

void TestEndToEnd::guiWithoutUpdateStartsHost()
{
    Sandbox sandbox;
    TcpServerProcess server({"--root", sandbox.releaseDir(), "--version", "1.0.0"});
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(sandbox.configure(server.port()));

    const RunResult result = sandbox.run({});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QVERIFY(result.jsonLines().isEmpty());
    QVERIFY2(sandbox.hostStarted(), "with no newer version the host program is started");
}

void TestEndToEnd::guiWithoutTransportStartsNothing()
{
    Sandbox sandbox;
    QVERIFY(sandbox.configure(closedPort()));
    const RunResult result = sandbox.run({});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 2);
    QVERIFY(!sandbox.hostStarted(kNoLaunchWaitMs));
}

void TestEndToEnd::tcpUpdateAppliesRelease()
{
    Sandbox sandbox;
    // The release also changes the host program: it must stay executable.
    const QByteArray newHost = "#!/bin/sh\necho started >> \"$(dirname \"$0\")/host-started.txt\"\n# 1.1.0\n";
    QVERIFY(PublishedRelease::writeFile(sandbox.releaseDir() + "/host.sh", newHost));
    TcpServerProcess server({"--root", sandbox.releaseDir(), "--version", "1.1.0", "--chunk-size", "7"});
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(sandbox.configure(server.port()));
    const Snapshot before = sandbox.installed();
    const QFile::Permissions hostMode = QFile::permissions(sandbox.path(QStringLiteral("host.sh")));

    QElapsedTimer timer;
    timer.start();
    const RunResult result = sandbox.run({QStringLiteral("console")});
    QVERIFY2(result.finished, "the process ends by itself after a successful update");
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.jsonLines(), QList<QByteArray>{kUpdateLine});

    QVERIFY(!QFileInfo::exists(sandbox.path(QStringLiteral("temp"))));
    QVERIFY(!QFileInfo::exists(sandbox.path(QStringLiteral("backup"))));
    QVERIFY(sandbox.hostStarted());
    QVERIFY2(timer.elapsed() >= 1000, "the delayed start waits one second");
    QCOMPARE(QFile::permissions(sandbox.path(QStringLiteral("host.sh"))), hostMode);
    // The version the server offered is recorded; nothing else of system.cfg changes.
    Snapshot expected = expectedAfterUpdate(before);
    expected.insert(QStringLiteral("host.sh"), newHost);
    expected[QStringLiteral("system.cfg")].replace("Version=1.0.0", "Version=1.1.0");
    QCOMPARE(sandbox.installed(), expected);

    // The next start finds the installation up to date and downloads nothing.
    QVERIFY(QFile::remove(sandbox.path(QStringLiteral("host-started.txt"))));
    const RunResult again = sandbox.run({QStringLiteral("console")});
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.jsonLines(), QList<QByteArray>{kNoUpdateLine});
    QVERIFY(server.waitForRequest(QStringLiteral("version-check client=1.1.0 project=1 update=0")));
    QCOMPARE(server.requestCount(QStringLiteral("file ")), releaseFiles().size() + 1);
    QCOMPARE(sandbox.installed(), expected);
}

void TestEndToEnd::httpUpdateAppliesRelease()
{
    Sandbox sandbox;
    QVERIFY(PublishedRelease::publish(sandbox.releaseDir(), sandbox.wwwDir(), QStringLiteral("1.1.0")).exitCode == 0);
    HttpServerProcess web(sandbox.wwwDir());
    QVERIFY2(web.isReady(), qPrintable(web.errorString()));
    QVERIFY(sandbox.configure(closedPort(), web.baseUrl(), true));
    const Snapshot before = sandbox.installed();

    const RunResult result = sandbox.run({QStringLiteral("console")});
    QVERIFY2(result.finished, "the process ends by itself after a successful update");
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.jsonLines(), QList<QByteArray>{kUpdateLine});
    QVERIFY(sandbox.hostStarted());

    // Only what differs from the installation was downloaded.
    const QStringList requested = web.requestedPaths();
    QVERIFY2(requested.contains(QStringLiteral("/1.1.0//bin/core.dll")), qPrintable(requested.join(' ')));
    QVERIFY(!requested.contains(QStringLiteral("/1.1.0//bin/render.dll")));

    Snapshot expected = expectedAfterUpdate(before);
    expected.insert(QStringLiteral("update/update.ini"), PublishedRelease::readFile(sandbox.wwwDir() + "/update.ini"));
    expected.insert(QStringLiteral("update/updateTmp.ini"), PublishedRelease::readFile(sandbox.wwwDir() + "/update.ini"));
    expected.insert(QStringLiteral("update/md5Tmp.txt"), PublishedRelease::readFile(sandbox.wwwDir() + "/1.1.0/md5.txt"));
    expected.insert(QStringLiteral("md5.txt"), PublishedRelease::readFile(sandbox.wwwDir() + "/1.1.0/md5.txt"));
    QCOMPARE(sandbox.installed(), expected);
}

void TestEndToEnd::failedDownloadKeepsInstallation()
{
    Sandbox sandbox;
    TcpServerProcess server({"--root", sandbox.releaseDir(), "--version", "1.1.0", "--fail", "extra.dll:-1"});
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(sandbox.configure(server.port()));
    const Snapshot before = sandbox.installed();

    // GUI mode: the failure window stays until the user closes it.
    QProcess *updater = sandbox.start({});
    QVERIFY(sandbox.waitForOutput(updater, QStringLiteral("下载最终失败，已达到最大重试次数: extra.dll")));
    QTest::qWait(500);
    QCOMPARE(updater->state(), QProcess::Running);
    // Nothing of the download is left, and the log file already tells what happened.
    QCOMPARE(sandbox.installed(), before);
    const QString log = QString::fromUtf8(sandbox.log());
    QVERIFY2(log.contains(QStringLiteral("[error] ")) && log.contains(QStringLiteral("下载最终失败，已达到最大重试次数: extra.dll")),
             qPrintable(log.right(500)));
    QVERIFY(log.contains(QStringLiteral("下载更新失败，未做任何更改")));
    QVERIFY(!sandbox.hostStarted(kNoLaunchWaitMs));

    // Asked to end (as closing the window would), it ends with "download failed".
    const RunResult result = sandbox.terminate(updater);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 3);
    QCOMPARE(sandbox.installed(), before);
}

void TestEndToEnd::selfUpdateHandsOverToHelper_data()
{
    QTest::addColumn<QString>("outcome");
    QTest::newRow("helper succeeded") << QStringLiteral("HelperSuccess");
    QTest::newRow("helper failed") << QStringLiteral("HelperFaile");
}

void TestEndToEnd::selfUpdateHandsOverToHelper()
{
    QFETCH(QString, outcome);
    Sandbox sandbox;
    QVERIFY(PublishedRelease::writeFile(sandbox.releaseDir() + "/update.exe", "updater 1.1.0"));
    TcpServerProcess server({"--root", sandbox.releaseDir(), "--version", "1.1.0"});
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(sandbox.configure(server.port()));
    const Snapshot before = sandbox.installed();
    const QByteArray installedUpdater = TestInstallation::read(sandbox.path(QStringLiteral("update.exe")));

    const RunResult result = sandbox.run({});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QVERIFY(sandbox.waitForFile(QStringLiteral("helper-args.txt"), kLaunchWaitMs));
    QTRY_COMPARE(TestInstallation::read(sandbox.path(QStringLiteral("helper-args.txt"))), QByteArray("update.exe\nupdate.exe\n"));
    QVERIFY(!sandbox.hostStarted(kNoLaunchWaitMs));
    // The new updater waits in temp for the helper; the running one was not overwritten.
    QCOMPARE(TestInstallation::read(sandbox.path(QStringLiteral("temp/update.exe"))), QByteArray("updater 1.1.0"));
    QCOMPARE(TestInstallation::read(sandbox.path(QStringLiteral("update.exe"))), installedUpdater);
    QCOMPARE(TestInstallation::read(sandbox.path(QStringLiteral("backup/bin/core.dll"))), QByteArray("core library 1.0.0"));
    const Snapshot updated = TestInstallation::without(sandbox.installed(), {QStringLiteral("temp/"), QStringLiteral("backup/")});
    Snapshot expected = expectedAfterUpdate(before);
    expected[QStringLiteral("system.cfg")].replace("Version=1.0.0", "Version=1.1.0");
    QCOMPARE(updated, expected);

    // The helper starts update.exe again with its outcome.
    const RunResult second = sandbox.run({QStringLiteral("updatehelper"), outcome});
    QVERIFY(second.finished);
    QCOMPARE(second.exitCode, outcome == QLatin1String("HelperSuccess") ? 0 : 3);
    QVERIFY(second.jsonLines().isEmpty());
    QVERIFY(!QFileInfo::exists(sandbox.path(QStringLiteral("temp"))));
    QVERIFY(!QFileInfo::exists(sandbox.path(QStringLiteral("backup"))));
    if (outcome == QLatin1String("HelperSuccess")) {
        QCOMPARE(sandbox.installed(), updated);
        QVERIFY(sandbox.hostStarted());
    } else {
        // The backup is put back, system.cfg with the old version included, and what the
        // download added is removed: the installation is the old one again.
        QCOMPARE(sandbox.installed(), before);
        QVERIFY(!sandbox.hostStarted(kNoLaunchWaitMs));
    }
}

void TestEndToEnd::secondInstanceExitsWithOne()
{
    Sandbox sandbox;
    TcpServerProcess server({"--root", sandbox.releaseDir(), "--version", "1.1.0", "--fail", "extra.dll:-1"});
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(sandbox.configure(server.port()));

    // The first instance keeps its window open after a failed download.
    QProcess *first = sandbox.start({});
    QVERIFY(sandbox.waitForOutput(first, QStringLiteral("下载最终失败")));
    QTest::qWait(300);
    const QByteArray logBefore = sandbox.log();

    const RunResult second = sandbox.run({QStringLiteral("console")});
    QVERIFY(second.finished);
    QCOMPARE(second.exitCode, 1);
    QVERIFY(second.jsonLines().isEmpty());
    QVERIFY2(second.out.startsWith("[DEBUG] Command Line Arguments:\n"), second.out.constData());
    QVERIFY(!second.out.contains("Update started"));
    QCOMPARE(sandbox.log(), logBefore);

    // A killed instance leaves no marker behind that blocks the next start.
    ::kill(static_cast<pid_t>(first->processId()), SIGKILL);
    QVERIFY(first->waitForFinished());
    server.stop();
    QVERIFY(sandbox.configure(closedPort()));
    const RunResult third = sandbox.run({QStringLiteral("console")});
    QVERIFY(third.finished);
    QCOMPARE(third.exitCode, 2);
    QCOMPARE(third.jsonLines(), QList<QByteArray>{kNoTransportLine});
}

void TestEndToEnd::unsafeTempRefusesToStart_data()
{
    QTest::addColumn<QByteArray>("paths");
    QTest::newRow("empty Temp") << QByteArray("Backup=backup\nTemp=\nLog=log/\n");
    QTest::newRow("Temp ..") << QByteArray("Backup=backup\nTemp=..\nLog=log/\n");
    QTest::newRow("Temp .") << QByteArray("Backup=backup\nTemp=.\nLog=log/\n");
    QTest::newRow("absolute Backup") << QByteArray("Backup=/tmp\nTemp=temp\nLog=log/\n");
    // Removed at every start, these would take the version record or the logs with them.
    QTest::newRow("Temp update") << QByteArray("Backup=backup\nTemp=update\nLog=log/\n");
    QTest::newRow("Temp the log folder") << QByteArray("Backup=backup\nTemp=log\nLog=log/\n");
    QTest::newRow("Backup holds the log folder") << QByteArray("Backup=var\nTemp=temp\nLog=var/log/\n");
}

void TestEndToEnd::unsafeTempRefusesToStart()
{
    QFETCH(QByteArray, paths);
    Sandbox sandbox;
    QVERIFY(sandbox.configure(closedPort(), QString(), false, paths));
    const Snapshot before = TestInstallation::snapshot(sandbox.root());

    const RunResult result = sandbox.run({QStringLiteral("console")});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.jsonLines(), QList<QByteArray>{kInitFailedLine});
    QVERIFY(result.out.endsWith(kInitFailedLine + '\n'));
    QCOMPARE(TestInstallation::without(TestInstallation::snapshot(sandbox.root()), {QStringLiteral("app/log/"), QStringLiteral("app/var/")}),
             TestInstallation::without(before, {QStringLiteral("app/log/"), QStringLiteral("app/var/")}));
    QVERIFY(sandbox.log().contains("[Paths]") || TestInstallation::read(sandbox.path("var/log/update.log")).contains("[Paths]"));
}

void TestEndToEnd::interruptedApplyIsRestored_data()
{
    QTest::addColumn<bool>("blocked"); // a directory stands where a file must be restored
    QTest::newRow("restored") << false;
    QTest::newRow("restore fails") << true;
}

void TestEndToEnd::interruptedApplyIsRestored()
{
    QFETCH(bool, blocked);
    Sandbox sandbox;
    QVERIFY(sandbox.configure(closedPort()));
    const Snapshot before = sandbox.installed();

    // What a run killed in the middle of replacing leaves: the backup of the replaced files, the
    // download, a half-replaced installation and the in-progress marker.
    QVERIFY(TestInstallation::writeFile(sandbox.path(QStringLiteral("backup/bin/core.dll")), "core library 1.0.0"));
    QVERIFY(TestInstallation::writeFile(sandbox.path(QStringLiteral("backup/readme.txt")), "readme 1.0.0"));
    QVERIFY(TestInstallation::writeFile(sandbox.path(QStringLiteral("temp/bin/core.dll")), "core library 1.1.0"));
    QVERIFY(TestInstallation::writeFile(sandbox.path(QStringLiteral("temp/readme.txt")), "readme 1.1.0"));
    QVERIFY(TestInstallation::writeFile(sandbox.path(QStringLiteral("bin/core.dll")), "core library 1.1.0"));
    QVERIFY(TestInstallation::writeFile(sandbox.path(QStringLiteral("update_replace.pending")), "backup/\n"));
    if (blocked) {
        QVERIFY(QFile::remove(sandbox.path(QStringLiteral("readme.txt"))));
        QVERIFY(TestInstallation::writeFile(sandbox.path(QStringLiteral("readme.txt/blocker")), "in the way"));
    }

    const RunResult result = sandbox.run({QStringLiteral("console")});
    QVERIFY(result.finished);
    QVERIFY(QString::fromUtf8(sandbox.log()).contains(QStringLiteral("上次更新未完成")));
    if (!blocked) {
        QCOMPARE(result.exitCode, 2); // restored, then no transport
        QCOMPARE(sandbox.installed(), before);
        return;
    }
    // The backup is the only copy of the old files: it stays, and no new update starts.
    QCOMPARE(result.exitCode, 4);
    QCOMPARE(result.jsonLines().size(), 1);
    QVERIFY2(result.jsonLines().first().contains("\"success\":false"), result.jsonLines().first().constData());
    QVERIFY(QFile::exists(sandbox.path(QStringLiteral("update_replace.pending"))));
    QCOMPARE(TestInstallation::read(sandbox.path(QStringLiteral("backup/readme.txt"))), QByteArray("readme 1.0.0"));
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
