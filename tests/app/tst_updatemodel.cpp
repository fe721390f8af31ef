#include "app/updatemodel.h"
#include "http/widget.h"
#include "tcp/updatewidget.h"

#include "common/installation.h"
#include "common/tcpserverprocess.h"

#include <QTcpServer>
#include <QtTest>

namespace {

TestConfig config(const QByteArray &server, const QByteArray &port, bool http)
{
    TestConfig config = TestConfig::http(QStringLiteral("http://127.0.0.1:1/"), port.toInt());
    config.httpEnabled = http;
    config.server = QString::fromLatin1(server);
    config.projectType = 2;
    return config;
}

} // namespace

// The transport choice against a real TCP server, a closed port and configurations without one.
class TestUpdateModel : public QObject
{
    Q_OBJECT

private slots:
    void transportChoice_data()
    {
        QTest::addColumn<QString>("serverVersion"); // empty: nothing listens on the port
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QByteArray>("port");      // "server": the running server's port
        QTest::addColumn<bool>("http");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("transport");
        const int tcp = int(CUpdateModel::TransportKind::Tcp);
        const int http = int(CUpdateModel::TransportKind::Http);
        QTest::newRow("tcp, newer version") << "2.0.0" << QByteArray("127.0.0.1") << QByteArray("server") << true << 1 << tcp;
        QTest::newRow("tcp, same version: no http") << "1.0.0" << QByteArray("127.0.0.1") << QByteArray("server") << true << 0 << tcp;
        // Nothing serves the URL: HTTP was chosen, and its check could not be made.
        QTest::newRow("closed port, http allowed") << "" << QByteArray("127.0.0.1") << QByteArray("closed") << true << -2 << http;
        QTest::newRow("closed port, http refused") << "" << QByteArray("127.0.0.1") << QByteArray("closed") << false << -1 << tcp;
        QTest::newRow("no server, http refused") << "" << QByteArray() << QByteArray("9000") << false << -1 << tcp;
        QTest::newRow("port 0, http allowed") << "" << QByteArray("127.0.0.1") << QByteArray("0") << true << -2 << http;
        QTest::newRow("port above 65535 is no port") << "2.0.0" << QByteArray("127.0.0.1") << QByteArray("wrapped") << false << -1 << tcp;
    }

    void transportChoice()
    {
        QFETCH(QString, serverVersion);
        QFETCH(QByteArray, host);
        QFETCH(QByteArray, port);
        QFETCH(bool, http);
        QFETCH(int, result);
        QFETCH(int, transport);

        QTemporaryDir release;
        QVERIFY(TestInstallation::writeFile(release.filePath(QStringLiteral("a.dll")), "a"));
        std::unique_ptr<TcpServerProcess> server;
        if (!serverVersion.isEmpty()) {
            server = std::make_unique<TcpServerProcess>(QStringList{"--root", release.path(), "--version", serverVersion});
            QVERIFY2(server->start(), qPrintable(server->errorString()));
        }
        if (port == "server") {
            port = QByteArray::number(server->port());
        } else if (port == "wrapped") {
            // 65536 more than the server's port: read as 16 bits it would name the server.
            port = QByteArray::number(int(server->port()) + 65536);
        } else if (port == "closed") {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            port = QByteArray::number(probe.serverPort());
        }
        TestInstallation installation(config(host, port, http));
        QVERIFY(installation.isValid());

        Widget dialog;
        UpdateWidget window;
        CUpdateModel model;
        model.setWindows(&dialog, &window);
        QCOMPARE(model.start(), result);
        QCOMPARE(int(model.transport()), transport);
        if (result == -1)
            QCOMPARE(model.errorText(), QStringLiteral("TCP升级服务连接失败"));
        else if (result == -2)
            QVERIFY2(model.errorText().startsWith(QStringLiteral("下载http://127.0.0.1:1/update.ini失败: ")),
                     qPrintable(model.errorText()));
        else
            QCOMPARE(model.errorText(), QString());
        if (server && port.toInt() != server->port()) {
            QCOMPARE(server->requestLines(), QStringList());
        }
        if (result != 1 && transport == int(CUpdateModel::TransportKind::Tcp))
            QVERIFY(!model.startDownload()); // nothing to download: no window, no result
    }
};

QTEST_MAIN(TestUpdateModel)
#include "tst_updatemodel.moc"
