// What a host program sees of every way a run of the real update.exe can end, over both
// transports: the console line, the exit code within the time limit, the log, and an
// installation that is the old release or the new one, never a mix.

#include "common/httpserverprocess.h"
#include "common/immutableguard.h"
#include "common/sandbox.h"
#include "common/tcpserverprocess.h"

#include <QRegularExpression>
#include <QTextCodec>
#include <QtTest>

using namespace EndToEnd;

namespace {

// A file large enough that a throttled server is still sending it when the run is cancelled.
constexpr int kSlowFileSize = 1024 * 1024;
constexpr int kTcpRateBytesPerSecond = 64 * 1024;
constexpr int kHttpThrottleDelayMs = 50;
// How long a test lets a throttled download run before it interferes.
constexpr int kInFlightMs = 400;

// The fault a row injects.
enum class Fault { None, UpToDate, ServerDown, MissingFile, Corrupt, LockedFile, Cancel };

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestOutcomes : public QObject
{
    Q_OBJECT

private slots:
    void consoleOutcome_data();
    void consoleOutcome();
    void misconfigurationSaysWhatIsWrong_data();
    void misconfigurationSaysWhatIsWrong();
    void helpAndVersionDoNotUpdate_data();
    void helpAndVersionDoNotUpdate();
    void stalePendingFilesAreNotInstalled();
    void logSurvivesAKill();
    void releaseTurningAFileIntoAFolderIsRolledBack();
    void missingUpdateHelperAppliesNothing_data();
    void missingUpdateHelperAppliesNothing();
};

void TestOutcomes::consoleOutcome_data()
{
    QTest::addColumn<bool>("http");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("line"); // a pattern; %1 stands for the HTTP server's port
    QTest::addColumn<int>("exitCode");

    const QString noUpdate = QRegularExpression::escape(QString::fromUtf8(kNoUpdateLine));
    const QString update = QRegularExpression::escape(QString::fromUtf8(kUpdateLine));
    const QString noTransport = QRegularExpression::escape(QString::fromUtf8(kNoTransportLine));
    for (const bool http : {false, true}) {
        const char *t = http ? "http" : "tcp";
        QTest::addRow("%s: up to date", t) << http << Fault::UpToDate << noUpdate << 0;
        QTest::addRow("%s: updated", t) << http << Fault::None << update << 0;
        QTest::addRow("%s: server down", t)
            << http << Fault::ServerDown
            << (http ? QStringLiteral("\\{\"errormsg\":\"下载http://127\\.0\\.0\\.1:%1/update\\.ini失败: Connection refused\","
                                      "\"success\":false,\"update\":false\\}")
                     : noTransport)
            << 2;
        QTest::addRow("%s: file missing on the server", t) << http << Fault::MissingFile << update << 3;
        QTest::addRow("%s: file corrupt", t) << http << Fault::Corrupt << update << 3;
        QTest::addRow("%s: installed file locked", t) << http << Fault::LockedFile << update << 3;
        QTest::addRow("%s: cancelled", t) << http << Fault::Cancel << update << 3;
    }
}

void TestOutcomes::consoleOutcome()
{
    QFETCH(bool, http);
    QFETCH(Fault, fault);
    QFETCH(QString, line);
    QFETCH(int, exitCode);

    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    if (fault == Fault::Cancel)
        QVERIFY(PublishedRelease::writeFile(sandbox.releaseDir() + "/bin/big.dat", QByteArray(kSlowFileSize, 'b')));
    const Snapshot before = sandbox.installed();

    std::unique_ptr<TcpServerProcess> tcp;
    std::unique_ptr<HttpServerProcess> web;
    quint16 httpPort = closedPort();
    if (http) {
        const QString version = fault == Fault::UpToDate ? QStringLiteral("1.0.0") : QStringLiteral("1.1.0");
        QVERIFY(PublishedRelease::publish(sandbox.releaseDir(), sandbox.wwwDir(), version).exitCode == 0);
        const QString folder = sandbox.wwwDir() + QLatin1Char('/') + version;
        if (fault == Fault::MissingFile)
            QVERIFY(QFile::remove(folder + "/plugins/extra.dll"));
        if (fault == Fault::Corrupt)
            QVERIFY(PublishedRelease::writeFile(folder + "/readme.txt", "readme 1.1.0, changed on the way"));
        if (fault != Fault::ServerDown) {
            HttpServerProcess::Options options;
            if (fault == Fault::Cancel)
                options.throttleDelayMs = kHttpThrottleDelayMs;
            web = std::make_unique<HttpServerProcess>(sandbox.wwwDir(), options);
            QVERIFY2(web->isReady(), qPrintable(web->errorString()));
            httpPort = web->port();
        }
        QVERIFY(sandbox.configure(closedPort(), QStringLiteral("http://127.0.0.1:%1/").arg(httpPort), true));
    } else if (fault == Fault::ServerDown) {
        QVERIFY(sandbox.configure(closedPort()));
    } else {
        QStringList arguments{"--root", sandbox.releaseDir(), "--version", fault == Fault::UpToDate ? "1.0.0" : "1.1.0"};
        if (fault == Fault::MissingFile)
            arguments << "--fail" << "extra.dll:-1";
        if (fault == Fault::Corrupt)
            arguments << "--wrong-size" << "readme.txt";
        if (fault == Fault::Cancel)
            arguments << "--rate" << QString::number(kTcpRateBytesPerSecond);
        tcp = std::make_unique<TcpServerProcess>(arguments);
        QVERIFY2(tcp->start(), qPrintable(tcp->errorString()));
        QVERIFY(sandbox.configure(tcp->port()));
    }
    const Snapshot configured = sandbox.installed();

    std::unique_ptr<ImmutableGuard> lock;
    if (fault == Fault::LockedFile) {
        lock = std::make_unique<ImmutableGuard>(sandbox.path(QStringLiteral("bin/core.dll")));
        if (!lock->isActive())
            QSKIP("chattr +i is not available here");
    }

    RunResult result;
    if (fault == Fault::Cancel) {
        QProcess *updater = sandbox.start({QStringLiteral("console")});
        QVERIFY(sandbox.waitForOutput(updater, QStringLiteral("{")));
        QTest::qWait(kInFlightMs);
        QCOMPARE(updater->state(), QProcess::Running);
        result = sandbox.terminate(updater);
    } else {
        result = sandbox.run({QStringLiteral("console")});
    }
    lock.reset();

    QVERIFY2(result.finished, "every run ends within 30 s");
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.jsonLines().size(), 1);
    const QRegularExpression pattern(QLatin1Char('^') + line.arg(httpPort) + QLatin1Char('$'));
    // The line is in the system's code page (GBK on a Chinese Windows).
    const QString resultLine = QTextCodec::codecForLocale()->toUnicode(result.jsonLines().first());
    QVERIFY2(pattern.match(resultLine).hasMatch(), qPrintable(resultLine));

