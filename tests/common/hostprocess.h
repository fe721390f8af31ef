#pragma once

// HostProcess runs a program of the machine the tests run on (our servers, python, the tools) and
// reads its output, for the server fixtures.
//
// Natively it is a QProcess. A Windows test under Wine (the build defines UPDATER_HOSTRUN_SCRIPT)
// runs the Linux-built servers, for which Wine gives it no process handle: no pipe to read, nothing
// to wait for or to stop. There the program runs under tests/common/hostrun.py, and the two talk
// through files in a state directory (see that script). hostPath() turns a path of the test into
// the Linux path the program needs.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <memory>

#ifdef UPDATER_HOSTRUN_SCRIPT
#include <windows.h>
#endif

class HostProcess
{
public:
    HostProcess() = default;
    ~HostProcess() { stop(); }

    HostProcess(const HostProcess &) = delete;
    HostProcess &operator=(const HostProcess &) = delete;

    // True when Linux programs are run through hostrun.py (a Windows test under Wine).
    static constexpr bool viaHostRun()
    {
#ifdef UPDATER_HOSTRUN_SCRIPT
        return true;
#else
        return false;
#endif
    }

    // The path as the started program sees it: natively unchanged; under Wine the Linux path of a
    // Windows path ("C:/users/x/Temp/d" -> "/root/.wine/drive_c/users/x/Temp/d").
    static QString hostPath(const QString &path)
    {
#ifdef UPDATER_HOSTRUN_SCRIPT
        using UnixName = char *(CDECL *)(const wchar_t *);
        static const auto toUnix = reinterpret_cast<UnixName>(
            reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
        if (!toUnix)
            return path; // not under Wine: nothing to translate
        const std::wstring native = QDir::toNativeSeparators(QDir(path).absolutePath()).toStdWString();
        char *unixName = toUnix(native.c_str());
        if (!unixName)
            return path;
        const QString result = QString::fromUtf8(unixName); // Wine runs with a UTF-8 locale here
        HeapFree(GetProcessHeap(), 0, unixName);
        return result;
#else
        return path;
#endif
    }

    // Starts program with arguments; standard error joins standard output when merged. The
    // program reads input on its standard input, which is then closed.
    void start(const QString &program, const QStringList &arguments, bool merged = false,
               const QByteArray &input = QByteArray())
    {
        m_merged = merged;
        if (!viaHostRun()) {
            m_process = std::make_unique<QProcess>();
            m_process->setProcessChannelMode(merged ? QProcess::MergedChannels : QProcess::SeparateChannels);
            m_process->start(program, arguments);
            m_process->write(input);
            m_process->closeWriteChannel();
            return;
        }
        m_state = std::make_unique<QTemporaryDir>();
        QJsonObject command;
        command.insert(QStringLiteral("argv"), QJsonArray::fromStringList(QStringList{program} + arguments));
        command.insert(QStringLiteral("merged"), merged);
        command.insert(QStringLiteral("input"), QString::fromLatin1(input.toBase64()));
        QFile file(statePath(QStringLiteral("command.json")));
        if (!m_state->isValid() || !file.open(QIODevice::WriteOnly)
            || file.write(QJsonDocument(command).toJson()) < 0) {
            m_error = QStringLiteral("cannot write the command for hostrun.py");
            return;
        }
        file.close();
#ifdef UPDATER_HOSTRUN_SCRIPT
        if (!QProcess::startDetached(QStringLiteral(UPDATER_HOSTRUN_SCRIPT), {hostPath(m_state->path())}))
            m_error = QStringLiteral("Wine cannot start ") + QStringLiteral(UPDATER_HOSTRUN_SCRIPT);
#endif
    }

    bool waitForStarted(int timeoutMs)
    {
        if (m_process) {
            if (!m_process->waitForStarted(timeoutMs)) {
                m_error = m_process->errorString();
                return false;
            }
            return true;
        }
        if (!m_error.isEmpty())
            return false;
        const bool started = poll(timeoutMs, [this] { return exists(QStringLiteral("pid")) || exists(QStringLiteral("error")); });
        if (exists(QStringLiteral("error")))
            m_error = QString::fromUtf8(readState(QStringLiteral("error")));
        else if (!started)
            m_error = QStringLiteral("hostrun.py did not report the program as started");
        return m_error.isEmpty();
    }

    [[nodiscard]] bool isRunning() const
    {
        if (m_process)
            return m_process->state() != QProcess::NotRunning;
        return m_state && exists(QStringLiteral("pid")) && !exists(QStringLiteral("exit"));
    }

    // The output that arrived since the last call.
    QByteArray readAllStandardOutput()
    {
        if (m_process)
            return m_merged ? m_process->readAll() : m_process->readAllStandardOutput();
        return readNew(QStringLiteral("out"), m_outOffset);
    }

    QByteArray readAllStandardError()
    {
        if (m_process)
            return m_process->readAllStandardError();
        return m_merged ? QByteArray() : readNew(QStringLiteral("err"), m_errOffset);
    }

    // Waits until new output can be read or the program has ended.
    bool waitForReadyRead(int timeoutMs)
    {
        if (m_process)
            return m_process->waitForReadyRead(timeoutMs);
        return poll(timeoutMs, [this] {
            return !isRunning() || fileSize(QStringLiteral("out")) > m_outOffset
                || (!m_merged && fileSize(QStringLiteral("err")) > m_errOffset);
        }) && (fileSize(QStringLiteral("out")) > m_outOffset || fileSize(QStringLiteral("err")) > m_errOffset);
    }

    bool waitForFinished(int timeoutMs)
    {
        if (m_process)
            return m_process->waitForFinished(timeoutMs);
        return m_state && poll(timeoutMs, [this] { return exists(QStringLiteral("exit")); });
    }

    [[nodiscard]] int exitCode() const
    {
        if (m_process)
            return m_process->exitCode();
        return m_state ? readState(QStringLiteral("exit")).trimmed().toInt() : -1;
    }

    // False when the program was ended by a signal or crashed.
    [[nodiscard]] bool exitedNormally() const
    {
        if (m_process)
            return m_process->exitStatus() == QProcess::NormalExit;
        return exitCode() >= 0; // hostrun.py writes -N for a signal N
    }

    [[nodiscard]] QString errorString() const { return m_error; }

    // Ends the program (SIGTERM, SIGKILL if it hangs) and waits for it. Safe to call twice.
    void stop()
    {
        if (m_process) {
            if (m_process->state() == QProcess::NotRunning)
                return;
            m_process->terminate();
            if (!m_process->waitForFinished(StopTimeoutMs)) {
                m_process->kill();
                m_process->waitForFinished(StopTimeoutMs);
            }
            return;
        }
        if (!isRunning())
            return;
        QFile stopFile(statePath(QStringLiteral("stop")));
        (void)stopFile.open(QIODevice::WriteOnly);
        stopFile.close();
        // hostrun.py sends SIGKILL itself when SIGTERM is not enough.
        waitForFinished(2 * StopTimeoutMs);
    }

private:
    static constexpr int StopTimeoutMs = 5000;
    static constexpr int PollMs = 20;

    template<typename Condition>
    static bool poll(int timeoutMs, Condition condition)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!condition()) {
            if (deadline.hasExpired())
                return false;
            QThread::msleep(PollMs);
        }
        return true;
    }

    [[nodiscard]] QString statePath(const QString &name) const { return m_state->path() + QLatin1Char('/') + name; }
    [[nodiscard]] bool exists(const QString &name) const { return QFile::exists(statePath(name)); }
    [[nodiscard]] qint64 fileSize(const QString &name) const { return QFileInfo(statePath(name)).size(); }

    [[nodiscard]] QByteArray readState(const QString &name) const
    {
        QFile file(statePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QByteArray readNew(const QString &name, qint64 &offset) const
    {
        if (!m_state)
            return QByteArray();
        QFile file(statePath(name));
        if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
            return QByteArray();
        const QByteArray data = file.readAll();
        offset += data.size();
        return data;
    }

    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QTemporaryDir> m_state;
    bool m_merged = false;
    qint64 m_outOffset = 0;
    qint64 m_errOffset = 0;
    QString m_error;
};
