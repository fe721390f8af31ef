// A self-update with the real programs: update.exe downloads a release that carries a new
// update.exe (update-next.exe, the same sources with another version string) from our TCP server
// or a static web server, hands over to the real updatehelper.exe, which replaces update.exe and
// starts it again in helper mode, which finishes or rolls back the update.

#include "app/processentry.h"
#include "common/httpserverprocess.h"
#include "common/installation.h"
#include "common/publishedrelease.h"
#include "common/tcpserverprocess.h"
#include "helper/updatehelper.h"

#include <QProcess>
#include <QSharedMemory>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

using Snapshot = TestInstallation::Snapshot;

constexpr int kRunTimeoutMs = 30000;
// From the first updater's end over the helper and the second updater to the host: two delayed
// starts of a second each, with room for a loaded machine.
constexpr int kChainTimeoutMs = 20000;
// How long a test watches for a host start that must not happen, or a second one.
constexpr int kNoLaunchWaitMs = 2000;

const QByteArray kUpdateLine = R"({"errormsg":"","success":true,"update":true})";

// The host program's stand-in, which adds a line "started" to host-started.txt at every start: a
// shell script here; on Windows a copy of recordargs.exe that appends its record.
#ifdef Q_OS_WIN
const QString kHostExe = QStringLiteral("host.exe");
#else
const QString kHostExe = QStringLiteral("host.sh");
#endif
const QString kHostStartedFile = QStringLiteral("host-started.txt");

Snapshot installedFiles()
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
PublishedRelease::FileTree releaseFiles()
{
    return {
        {QStringLiteral("bin/core.dll"), "core library 1.1.0"},
        {QStringLiteral("data/settings.json"), "{\"theme\":\"light\"}"},
        {QStringLiteral("readme.txt"), "readme 1.1.0"},
        {QStringLiteral("update.exe"), TestInstallation::read(QStringLiteral(UPDATE_NEXT_EXE_PATH))},
    };
}

quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// ROOT/app: the installation with the real update.exe and updatehelper.exe beside system.cfg
// and a host program that appends a line per start; ROOT/release and ROOT/www for the servers.
class Sandbox
{
public:
    Sandbox()
    {
        m_valid = m_root.isValid() && PublishedRelease::writeTree(appDir(), installedFiles())
            && PublishedRelease::writeTree(releaseDir(), releaseFiles())
            && QFile::copy(QStringLiteral(UPDATE_EXE_PATH), path(QStringLiteral("update.exe")))
            && QFile::copy(QStringLiteral(UPDATEHELPER_EXE_PATH), path(QStringLiteral("updatehelper.exe")))
#ifdef Q_OS_WIN
            && QFile::copy(QStringLiteral(RECORDARGS_PATH), path(kHostExe));
#else
            && TestInstallation::writeFile(path(kHostExe), "#!/bin/sh\necho started >> \"$(dirname \"$0\")/host-started.txt\"\n")
            && QFile::setPermissions(path(kHostExe), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
#endif
    }

    [[nodiscard]] bool isValid() const { return m_valid; }
    [[nodiscard]] QString appDir() const { return m_root.path() + QStringLiteral("/app"); }
    [[nodiscard]] QString releaseDir() const { return m_root.path() + QStringLiteral("/release"); }
    [[nodiscard]] QString wwwDir() const { return m_root.path() + QStringLiteral("/www"); }
    [[nodiscard]] QString path(const QString &rel) const { return appDir() + QLatin1Char('/') + rel; }

    bool configure(quint16 tcpPort, const QString &url)
    {
        const QByteArray text = "[Update]\nURL=" + url.toUtf8() + "\nHostExe=" + kHostExe.toUtf8() + "\nUpdateHelperExe=updatehelper.exe\n"
            "HttpEnable=" + (url.isEmpty() ? "false" : "true") + "\n"
            "[Server]\nUpdateServer=127.0.0.1\nUpdatePort=" + QByteArray::number(tcpPort) + "\n"
            "[General]\nVersion=1.0.0\n[Paths]\nBackup=backup\nTemp=temp\nLog=log/\n[Project]\nType=1\n";
        return TestInstallation::writeFile(path(QStringLiteral("system.cfg")), text);
    }

    // Starts update.exe console from outside the installation, as a host program would.
    void start(QProcess &process) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("UPDATE_NO_ARGUMENT_BOX"), QStringLiteral("1"));
#ifdef Q_OS_WIN
        // Handed on through the helper and the second update.exe to the host program.
        env.insert(QStringLiteral("RECORDARGS_OUT"), QDir::toNativeSeparators(path(kHostStartedFile)));
        env.insert(QStringLiteral("RECORDARGS_APPEND"), QStringLiteral("1"));
#endif
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(m_root.path());
        process.start(path(QStringLiteral("update.exe")), {QStringLiteral("console")});
    }

    // Waits until the log file rel (written when its program ends) contains text.
    bool waitForLog(const QString &rel, const QString &text) const
    {
        QDeadlineTimer deadline(kChainTimeoutMs);
        while (!QString::fromUtf8(TestInstallation::read(path(rel))).contains(text)) {
            if (deadline.hasExpired())
                return false;
            QTest::qWait(50);
        }
        return true;
    }

    // The number of host starts, counted kNoLaunchWaitMs after the first one (or after the call,
    // when no start is expected).
    [[nodiscard]] int hostStarts(bool expectStart) const
    {
        if (expectStart && !waitForLog(kHostStartedFile, QStringLiteral("started")))
            return 0;
        QTest::qWait(kNoLaunchWaitMs);
        return TestInstallation::read(path(kHostStartedFile)).count('\n');
    }

    // What the user's program consists of: no logs, programs or working directories.
    [[nodiscard]] Snapshot installed() const
    {
        return TestInstallation::without(TestInstallation::snapshot(appDir()),
                                         {QStringLiteral("log/"), kHostStartedFile, kHostStartedFile + QStringLiteral(".parent"),
                                          QStringLiteral("update.exe"), QStringLiteral("updatehelper.exe")});
    }

