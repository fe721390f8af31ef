#include "common/tcpserverprocess.h"
#include "scriptedserver.h"
#include "tcptestsupport.h"

#include "tcp/ctcpupdate.h"
#include "tcp/qupdatetcpclient.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <utility>

using namespace TcpProtocol;

Q_DECLARE_METATYPE(FileItem)

namespace {

constexpr int kQuickPause = 10; // ms between attempts where the pause itself is not under test

// Every text the driver put in its window's status line, with its colour.
struct StatusLog
{
    QStringList texts;
    QStringList colors;

    explicit StatusLog(CTCPUpdate &update)
    {
        QObject::connect(&update.progressWindow(), &UpdateWidget::statusChanged, &update.progressWindow(),
                         [this](const QString &text, const QString &color) {
                             texts.append(text);
                             colors.append(color);
                         });
    }

    int indexOf(const QString &text) const { return texts.indexOf(text); }
};

} // namespace

// CTCPUpdate from the version check to the result signal, against our update server and against
// scripted servers for answers ours never gives.
class TestCTcpUpdate : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestInstallation> m_install;

    std::unique_ptr<TcpServerProcess> startServer(QStringList extra = {})
    {
        auto server = startReleaseServer(*m_install, extra);
        m_install->configure(tcpConfig(server->port()));
        return server;
    }

    void addThreeFiles()
    {
        addReleaseFile(*m_install, QStringLiteral("a.txt"), 100);
        addReleaseFile(*m_install, QStringLiteral("b.dll"), 100);
        addReleaseFile(*m_install, QStringLiteral("c.dat"), 100);
    }

    static QString statusText(CTCPUpdate &update)
    {
        return update.progressWindow().findChild<QLabel *>(QStringLiteral("label_status"))->text();
    }

    static int mainBar(CTCPUpdate &update)
    {
        return update.progressWindow().findChild<QProgressBar *>(QStringLiteral("progressBar_main"))->value();
    }

