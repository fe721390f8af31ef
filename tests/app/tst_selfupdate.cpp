// A self-update with the real programs: update.exe downloads a release that carries a new
// update.exe (update-next.exe, the same sources with another version string) from our TCP server
// or a static web server, hands over to the real updatehelper.exe, which replaces update.exe and
// starts it again in helper mode, which finishes or rolls back the update.

#include "app/processentry.h"
#include "common/httpserverprocess.h"
#include "common/sandbox.h"
#include "common/tcpserverprocess.h"
#include "helper/updatehelper.h"

#include <QProcess>
#include <QSharedMemory>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

using namespace EndToEnd;

// From the first updater's end over the helper and the second updater to the host: two delayed
// starts of a second each, with room for a loaded machine.
constexpr int kChainTimeoutMs = 20000;

Snapshot selfUpdateInstalled()
{
    return {
        {QStringLiteral("bin/core.dll"), "core library 1.0.0"},
        {QStringLiteral("data/settings.json"), "{\"theme\":\"light\"}"},
        {QStringLiteral("readme.txt"), "readme 1.0.0"},
        {QStringLiteral("md5.txt"), "/bin/core.dll|00000000000000000000000000000000\n"},
        {QStringLiteral("update/update.ini"), "[Version]\nVersion=1.0.0\nFolder=1.0.0\n"},
    };
}

// Only changed files, so that a rollback leaves the installation exactly as it was.
PublishedRelease::FileTree selfUpdateRelease()
{
    return {
        {QStringLiteral("bin/core.dll"), "core library 1.1.0"},
        {QStringLiteral("data/settings.json"), "{\"theme\":\"light\"}"},
        {QStringLiteral("readme.txt"), "readme 1.1.0"},
        {QStringLiteral("update.exe"), TestInstallation::read(QStringLiteral(UPDATE_NEXT_EXE_PATH))},
    };
}

// The installation with the real updatehelper.exe as its update helper.
bool configureRealHelper(Sandbox &sandbox, quint16 tcpPort, const QString &url)
{
    TestConfig config = Sandbox::config(tcpPort, url, !url.isEmpty());
    config.helperExe = QStringLiteral("updatehelper.exe");
    return QFile::copy(QStringLiteral(UPDATEHELPER_EXE_PATH), sandbox.path(config.helperExe)) && sandbox.configure(config);
}

} // namespace

class TestSelfUpdate : public QObject
{
    Q_OBJECT

private slots:
    void selfUpdate_data();
    void selfUpdate();
};

void TestSelfUpdate::selfUpdate_data()
{
    QTest::addColumn<bool>("overHttp");
    QTest::addColumn<bool>("newUpdaterUnreadable");
    QTest::newRow("TCP, new updater installed") << false << false;
    QTest::newRow("HTTP, new updater installed") << true << false;
    QTest::newRow("TCP, new updater unreadable") << false << true;
    QTest::newRow("HTTP, new updater unreadable") << true << true;
}

