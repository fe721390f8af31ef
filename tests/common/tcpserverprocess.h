#pragma once

// Starts our update-tcp-server as a child process on 127.0.0.1 with a free port, for tests that
// need a real server. The server's path comes from the compile definition UPDATE_TCP_SERVER_PATH
// ($<TARGET_FILE:update-tcp-server>, or the Linux build's server for Windows tests under Wine).
// The process is stopped in the destructor.
//
//     TcpServerProcess server({"--root", dir, "--version", "2.0"});
//     QVERIFY2(server.start(), qPrintable(server.errorString()));
//     ... connect to server.port() ...
//     QCOMPARE(server.requestCount("file bin/a.dll"), 1);

#include "common/hostprocess.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QStringList>

#ifndef UPDATE_TCP_SERVER_PATH
#error "UPDATE_TCP_SERVER_PATH must name the update-tcp-server executable"
#endif

class TcpServerProcess
{
public:
    static constexpr int StartTimeoutMs = 10000;

    explicit TcpServerProcess(QStringList arguments)
        : m_arguments(std::move(arguments))
    {
    }

    ~TcpServerProcess() { stop(); }

    TcpServerProcess(const TcpServerProcess &) = delete;
    TcpServerProcess &operator=(const TcpServerProcess &) = delete;

    static QString executable() { return QStringLiteral(UPDATE_TCP_SERVER_PATH); }

    // Starts the server and waits for its "listening on" line. Adds --host 127.0.0.1 and --port 0
    // unless the arguments name them.
    bool start()
    {
        QStringList arguments = m_arguments;
        if (!arguments.contains(QStringLiteral("--host")))
            arguments << QStringLiteral("--host") << QStringLiteral("127.0.0.1");
        if (!arguments.contains(QStringLiteral("--port")))
            arguments << QStringLiteral("--port") << QStringLiteral("0");
        const int root = arguments.indexOf(QStringLiteral("--root")) + 1;
        if (root > 0 && root < arguments.size())
            arguments[root] = HostProcess::hostPath(arguments.at(root));
        m_process.start(executable(), arguments);
        if (!m_process.waitForStarted(StartTimeoutMs)) {
            m_error = QStringLiteral("cannot start %1: %2").arg(executable(), m_process.errorString());
            return false;
        }
        static const QRegularExpression listening(QStringLiteral("^listening on (\\S+):(\\d+)$"));
        QDeadlineTimer deadline(StartTimeoutMs);
        while (!deadline.hasExpired()) {
            readOutput();
            if (!m_lines.isEmpty()) {
                const QRegularExpressionMatch match = listening.match(m_lines.first());
                if (!match.hasMatch()) {
                    m_error = QStringLiteral("unexpected first line: ") + m_lines.first();
                    return false;
                }
                m_host = match.captured(1);
                m_port = static_cast<quint16>(match.captured(2).toUInt());
                m_lines.removeFirst();
                return true;
            }
            if (!m_process.isRunning())
                break;
            m_process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
        }
        m_error = QStringLiteral("server did not report listening; stderr: ")
            + QString::fromUtf8(m_process.readAllStandardError());
        return false;
    }

    // Ends the server with SIGTERM (then SIGKILL if it hangs). Safe to call twice.
    void stop()
    {
        m_process.stop();
        readOutput();
    }

    [[nodiscard]] quint16 port() const { return m_port; }
    [[nodiscard]] QString host() const { return m_host; }
    [[nodiscard]] QString errorString() const { return m_error; }

    // Every request line the server printed so far (the listening line excluded).
    [[nodiscard]] QStringList requestLines()
    {
        readOutput();
        return m_lines;
    }

    // Number of request lines that begin with prefix, for instance "file bin/a.dll ".
    [[nodiscard]] int requestCount(const QString &prefix)
    {
        int count = 0;
        const QStringList lines = requestLines();
        for (const QString &line : lines) {
            if (line.startsWith(prefix))
                ++count;
        }
        return count;
    }

    // Waits until a request line starting with prefix has been printed.
    bool waitForRequest(const QString &prefix, int timeoutMs = StartTimeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        do {
            if (requestCount(prefix) > 0)
                return true;
            m_process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, qMin<qint64>(100, deadline.remainingTime()))));
        } while (!deadline.hasExpired());
        return requestCount(prefix) > 0;
    }

private:
    void readOutput()
    {
        m_pending += m_process.readAllStandardOutput();
        int newline;
        while ((newline = m_pending.indexOf('\n')) >= 0) {
            m_lines.append(QString::fromUtf8(m_pending.left(newline)));
            m_pending.remove(0, newline + 1);
        }
    }

    QStringList m_arguments;
    HostProcess m_process;
    QByteArray m_pending;
    QStringList m_lines;
    QString m_error;
    QString m_host;
    quint16 m_port = 0;
};
