#pragma once

// A temporary installation of the real update.exe for end-to-end tests: the program copied into
// SANDBOX/app with a host program and an update helper that record being started, a release of
// version 1.1.0 in SANDBOX/release, and SANDBOX/www for publishing it. The target defines
// UPDATE_EXE_PATH as $<TARGET_FILE:update_exe>.

#include "common/installation.h"
#include "common/publishedrelease.h"

#include <QElapsedTimer>
#include <QHash>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#ifndef Q_OS_WIN
#include <csignal>
#endif

namespace EndToEnd {

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

// The result line as a host program receives it: in the system's code page (GBK on a Chinese
// Windows, UTF-8 here).
inline QByteArray received(const QByteArray &utf8Line)
{
    return QTextCodec::codecForLocale()->fromUnicode(QString::fromUtf8(utf8Line));
}

// The stand-ins for the host program and the update helper, and the files in which they record
// their start: shell scripts here; on Windows copies of recordargs.exe, started by cmd.exe.
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

// Ends a process at once, without any clean-up of its own (SIGKILL; TerminateProcess on Windows).
inline void killHard(QProcess *process)
{
#ifdef Q_OS_WIN
    process->kill();
#else
    ::kill(static_cast<pid_t>(process->processId()), SIGKILL);
#endif
}

// The installed version 1.0.0.
inline Snapshot installedFiles()
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
inline PublishedRelease::FileTree releaseFiles()
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

// A TestInstallation holding a copy of the real update.exe, a host program and an update helper
// that record being started (the host adds a line "started" to host-started.txt at every start),
// the release in releaseDir(), and a system.cfg written per test.
class Sandbox : public TestInstallation
{
public:
    explicit Sandbox(const Snapshot &files = installedFiles(), const PublishedRelease::FileTree &release = releaseFiles(),
                     const QString &appName = QStringLiteral("app"))
        : TestInstallation(QByteArray(), files, appName)
    {
        bool valid = TestInstallation::isValid() && QFile::copy(QStringLiteral(UPDATE_EXE_PATH), path(QStringLiteral("update.exe")));
#ifdef Q_OS_WIN
        valid = valid && QFile::copy(QStringLiteral(RECORDARGS_PATH), path(kHostExe));
        valid = valid && QFile::copy(QStringLiteral(RECORDARGS_PATH), path(kHelperExe));
#else
        valid = valid && writeScript(kHostExe, "echo started >> \"$(dirname \"$0\")/host-started.txt\"\n");
        valid = valid && writeScript(kHelperExe, "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/helper-args.txt\"\n");
#endif
        m_valid = valid && PublishedRelease::writeTree(releaseDir(), release);
    }

    ~Sandbox()
    {
        for (QProcess *process : qAsConst(m_background)) {
            process->kill();
            process->waitForFinished();
            delete process;
        }
    }

    [[nodiscard]] bool isValid() const { return m_valid && TestInstallation::isValid(); }
    // An environment variable for every update.exe this sandbox starts (QT_QPA_PLATFORM=xcb and
    // DISPLAY, for a test that looks at the windows on a real display).
    void setEnv(const QString &name, const QString &value) { m_env.insert(name, value); }

    // The stand-ins as host program and update helper, our TCP server at 127.0.0.1:tcpPort and,
    // with a URL, HTTP from url when httpEnabled.
    static TestConfig config(quint16 tcpPort, const QString &url = QString(), bool httpEnabled = false)
    {
        TestConfig config = TestConfig::tcp(tcpPort);
        config.url = url;
        config.httpEnabled = httpEnabled;
        config.hostExe = kHostExe;
        config.helperExe = kHelperExe;
        return config;
    }
    static QByteArray configText(quint16 tcpPort, const QString &url = QString(), bool httpEnabled = false)
    {
        return config(tcpPort, url, httpEnabled).text();
    }
    using TestInstallation::configure;
    bool configure(quint16 tcpPort, const QString &url = QString(), bool httpEnabled = false)
    {
        return configure(config(tcpPort, url, httpEnabled));
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
        normalizeLineEnds(result);
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

    [[nodiscard]] QByteArray log() const { return read(path(QStringLiteral("log/update.log"))); }

    // Asks a running update.exe to end, as a host program or the system would (SIGTERM; WM_CLOSE
    // to its windows and main thread on Windows), and waits for its end.
    RunResult terminate(QProcess *process, int timeoutMs = kRunTimeoutMs)
    {
        process->terminate();
        return wait(process, timeoutMs);
    }

    // Waits for a started update.exe to end by itself; out holds all it wrote.
    RunResult wait(QProcess *process, int timeoutMs = kRunTimeoutMs)
    {
        RunResult result;
        result.finished = process->waitForFinished(timeoutMs);
        result.exitCode = process->exitCode();
        result.out = m_output.take(process) + process->readAllStandardOutput();
        result.err = process->readAllStandardError();
        normalizeLineEnds(result);
        return result;
    }

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

    // Waits until the file rel (a log, written when its program ends) contains text.
    bool waitForLog(const QString &rel, const QString &text, int timeoutMs = kRunTimeoutMs) const
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!QString::fromUtf8(read(path(rel))).contains(text)) {
            if (deadline.hasExpired())
                return false;
            QTest::qWait(50);
        }
        return true;
    }

    // The number of host starts, counted kNoLaunchWaitMs after the first one (or after the call,
    // when no start is expected).
    [[nodiscard]] int hostStarts(bool expectStart, int timeoutMs = kRunTimeoutMs) const
    {
        if (expectStart && !waitForLog(kHostStartedFile, QStringLiteral("started"), timeoutMs))
            return 0;
        QTest::qWait(kNoLaunchWaitMs);
        return read(path(kHostStartedFile)).count('\n');
    }

    // The program that started the host: on Windows the command processor of the delayed start.
    [[nodiscard]] QByteArray hostParent() const
    {
        return read(path(kHostStartedFile + QStringLiteral(".parent"))).trimmed().toLower();
    }

    // The installation as the user's program sees it: without logs and the recording files.
    [[nodiscard]] Snapshot installed() const
    {
        return without(snapshot(appDir()), {QStringLiteral("log/"), kHostStartedFile, kHelperArgsFile});
    }

private:
    // The C runtime and the console sink end lines with CR LF on Windows.
    static void normalizeLineEnds(RunResult &result)
    {
#ifdef Q_OS_WIN
        result.out.replace("\r\n", "\n");
        result.err.replace("\r\n", "\n");
#else
        Q_UNUSED(result)
#endif
    }

    bool writeScript(const QString &rel, const QByteArray &body)
    {
        const QString file = path(rel);
        return writeFile(file, "#!/bin/sh\n" + body)
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
        for (auto it = m_env.cbegin(); it != m_env.cend(); ++it)
            env.insert(it.key(), it.value());
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(root());
    }

    bool m_valid = false;
    QHash<QString, QString> m_env;
    QList<QProcess *> m_background;
    QHash<QProcess *, QByteArray> m_output;
};

// The installation after the release was applied over it.
inline Snapshot expectedAfterUpdate(const Snapshot &before)
{
    Snapshot expected = before;
    const PublishedRelease::FileTree release = releaseFiles();
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        expected.insert(it.key(), it.value());
    expected.insert(QStringLiteral("plugins/"), QByteArray());
    return expected;
}

// A port on 127.0.0.1 where nothing listens.
inline quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort(); // closed again when server goes out of scope
}

} // namespace EndToEnd

