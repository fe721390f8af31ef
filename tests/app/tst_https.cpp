// HTTPS with a private CA: a TLS web server on loopback whose certificate a CA made by the test
// signed. With [Update] CaFile naming that CA the update goes through; without it the server is
// not trusted and the check fails as a TLS failure, never as "no update".

#include "common/hostprocess.h"
#include "common/sandbox.h"

#include <QRegularExpression>
#include <QtNetwork/qtnetworkglobal.h>
#include <QtTest>
#if QT_CONFIG(ssl)
#include <QSslSocket>
#endif

using namespace EndToEnd;

namespace {

// The TLS server and its certificates serve the tests of a build with TLS only.
#if QT_CONFIG(ssl)
constexpr int kStartTimeoutMs = 20000;

bool runTool(const QString &program, const QStringList &arguments, QString *output)
{
    HostProcess process;
    process.start(program, arguments, true);
    const bool ok = process.waitForStarted(kStartTimeoutMs) && process.waitForFinished(kStartTimeoutMs) && process.exitCode() == 0;
    *output = QString::fromUtf8(process.readAllStandardOutput());
    return ok;
}

// A CA and a certificate for 127.0.0.1 that it signed, made with openssl in dir.
bool makeCertificates(const QString &dir, QString *output)
{
    const QString h = HostProcess::hostPath(dir);
    if (!PublishedRelease::writeFile(dir + QStringLiteral("/san.ext"), "subjectAltName=IP:127.0.0.1\n"))
        return false;
    const QString openssl = QStringLiteral("openssl");
    return runTool(openssl, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Updater Test CA",
                             "-keyout", h + "/ca.key", "-out", h + "/ca.pem"}, output)
        && runTool(openssl, {"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
                             h + "/server.key", "-out", h + "/server.csr"}, output)
        && runTool(openssl, {"x509", "-req", "-days", "2", "-in", h + "/server.csr", "-CA", h + "/ca.pem", "-CAkey",
                             h + "/ca.key", "-CAcreateserial", "-extfile", h + "/san.ext", "-out", h + "/server.pem"},
                   output);
}

// python's static file server behind TLS.
class HttpsServer
{
public:
    HttpsServer(const QString &root, const QString &certificates)
    {
        const QString script = QStringLiteral(
            "import functools, http.server, ssl, sys\n"
            "root, cert, key = sys.argv[1:4]\n"
            "handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=root)\n"
            "server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), handler)\n"
            "context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)\n"
            "context.load_cert_chain(cert, key)\n"
            "server.socket = context.wrap_socket(server.socket, server_side=True)\n"
            "print('Serving HTTPS on port', server.server_address[1], flush=True)\n"
            "server.serve_forever()\n");
        const QString h = HostProcess::hostPath(certificates);
        m_process.start(QStringLiteral("python3"),
                        {QStringLiteral("-u"), QStringLiteral("-c"), script, HostProcess::hostPath(root),
                         h + QStringLiteral("/server.pem"), h + QStringLiteral("/server.key")},
                        true);
        if (!m_process.waitForStarted(kStartTimeoutMs))
            return;
        static const QRegularExpression banner(QStringLiteral("Serving HTTPS on port (\\d+)"));
        QDeadlineTimer deadline(kStartTimeoutMs);
        while (m_port == 0 && !deadline.hasExpired()) {
            m_process.waitForReadyRead(100);
            m_output += m_process.readAllStandardOutput();
            const auto match = banner.match(QString::fromUtf8(m_output));
            if (match.hasMatch())
                m_port = static_cast<quint16>(match.captured(1).toUInt());
        }
    }

    [[nodiscard]] quint16 port() const { return m_port; }
    [[nodiscard]] QString baseUrl() const { return QStringLiteral("https://127.0.0.1:%1/").arg(m_port); }

private:
    HostProcess m_process;
    QByteArray m_output;
    quint16 m_port = 0;
};
#endif

} // namespace

class TestHttps : public QObject
{
    Q_OBJECT

#if QT_CONFIG(ssl)
private:
    QTemporaryDir m_certificates;
    QTemporaryDir m_www;
    std::unique_ptr<HttpsServer> m_server;

private slots:
    void initTestCase()
    {
        if (!QSslSocket::supportsSsl())
            QSKIP("this build of Qt has no TLS");
        QString output;
        QVERIFY2(makeCertificates(m_certificates.path(), &output), qPrintable(output));
        QVERIFY(PublishedRelease::writeTree(m_www.path() + QStringLiteral("/release"), releaseFiles()));
        const PublishedRelease::Result published =
            PublishedRelease::publish(m_www.path() + QStringLiteral("/release"), m_www.path() + QStringLiteral("/out"),
                                      QStringLiteral("1.1.0"));
        QVERIFY2(published.exitCode == 0, qPrintable(published.output));
        m_server = std::make_unique<HttpsServer>(m_www.path() + QStringLiteral("/out"), m_certificates.path());
        QVERIFY2(m_server->port() != 0, "the TLS server started");
    }

