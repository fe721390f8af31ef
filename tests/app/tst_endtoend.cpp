// Runs the real update.exe, copied into temporary installations, against our TCP update server
// and a static web server on loopback, and checks what a host program and a user would see:
// the console result line, the exit code, the installed files and whether programs were started.

#include "common/hostprocess.h"
#include "common/httpserverprocess.h"
#include "common/immutableguard.h"
#include "common/sandbox.h"
#include "common/tcpserverprocess.h"

#include <QTextCodec>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

using namespace EndToEnd;

#ifdef Q_OS_WIN
namespace {
constexpr UINT kChineseCodePage = 936; // GBK
}
#endif

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
#ifdef Q_OS_WIN
    void consoleLineReachesPipeInGbk();
    void fileHeldOpenFailsTheReplaceAndRollsBack_data();
    void fileHeldOpenFailsTheReplaceAndRollsBack();
    void chineseNamesOverHttpFromALinuxPublishedList();
#endif
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
    QCOMPARE(result.jsonLines(), QList<QByteArray>{received(line)});
    // The argument lines come first, then the log lines, then the result line.
    QVERIFY2(result.out.startsWith("[DEBUG] Command Line Arguments:\n[DEBUG] argv[0] ="), result.out.constData());
    QVERIFY(result.out.contains("\n[DEBUG] argv[1] =console\n"));
    QVERIFY(result.out.indexOf("Update started") > result.out.indexOf("argv[1]"));
    QVERIFY(result.out.endsWith(received(line) + '\n'));
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
#ifndef Q_OS_WIN
    // The release also changes the host program: it must stay executable.
    const QByteArray newHost = "#!/bin/sh\necho started >> \"$(dirname \"$0\")/host-started.txt\"\n# 1.1.0\n";
    QVERIFY(PublishedRelease::writeFile(sandbox.releaseDir() + "/host.sh", newHost));
#endif
    TcpServerProcess server({"--root", sandbox.releaseDir(), "--version", "1.1.0", "--chunk-size", "7"});
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(sandbox.configure(server.port()));
    const Snapshot before = sandbox.installed();
    const QFile::Permissions hostMode = QFile::permissions(sandbox.path(kHostExe));

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
    QCOMPARE(QFile::permissions(sandbox.path(kHostExe)), hostMode);
#ifdef Q_OS_WIN
    QCOMPARE(sandbox.hostParent(), QByteArray("cmd.exe"));
#endif
    // The version the server offered is recorded; nothing else of system.cfg changes.
    Snapshot expected = expectedAfterUpdate(before);
#ifndef Q_OS_WIN
    expected.insert(QStringLiteral("host.sh"), newHost);
#endif
    expected[QStringLiteral("system.cfg")].replace("Version=1.0.0", "Version=1.1.0");
    QCOMPARE(sandbox.installed(), expected);

    // The next start finds the installation up to date and downloads nothing.
    QVERIFY(QFile::remove(sandbox.path(kHostStartedFile)));
    const RunResult again = sandbox.run({QStringLiteral("console")});
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.jsonLines(), QList<QByteArray>{kNoUpdateLine});
    QVERIFY(server.waitForRequest(QStringLiteral("version-check client=1.1.0 project=1 update=0")));
    // Each file of the release was asked for once, in the first run only.
    QCOMPARE(server.requestCount(QStringLiteral("file ")), releaseFiles().size() + (kHostExe == QLatin1String("host.sh") ? 1 : 0));
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
#ifdef Q_OS_WIN
    QCOMPARE(sandbox.hostParent(), QByteArray("cmd.exe"));
#endif

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
    QVERIFY(sandbox.waitForFile(kHelperArgsFile, kLaunchWaitMs));
    QTRY_COMPARE(TestInstallation::read(sandbox.path(kHelperArgsFile)), QByteArray("update.exe\nupdate.exe\n"));
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
    killHard(first);
    QVERIFY(first->waitForFinished());
    server.stop();
    QVERIFY(sandbox.configure(closedPort()));
    const RunResult third = sandbox.run({QStringLiteral("console")});
    QVERIFY(third.finished);
    QCOMPARE(third.exitCode, 2);
    QCOMPARE(third.jsonLines(), QList<QByteArray>{received(kNoTransportLine)});
}