    // Console mode starts the host program only after an update; the host itself runs the
    // updater and goes on when there is nothing to do.
    const bool updated = fault == Fault::None;
    QCOMPARE(sandbox.hostStarted(updated ? kLaunchWaitMs : kNoLaunchWaitMs), updated);
    if (!updated) {
        // The HTTP check lists the installation when it has no md5.txt yet; that list describes
        // the old files and stays.
        Snapshot after = sandbox.installed();
        if (http && fault != Fault::ServerDown && fault != Fault::UpToDate) {
            QVERIFY(after.contains(QStringLiteral("md5.txt")));
            after.remove(QStringLiteral("md5.txt"));
        }
        QCOMPARE(after, configured);
    } else if (http) {
        Snapshot expected = expectedAfterUpdate(configured);
        const QByteArray versionFile = PublishedRelease::readFile(sandbox.wwwDir() + "/update.ini");
        const QByteArray list = PublishedRelease::readFile(sandbox.wwwDir() + "/1.1.0/md5.txt");
        expected.insert(QStringLiteral("update/update.ini"), versionFile);
        expected.insert(QStringLiteral("update/updateTmp.ini"), versionFile);
        expected.insert(QStringLiteral("update/md5Tmp.txt"), list);
        expected.insert(QStringLiteral("md5.txt"), list);
        QCOMPARE(sandbox.installed(), expected);
    } else {
        Snapshot expected = expectedAfterUpdate(configured);
        expected[QStringLiteral("system.cfg")].replace("Version=1.0.0", "Version=1.1.0");
        QCOMPARE(sandbox.installed(), expected);
    }
    Q_UNUSED(before)

    // What went wrong is in the log, in the words of the failure.
    const QString log = QString::fromUtf8(sandbox.log());
    if (http && fault == Fault::MissingFile) {
        QVERIFY2(log.contains(QStringLiteral("请求失败: http://127.0.0.1:%1/1.1.0//plugins/extra.dll (HTTP 404").arg(httpPort)),
                 qPrintable(log.right(800)));
    }
    if (fault == Fault::LockedFile) {
        QVERIFY(log.contains(QStringLiteral("无法删除现有文件:") + sandbox.path(QStringLiteral("bin/core.dll"))));
        QVERIFY(log.contains(QStringLiteral("文件回退完成")));
    }
    if (fault == Fault::Cancel)
        QVERIFY(log.contains(QStringLiteral("更新已取消，未做任何更改")));
}

