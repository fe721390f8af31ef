#include "common/tcpserverprocess.h"
#include "scriptedserver.h"
#include "tcptestsupport.h"

#include "tcp/qupdatetcpclient.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

using namespace TcpProtocol;

namespace {
const FileItem kBig{QStringLiteral("bin"), QStringLiteral("b.dll")};
constexpr int kShortNoData = 300; // ms; long enough for loopback, short enough for the suite
constexpr int kRoomyLimitMs = 30000;
}

// QUpdateTcpClient against our update server (a child process) and against scripted servers.
class TestUpdateTcpClient : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestInstallation> m_install;

    std::unique_ptr<TcpServerProcess> startServer(QStringList extra = {})
    {
        return startReleaseServer(*m_install, QStringList{QStringLiteral("--chunk-size"), QStringLiteral("30000")} + extra);
    }

private slots:
    void init()
    {
        m_install = std::make_unique<TestInstallation>(TestInstallation::Bare);
        QVERIFY(m_install->isValid());
        m_install->configure(tcpConfig(1));
    }

    void cleanup() { m_install.reset(); }

    void notConnectedRequestsFail()
    {
        QUpdateTcpClient client;
        QSignalSpy errors(&client, &QUpdateTcpClient::errorOccurred);
        QVERIFY(errors.isValid());
        QVERIFY(!client.isConnected());
        const VersionInfo info = client.checkVersion(makeVersionCheckRequest("1.0", 1, "1"), 1000);
        QVERIFY(!info.hasUpdate);
        QVERIFY(!client.downloadFile(kBig, 1000));
        QVERIFY(!client.sendFileRequest(kBig));
        QCOMPARE(errors.count(), 3);
        for (const QList<QVariant> &args : qAsConst(errors))
            QCOMPARE(args.at(0).toString(), QStringLiteral("未连接到服务器"));
        QCOMPARE(client.lastError(), QStringLiteral("未连接到服务器"));
    }

    void connectionRefusedIsReportedAndRetryable()
    {
        // A port that was free a moment ago: nobody listens there.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 port = probe.serverPort();
        probe.close();
        QUpdateTcpClient client;
        QSignalSpy errors(&client, &QUpdateTcpClient::errorOccurred);
        QVERIFY(!client.connectToServer(QStringLiteral("127.0.0.1"), port, 500));
        QCOMPARE(client.state(), QUpdateTcpClient::Error);
        QCOMPARE(errors.count(), 1);

        ScriptedServer server([](ScriptedServer &, const Frame &, int) {});
        QVERIFY(server.listen());
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server.port(), 1000));
        QVERIFY(client.isConnected());
    }

    void secondConnectIsRefused()
    {
        addReleaseFile(*m_install, QStringLiteral("a.txt"), 10);
        auto server = startServer();
        QVERIFY(server->port() != 0);
        QUpdateTcpClient client;
        QSignalSpy connectedSpy(&client, &QUpdateTcpClient::connected);
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
        QCOMPARE(connectedSpy.count(), 1);
        QVERIFY(!client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
        QCOMPARE(client.lastError(), QStringLiteral("已经连接或正在连接中"));
        QVERIFY(client.isConnected());
        QCOMPARE(connectedSpy.count(), 1);
    }

    void versionCheck_data()
    {
        QTest::addColumn<QString>("installed");
        QTest::addColumn<bool>("hasUpdate");
        QTest::addColumn<int>("files");
        QTest::newRow("older version") << "1.0" << true << 3;
        QTest::newRow("same version") << "2.0" << false << 0;
    }

    void versionCheck()
    {
        QFETCH(QString, installed);
        QFETCH(bool, hasUpdate);
        QFETCH(int, files);
        addReleaseFile(*m_install, QStringLiteral("a.txt"), 10);
        addReleaseFile(*m_install, QStringLiteral("bin/b.dll"), 10);
        addReleaseFile(*m_install, QStringLiteral("empty"), 0);
        auto server = startServer();
        QUpdateTcpClient client;
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
        QSignalSpy checked(&client, &QUpdateTcpClient::versionChecked);
        const VersionInfo info = client.checkVersion(makeVersionCheckRequest(installed, 3, "1"), 5000);
        QCOMPARE(checked.count(), 1);
        QCOMPARE(info.hasUpdate, hasUpdate);
        QCOMPARE(info.version, QStringLiteral("2.0"));
        QCOMPARE(info.productName, QStringLiteral("Ostrevalle"));
        QCOMPARE(info.files.size(), files);
        if (files == 3) {
            QCOMPARE(fileItemFromEntry(info.files.at(0)), (FileItem{QString(), QStringLiteral("a.txt")}));
            QCOMPARE(fileItemFromEntry(info.files.at(1)), (FileItem{QStringLiteral("bin"), QStringLiteral("b.dll")}));
            QCOMPARE(fileItemFromEntry(info.files.at(2)), (FileItem{QString(), QStringLiteral("empty")}));
        }
        QVERIFY(server->waitForRequest(QStringLiteral("version-check client=%1 project=3").arg(installed)));
    }

    void downloadStoresFilesByteIdentical_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("size");
        QTest::newRow("several chunks") << "bin" << "b.dll" << 100000;
        QTest::newRow("exact chunk multiple") << "x/y" << "c.bin" << 60000;
        QTest::newRow("top level, one chunk") << "" << "a.txt" << 17;
        QTest::newRow("zero bytes") << "" << "empty" << 0;
    }

    void downloadStoresFilesByteIdentical()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        QFETCH(int, size);
        const QString relative = path.isEmpty() ? name : path + QLatin1Char('/') + name;
        const QByteArray content = addReleaseFile(*m_install, relative, size);
        auto server = startServer();
        QUpdateTcpClient client;
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
        QSignalSpy progress(&client, &QUpdateTcpClient::sigFileDownloadProgress);
        QSignalSpy completed(&client, &QUpdateTcpClient::sigFileDownloadCompleted);
        QSignalSpy errors(&client, &QUpdateTcpClient::sigFileDownloadError);
        QVERIFY(progress.isValid() && completed.isValid() && errors.isValid());

        QVERIFY(client.downloadFile(FileItem{path, name}, NoTimeLimit));
        QCOMPARE(TestInstallation::read(m_install->tempDir() + relative), content);
        QCOMPARE(completed.count(), 1);
        QCOMPARE(completed.at(0).at(1).toString(), name);
        QCOMPARE(errors.count(), 0);
        // Announced at 0, then once per chunk; the last report is the whole file.
        const int chunks = qMax(1, (size + 29999) / 30000);
        QCOMPARE(progress.count(), 1 + chunks);
        QCOMPARE(progress.first().at(2).toUInt(), 0u);
        QCOMPARE(progress.last().at(2).toUInt(), uint(size));
        QCOMPARE(progress.last().at(3).toUInt(), uint(size));
        QCOMPARE(CFileManager::instance().openFileCount(), 0);
    }

    void serverErrorEndsDownloadAtOnce()
    {
        addReleaseFile(*m_install, QStringLiteral("bin/b.dll"), 1000);
        auto server = startServer({QStringLiteral("--fail"), QStringLiteral("b.dll:1")});
        QUpdateTcpClient client;
        client.setNoDataTimeout(60000); // ending by the no-data limit would stall the suite
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
        QSignalSpy fileErrors(&client, &QUpdateTcpClient::sigFileDownloadError);
        QVERIFY(!client.downloadFile(kBig, NoTimeLimit));
        QCOMPARE(client.lastError(), QStringLiteral("服务器返回错误"));
        QCOMPARE(fileErrors.count(), 0);
        QVERIFY(client.isConnected());
        // The fault was for the first request only.
        QVERIFY(client.downloadFile(kBig, NoTimeLimit));
        QCOMPARE(server->requestCount(QStringLiteral("file bin/b.dll ")), 2);
    }

    void serverRefusesPathsOutsideItsRoot_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::newRow("parent") << ".." << "secret.txt";
        QTest::newRow("absolute") << "<sandbox>" << "secret.txt";
        QTest::newRow("hidden parent") << "sub/../.." << "secret.txt";
        QTest::newRow("name escape") << "" << "../secret.txt";
    }

    void serverRefusesPathsOutsideItsRoot()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        path.replace(QStringLiteral("<sandbox>"), m_install->root());
        QVERIFY(QDir().mkpath(m_install->releaseDir() + QStringLiteral("/sub")));
        QFile secret(m_install->root() + QStringLiteral("/secret.txt"));
        QVERIFY(secret.open(QIODevice::WriteOnly));
        secret.write("not for clients");
        secret.close();
        auto server = startServer();
        QUpdateTcpClient client;
        client.setNoDataTimeout(60000);
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
        QVERIFY(!client.downloadFile(FileItem{path, name}, NoTimeLimit));
        QCOMPARE(client.lastError(), QStringLiteral("服务器返回错误"));
        QVERIFY(server->waitForRequest(QStringLiteral("file ")));
        QVERIFY2(server->requestLines().last().endsWith(QStringLiteral("error (refused or missing)")),
                 qPrintable(server->requestLines().last()));
    }

    void silentServerEndsTheWaits()
    {
        addReleaseFile(*m_install, QStringLiteral("bin/b.dll"), 1000);
        auto server = startServer({QStringLiteral("--silent")});
        QUpdateTcpClient client;
        client.setNoDataTimeout(kShortNoData);
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
        const VersionInfo info = client.checkVersion(makeVersionCheckRequest("1.0", 1, "1"), 300);
        QVERIFY(!info.hasUpdate);
        QVERIFY(info.files.isEmpty());

        QSignalSpy fileErrors(&client, &QUpdateTcpClient::sigFileDownloadError);
        QVERIFY(!client.downloadFile(kBig, NoTimeLimit));
        QCOMPARE(fileErrors.count(), 1);
        QCOMPARE(fileErrors.at(0).at(2).toString(), QStringLiteral("下载超时"));
        QCOMPARE(client.lastError(), QStringLiteral("文件下载超时"));

        // The overall limit works as well when the no-data limit is off.
        client.setNoDataTimeout(0);
        QVERIFY(!client.downloadFile(kBig, 300));
        QCOMPARE(fileErrors.count(), 2);
        QVERIFY(!QFileInfo::exists(m_install->tempDir() + QStringLiteral("bin/b.dll")));
    }

    void heartbeatsAreSentAndAnswered()
    {
        addReleaseFile(*m_install, QStringLiteral("a.txt"), 1);
        auto server = startServer();
        QUpdateTcpClient client;
        client.setHeartbeatInterval(50);
        QSignalSpy beats(&client, &QUpdateTcpClient::heartbeatReceived);
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
        QTRY_VERIFY(beats.count() >= 2);
        QVERIFY(server->requestCount(QStringLiteral("heartbeat")) >= 2);
    }

    void connectionLossFailsDownloadAndLaterRequests()
    {
        addReleaseFile(*m_install, QStringLiteral("bin/b.dll"), 300000);
        auto server = startServer({QStringLiteral("--close-after"), QStringLiteral("60000")});
        QUpdateTcpClient client;
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->port()));
        QSignalSpy completed(&client, &QUpdateTcpClient::sigFileDownloadCompleted);
        QVERIFY(!client.downloadFile(kBig, NoTimeLimit));
        QCOMPARE(completed.count(), 0);
        QTRY_VERIFY(!client.isConnected());
        QVERIFY(!client.downloadFile(kBig, NoTimeLimit));
        QCOMPARE(client.lastError(), QStringLiteral("未连接到服务器"));
    }

    void interleavedFileStartsNewTransfer()
    {
        const FileItem a{QStringLiteral("d"), QStringLiteral("A.bin")};
        const FileItem b{QStringLiteral("d"), QStringLiteral("B.bin")};
        ScriptedServer server([&](ScriptedServer &s, const Frame &, int) {
            s.sendChunk(a, 9, "aaa", false);
            s.sendChunk(a, 9, "aaa", false);
            s.sendChunk(b, 4, "bbbb", true);
        });
        QVERIFY(server.listen());
        QUpdateTcpClient client;
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server.port()));
        QSignalSpy progress(&client, &QUpdateTcpClient::sigFileDownloadProgress);
        QSignalSpy completed(&client, &QUpdateTcpClient::sigFileDownloadCompleted);
        QSignalSpy errors(&client, &QUpdateTcpClient::sigFileDownloadError);
        QVERIFY(client.downloadFile(b, 5000));
        QCOMPARE(completed.count(), 1);
        QCOMPARE(completed.at(0).at(1).toString(), QStringLiteral("B.bin"));
        QCOMPARE(errors.count(), 0);
        // A: start(0), 3, 6; B: start(0), 4.
        QCOMPARE(progress.count(), 5);
        QCOMPARE(progress.at(3).at(1).toString(), QStringLiteral("B.bin"));
        QCOMPARE(progress.at(3).at(2).toUInt(), 0u);
        QCOMPARE(TestInstallation::read(m_install->tempDir() + QStringLiteral("d/B.bin")), QByteArray("bbbb"));
        QCOMPARE(CFileManager::instance().openFileCount(), 0); // A's abandoned file was closed
    }

    void completionOfAnotherFileDoesNotEndTheWait()
    {
        const FileItem other{QString(), QStringLiteral("other")};
        ScriptedServer server([&](ScriptedServer &s, const Frame &, int) { s.sendChunk(other, 1, "o", true); });
        QVERIFY(server.listen());
        QUpdateTcpClient client;
        client.setNoDataTimeout(kShortNoData);
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server.port()));
        QSignalSpy completed(&client, &QUpdateTcpClient::sigFileDownloadCompleted);
        QVERIFY(!client.downloadFile(kBig, NoTimeLimit));
        QCOMPARE(completed.count(), 1);
        QCOMPARE(client.lastError(), QStringLiteral("文件下载超时"));
    }

    void wrongSizeFailsTheAttempt_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<uint>("announced");
        QTest::addColumn<QString>("error");
        QTest::newRow("fewer bytes") << QList<QByteArray>{"12345", "678"} << 10u << QStringLiteral("文件大小不符");
        QTest::newRow("more bytes") << QList<QByteArray>{"12345", "67890AB"} << 10u << QStringLiteral("文件数据超出声明的大小");
        QTest::newRow("empty file with data") << QList<QByteArray>{"x"} << 0u << QStringLiteral("文件数据超出声明的大小");
    }

    void wrongSizeFailsTheAttempt()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(uint, announced);
        QFETCH(QString, error);
        ScriptedServer server([&](ScriptedServer &s, const Frame &, int) {
            for (int i = 0; i < chunks.size(); ++i)
                s.sendChunk(kBig, announced, chunks.at(i), i + 1 == chunks.size());
        });
        QVERIFY(server.listen());
        QUpdateTcpClient client;
        client.setNoDataTimeout(60000);
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server.port()));
        QSignalSpy completed(&client, &QUpdateTcpClient::sigFileDownloadCompleted);
        QSignalSpy failed(&client, &QUpdateTcpClient::sigFileDownloadFailed);
        QVERIFY(!client.downloadFile(kBig, NoTimeLimit));
        QCOMPARE(completed.count(), 0);
        QCOMPARE(failed.count(), 1);
        QVERIFY2(client.lastError().startsWith(error), qPrintable(client.lastError()));
        QCOMPARE(CFileManager::instance().openFileCount(), 0);
        QVERIFY2(!QFileInfo::exists(m_install->tempDir() + QStringLiteral("bin/b.dll")), "a refused file is not left behind");
    }

    // The connection is lost while the file's last chunk is being stored (a window that lets
    // events run on a progress report brings the loss in the middle of it): the file is whole,
    // and counts.
    void lossWhileTheLastChunkIsStoredDoesNotFailTheFile()
    {
        const QByteArray piece(1000, 'p');
        ScriptedServer server([&](ScriptedServer &s, const Frame &, int) {
            s.sendChunk(kBig, 2000, piece, false);
            s.sendChunk(kBig, 2000, piece, true);
            s.closeConnection();
        });
        QVERIFY(server.listen());
        QUpdateTcpClient client;
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server.port()));
        bool lostBeforeTheEnd = false;
        connect(&client, &QUpdateTcpClient::sigFileDownloadProgress, this,
                [&](const QString &, const QString &, uint32_t received, uint32_t total) {
                    if (received != total)
                        return;
                    QDeadlineTimer deadline(kRoomyLimitMs);
                    while (client.isConnected() && !deadline.hasExpired())
                        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
                    lostBeforeTheEnd = !client.isConnected();
                });
        QVERIFY(client.downloadFile(kBig, NoTimeLimit));
        QVERIFY(lostBeforeTheEnd);
        QCOMPARE(TestInstallation::read(m_install->tempDir() + QStringLiteral("bin/b.dll")), piece.repeated(2));
    }

    // Servers that would keep an attempt alive for ever or fill the disk: each attempt ends, as
    // a failure, and leaves nothing of the file behind.
    void hostileServerEndsTheAttempt_data()
    {
        QTest::addColumn<QString>("behaviour");
        QTest::addColumn<QString>("error");
        QTest::newRow("endless data beyond the size") << "flood" << QStringLiteral("文件数据超出声明的大小");
        // The excess arrives in the same round of the event loop as the expired no-data limit:
        // the failure that came first is the one reported.
        QTest::newRow("excess as the time runs out") << "late" << QStringLiteral("文件数据超出声明的大小");
        QTest::newRow("one byte now and then") << "drip" << QStringLiteral("文件下载超时");
        QTest::newRow("empty chunks, never the last") << "empty" << QStringLiteral("文件下载超时");
    }

    void hostileServerEndsTheAttempt()
    {
        QFETCH(QString, behaviour);
        QFETCH(QString, error);
        constexpr int kFloodChunks = 400;
        const QByteArray block(64 * 1024, 'f');
        QTimer drip;
        ScriptedServer server([&](ScriptedServer &s, const Frame &, int) {
            if (behaviour == QLatin1String("flood")) {
                for (int i = 0; i < kFloodChunks; ++i)
                    s.sendChunk(kBig, 10, block, false);
                return;
            }
            if (behaviour == QLatin1String("late")) {
                s.sendChunk(kBig, 10, "more than ten bytes", false); // sent at once (flushed)
                QThread::msleep(2 * kShortNoData);
                return;
            }
            connect(&drip, &QTimer::timeout, &s, [&] {
                s.sendChunk(kBig, 1000, behaviour == QLatin1String("drip") ? QByteArray("d") : QByteArray(), false);
            });
            drip.start(behaviour == QLatin1String("drip") ? 100 : 20);
        });
        QVERIFY(server.listen());
        QUpdateTcpClient client;
        if (behaviour == QLatin1String("flood")) {
            // The size must end this one, not a clock: limits no loaded machine reaches.
            client.setNoDataTimeout(kRoomyLimitMs);
            client.setMinimumRate(1, kRoomyLimitMs);
        } else {
            client.setNoDataTimeout(kShortNoData);
            client.setMinimumRate(100, 600); // 100 bytes a second, over 0.6 s
        }
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server.port()));
        QSignalSpy errors(&client, &QUpdateTcpClient::sigFileDownloadError);
        QSignalSpy failed(&client, &QUpdateTcpClient::sigFileDownloadFailed);
        QVERIFY(!client.downloadFile(kBig, NoTimeLimit));
        drip.stop();
        QVERIFY2(client.lastError().startsWith(error), qPrintable(client.lastError()));
        // A time-out is reported as one; a file beyond its size ends through one signal.
        if (error == QStringLiteral("文件下载超时")) {
            QCOMPARE(errors.size(), 1);
            QCOMPARE(errors.last().at(2).toString(), QStringLiteral("下载超时"));
        } else {
            QCOMPARE(errors.size(), 0);
            QCOMPARE(failed.size(), 1);
        }
        QCOMPARE(CFileManager::instance().openFileCount(), 0);
        QVERIFY2(!QFileInfo::exists(m_install->tempDir() + QStringLiteral("bin/b.dll")), "nothing of the file stays");
    }

    void newRequestRestartsAnUnfinishedFile()
    {
        // First request: two chunks, then an error. Second request: the whole file.
        ScriptedServer server([&](ScriptedServer &s, const Frame &, int index) {
            if (index == 0) {
                s.sendChunk(kBig, 6, "OLD", false);
                s.sendChunk(kBig, 6, "old", false);
                s.send(ServerError, QByteArray());
            } else {
                s.sendChunk(kBig, 6, "new", false);
                s.sendChunk(kBig, 6, "NEW", true);
            }
        });
        QVERIFY(server.listen());
        QUpdateTcpClient client;
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server.port()));
        QVERIFY(!client.downloadFile(kBig, NoTimeLimit));
        QSignalSpy progress(&client, &QUpdateTcpClient::sigFileDownloadProgress);
        QVERIFY(client.downloadFile(kBig, NoTimeLimit));
        QCOMPARE(TestInstallation::read(m_install->tempDir() + QStringLiteral("bin/b.dll")), QByteArray("newNEW"));
        QCOMPARE(progress.first().at(2).toUInt(), 0u);
        QCOMPARE(progress.last().at(2).toUInt(), 6u);
    }

    void unsafeServerPathsWriteNothing_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::newRow("parent escape") << "../.." << "evil.txt";
        QTest::newRow("absolute") << "<sandbox>" << "evil.txt";
        QTest::newRow("backslash escape") << "..\\..\\.." << "evil.txt";
        QTest::newRow("drive letter") << "C:\\Windows" << "evil.txt";
        QTest::newRow("name escape") << "" << "../evil.txt";
        QTest::newRow("empty name") << "bin" << "";
    }

    void unsafeServerPathsWriteNothing()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        path.replace(QStringLiteral("<sandbox>"), m_install->root());
        const FileItem evil{path, name};
        ScriptedServer server([&](ScriptedServer &s, const Frame &, int) {
            s.sendChunk(evil, 8, "evil", false);
            s.sendChunk(evil, 8, "evil", true);
        });
        QVERIFY(server.listen());
        QUpdateTcpClient client;
        client.setNoDataTimeout(60000);
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server.port()));
        const QStringList before = filesOutsideRelease(*m_install);
        QSignalSpy fileErrors(&client, &QUpdateTcpClient::sigFileDownloadError);
        QVERIFY(!client.downloadFile(evil, NoTimeLimit));
        QCOMPARE(fileErrors.count(), 1);
        QCOMPARE(fileErrors.at(0).at(2).toString(), QStringLiteral("Failed to save file data: %1/%2").arg(path, name));
        QCOMPARE(filesOutsideRelease(*m_install), before);
        QVERIFY(!QFileInfo::exists(m_install->tempDir()));
        QVERIFY(!QFile::exists(m_install->root() + QStringLiteral("/evil.txt")));
    }

    void oversizedFrameDiscardsTheBuffer()
    {
        ScriptedServer server([&](ScriptedServer &s, const Frame &, int index) {
            if (index == 0) {
                FrameHeader huge;
                huge.length = MaxFrameLength + 1;
                huge.type = VersionCheckReply;
                s.sendRaw(huge.toBytes());
            } else {
                s.send(VersionCheckReply, makeVersionReply(true, QStringLiteral("9"), 2, {}));
            }
        });
        QVERIFY(server.listen());
        QUpdateTcpClient client;
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server.port()));
        QVERIFY(!client.checkVersion(makeVersionCheckRequest("1", 1, "1"), 300).hasUpdate);
        // Had the client waited for 64 MiB of payload, this reply would vanish into it.
        const VersionInfo info = client.checkVersion(makeVersionCheckRequest("1", 1, "1"), 5000);
        QVERIFY(info.hasUpdate);
        QCOMPARE(info.version, QStringLiteral("9"));
        QVERIFY(client.isConnected());
    }

    void requestFramesCarryConfiguredProjectType()
    {
        ScriptedServer server([](ScriptedServer &, const Frame &, int) {});
        QVERIFY(server.listen());
        QUpdateTcpClient client;
        QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server.port()));
        QVERIFY(client.sendFileRequest(kBig));
        QTRY_COMPARE(server.requests().size(), 1);
        QCOMPARE(server.requests().at(0).type, quint32(FileDownload));
        QCOMPARE(server.requests().at(0).projectType, 3u);
        QCOMPARE(server.requests().at(0).payload, makeFileDownloadRequest(kBig));
    }
};

QTEST_GUILESS_MAIN(TestUpdateTcpClient)
#include "tst_updatetcpclient.moc"
