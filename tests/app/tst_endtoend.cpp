// Runs the real update.exe, copied into temporary installations, against our TCP update server
// and a static web server on loopback, and checks what a host program and a user would see:
// the console result line, the exit code, the installed files and whether programs were started.

#include "common/installation.h"
#include "common/hostprocess.h"
#include "common/httpserverprocess.h"
#include "common/immutableguard.h"
#include "common/publishedrelease.h"
#include "common/tcpserverprocess.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#endif

namespace {

using Snapshot = TestInstallation::Snapshot;

constexpr int kRunTimeoutMs = 30000;
// The delayed start waits one second before the started program runs.
constexpr int kLaunchWaitMs = 5000;
// How long a test watches for a program that must not be started.
constexpr int kNoLaunchWaitMs = 2000;

const QByteArray kNoTransportLine = R"({"errormsg":"TCP升级服务连接失败","success":false,"update":false})";
const QByteArray kNoUpdateLine = R"({"errormsg":"","success":true,"update":false})";
const QByteArray kUpdateLine = R"({"errormsg":"","success":true,"update":true})";
const QByteArray kInitFailedLine = R"({"errormsg":"Controller initialization failed","success":false,"update":true})";

#ifdef Q_OS_WIN
constexpr UINT kChineseCodePage = 936; // GBK
#endif

// The result line as a host program receives it: in the system's code page (GBK on a Chinese
// Windows, UTF-8 here).
QByteArray received(const QByteArray &utf8Line)
{
    return QTextCodec::codecForLocale()->fromUnicode(QString::fromUtf8(utf8Line));
}

// The stand-ins for the host program and the update helper, and the files in which they record
// their arguments: shell scripts here; on Windows copies of recordargs.exe, started by cmd.exe.
#ifdef Q_OS_WIN
const QString kHostExe = QStringLiteral("host.exe");
const QString kHelperExe = QStringLiteral("helper.exe");
const QString kHelperArgsFile = QStringLiteral("helper-started.txt");
#else
const QString kHostExe = QStringLiteral("host.sh");
const QString kHelperExe = QStringLiteral("helper.sh");
const QString kHelperArgsFile = QStringLiteral("helper-args.txt");
#endif
const QString kHostStartedFile = QStringLiteral("host-started.txt");

// The installed version 1.0.0.
Snapshot installedFiles()
{
    return {
        {QStringLiteral("bin/core.dll"), "core library 1.0.0"},
        {QStringLiteral("bin/render.dll"), "renderer 1.0.0"},
        {QStringLiteral("data/settings.json"), "{\"theme\":\"light\"}"},
        {QStringLiteral("readme.txt"), "readme 1.0.0"},
        {QStringLiteral("update/update.ini"), "[Version]\nVersion=1.0.0\nFolder=1.0.0\n"},
    };
}

// The release 1.1.0: one changed file in a sub-directory, one new directory, unchanged files.
PublishedRelease::FileTree releaseFiles()
{
    return {
        {QStringLiteral("bin/core.dll"), "core library 1.1.0 with more bytes"},
        {QStringLiteral("bin/render.dll"), "renderer 1.0.0"},
        {QStringLiteral("data/settings.json"), "{\"theme\":\"light\"}"},
        {QStringLiteral("plugins/extra.dll"), "extra plugin 1.1.0"},
        {QStringLiteral("readme.txt"), "readme 1.1.0"},
    };
}

struct RunResult
{
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;

    // The lines of standard output that begin with "{".
    [[nodiscard]] QList<QByteArray> jsonLines() const
    {
        QList<QByteArray> lines;
        for (const QByteArray &line : out.split('\n')) {
            if (line.startsWith('{'))
                lines << line;
        }
        return lines;
    }
};

// A temporary installation holding a copy of the real update.exe, a host program and an update
// helper that record being started, and a system.cfg written per test.
class Sandbox
{
public:
    explicit Sandbox(const Snapshot &files = installedFiles(), const QString &appName = QStringLiteral("app"))
        : m_appName(appName)
    {
        m_valid = m_root.isValid() && QDir().mkpath(appDir()) && QDir().mkpath(releaseDir());
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            m_valid = m_valid && TestInstallation::writeFile(path(it.key()), it.value());
        m_valid = m_valid && QFile::copy(QStringLiteral(UPDATE_EXE_PATH), path(QStringLiteral("update.exe")));
#ifdef Q_OS_WIN
        m_valid = m_valid && QFile::copy(QStringLiteral(RECORDARGS_PATH), path(kHostExe));
        m_valid = m_valid && QFile::copy(QStringLiteral(RECORDARGS_PATH), path(kHelperExe));
#else
        m_valid = m_valid && writeScript(kHostExe, "echo started >> \"$(dirname \"$0\")/host-started.txt\"\n");
        m_valid = m_valid && writeScript(kHelperExe, "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/helper-args.txt\"\n");
#endif
        m_valid = m_valid && PublishedRelease::writeTree(releaseDir(), releaseFiles());
    }

    ~Sandbox()
    {
        for (QProcess *process : qAsConst(m_background)) {
            process->kill();
            process->waitForFinished();
            delete process;
        }
    }