void TestOutcomes::misconfigurationSaysWhatIsWrong_data()
{
    QTest::addColumn<QByteArray>("config"); // empty: no system.cfg at all
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("no system.cfg") << QByteArray() << 1 << QStringLiteral("配置文件不存在: %1/system.cfg");
    QTest::newRow("serialised value") << Sandbox::configText(0).replace("Temp=temp", "Temp=@Variant(\\0\\0\\0\\x43\\0\\x7f)")
                                      << 1 << QStringLiteral("配置文件含有不支持的值: %1/system.cfg");
    QTest::newRow("misspelt HttpEnable") << Sandbox::configText(0).replace("HttpEnable=false", "HttpEnable=ture") << 2
                                         << QStringLiteral("[Update] HttpEnable 的值无法识别");
}

void TestOutcomes::misconfigurationSaysWhatIsWrong()
{
    QFETCH(QByteArray, config);
    QFETCH(int, exitCode);
    QFETCH(QString, logLine);
    Sandbox sandbox;
    if (!config.isEmpty())
        QVERIFY(sandbox.writeConfig(config));
    const Snapshot before = sandbox.installed();

    const RunResult result = sandbox.run({QStringLiteral("console")});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.jsonLines(), QList<QByteArray>{exitCode == 1 ? kInitFailedLine : received(kNoTransportLine)});
    // Logged to standard output when the log folder is unknown; to the log file otherwise.
    const QString said = QString::fromUtf8(result.out + result.err + sandbox.log());
    QVERIFY2(said.contains(logLine.arg(sandbox.appDir())), qPrintable(said.right(800)));
    QVERIFY2(!said.contains(QStringLiteral("工作目录配置不安全")), "a configuration problem is not blamed on [Paths] Temp");
    // Without a usable [Paths] Log the log file lies in the application directory.
    QCOMPARE(TestInstallation::without(sandbox.installed(), {QStringLiteral("update.log")}), before);
}

void TestOutcomes::helpAndVersionDoNotUpdate_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("output");
    QTest::newRow("--help") << QStringLiteral("--help") << QStringLiteral("用法:\n  update.exe ");
    QTest::newRow("/?") << QStringLiteral("/?") << QStringLiteral("用法:\n  update.exe ");
    QTest::newRow("--version") << QStringLiteral("--version") << QStringLiteral("update.exe 1.0.0\n");
}

void TestOutcomes::helpAndVersionDoNotUpdate()
{
    QFETCH(QString, argument);
    QFETCH(QString, output);
    Sandbox sandbox;
    TcpServerProcess server({"--root", sandbox.releaseDir(), "--version", "1.1.0"});
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(sandbox.configure(server.port()));
    const Snapshot before = sandbox.installed();

    const RunResult result = sandbox.run({QStringLiteral("console"), argument});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    // Written for the console, in the system's code page.
    const QString text = QTextCodec::codecForLocale()->toUnicode(result.out);
    QVERIFY2(text.startsWith(output), qPrintable(text));
    QVERIFY(result.jsonLines().isEmpty());
    QVERIFY(!sandbox.hostStarted(kNoLaunchWaitMs));
    QCOMPARE(server.requestLines(), QStringList());
    QCOMPARE(sandbox.installed(), before);
    QVERIFY2(!QFileInfo::exists(sandbox.path(QStringLiteral("log"))), "no run, no log");
}