void TestEndToEnd::unsafeTempRefusesToStart_data()
{
    QTest::addColumn<QString>("backup");
    QTest::addColumn<QString>("temp");
    QTest::addColumn<QString>("log");
    QTest::newRow("empty Temp") << "backup" << "" << "log/";
    QTest::newRow("Temp ..") << "backup" << ".." << "log/";
    QTest::newRow("Temp .") << "backup" << "." << "log/";
    QTest::newRow("absolute Backup") << "/tmp" << "temp" << "log/";
    // Removed at every start, these would take the version record or the logs with them.
    QTest::newRow("Temp update") << "backup" << "update" << "log/";
    QTest::newRow("Temp the log folder") << "backup" << "log" << "log/";
    QTest::newRow("Backup holds the log folder") << "var" << "temp" << "var/log/";
}

void TestEndToEnd::unsafeTempRefusesToStart()
{
    QFETCH(QString, backup);
    QFETCH(QString, temp);
    QFETCH(QString, log);
    Sandbox sandbox;
    TestConfig config = Sandbox::config(closedPort());
    config.backup = backup;
    config.temp = temp;
    config.log = log;
    QVERIFY(sandbox.configure(config));
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

#ifdef Q_OS_WIN
// What a host program reading our standard output through a pipe receives on a Chinese Windows:
// the result line in its code page, GBK, ended by CR LF.
void TestEndToEnd::consoleLineReachesPipeInGbk()
{
    if (GetACP() != kChineseCodePage)
        QSKIP("needs the Chinese code page 936 (scripts/windows-test runs Wine with LC_ALL=zh_CN.UTF-8)");
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    QVERIFY(sandbox.configure(closedPort()));
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("UPDATE_NO_ARGUMENT_BOX"), QStringLiteral("1"));
    process.setProcessEnvironment(env);
    process.start(sandbox.path(QStringLiteral("update.exe")), {QStringLiteral("console")});
    QVERIFY(process.waitForFinished(kRunTimeoutMs));
    QCOMPARE(process.exitCode(), 2); // no transport
    const QByteArray out = process.readAllStandardOutput();
    const QByteArray gbkLine = "{\"errormsg\":\"TCP\xc9\xfd\xbc\xb6\xb7\xfe\xce\xf1\xc1\xac\xbd\xd3\xca\xa7\xb0\xdc\","
                               "\"success\":false,\"update\":false}\r\n";
    QVERIFY2(out.endsWith(gbkLine), out.constData());
}

// Windows refuses to delete a file that a running program holds open. The replace then fails on
// it and the rollback restores every file it had replaced already, leaving the held file alone.
void TestEndToEnd::fileHeldOpenFailsTheReplaceAndRollsBack_data()
{
    QTest::addColumn<QString>("held");
    QTest::newRow("first file replaced") << QStringLiteral("bin/core.dll");
    QTest::newRow("last file replaced") << QStringLiteral("readme.txt");
}

void TestEndToEnd::fileHeldOpenFailsTheReplaceAndRollsBack()
{
    QFETCH(QString, held);
    Sandbox sandbox;
    TcpServerProcess server({"--root", sandbox.releaseDir(), "--version", "1.1.0"});
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(sandbox.configure(server.port()));
    const Snapshot before = sandbox.installed();
    ImmutableGuard guard(sandbox.path(held));
    QVERIFY(guard.isActive());

    QProcess *updater = sandbox.start({QStringLiteral("console")});
    QVERIFY(sandbox.waitForOutput(updater, QStringLiteral("文件回退完成")));
    guard.release();
    QVERIFY(sandbox.waitForOutput(updater, QStringLiteral("无法删除现有文件:") + sandbox.path(held)));
    // Every installed file is as before, and what the download added is gone again.
    QCOMPARE(sandbox.installed(), before);
    QVERIFY(!QFileInfo::exists(sandbox.path(QStringLiteral("temp"))));
    QVERIFY(!QFileInfo::exists(sandbox.path(QStringLiteral("backup"))));
    QVERIFY(!QFileInfo::exists(sandbox.path(QStringLiteral("update_replace.pending"))));
    QVERIFY(!sandbox.hostStarted(kNoLaunchWaitMs));
}