private slots:
    void init()
    {
        m_install = std::make_unique<TestInstallation>(TestInstallation::Bare);
        QVERIFY(m_install->isValid());
    }

    void cleanup() { m_install.reset(); }

    void unusableSettingsCreateNoClient_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<int>("port");
        QTest::newRow("no server") << "" << 4000;
        QTest::newRow("port 0") << "127.0.0.1" << 0;
    }

    void unusableSettingsCreateNoClient()
    {
        QFETCH(QString, server);
        QFETCH(int, port);
        m_install->configure(tcpConfig(static_cast<quint16>(port), QStringLiteral("1.0"), 3, server));
        CTCPUpdate update;
        QVERIFY(!update.client());
        QVERIFY(!update.start());
        QVERIFY(update.checkFailed());
        QVERIFY(!update.beginDownload());
    }

    void startWithoutConnectionSendsNothing()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        m_install->configure(tcpConfig(probe.serverPort()));
        probe.close();
        CTCPUpdate update;
        QVERIFY(update.client());
        QVERIFY(!update.client()->isConnected());
        QVERIFY(!update.start());
        QVERIFY(update.checkFailed());
        QVERIFY2(update.errorText().startsWith(QStringLiteral("连接TCP升级服务器失败: 127.0.0.1:")), qPrintable(update.errorText()));
    }

    void failedCheckIsNotUpToDate_data()
    {
        QTest::addColumn<QString>("reply"); // what the scripted server answers to the version check
        QTest::addColumn<bool>("failed");
        QTest::addColumn<QString>("error");
        QTest::newRow("no answer") << "none" << true << QStringLiteral("TCP版本检查失败: 等待服务器回复超时");
        QTest::newRow("server error") << "error" << true << QStringLiteral("TCP版本检查失败: 服务器返回错误");
        QTest::newRow("reply too short") << "short" << true << QStringLiteral("TCP版本检查失败: 版本检查回复无法解析");
        QTest::newRow("update without files") << "empty" << true
                                              << QStringLiteral("TCP版本检查失败: 服务器提供版本 2，但没有列出任何文件");
        QTest::newRow("up to date") << "current" << false << QString();
    }

    void failedCheckIsNotUpToDate()
    {
        QFETCH(QString, reply);
        QFETCH(bool, failed);
        QFETCH(QString, error);
        ScriptedServer server([&](ScriptedServer &s, const Frame &, int) {
            if (reply == QLatin1String("error"))
                s.send(ServerError, QByteArray());
            else if (reply == QLatin1String("short"))
                s.send(VersionCheckReply, QByteArray(10, '\1'));
            else if (reply == QLatin1String("empty"))
                s.send(VersionCheckReply, makeVersionReply(true, QStringLiteral("2"), 1, {}));
            else if (reply == QLatin1String("current"))
                s.send(VersionCheckReply, makeVersionReply(false, QStringLiteral("1.0"), 1, {}));
        });
        QVERIFY(server.listen());
        m_install->configure(tcpConfig(server.port()));
        CTCPUpdate update;
        QVERIFY(!update.start());
        QCOMPARE(update.checkFailed(), failed);
        QCOMPARE(update.errorText(), error);
        QVERIFY(!update.beginDownload());
    }

    void wholeDownloadLandsByteIdentical()
    {
        QMap<QString, QByteArray> files;
        files.insert(QStringLiteral("host.exe"), addReleaseFile(*m_install, QStringLiteral("host.exe"), 5000));
        files.insert(QStringLiteral("bin/plugins/big.dll"),
                     addReleaseFile(*m_install, QStringLiteral("bin/plugins/big.dll"), 3 * 1024 * 1024 / 2 + 7));
        files.insert(QStringLiteral("bin/empty.cfg"), addReleaseFile(*m_install, QStringLiteral("bin/empty.cfg"), 0));
        files.insert(QStringLiteral("数据/说明.txt"), addReleaseFile(*m_install, QStringLiteral("数据/说明.txt"), 300));
        auto server = startServer();
        CTCPUpdate update;
        update.setWindowRefreshInterval(0); // every state reaches the window, for the log below
        StatusLog statuses(update);
        QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
        QVERIFY(result.isValid());

        QVERIFY(update.start());
        QCOMPARE(update.downloadList().size(), 4);
        QVERIFY(update.beginDownload());
        QCOMPARE(result.count(), 1);
        QCOMPARE(result.at(0).at(0).toBool(), true);
        QCOMPARE(update.currentIndex(), 4);

        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY2(TestInstallation::read(m_install->tempDir() + it.key()) == it.value(),
                     qPrintable(it.key()));
        QStringList expected;
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            expected.append(QStringLiteral("app/temp/") + it.key());
        expected.sort();
        QCOMPARE(filesOutsideRelease(*m_install), expected);

        QCOMPARE(statusText(update), QStringLiteral("所有文件下载完成！"));
        QCOMPARE(mainBar(update), 100);
        QVERIFY(statuses.indexOf(QStringLiteral("开始TCP更新...")) >= 0);
        QVERIFY(statuses.indexOf(QStringLiteral("准备下载文件，共 4 个文件")) >= 0);
        QVERIFY(statuses.indexOf(QStringLiteral("总体进度: 1/4 (25%)")) >= 0);
        QVERIFY(statuses.indexOf(QStringLiteral("总体进度: 3/4 (75%)")) >= 0);
        QVERIFY(statuses.indexOf(QStringLiteral("下载文件: empty.cfg (0 B/0 B)")) >= 0);
        QVERIFY(statuses.indexOf(QStringLiteral("文件下载完成: big.dll")) >= 0);
        // Downloaded is not installed: "升级成功" is for the owner to show once it has installed.
        QCOMPARE(statuses.indexOf(QStringLiteral("升级成功")), -1);
        QVERIFY(!statuses.colors.contains(QStringLiteral("#f44336")));
        // Every file was asked for exactly once.
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QCOMPARE(server->requestCount(QStringLiteral("file ") + it.key() + QLatin1Char(' ')), 1);
    }

    void placeholdersInFileNamesAreShownAsTheyAre()
    {
        const QByteArray content = addReleaseFile(*m_install, QStringLiteral("x%2%1.bin"), 10);
        auto server = startServer();
        CTCPUpdate update;
        update.setWindowRefreshInterval(0);
        StatusLog statuses(update);
        QVERIFY(update.start());
        QVERIFY(update.beginDownload());
        QVERIFY2(statuses.indexOf(QStringLiteral("正在下载: x%2%1.bin (1/1)")) >= 0, qPrintable(statuses.texts.join('|')));
        QVERIFY(statuses.indexOf(QStringLiteral("文件下载完成: x%2%1.bin")) >= 0);
        QCOMPARE(TestInstallation::read(m_install->tempDir() + QStringLiteral("x%2%1.bin")), content);
    }

    void fileFailingFourTimesEndsTheRun()
    {
        addThreeFiles();
        auto server = startServer({QStringLiteral("--fail"), QStringLiteral("b.dll:-1")});
        CTCPUpdate update; // the real one-second pauses
        StatusLog statuses(update);
        QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
        QVERIFY(update.start());
        QVERIFY(!update.beginDownload());
        QCOMPARE(result.count(), 1);
        QCOMPARE(result.at(0).at(0).toBool(), false);

        QCOMPARE(server->requestCount(QStringLiteral("file a.txt ")), 1);
        QCOMPARE(server->requestCount(QStringLiteral("file b.dll ")), 4);
        QCOMPARE(server->requestCount(QStringLiteral("file c.dat ")), 0);
        const int first = statuses.indexOf(QStringLiteral("第1次重试下载: b.dll"));
        const int second = statuses.indexOf(QStringLiteral("第2次重试下载: b.dll"));
        const int third = statuses.indexOf(QStringLiteral("第3次重试下载: b.dll"));
        QVERIFY(first >= 0 && first < second && second < third);
        QCOMPARE(statuses.indexOf(QStringLiteral("第4次重试下载: b.dll")), -1);
        QCOMPARE(statuses.texts.last(), QStringLiteral("未知错误，重试失败: b.dll"));
        QCOMPARE(statuses.colors.last(), QStringLiteral("#f44336"));
        QCOMPARE(statusText(update), QStringLiteral("未知错误，重试失败: b.dll"));
        QVERIFY(!QFile::exists(m_install->tempDir() + QStringLiteral("c.dat")));
        QVERIFY(QFile::exists(m_install->tempDir() + QStringLiteral("a.txt")));
    }

    void successOnSecondAttempt()
    {
        addThreeFiles();
        const QByteArray content = TestInstallation::read(m_install->releaseDir() + QStringLiteral("/b.dll"));
        auto server = startServer({QStringLiteral("--fail"), QStringLiteral("b.dll:1")});
        CTCPUpdate update;
        update.setRetryPause(kQuickPause);
        update.setWindowRefreshInterval(0);
        StatusLog statuses(update);
        QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
        QVERIFY(update.start());
        QVERIFY(update.beginDownload());
        QCOMPARE(result.count(), 1);
        QCOMPARE(result.at(0).at(0).toBool(), true);
        QCOMPARE(server->requestCount(QStringLiteral("file b.dll ")), 2);
        const int retry = statuses.indexOf(QStringLiteral("第1次重试下载: b.dll"));
        QVERIFY(retry >= 0);
        QVERIFY(statuses.indexOf(QStringLiteral("总体进度: 2/3 (66%)")) > retry);
        QCOMPARE(statuses.indexOf(QStringLiteral("第2次重试下载: b.dll")), -1);
        QVERIFY(!statuses.texts.contains(QStringLiteral("未知错误，重试失败: b.dll")));
        QCOMPARE(TestInstallation::read(m_install->tempDir() + QStringLiteral("b.dll")), content);
    }

    void silentFileServerEndsEveryAttempt()
    {
        const FileItem item{QString(), QStringLiteral("never.bin")};
        ScriptedServer server([&](ScriptedServer &s, const Frame &request, int) {
            if (request.type == VersionCheck)
                s.send(VersionCheckReply, makeVersionReply(true, QStringLiteral("2"), 1, {makeFileEntry(item)}));
        });
        QVERIFY(server.listen());
        m_install->configure(tcpConfig(server.port()));
        CTCPUpdate update;
        update.setRetryPause(kQuickPause);
        update.setNoDataTimeout(200);
        QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
        QVERIFY(update.start());
        QVERIFY(!update.beginDownload());
        QCOMPARE(result.count(), 1);
        QCOMPARE(result.at(0).at(0).toBool(), false);
        QCOMPARE(server.requests().size(), 1 + 4);
        QCOMPARE(update.client()->lastError(), QStringLiteral("文件下载超时"));
    }

    void connectionClosedMidFileFailsRemainingAttempts()
    {
        addReleaseFile(*m_install, QStringLiteral("big.bin"), 1024 * 1024);
        addReleaseFile(*m_install, QStringLiteral("later.bin"), 10);
        auto server = startServer({QStringLiteral("--close-after"), QStringLiteral("100000")});
        CTCPUpdate update;
        update.setRetryPause(kQuickPause);
        StatusLog statuses(update);
        QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
        QSignalSpy clientErrors(update.client(), &QUpdateTcpClient::errorOccurred);
        QVERIFY(update.start());
        QVERIFY(!update.beginDownload());
        QCOMPARE(result.count(), 1);
        QCOMPARE(result.at(0).at(0).toBool(), false);
        QCOMPARE(server->requestCount(QStringLiteral("file big.bin ")), 1);
        QCOMPARE(server->requestCount(QStringLiteral("file later.bin ")), 0);
        // The lost connection, then one "not connected" per remaining attempt.
        QVERIFY(clientErrors.count() >= 4);
        for (int i = clientErrors.count() - 3; i < clientErrors.count(); ++i)
            QCOMPARE(clientErrors.at(i).at(0).toString(), QStringLiteral("未连接到服务器"));
        QVERIFY(statuses.indexOf(QStringLiteral("第3次重试下载: big.bin")) >= 0);
        QCOMPARE(statuses.texts.last(), QStringLiteral("未知错误，重试失败: big.bin"));
    }

    // A server may close the connection right after the last chunk of its last file: chunks still
    // buffered on our side belong to a complete file and count, whatever the socket does.
    void connectionClosedAfterACompleteFile_data()
    {
        QTest::addColumn<int>("chunks");
        for (int chunks : {1, 2, 8, 40})
            QTest::addRow("%d chunks", chunks) << chunks;
    }

    void connectionClosedAfterACompleteFile()
    {
        QFETCH(int, chunks);
        const FileItem item{QStringLiteral("bin"), QStringLiteral("last.dll")};
        const QByteArray piece(1000, 'p');
        for (int run = 0; run < 20; ++run) {
            TestInstallation install(TestInstallation::Bare);
            ScriptedServer server([&](ScriptedServer &s, const Frame &request, int) {
                if (request.type == VersionCheck) {
                    s.send(VersionCheckReply, makeVersionReply(true, QStringLiteral("2"), 1, {makeFileEntry(item)}));
                } else if (request.type == FileDownload) {
                    for (int i = 0; i < chunks; ++i)
                        s.sendChunk(item, quint32(piece.size() * chunks), piece, i == chunks - 1);
                    s.closeConnection();
                }
            });
            QVERIFY(server.listen());
            install.configure(tcpConfig(server.port()));
            CTCPUpdate update;
            update.setRetryPause(kQuickPause);
            QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
            QVERIFY(update.start());
            QVERIFY2(update.beginDownload(), qPrintable(QStringLiteral("run %1").arg(run)));
            QCOMPARE(result.count(), 1);
            QCOMPARE(TestInstallation::read(install.tempDir() + QStringLiteral("bin/last.dll")), piece.repeated(chunks));
            QCOMPARE(server.requests().size(), 2); // the file was asked for once
        }
    }

    void versionReplyDuringDownloadIsIgnored()
    {
        const QList<FileItem> files{{QString(), QStringLiteral("a.bin")}, {QString(), QStringLiteral("b.bin")},
                                    {QString(), QStringLiteral("c.bin")}};
        const FileItem stray{QString(), QStringLiteral("z.bin")};
        ScriptedServer server([&](ScriptedServer &s, const Frame &request, int) {
            if (request.type == VersionCheck) {
                QList<QByteArray> entries;
                for (const FileItem &item : files)
                    entries << makeFileEntry(item);
                s.send(VersionCheckReply, makeVersionReply(true, QStringLiteral("2"), 1, entries));
            } else if (request.type == FileDownload) {
                // An unrequested, shorter list in the middle of the download.
                s.send(VersionCheckReply, makeVersionReply(true, QStringLiteral("3"), 1, {makeFileEntry(stray)}));
                const FileItem asked = parseFileDownloadRequest(request.payload);
                s.sendChunk(asked, 2, "ok", true);
            }
        });
        QVERIFY(server.listen());
        m_install->configure(tcpConfig(server.port()));
        CTCPUpdate update;
        QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
        QVERIFY(update.start());
        QVERIFY(update.beginDownload());
        QCOMPARE(result.count(), 1);
        QCOMPARE(result.at(0).at(0).toBool(), true);
        QStringList asked;
        for (const Frame &request : server.requests()) {
            if (request.type == FileDownload)
                asked << parseFileDownloadRequest(request.payload).fileName;
        }
        QCOMPARE(asked, (QStringList{"a.bin", "b.bin", "c.bin"}));
        QCOMPARE(update.downloadList().size(), 3);
    }

    void traversalEntryWritesNothingOutside()
    {
        const FileItem evil{QStringLiteral("../.."), QStringLiteral("evil.txt")};
        const FileItem good{QString(), QStringLiteral("good.txt")};
        ScriptedServer server([&](ScriptedServer &s, const Frame &request, int) {
            if (request.type == VersionCheck) {
                s.send(VersionCheckReply,
                       makeVersionReply(true, QStringLiteral("2"), 1, {makeFileEntry(good), makeFileEntry(evil)}));
            } else if (request.type == FileDownload) {
                // Serves whatever is asked for, as a careless or hostile server would.
                const FileItem asked = parseFileDownloadRequest(request.payload);
                s.sendChunk(asked, 4, "data", true);
            }
        });
        QVERIFY(server.listen());
        m_install->configure(tcpConfig(server.port()));
        CTCPUpdate update;
        update.setRetryPause(kQuickPause);
        QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
        QVERIFY(update.start());
        QVERIFY(!update.beginDownload());
        QCOMPARE(result.count(), 1);
        QCOMPARE(result.at(0).at(0).toBool(), false);
        QCOMPARE(server.requests().size(), 1 + 1 + 4);
        QCOMPARE(filesOutsideRelease(*m_install),
                 (QStringList{QStringLiteral("app/temp/good.txt")}));
        QVERIFY(!QFile::exists(m_install->root() + QStringLiteral("/evil.txt")));
        QVERIFY(!QFile::exists(m_install->appDir() + QStringLiteral("/evil.txt")));
    }

    // Names Windows cannot hold: a case twin stops the run before any request, a device name
    // fails its own file (every attempt) after the good file was stored.
    void windowsNamesWriteNothing_data()
    {
        QTest::addColumn<FileItem>("bad");
        QTest::addColumn<int>("requests");
        QTest::addColumn<QStringList>("stored");
        QTest::newRow("case twin of the good file") << FileItem{QString(), QStringLiteral("GOOD.txt")} << 1 << QStringList();
        QTest::newRow("case twin in a directory") << FileItem{QStringLiteral("Sub"), QStringLiteral("x.dll")} << 1
                                                  << QStringList();
        QTest::newRow("device name") << FileItem{QString(), QStringLiteral("nul.txt")} << 1 + 2 + 4
                                     << QStringList{QStringLiteral("app/temp/good.txt"), QStringLiteral("app/temp/sub/x.dll")};
        QTest::newRow("trailing dot") << FileItem{QStringLiteral("sub"), QStringLiteral("x.dll.")} << 1 + 2 + 4
                                      << QStringList{QStringLiteral("app/temp/good.txt"), QStringLiteral("app/temp/sub/x.dll")};
    }

    void windowsNamesWriteNothing()
    {
        QFETCH(FileItem, bad);
        QFETCH(int, requests);
        QFETCH(QStringList, stored);
        const QList<FileItem> files{{QString(), QStringLiteral("good.txt")}, {QStringLiteral("sub"), QStringLiteral("x.dll")}, bad};
        ScriptedServer server([&](ScriptedServer &s, const Frame &request, int) {
            if (request.type == VersionCheck) {
                QList<QByteArray> entries;
                for (const FileItem &file : files)
                    entries << makeFileEntry(file);
                s.send(VersionCheckReply, makeVersionReply(true, QStringLiteral("2"), 1, entries));
            } else if (request.type == FileDownload) {
                s.sendChunk(parseFileDownloadRequest(request.payload), 4, "data", true);
            }
        });
        QVERIFY(server.listen());
        m_install->configure(tcpConfig(server.port()));
        CTCPUpdate update;
        update.setRetryPause(kQuickPause);
        QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
        QVERIFY(update.start());
        QVERIFY(!update.beginDownload());
        QCOMPARE(result.count(), 1);
        QCOMPARE(result.at(0).at(0).toBool(), false);
        QCOMPARE(server.requests().size(), requests);
        QCOMPARE(filesOutsideRelease(*m_install), stored);
    }

    void updateWithoutFilesDownloadsNothing()
    {
        ScriptedServer server([](ScriptedServer &s, const Frame &, int) {
            s.send(VersionCheckReply, makeVersionReply(true, QStringLiteral("2"), 1, {}));
        });
        QVERIFY(server.listen());
        m_install->configure(tcpConfig(server.port()));
        CTCPUpdate update;
        QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
        QVERIFY(!update.start());
        QVERIFY(update.checkFailed());
        QVERIFY(!update.beginDownload());
        QVERIFY(!update.progressWindow().isVisible());
        QCOMPARE(result.count(), 0);
    }

    void cancelStopsTheDownload_data()
    {
        QTest::addColumn<bool>("duringPause"); // between two attempts instead of inside a file
        QTest::newRow("inside a file") << false;
        QTest::newRow("between attempts") << true;
    }

    void cancelStopsTheDownload()
    {
        QFETCH(bool, duringPause);
        addReleaseFile(*m_install, QStringLiteral("big.bin"), 4 * 1024 * 1024);
        addReleaseFile(*m_install, QStringLiteral("later.bin"), 10);
        auto server = startServer(duringPause ? QStringList{"--fail", "big.bin:-1"} : QStringList{"--chunk-size", "4096"});
        UpdateWidget window; // the owner's window, as the update model hands it over
        CTCPUpdate update;
        update.setProgressWindow(&window);
        update.setRetryPause(duringPause ? 60000 : kQuickPause);
        StatusLog statuses(update);
        QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
        QVERIFY(update.start());
        auto *cancelButton = window.findChild<QPushButton *>(QStringLiteral("pushButton_cancel"));
        bool clicked = false;
        auto clickOnce = [&] {
            if (!clicked) {
                clicked = true;
                QTimer::singleShot(duringPause ? 100 : 0, cancelButton, &QPushButton::click);
            }
        };
        if (duringPause)
            connect(update.client(), &QUpdateTcpClient::errorOccurred, this, clickOnce);
        else
            connect(update.client(), &QUpdateTcpClient::sigFileDownloadProgress, this, clickOnce);
        QVERIFY(!update.beginDownload());
        QVERIFY(update.wasCancelled());
        QCOMPARE(update.failureText(), QStringLiteral("下载已取消"));
        QCOMPARE(result.count(), 1);
        QCOMPARE(result.at(0).at(0).toBool(), false);
        QCOMPARE(&update.progressWindow(), &window);
        QVERIFY(window.isVisible());
        QCOMPARE(statuses.texts.last(), QStringLiteral("下载已取消"));
        QCOMPARE(statuses.colors.last(), QStringLiteral("#2196F3"));
        // No further attempt, no further file, and the connection is gone.
        QCOMPARE(server->requestCount(QStringLiteral("file big.bin ")), 1);
        QCOMPARE(server->requestCount(QStringLiteral("file later.bin ")), 0);
        QVERIFY(!update.client()->isConnected());
        if (!duringPause) {
            const qint64 partial = QFileInfo(m_install->tempDir() + QStringLiteral("big.bin")).size();
            QTest::qWait(200);
            QCOMPARE(QFileInfo(m_install->tempDir() + QStringLiteral("big.bin")).size(), partial);
            QVERIFY(partial < 4 * 1024 * 1024);
        }
    }

    void noUpdateKeepsTheListAndDownloadsNothing()
    {
        addReleaseFile(*m_install, QStringLiteral("a.txt"), 1);
        auto server = startServer();
        m_install->configure(tcpConfig(server->port(), QStringLiteral("2.0")));
        CTCPUpdate update;
        QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
        QVERIFY(!update.start());
        QVERIFY(update.downloadList().isEmpty());
        QVERIFY(!update.beginDownload());
        QCOMPARE(result.count(), 0);
        QCOMPARE(server->requestCount(QStringLiteral("file ")), 0);
    }

    // A burst of reports faster than the window is refreshed: the first shows at once, the ones
    // in between are dropped, and the last one shows once the refresh interval has passed.
    void windowFollowsABurstAtABoundedRate()
    {
        m_install->configure(tcpConfig(0));
        CTCPUpdate update;
        StatusLog statuses(update);
        for (uint32_t done = 0; done <= 100 * 65536u; done += 65536u)
            update.onFileDownloadProgress(QString(), QStringLiteral("f.bin"), done, 100 * 65536u);
        QCOMPARE(statuses.texts.first(), QStringLiteral("下载进度: 0%"));
        QCOMPARE(statuses.texts.size(), 2); // one refresh: the file line and the status
        QTRY_COMPARE(statuses.texts.last(), QStringLiteral("下载文件: f.bin (6.25 MB/6.25 MB)"));
        QCOMPARE(statuses.texts.size(), 4);
        QCOMPARE(mainBar(update), 100);

        // Past the interval, the next report shows at once.
        QTest::qWait(TcpProtocol::WindowRefreshIntervalMs + 10);
        update.onFileDownloadProgress(QString(), QStringLiteral("g.bin"), 0, 0);
        QCOMPARE(statuses.texts.size(), 6);
        QCOMPARE(statuses.texts.last(), QStringLiteral("下载文件: g.bin (0 B/0 B)"));
        QCOMPARE(mainBar(update), 0);
    }

    // One result per download, whatever happens to it: finished, cancelled (once or twice, during
    // or after), a file that cannot be stored, a server that goes silent, the driver destroyed.
    void resultIsReportedOnce_data()
    {
        QTest::addColumn<QString>("server");    // whole, slow, silent
        QTest::addColumn<QStringList>("steps");  // cancel-during, cancel-after, block-temp, destroy
        QTest::addColumn<QList<bool>>("results");
        QTest::newRow("finishes") << "whole" << QStringList{} << QList<bool>{true};
        QTest::newRow("finishes, cancelled afterwards, destroyed") << "whole" << QStringList{"cancel-after", "destroy"}
                                                                   << QList<bool>{true};
        QTest::newRow("cancelled") << "slow" << QStringList{"cancel-during"} << QList<bool>{false};
        QTest::newRow("cancelled twice") << "slow" << QStringList{"cancel-during", "cancel-during"} << QList<bool>{false};
        QTest::newRow("cancelled, then destroyed") << "slow" << QStringList{"cancel-during", "destroy"} << QList<bool>{false};
        QTest::newRow("file cannot be stored") << "whole" << QStringList{"block-temp"} << QList<bool>{false};
        QTest::newRow("server goes silent") << "silent" << QStringList{"cancel-after"} << QList<bool>{false};
    }

    void resultIsReportedOnce()
    {
        QFETCH(QString, server);
        QFETCH(QStringList, steps);
        QFETCH(QList<bool>, results);
        const FileItem item{QStringLiteral("bin"), QStringLiteral("one.dll")};
        const QByteArray piece(4096, 'o');
        constexpr int kPieces = 40;
        QTimer drip;
        int sent = 0;
        ScriptedServer scripted([&](ScriptedServer &s, const Frame &request, int) {
            if (request.type == VersionCheck) {
                s.send(VersionCheckReply, makeVersionReply(true, QStringLiteral("2"), 1, {makeFileEntry(item)}));
            } else if (request.type == FileDownload && server == QLatin1String("whole")) {
                for (int i = 0; i < kPieces; ++i)
                    s.sendChunk(item, piece.size() * kPieces, piece, i == kPieces - 1);
            } else if (request.type == FileDownload && server == QLatin1String("slow")) {
                sent = 0;
                connect(&drip, &QTimer::timeout, &s, [&] {
                    if (sent < kPieces)
                        s.sendChunk(item, piece.size() * kPieces, piece, ++sent == kPieces);
                }, Qt::UniqueConnection);
                drip.start(50);
            }
        });
        QVERIFY(scripted.listen());
        m_install->configure(tcpConfig(scripted.port()));
        if (steps.contains(QStringLiteral("block-temp"))) {
            QFile blocker(m_install->path(QStringLiteral("temp"))); // a file where the download directory belongs
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }

        auto *update = new CTCPUpdate;
        update->setRetryPause(kQuickPause);
        update->setNoDataTimeout(300);
        QList<bool> seen;
        connect(update, &CTCPUpdate::sigUpdateResult, this, [&seen](bool ok) { seen << ok; });
        const int cancels = steps.count(QStringLiteral("cancel-during"));
        if (cancels > 0) {
            auto cancelled = std::make_shared<bool>(false);
            connect(update->client(), &QUpdateTcpClient::sigFileDownloadProgress, update, [update, cancels, cancelled] {
                if (std::exchange(*cancelled, true))
                    return;
                for (int i = 0; i < cancels; ++i)
                    QTimer::singleShot(0, update, &CTCPUpdate::cancel);
            });
        }
        QVERIFY(update->start());
        update->beginDownload();
        drip.stop();
        if (steps.contains(QStringLiteral("cancel-after")))
            update->cancel();
        if (steps.contains(QStringLiteral("destroy"))) {
            delete update;
            update = nullptr;
        }
        QTest::qWait(200); // room for a second, wrong result
        delete update;
        QCOMPARE(seen, results);
    }

    // Both numbers come from the server; what reaches the window and the log stays in 0-100.
    void percentageStaysInRange_data()
    {
        QTest::addColumn<uint>("downloaded");
        QTest::addColumn<uint>("total");
        QTest::addColumn<int>("percent");
        QTest::newRow("more than announced") << 918000000u << 10u << 100;
        QTest::newRow("largest counts") << 4294967295u << 1u << 100;
        QTest::newRow("half of the largest") << 2147483647u << 4294967295u << 49;
        QTest::newRow("nothing announced") << 5u << 0u << 0;
    }

    void percentageStaysInRange()
    {
        QFETCH(uint, downloaded);
        QFETCH(uint, total);
        QFETCH(int, percent);
        m_install->configure(tcpConfig(0));
        CTCPUpdate update;
        StatusLog statuses(update);
        update.onFileDownloadProgress(QString(), QStringLiteral("f.bin"), 0, total);
        QTest::qWait(TcpProtocol::WindowRefreshIntervalMs + 10); // past the window's refresh limit
        update.onFileDownloadProgress(QString(), QStringLiteral("f.bin"), downloaded, total);
        QCOMPARE(mainBar(update), percent);
        QCOMPARE(update.progressWindow().findChild<QProgressBar *>(QStringLiteral("progressBar_updatefile"))->value(), percent);
        QVERIFY2(statuses.texts.contains(QStringLiteral("下载进度: %1%").arg(percent)), qPrintable(statuses.texts.join('|')));
    }

    void classifyError_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("type");
        QTest::newRow("fixed text") << "下载失败" << int(CTCPUpdate::UnknownError);
        QTest::newRow("timeout any case") << "Socket TIMEOUT" << int(CTCPUpdate::TimeoutError);
        QTest::newRow("chinese timeout") << "文件下载超时" << int(CTCPUpdate::TimeoutError);
        QTest::newRow("connection") << "Connection refused" << int(CTCPUpdate::NetworkError);
        QTest::newRow("network") << "NETWORK down" << int(CTCPUpdate::NetworkError);
        QTest::newRow("not connected") << "未连接到服务器" << int(CTCPUpdate::NetworkError);
        QTest::newRow("disk") << "Disk full" << int(CTCPUpdate::FileError);
        QTest::newRow("file save") << "Failed to save file data: a/b" << int(CTCPUpdate::FileError);
        QTest::newRow("cancel") << "Operation canceled" << int(CTCPUpdate::CancelError);
        QTest::newRow("chinese cancel") << "用户取消" << int(CTCPUpdate::CancelError);
        QTest::newRow("server error") << "服务器返回错误" << int(CTCPUpdate::UnknownError);
    }

    void classifyError()
    {
        QFETCH(QString, text);
        QFETCH(int, type);
        QCOMPARE(int(CTCPUpdate::classifyError(text)), type);
    }
};

QTEST_MAIN(TestCTcpUpdate)
#include "tst_ctcpupdate.moc"