private:
    QTemporaryDir m_root;
    bool m_valid = false;
};

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
    Sandbox sandbox;
    QVERIFY(sandbox.isValid());
    std::unique_ptr<TcpServerProcess> tcp;
    std::unique_ptr<HttpServerProcess> web;
    if (overHttp) {
        QCOMPARE(PublishedRelease::publish(sandbox.releaseDir(), sandbox.wwwDir(), QStringLiteral("1.1.0")).exitCode, 0);
        web = std::make_unique<HttpServerProcess>(sandbox.wwwDir());
        QVERIFY2(web->isReady(), qPrintable(web->errorString()));
        QVERIFY(sandbox.configure(closedPort(), web->baseUrl()));
    } else {
        tcp = std::make_unique<TcpServerProcess>(QStringList{"--root", sandbox.releaseDir(), "--version", "1.1.0"});
        QVERIFY2(tcp->start(), qPrintable(tcp->errorString()));
        QVERIFY(sandbox.configure(tcp->port(), QString()));
    }
    const QString updater = sandbox.path(QStringLiteral("update.exe"));
    const QByteArray oldUpdater = TestInstallation::read(updater);
    const QByteArray newUpdater = TestInstallation::read(QStringLiteral(UPDATE_NEXT_EXE_PATH));
    QVERIFY(oldUpdater != newUpdater);
    const Snapshot before = sandbox.installed();

    // For the unreadable case the test keeps update.exe's single-instance marker (a segment
    // named key + "_mem") attached past the updater's end, so that the helper is still waiting
    // when a directory takes the new updater's place in temp/.
    QSharedMemory marker(instanceKeyFor(QFileInfo(updater).canonicalFilePath()) + QStringLiteral("_mem"));
    QProcess first;
    sandbox.start(first);
    if (newUpdaterUnreadable) {
        QDeadlineTimer deadline(kRunTimeoutMs);
        while (!marker.attach()) {
            QVERIFY2(first.state() != QProcess::NotRunning && !deadline.hasExpired(), "the updater's marker never appeared");
            first.waitForFinished(10);
        }
    }
    QVERIFY(first.waitForFinished(kRunTimeoutMs));
    QCOMPARE(first.exitCode(), 0);
    QList<QByteArray> resultLines;
    // The C runtime ends lines with CR LF on Windows.
    for (const QByteArray &line : first.readAllStandardOutput().replace("\r\n", "\n").split('\n')) {
        if (line.startsWith('{'))
            resultLines << line;
    }
    QCOMPARE(resultLines, QList<QByteArray>{kUpdateLine});
    const QString newFile = sandbox.path(QStringLiteral("temp/update.exe"));
    QCOMPARE(TestInstallation::read(newFile), newUpdater);
    if (newUpdaterUnreadable) {
        QVERIFY(QFile::remove(newFile) && QDir().mkdir(newFile));
        QVERIFY(marker.detach());
    }

    const QString handBack = newUpdaterUnreadable ? QStringLiteral("update.exe updatehelper HelperFaile")
                                                  : QStringLiteral("update.exe updatehelper HelperSuccess");
    QVERIFY2(sandbox.waitForLog(QStringLiteral("log/updatehelper.log"), handBack), qPrintable(handBack));
    const QString updateLog = QStringLiteral("log/update.log");
    if (newUpdaterUnreadable) {
        QVERIFY(sandbox.waitForLog(updateLog, QStringLiteral("文件回退完成")));
        QCOMPARE(TestInstallation::read(updater), oldUpdater);
        // update/updateTmp.ini and update/md5Tmp.txt, left by the HTTP check, are no installed files.
        QCOMPARE(TestInstallation::without(sandbox.installed(), {QStringLiteral("update/updateTmp.ini"), QStringLiteral("update/md5Tmp.txt")}),
                 before);
        QCOMPARE(sandbox.hostStarts(false), 0);
    } else {
        // The second stage ran with the new program, which logs its version.
        QVERIFY(sandbox.waitForLog(updateLog, QStringLiteral("版本:" UPDATE_NEXT_VERSION)));
        QCOMPARE(TestInstallation::read(updater), newUpdater);
        QVERIFY(QFileInfo(updater).isExecutable());
        Snapshot expected = before;
        const PublishedRelease::FileTree release = releaseFiles();
        for (auto it = release.cbegin(); it != release.cend(); ++it) {
            if (it.key() != QLatin1String("update.exe"))
                expected.insert(it.key(), it.value());
        }
        // A TCP update records the version the server offered.
        if (!overHttp)
            expected[QStringLiteral("system.cfg")].replace("Version=1.0.0", "Version=1.1.0");
        // The second stage starts the host after it has cleared the working directories.
        QCOMPARE(sandbox.hostStarts(true), 1);
        const QStringList versionFiles{QStringLiteral("update/"), QStringLiteral("md5.txt")};
        QCOMPARE(TestInstallation::without(sandbox.installed(), versionFiles), TestInstallation::without(expected, versionFiles));
    }
    QVERIFY(!QFileInfo::exists(sandbox.path(QStringLiteral("temp"))));
    QVERIFY(!QFileInfo::exists(sandbox.path(QStringLiteral("backup"))));
}

QTEST_GUILESS_MAIN(TestSelfUpdate)
#include "tst_selfupdate.moc"