    [[nodiscard]] bool isValid() const { return m_valid; }
    [[nodiscard]] QString root() const { return m_root.path(); }
    [[nodiscard]] QString appDir() const { return m_root.path() + QLatin1Char('/') + m_appName; }
    [[nodiscard]] QString releaseDir() const { return m_root.path() + QStringLiteral("/release"); }
    [[nodiscard]] QString wwwDir() const { return m_root.path() + QStringLiteral("/www"); }
    [[nodiscard]] QString path(const QString &rel) const { return appDir() + QLatin1Char('/') + rel; }

    bool configure(quint16 tcpPort, const QString &url = QString(), bool httpEnabled = false,
                   const QByteArray &paths = "Backup=backup\nTemp=temp\nLog=log/\n")
    {
        const QByteArray text = "[Update]\nURL=" + url.toUtf8() + "\nHostExe=" + kHostExe.toUtf8()
            + "\nUpdateHelperExe=" + kHelperExe.toUtf8() + "\n"
            "HttpEnable=" + (httpEnabled ? "true" : "false") + "\n"
            "[Server]\nUpdateServer=127.0.0.1\nUpdatePort=" + QByteArray::number(tcpPort) + "\n"
            "[General]\nVersion=1.0.0\n[Paths]\n" + paths + "[Project]\nType=1\n";
        return TestInstallation::writeFile(path(QStringLiteral("system.cfg")), text);
    }

    // Runs update.exe to its end. The working directory is the sandbox root, not the
    // installation, so every path must be resolved against the application directory.
    RunResult run(const QStringList &arguments, int timeoutMs = kRunTimeoutMs)
    {
        QProcess process;
        prepare(process);
        process.start(path(QStringLiteral("update.exe")), arguments);
        RunResult result;
        result.finished = process.waitForFinished(timeoutMs);
        if (!result.finished) {
            process.kill();
            process.waitForFinished();
        }
        result.exitCode = process.exitCode();
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
#ifdef Q_OS_WIN
        // The C runtime and the console sink end lines with CR LF there.
        result.out.replace("\r\n", "\n");
        result.err.replace("\r\n", "\n");
#endif
        return result;
    }

    // Starts update.exe and leaves it running; the sandbox kills it at the end.
    QProcess *start(const QStringList &arguments)
    {
        auto *process = new QProcess;
        prepare(*process);
        process->start(path(QStringLiteral("update.exe")), arguments);
        m_background << process;
        return process;
    }

    [[nodiscard]] QByteArray log() const { return TestInstallation::read(path(QStringLiteral("log/update.log"))); }

    // Waits until a running update.exe has printed text on standard output. The console log sink
    // flushes every line; the log file is written through a buffer and may lag behind.
    bool waitForOutput(QProcess *process, const QString &text, int timeoutMs = kRunTimeoutMs)
    {
        QByteArray &seen = m_output[process];
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            seen += process->readAllStandardOutput();
            if (QString::fromUtf8(seen).contains(text))
                return true;
            process->waitForReadyRead(50);
        }
        return false;
    }

    bool waitForFile(const QString &rel, int timeoutMs) const
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            if (QFile::exists(path(rel)))
                return true;
            QTest::qWait(50);
        }
        return QFile::exists(path(rel));
    }

    [[nodiscard]] bool hostStarted(int timeoutMs = kLaunchWaitMs) const
    {
        return waitForFile(kHostStartedFile, timeoutMs);
    }

    // The program that started the host: on Windows the command processor of the delayed start.
    [[nodiscard]] QByteArray hostParent() const
    {
        return TestInstallation::read(path(kHostStartedFile + QStringLiteral(".parent"))).trimmed().toLower();
    }

    // The installation as the user's program sees it: without logs and the recording files.
    [[nodiscard]] Snapshot installed() const
    {
        return TestInstallation::without(TestInstallation::snapshot(appDir()),
                                         {QStringLiteral("log/"), kHostStartedFile, kHelperArgsFile});
    }

private:
    bool writeScript(const QString &rel, const QByteArray &body)
    {
        const QString file = path(rel);
        return TestInstallation::writeFile(file, "#!/bin/sh\n" + body)
            && QFile::setPermissions(file, QFile::permissions(file) | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
    }

    void prepare(QProcess &process) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("UPDATE_NO_ARGUMENT_BOX"), QStringLiteral("1"));
#ifdef Q_OS_WIN
        env.insert(QStringLiteral("RECORDARGS_OUT"), QDir::toNativeSeparators(path(QStringLiteral("*-started.txt"))));
#endif
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(root());
    }

    QTemporaryDir m_root;
    QString m_appName;
    bool m_valid = false;
    QList<QProcess *> m_background;
    QHash<QProcess *, QByteArray> m_output;
};

// The installation after the release was applied over it.
Snapshot expectedAfterUpdate(const Snapshot &before)
{
    Snapshot expected = before;
    const PublishedRelease::FileTree release = releaseFiles();
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        expected.insert(it.key(), it.value());
    expected.insert(QStringLiteral("plugins/"), QByteArray());
    return expected;
}