void TestSelfUpdate::selfUpdate()
{
    QFETCH(bool, overHttp);
    QFETCH(bool, newUpdaterUnreadable);
    Sandbox sandbox(selfUpdateInstalled(), selfUpdateRelease());
    QVERIFY(sandbox.isValid());
#ifdef Q_OS_WIN
    // The host's stand-in adds a record at every start, so that the starts can be counted.
    sandbox.setEnv(QStringLiteral("RECORDARGS_APPEND"), QStringLiteral("1"));
#endif
    std::unique_ptr<TcpServerProcess> tcp;
    std::unique_ptr<HttpServerProcess> web;
    if (overHttp) {
        QCOMPARE(PublishedRelease::publish(sandbox.releaseDir(), sandbox.wwwDir(), QStringLiteral("1.1.0")).exitCode, 0);
        web = std::make_unique<HttpServerProcess>(sandbox.wwwDir());
        QVERIFY2(web->isReady(), qPrintable(web->errorString()));
        QVERIFY(configureRealHelper(sandbox, closedPort(), web->baseUrl()));
    } else {
        tcp = std::make_unique<TcpServerProcess>(QStringList{"--root", sandbox.releaseDir(), "--version", "1.1.0"});
        QVERIFY2(tcp->start(), qPrintable(tcp->errorString()));
        QVERIFY(configureRealHelper(sandbox, tcp->port(), QString()));
    }
    const QString updater = sandbox.path(QStringLiteral("update.exe"));
    const QByteArray oldUpdater = TestInstallation::read(updater);
    const QByteArray newUpdater = TestInstallation::read(QStringLiteral(UPDATE_NEXT_EXE_PATH));
    QVERIFY(oldUpdater != newUpdater);
    // What the user's program consists of: no programs of the updater.
    const QStringList programs{QStringLiteral("update.exe"), QStringLiteral("updatehelper.exe"),
                               kHostStartedFile + QStringLiteral(".parent")};
    const Snapshot before = TestInstallation::without(sandbox.installed(), programs);

    // For the unreadable case the test keeps update.exe's single-instance marker (a segment
    // named key + "_mem") attached past the updater's end, so that the helper is still waiting
    // when a directory takes the new updater's place in temp/.
    QSharedMemory marker(instanceKeyFor(QFileInfo(updater).canonicalFilePath()) + QStringLiteral("_mem"));
    QProcess *first = sandbox.start({QStringLiteral("console")});
    if (newUpdaterUnreadable) {
        QDeadlineTimer deadline(kRunTimeoutMs);
        while (!marker.attach()) {
            QVERIFY2(first->state() != QProcess::NotRunning && !deadline.hasExpired(), "the updater's marker never appeared");
            first->waitForFinished(10);
        }
    }
    const RunResult result = sandbox.wait(first);
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.jsonLines(), QList<QByteArray>{kUpdateLine});
    const QString newFile = sandbox.path(QStringLiteral("temp/update.exe"));
    QCOMPARE(TestInstallation::read(newFile), newUpdater);
    if (newUpdaterUnreadable) {
        QVERIFY(QFile::remove(newFile) && QDir().mkdir(newFile));
        QVERIFY(marker.detach());
    }

    const QString handBack = newUpdaterUnreadable ? QStringLiteral("update.exe updatehelper HelperFaile")
                                                  : QStringLiteral("update.exe updatehelper HelperSuccess");
    QVERIFY2(sandbox.waitForLog(QStringLiteral("log/updatehelper.log"), handBack, kChainTimeoutMs), qPrintable(handBack));
    const QString updateLog = QStringLiteral("log/update.log");
    if (newUpdaterUnreadable) {
        QVERIFY(sandbox.waitForLog(updateLog, QStringLiteral("文件回退完成"), kChainTimeoutMs));
        QCOMPARE(TestInstallation::read(updater), oldUpdater);
        // update/updateTmp.ini and update/md5Tmp.txt, left by the HTTP check, are no installed files.
        QCOMPARE(TestInstallation::without(sandbox.installed(), programs + QStringList{QStringLiteral("update/updateTmp.ini"),
                                                                                       QStringLiteral("update/md5Tmp.txt")}),
                 before);
        QCOMPARE(sandbox.hostStarts(false), 0);
    } else {
        // The second stage ran with the new program, which logs its version.
        QVERIFY(sandbox.waitForLog(updateLog, QStringLiteral("版本:" UPDATE_NEXT_VERSION), kChainTimeoutMs));
        QCOMPARE(TestInstallation::read(updater), newUpdater);
        QVERIFY(QFileInfo(updater).isExecutable());
        Snapshot expected = before;
        const PublishedRelease::FileTree release = selfUpdateRelease();
        for (auto it = release.cbegin(); it != release.cend(); ++it) {
            if (it.key() != QLatin1String("update.exe"))
                expected.insert(it.key(), it.value());
        }
        // A TCP update records the version the server offered.
        if (!overHttp)
            expected[QStringLiteral("system.cfg")].replace("Version=1.0.0", "Version=1.1.0");
        // The second stage starts the host after it has cleared the working directories.
        QCOMPARE(sandbox.hostStarts(true, kChainTimeoutMs), 1);
        const QStringList versionFiles{QStringLiteral("update/"), QStringLiteral("md5.txt")};
        QCOMPARE(TestInstallation::without(sandbox.installed(), programs + versionFiles),
                 TestInstallation::without(expected, versionFiles));
    }
    QVERIFY(!QFileInfo::exists(sandbox.path(QStringLiteral("temp"))));
    QVERIFY(!QFileInfo::exists(sandbox.path(QStringLiteral("backup"))));
}

QTEST_GUILESS_MAIN(TestSelfUpdate)
#include "tst_selfupdate.moc"