void TestOutcomes::stalePendingFilesAreNotInstalled()
{
    Sandbox sandbox;
    // Left behind by an HTTP check that found nothing to do.
    QVERIFY(TestInstallation::writeFile(sandbox.path(QStringLiteral("update/updateTmp.ini")), "[Version]\nVersion=0.9\nFolder=0.9\n"));
    QVERIFY(TestInstallation::writeFile(sandbox.path(QStringLiteral("update/md5Tmp.txt")), "0\t/stale.txt\n"));
    TcpServerProcess server({"--root", sandbox.releaseDir(), "--version", "1.1.0"});
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(sandbox.configure(server.port()));
    const Snapshot before = TestInstallation::without(sandbox.installed(), {QStringLiteral("update/updateTmp.ini"),
                                                                            QStringLiteral("update/md5Tmp.txt")});

    const RunResult result = sandbox.run({QStringLiteral("console")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.jsonLines(), QList<QByteArray>{kUpdateLine});
    // The TCP update installs its files; the installed version record and MD5 list stay.
    Snapshot expected = expectedAfterUpdate(before);
    expected[QStringLiteral("system.cfg")].replace("Version=1.0.0", "Version=1.1.0");
    QCOMPARE(sandbox.installed(), expected);
    QVERIFY(!QFileInfo::exists(sandbox.path(QStringLiteral("md5.txt"))));
}

void TestOutcomes::logSurvivesAKill()
{
    Sandbox sandbox;
    QVERIFY(PublishedRelease::writeFile(sandbox.releaseDir() + "/bin/big.dat", QByteArray(kSlowFileSize, 'b')));
    // One small chunk a second: few lines are written before the kill.
    TcpServerProcess server({"--root", sandbox.releaseDir(), "--version", "1.1.0", "--chunk-size", "4096", "--rate", "4096"});
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(sandbox.configure(server.port()));

    QProcess *updater = sandbox.start({QStringLiteral("console")});
    QVERIFY(sandbox.waitForOutput(updater, QStringLiteral("文件传输进度: big.dat")));
    QTest::qWait(kInFlightMs);
    killHard(updater);
    QVERIFY(updater->waitForFinished());
    const QString log = QString::fromUtf8(sandbox.log());
    QVERIFY2(log.contains(QStringLiteral("开始接收文件传输: big.dat")), qPrintable(log.right(500)));
    QVERIFY(log.contains(QStringLiteral("文件传输进度: big.dat")));
}

void TestOutcomes::releaseTurningAFileIntoAFolderIsRolledBack()
{
    Sandbox sandbox;
    // readme.txt is a file in the installation and a folder in the release.
    QVERIFY(QFile::remove(sandbox.releaseDir() + "/readme.txt"));
    QVERIFY(PublishedRelease::writeFile(sandbox.releaseDir() + "/readme.txt/part1.txt", "part 1"));
    TcpServerProcess server({"--root", sandbox.releaseDir(), "--version", "1.1.0"});
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(sandbox.configure(server.port()));
    const Snapshot before = sandbox.installed();

    const RunResult result = sandbox.run({QStringLiteral("console")});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 3);
    QCOMPARE(sandbox.installed(), before);
    QVERIFY(!QFileInfo::exists(sandbox.path(QStringLiteral("update_replace.pending"))));
}

void TestOutcomes::missingUpdateHelperAppliesNothing_data()
{
    QTest::addColumn<bool>("http");
    QTest::newRow("tcp") << false;
    QTest::newRow("http") << true;
}

void TestOutcomes::missingUpdateHelperAppliesNothing()
{
    QFETCH(bool, http);
    Sandbox sandbox;
    QVERIFY(PublishedRelease::writeFile(sandbox.releaseDir() + "/update.exe", "updater 1.1.0"));
    std::unique_ptr<TcpServerProcess> tcp;
    std::unique_ptr<HttpServerProcess> web;
    QByteArray config;
    if (http) {
        QVERIFY(PublishedRelease::publish(sandbox.releaseDir(), sandbox.wwwDir(), QStringLiteral("1.1.0")).exitCode == 0);
        web = std::make_unique<HttpServerProcess>(sandbox.wwwDir());
        QVERIFY2(web->isReady(), qPrintable(web->errorString()));
        config = Sandbox::configText(closedPort(), web->baseUrl(), true);
    } else {
        tcp = std::make_unique<TcpServerProcess>(QStringList{"--root", sandbox.releaseDir(), "--version", "1.1.0"});
        QVERIFY2(tcp->start(), qPrintable(tcp->errorString()));
        config = Sandbox::configText(tcp->port());
    }
    QVERIFY(sandbox.writeConfig(config.replace("UpdateHelperExe=" + kHelperExe.toUtf8(), "UpdateHelperExe=updatehelper.exe")));
    const Snapshot before = sandbox.installed();

    const RunResult result = sandbox.run({QStringLiteral("console")});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 3);
    QCOMPARE(result.jsonLines(), QList<QByteArray>{kUpdateLine});
    Snapshot after = sandbox.installed();
    if (http)
        after.remove(QStringLiteral("md5.txt")); // the check's list of the installed files
    QCOMPARE(after, before);
    QVERIFY(QString::fromUtf8(sandbox.log()).contains(QStringLiteral("未找到升级助手，无法完成自我更新: ")
                                                      + sandbox.path(QStringLiteral("updatehelper.exe"))));
    QVERIFY(!sandbox.hostStarted(kNoLaunchWaitMs));
}

QTEST_GUILESS_MAIN(TestOutcomes)
#include "tst_outcomes.moc"
