#pragma once

// A real static HTTP server on 127.0.0.1 for tests and benchmarks: python's http.server serving
// one directory on a port the system picks. By default it is the module's own server, run exactly
// as `python3 -m http.server 0 --bind 127.0.0.1 --directory DIR` runs it (plus a line that makes
// it end with the test process);
// with Options it is the same server class with redirects and/or a throttled body, for tests that
// need a download to be in flight or a server that redirects. The server's request log tells
// which paths were requested. The process is stopped in the destructor.

#include "common/hostprocess.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QMap>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <QThread>
#include <QVector>

struct HttpServerOptions
{
    // Paths beginning with a key are answered with a 301 to the value + the rest of the path.
    QMap<QString, QString> redirects;
    // When above 0, file bodies are sent in chunks of throttleChunkSize with this pause between.
    int throttleDelayMs = 0;
    int throttleChunkSize = 16 * 1024;
};

class HttpServerProcess
{
public:
    using Options = HttpServerOptions;

    struct Request
    {
        QString method;
        QString path; // as sent, percent-encoded
        int status = 0;
    };

    explicit HttpServerProcess(const QString &directory, const Options &options = Options())
    {
        const QString dir = HostProcess::hostPath(QDir(directory).absolutePath());
        const bool plain = options.redirects.isEmpty() && options.throttleDelayMs <= 0;
        if (plain) {
            // The module's own command line, run as `python3 -m http.server` would run it.
            const QString script = QString::fromLatin1(DieWithParent)
                + QStringLiteral("import runpy, sys\n"
                                 "sys.argv = ['http.server'] + sys.argv[1:]\n"
                                 "runpy.run_module('http.server', run_name='__main__', alter_sys=True)\n");
            m_process.start(QStringLiteral("python3"),
                            {QStringLiteral("-u"), QStringLiteral("-c"), script, QStringLiteral("0"), QStringLiteral("--bind"),
                             QStringLiteral("127.0.0.1"), QStringLiteral("--directory"), dir},
                            true);
        } else {
            QStringList args{QStringLiteral("-u"), QStringLiteral("-c"),
                             QString::fromLatin1(DieWithParent) + QString::fromLatin1(customServerScript()), dir,
                             QString::number(options.throttleDelayMs), QString::number(options.throttleChunkSize)};
            for (auto it = options.redirects.cbegin(); it != options.redirects.cend(); ++it)
                args << it.key() + QLatin1Char('=') + it.value();
            m_process.start(QStringLiteral("python3"), args, true);
        }
        if (!m_process.waitForStarted(StartTimeoutMs)) {
            m_error = QStringLiteral("python3 did not start: ") + m_process.errorString();
            return;
        }
        // The banner names the port the system chose: "Serving HTTP on 127.0.0.1 port N ...".
        static const QRegularExpression banner(QStringLiteral("Serving HTTP on \\S+ port (\\d+)"));
        QElapsedTimer timer;
        timer.start();
        while (m_port == 0 && timer.elapsed() < StartTimeoutMs) {
            if (!m_process.waitForReadyRead(PollMs) && !m_process.isRunning())
                break;
            m_output += m_process.readAllStandardOutput();
            const auto match = banner.match(QString::fromUtf8(m_output));
            if (match.hasMatch())
                m_port = static_cast<quint16>(match.captured(1).toUInt());
        }
        if (m_port == 0) {
            m_error = QStringLiteral("no server banner: ") + QString::fromUtf8(m_output);
            return;
        }
        m_ready = waitUntilAnswering();
        if (!m_ready)
            m_error = QStringLiteral("server on port %1 does not answer").arg(m_port);
    }

    ~HttpServerProcess() = default; // HostProcess stops the server

    HttpServerProcess(const HttpServerProcess &) = delete;
    HttpServerProcess &operator=(const HttpServerProcess &) = delete;

    [[nodiscard]] bool isReady() const { return m_ready; }
    [[nodiscard]] QString errorString() const { return m_error; }
    [[nodiscard]] quint16 port() const { return m_port; }
    // "http://127.0.0.1:PORT/", the served directory's root.
    [[nodiscard]] QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1/").arg(m_port); }

    // Every request logged so far, in order, without the fixture's own readiness probe.
    QVector<Request> requests()
    {
        // The server logs a request before it sends the answer, so once the client has its
        // answer the line is in the pipe; collect until the pipe stays quiet.
        while (m_process.waitForReadyRead(DrainMs))
            m_output += m_process.readAllStandardOutput();
        m_output += m_process.readAllStandardOutput();
        static const QRegularExpression line(QStringLiteral("\"([A-Z]+) (\\S+) HTTP/[0-9.]+\" (\\d{3})"));
        QVector<Request> result;
        auto it = line.globalMatch(QString::fromUtf8(m_output));
        while (it.hasNext()) {
            const auto match = it.next();
            if (match.captured(2) == QLatin1String(ProbePath))
                continue;
            result.append({match.captured(1), match.captured(2), match.captured(3).toInt()});
        }
        return result;
    }

    QStringList requestedPaths()
    {
        QStringList paths;
        const QVector<Request> all = requests();
        for (const Request &request : all)
            paths << request.path;
        return paths;
    }

    int requestCount(const QString &path) { return requestedPaths().count(path); }

private:
    static constexpr int StartTimeoutMs = 10000;
    static constexpr int PollMs = 100;
    static constexpr int DrainMs = 30;
    static constexpr const char *ProbePath = "/__fixture_ready_probe__";
    // A test that crashes never runs the destructor: the kernel then stops the server for us.
    static constexpr const char *DieWithParent =
        "import ctypes, signal\n"
        "try:\n"
        "    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG\n"
        "except Exception:\n"
        "    pass\n";

    // Asks for a path that does not exist until an HTTP status line comes back.
    bool waitUntilAnswering()
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < StartTimeoutMs) {
            QTcpSocket socket;
            socket.connectToHost(QStringLiteral("127.0.0.1"), m_port);
            if (socket.waitForConnected(PollMs)) {
                socket.write(QByteArray("GET ") + ProbePath + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
                if (socket.waitForBytesWritten(StartTimeoutMs) && socket.waitForReadyRead(StartTimeoutMs)
                    && socket.readAll().startsWith("HTTP/"))
                    return true;
            }
            QThread::msleep(PollMs);
        }
        return false;
    }

    static const char *customServerScript()
    {
        return R"PY(
import functools, http.server, sys, time
root, delay, chunk = sys.argv[1], int(sys.argv[2]) / 1000.0, int(sys.argv[3])
redirects = [arg.split('=', 1) for arg in sys.argv[4:]]

class Handler(http.server.SimpleHTTPRequestHandler):
    def send_head(self):
        for source, target in redirects:
            if self.path.startswith(source):
                self.send_response(301)
                self.send_header('Location', target + self.path[len(source):])
                self.send_header('Content-Length', '0')
                self.end_headers()
                return None
        return super().send_head()

    def copyfile(self, source, outputfile):
        if delay <= 0:
            return super().copyfile(source, outputfile)
        while True:
            data = source.read(chunk)
            if not data:
                break
            outputfile.write(data)
            outputfile.flush()
            time.sleep(delay)

    def handle(self):
        try:
            super().handle()
        except (BrokenPipeError, ConnectionResetError):
            pass

class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

httpd = Server(('127.0.0.1', 0), functools.partial(Handler, directory=root))
print('Serving HTTP on %s port %d' % httpd.server_address[:2], flush=True)
httpd.serve_forever()
)PY";
    }

    HostProcess m_process;
    QByteArray m_output;
    QString m_error;
    quint16 m_port = 0;
    bool m_ready = false;
};