// A release with Chinese names and blanks, published on Linux (md5.txt in GBK, the tool's
// default) and served by a Linux web server, installed by update.exe from a Chinese directory.
void TestEndToEnd::chineseNamesOverHttpFromALinuxPublishedList()
{
    if (GetACP() != kChineseCodePage)
        QSKIP("needs the Chinese code page 936 (scripts/windows-test runs Wine with LC_ALL=zh_CN.UTF-8)");
    Sandbox sandbox(installedFiles(), releaseFiles(), QStringLiteral("应用 程序"));
    QVERIFY(sandbox.isValid());
    const PublishedRelease::FileTree extra{{QStringLiteral("插件 目录/說明 文件.dll"), "plugin 1.1.0"},
                                           {QStringLiteral("数据/配置.json"), "{\"语言\":\"中文\"}"}};
    QVERIFY(PublishedRelease::writeTree(sandbox.releaseDir(), extra));
    HostProcess publish;
    publish.start(QStringLiteral(HOST_UPDATE_PUBLISH_PATH),
                  {HostProcess::hostPath(sandbox.releaseDir()), HostProcess::hostPath(sandbox.wwwDir()),
                   QStringLiteral("--version"), QStringLiteral("1.1.0")},
                  true);
    QVERIFY2(publish.waitForStarted(kRunTimeoutMs), qPrintable(publish.errorString()));
    QVERIFY(publish.waitForFinished(kRunTimeoutMs));
    QVERIFY2(publish.exitCode() == 0, publish.readAllStandardOutput().constData());
    const QByteArray list = PublishedRelease::readFile(sandbox.wwwDir() + QStringLiteral("/1.1.0/md5.txt"));
    QVERIFY2(list.contains(QTextCodec::codecForName("GBK")->fromUnicode(QStringLiteral("/插件 目录/說明 文件.dll"))),
             list.constData());

    HttpServerProcess web(sandbox.wwwDir());
    QVERIFY2(web.isReady(), qPrintable(web.errorString()));
    QVERIFY(sandbox.configure(closedPort(), web.baseUrl(), true));
    const Snapshot before = sandbox.installed();

    const RunResult result = sandbox.run({QStringLiteral("console")});
    QVERIFY2(result.finished, "the process ends by itself after a successful update");
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.jsonLines(), QList<QByteArray>{kUpdateLine});
    QVERIFY(sandbox.hostStarted());
    QCOMPARE(sandbox.hostParent(), QByteArray("cmd.exe"));
    QVERIFY2(web.requestedPaths().contains(QStringLiteral("/1.1.0//%E6%8F%92%E4%BB%B6%20%E7%9B%AE%E5%BD%95/"
                                                          "%E8%AA%AA%E6%98%8E%20%E6%96%87%E4%BB%B6.dll")),
             qPrintable(web.requestedPaths().join(QLatin1Char(' '))));

    Snapshot expected = expectedAfterUpdate(before);
    for (auto it = extra.cbegin(); it != extra.cend(); ++it)
        expected.insert(it.key(), it.value());
    expected.insert(QStringLiteral("插件 目录/"), QByteArray());
    expected.insert(QStringLiteral("数据/"), QByteArray());
    expected.insert(QStringLiteral("update/update.ini"), PublishedRelease::readFile(sandbox.wwwDir() + "/update.ini"));
    expected.insert(QStringLiteral("update/updateTmp.ini"), PublishedRelease::readFile(sandbox.wwwDir() + "/update.ini"));
    expected.insert(QStringLiteral("update/md5Tmp.txt"), list);
    expected.insert(QStringLiteral("md5.txt"), list);
    QCOMPARE(sandbox.installed(), expected);
    QVERIFY2(sandbox.log().contains("Update started"), "the log lies in the Chinese directory");
}
#endif

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