    void cleanupTestCase() { m_server.reset(); }

    // update.exe itself: trusted through CaFile it updates; without it the check fails with a TLS
    // error and exit code 2.
    void updateOverHttps_data()
    {
        QTest::addColumn<QString>("caFile"); // "ca.pem" copied into the installation, or none
        QTest::addColumn<int>("exitCode");
        QTest::newRow("private CA configured") << QStringLiteral("certs/ca.pem") << 0;
        QTest::newRow("system trust store") << QString() << 2;
        QTest::newRow("CaFile missing") << QStringLiteral("certs/none.pem") << 2;
    }

    void updateOverHttps()
    {
        QFETCH(QString, caFile);
        QFETCH(int, exitCode);
        Sandbox sandbox;
        QVERIFY(QDir().mkpath(sandbox.path(QStringLiteral("certs"))));
        QVERIFY(QFile::copy(m_certificates.path() + QStringLiteral("/ca.pem"), sandbox.path(QStringLiteral("certs/ca.pem"))));
        TestConfig config = Sandbox::config(closedPort(), m_server->baseUrl(), true);
        config.caFile = caFile;
        QVERIFY(sandbox.configure(config));
        const Snapshot before = sandbox.installed();

        const RunResult result = sandbox.run({QStringLiteral("console")});
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(result.jsonLines().size(), 1);
        const QString line = QString::fromUtf8(result.jsonLines().first());
        if (exitCode == 0) {
            QCOMPARE(result.jsonLines().first(), kUpdateLine);
            QVERIFY(sandbox.hostStarted());
            QCOMPARE(TestInstallation::read(sandbox.path(QStringLiteral("bin/core.dll"))), releaseFiles().value("bin/core.dll"));
            return;
        }
        QVERIFY2(line.endsWith(QStringLiteral("\",\"success\":false,\"update\":false}")), qPrintable(line));
        if (caFile.isEmpty()) {
            QVERIFY2(line.startsWith(QStringLiteral("{\"errormsg\":\"下载") + m_server->baseUrl() + QStringLiteral("update.ini失败: SSL")),
                     qPrintable(line));
        } else {
            QVERIFY2(line.contains(QStringLiteral("[Update] CaFile")), qPrintable(line));
        }
        QCOMPARE(sandbox.installed(), before);
        QVERIFY(!sandbox.hostStarted(kNoLaunchWaitMs));
    }
#else
private slots:
    // A build of Qt without TLS (the cross-built Windows one) cannot fetch an https URL: the check
    // fails and says why, whether or not a private CA is configured; nothing is installed.
    void httpsFailsWithoutTls_data()
    {
        QTest::addColumn<QString>("caFile");
        QTest::addColumn<QString>("reason");
        QTest::newRow("system trust store") << QString() << QStringLiteral("update.ini失败");
        QTest::newRow("private CA configured") << QStringLiteral("certs/ca.pem") << QStringLiteral("此版本不支持HTTPS");
    }

    void httpsFailsWithoutTls()
    {
        QFETCH(QString, caFile);
        QFETCH(QString, reason);
        Sandbox sandbox;
        QVERIFY(PublishedRelease::writeFile(sandbox.path(QStringLiteral("certs/ca.pem")), "not used\n"));
        TestConfig config = Sandbox::config(closedPort(), QStringLiteral("https://127.0.0.1:%1/").arg(closedPort()), true);
        config.caFile = caFile;
        QVERIFY(sandbox.configure(config));
        const Snapshot before = sandbox.installed();

        const RunResult result = sandbox.run({QStringLiteral("console")});
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 2);
        QCOMPARE(result.jsonLines().size(), 1);
        const QString line = QTextCodec::codecForLocale()->toUnicode(result.jsonLines().first());
        QVERIFY2(line.contains(reason) && line.endsWith(QStringLiteral("\",\"success\":false,\"update\":false}")),
                 qPrintable(line));
        QCOMPARE(sandbox.installed(), before);
    }
#endif
};

QTEST_MAIN(TestHttps)
#include "tst_https.moc"