// A port on 127.0.0.1 where nothing listens.
quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort(); // closed again when server goes out of scope
}

} // namespace

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
    QTest::newRow("no transport") << QString() << kNoTransportLine;
    QTest::newRow("no newer version") << QStringLiteral("1.0.0") << kNoUpdateLine;
}

void TestEndToEnd::consoleResultLine()
{
    QFETCH(QString, serverVersion);
    QFETCH(QByteArray, line);
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
    QCOMPARE(result.exitCode, 0);
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
    QCOMPARE(result.exitCode, 0);
    QVERIFY(!sandbox.hostStarted(kNoLaunchWaitMs));
}

void TestEndToEnd::tcpUpdateAppliesRelease()
{
    Sandbox sandbox;
    TcpServerProcess server({"--root", sandbox.releaseDir(), "--version", "1.1.0", "--chunk-size", "7"});
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(sandbox.configure(server.port()));
    const Snapshot before = sandbox.installed();

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
    QCOMPARE(sandbox.installed(), expectedAfterUpdate(before));
#ifdef Q_OS_WIN
    QCOMPARE(sandbox.hostParent(), QByteArray("cmd.exe"));
#endif
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

    QProcess *updater = sandbox.start({QStringLiteral("console")});
    QVERIFY(sandbox.waitForOutput(updater, QStringLiteral("下载最终失败，已达到最大重试次数: extra.dll")));
    QTest::qWait(500);
    QCOMPARE(updater->state(), QProcess::Running); // the window stays open
    QCOMPARE(TestInstallation::without(sandbox.installed(), {QStringLiteral("temp/")}), before);
    QVERIFY(!sandbox.hostStarted(kNoLaunchWaitMs));
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
    QCOMPARE(updated, expectedAfterUpdate(before));

    // The helper starts update.exe again with its outcome.
    const RunResult second = sandbox.run({QStringLiteral("updatehelper"), outcome});
    QVERIFY(second.finished);
    QCOMPARE(second.exitCode, 0);
    QVERIFY(second.jsonLines().isEmpty());
    QVERIFY(!QFileInfo::exists(sandbox.path(QStringLiteral("temp"))));
    QVERIFY(!QFileInfo::exists(sandbox.path(QStringLiteral("backup"))));
    if (outcome == QLatin1String("HelperSuccess")) {
        QCOMPARE(sandbox.installed(), updated);
        QVERIFY(sandbox.hostStarted());
    } else {
        Snapshot restored = before; // the backup is put back; files the download added stay
        restored.insert(QStringLiteral("plugins/"), QByteArray());
        restored.insert(QStringLiteral("plugins/extra.dll"), "extra plugin 1.1.0");
        QCOMPARE(sandbox.installed(), restored);
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
#ifdef Q_OS_WIN
    first->kill(); // TerminateProcess: no clean-up runs
#else
    ::kill(static_cast<pid_t>(first->processId()), SIGKILL);
#endif
    QVERIFY(first->waitForFinished());
    server.stop();
    QVERIFY(sandbox.configure(closedPort()));
    const RunResult third = sandbox.run({QStringLiteral("console")});
    QVERIFY(third.finished);
    QCOMPARE(third.exitCode, 0);
    QCOMPARE(third.jsonLines(), QList<QByteArray>{received(kNoTransportLine)});
}

void TestEndToEnd::unsafeTempRefusesToStart_data()
{
    QTest::addColumn<QByteArray>("paths");
    QTest::newRow("empty Temp") << QByteArray("Backup=backup\nTemp=\nLog=log/\n");
    QTest::newRow("Temp ..") << QByteArray("Backup=backup\nTemp=..\nLog=log/\n");
    QTest::newRow("Temp .") << QByteArray("Backup=backup\nTemp=.\nLog=log/\n");
    QTest::newRow("absolute Backup") << QByteArray("Backup=/tmp\nTemp=temp\nLog=log/\n");
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
    QCOMPARE(TestInstallation::without(TestInstallation::snapshot(sandbox.root()), {QStringLiteral("app/log/")}),
             TestInstallation::without(before, {QStringLiteral("app/log/")}));
    QVERIFY(sandbox.log().contains("[Paths]"));
}

void TestEndToEnd::interruptedApplyIsRestored()
{
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

    const RunResult result = sandbox.run({QStringLiteral("console")});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(sandbox.installed(), before);
    QVERIFY(QString::fromUtf8(sandbox.log()).contains(QStringLiteral("上次更新未完成")));
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
    QCOMPARE(process.exitCode(), 0);
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
    // Every installed file is as before. A file the download added stays if the replace got to
    // it before the held one (the directory is walked in the file system's order).
    const Snapshot after = sandbox.installed();
    QCOMPARE(TestInstallation::without(after, {QStringLiteral("plugins/")}), before);
    if (after.contains(QStringLiteral("plugins/extra.dll")))
        QCOMPARE(after.value(QStringLiteral("plugins/extra.dll")), QByteArray("extra plugin 1.1.0"));
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
    Sandbox sandbox(installedFiles(), QStringLiteral("应用 程序"));
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
