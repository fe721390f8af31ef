#include "http/widget.h"

#include "httptestsupport.h"

#include "app/resources.h"
#include "common/readability.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

using PublishedRelease::FileTree;
using PublishedRelease::readFile;
using PublishedRelease::writeFile;

// The HTTP update dialog against python's http.server on loopback serving published releases.
class TestWidget : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<LogCapture> m_log;
    static constexpr int ResultTimeoutMs = 20000;
    static constexpr int PollMs = 10;
    static constexpr int SettleMs = 200;

    static QLabel *label(Widget &w, const char *name) { return w.findChild<QLabel *>(QLatin1String(name)); }
    static QProgressBar *bar(Widget &w, const char *name) { return w.findChild<QProgressBar *>(QLatin1String(name)); }
    static QPushButton *cancelButton(Widget &w) { return w.findChild<QPushButton *>(QStringLiteral("pushButton_cancel")); }
    static QString labels(Widget &w)
    {
        return label(w, "label_update")->text() + QLatin1Char('|') + label(w, "label_updatefile")->text();
    }

    // Both checks as the coordinator runs them; true when files are to be downloaded.
    static bool runChecks(Widget &w)
    {
        return w.checkVersion() == int(VersionCheckResult::UpdateNeeded)
            && w.checkMd5() == int(Md5CheckResult::ChangesFound);
    }

    // Waits until the single result has come and no second one follows.
    static bool singleResult(QSignalSpy &spy, bool expected)
    {
        QElapsedTimer timer;
        timer.start();
        while (spy.isEmpty() && timer.elapsed() < ResultTimeoutMs)
            QTest::qWait(PollMs);
        QTest::qWait(SettleMs); // room for a second, wrong emission

        return spy.count() == 1 && spy.at(0).at(0).toBool() == expected;
    }

    static FileTree bigRelease(int kib)
    {
        return {{"big.bin", QByteArray(kib * 1024, 'x')}, {"small.txt", "small\n"}};
    }

private slots:
    void initTestCase() { m_log = std::make_unique<LogCapture>(); }
    void cleanupTestCase() { m_log.reset(); }

    void form()
    {
        TestInstallation inst(TestInstallation::Bare);
        Widget w;
        QCOMPARE(w.objectName(), QStringLiteral("Widget"));
        QCOMPARE(w.windowTitle(), QStringLiteral("HTTP升级"));
        QCOMPARE(w.windowFlags() & ~Qt::WindowType_Mask, Qt::WindowFlags(Qt::FramelessWindowHint));
        QVERIFY(w.isWindow());
        QCOMPARE(w.minimumSize(), QSize(640, 455));
        QCOMPARE(w.maximumSize(), QSize(640, 455));
        QCOMPARE(labels(w), QStringLiteral("正在下载|正在下载更新文件"));
        QCOMPARE(cancelButton(w)->text(), QStringLiteral("取消"));
        const QString gap(36, QLatin1Char(' '));
        QCOMPARE(label(w, "label_update")->styleSheet(),
                 QStringLiteral("font: 700 16pt \"Microsoft YaHei UI\";") + gap + QStringLiteral("color: rgb(0, 0, 0);"));
        QCOMPARE(label(w, "label_updatefile")->styleSheet(),
                 QStringLiteral("font: 700 14pt \"Microsoft YaHei UI\";") + gap + QStringLiteral("color: rgb(0, 0, 0);"));
        for (const char *name : {"progressBar_update", "progressBar_updatefile"}) {
            QCOMPARE(bar(w, name)->alignment(), Qt::AlignCenter);
            QCOMPARE(bar(w, name)->maximum(), 100);
        }
        QVERIFY(label(w, "label_icon")->text().isEmpty());
        // The background image is painted over the whole window.
        ensureResources();
        const QImage shown = w.grab().toImage();
        const QImage background = QImage(QStringLiteral(":/res/bk.png")).scaled(640, 455).convertToFormat(shown.format());
        QCOMPARE(shown.size(), QSize(640, 455));
        for (const QPoint corner : {QPoint(2, 2), QPoint(637, 2), QPoint(2, 452)})
            QCOMPARE(shown.pixelColor(corner), background.pixelColor(corner));

        // 5 of 7 bytes is 71 %; unknown totals leave the bar alone.
        QProgressBar *fileBar = bar(w, "progressBar_updatefile");
        QVERIFY(QMetaObject::invokeMethod(&w, "onDownloadProgress", Q_ARG(qlonglong, 5), Q_ARG(qlonglong, 7)));
        QCOMPARE(fileBar->value(), 71);
        QVERIFY(QMetaObject::invokeMethod(&w, "onDownloadProgress", Q_ARG(qlonglong, 1), Q_ARG(qlonglong, 0)));
        QVERIFY(QMetaObject::invokeMethod(&w, "onDownloadProgress", Q_ARG(qlonglong, 1), Q_ARG(qlonglong, -1)));
        QCOMPARE(fileBar->value(), 71);

        // No update is running: the cancel button opens no box.
        BoxAnswerer answerer(QStringLiteral("确认"));
        cancelButton(w)->click();
        QTest::qWait(100);
        QCOMPARE(answerer.answered(), 0);
    }

    void downloadFile_data()
    {
        QTest::addColumn<QString>("urlPath");
        QTest::addColumn<QString>("localPath");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("detailStart");
        QTest::newRow("file") << "2.0/sub/b.txt" << "update/x/b.txt" << true << "";
        QTest::newRow("redirected") << "moved/sub/b.txt" << "update/b.txt" << true << "";
        QTest::newRow("404") << "2.0/nothing.txt" << "update/n.txt" << false << "下载错误：";
        QTest::newRow("file where a directory must be") << "2.0/sub/b.txt" << "blocker/b.txt" << false << "无法创建目录:";
        QTest::newRow("directory where the file must be") << "2.0/sub/b.txt" << "update" << false << "无法打开文件:";
        QTest::newRow("disk full") << "2.0/sub/b.txt" << "update/full.bin" << false << "无法写入文件:";
    }

    void downloadFile()
    {
        QFETCH(QString, urlPath);
        QFETCH(QString, localPath);
        QFETCH(bool, ok);
        QFETCH(QString, detailStart);
        ServedRelease served;
        HttpServerProcess::Options options;
        options.redirects.insert(QStringLiteral("/moved/"), QStringLiteral("/2.0/"));
        QVERIFY(served.start({{"sub/b.txt", "b\n"}}, options));
        QVERIFY(writeFile(served.inst.path("blocker"), "a file"));
        QVERIFY(QDir().mkpath(served.inst.path("update")));
        // Writes to /dev/full fail with "no space left", like a full disk.
#ifdef Q_OS_WIN
        if (localPath.endsWith(QLatin1String("full.bin")))
            QSKIP("no device like /dev/full to stand for a full disk on Windows");
#else
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), served.inst.path("update/full.bin")));
#endif
        Widget w;
        const QString target = served.inst.path(localPath);
        QCOMPARE(w.downloadFile(served.server->baseUrl() + urlPath, target), ok);
        if (detailStart.isEmpty())
            QCOMPARE(w.status().detailText, QString());
        else
            QVERIFY2(w.status().detailText.startsWith(detailStart), qPrintable(w.status().detailText));
        if (ok)
            QCOMPARE(readFile(target), QByteArray("b\n"));
        else
            QVERIFY(!QFileInfo(target).isFile());
        QVERIFY(!QFileInfo(target).isSymLink());
    }

    void checkVersion_data()
    {
        QTest::addColumn<QByteArray>("serverIni"); // empty: no update.ini on the server
        QTest::addColumn<QByteArray>("localIni");  // empty: no update/update.ini installed
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("texts");
        QTest::newRow("equal") << QByteArray("[Version]\nVersion=2.0\nFolder=2.0\n") << QByteArray("[Version]\nVersion=2.0\n")
                               << int(VersionCheckResult::UpToDate) << "准备开始更新|update文件版本相同，不需要更新";
        QTest::newRow("1.10 vs 1.9") << QByteArray("[Version]\nVersion=1.10\nFolder=2.0\n") << QByteArray("[Version]\nVersion=1.9\n")
                                     << int(VersionCheckResult::UpdateNeeded) << "准备开始更新|update文件版本不同，需要更新";
        QTest::newRow("no local") << QByteArray("[Version]\nVersion=2.0\nFolder=2.0\n") << QByteArray()
                                  << int(VersionCheckResult::UpdateNeeded) << "准备开始更新|本地update文件不存在，准备更新";
        QTest::newRow("no Folder") << QByteArray("[Version]\nVersion=2.0\n") << QByteArray()
                                   << int(VersionCheckResult::ParseFailed) << "更新失败|服务端版本解析失败";
        QTest::newRow("no Version") << QByteArray("[Version]\nFolder=2.0\n") << QByteArray()
                                    << int(VersionCheckResult::ParseFailed) << "更新失败|服务端版本解析失败";
        QTest::newRow("404") << QByteArray() << QByteArray() << int(VersionCheckResult::DownloadFailed)
                             << "停止更新|下载%1update.ini失败";
    }

    void checkVersion()
    {
        QFETCH(QByteArray, serverIni);
        QFETCH(QByteArray, localIni);
        QFETCH(int, result);
        QFETCH(QString, texts);
        ServedRelease served;
        QVERIFY(served.start({{"a.txt", "a\n"}}));
        QVERIFY(serverIni.isEmpty() ? QFile::remove(served.www("update.ini")) : writeFile(served.www("update.ini"), serverIni));
        if (!localIni.isEmpty())
            QVERIFY(writeFile(served.inst.path("update/update.ini"), localIni));
        Widget w;
        QCOMPARE(w.checkVersion(), result);
        QCOMPARE(labels(w), texts.replace(QStringLiteral("%1"), served.server->baseUrl()));
        const bool keepsTmp = result == int(VersionCheckResult::UpdateNeeded) || result == int(VersionCheckResult::ParseFailed);
        QCOMPARE(QFileInfo::exists(served.inst.path("update/updateTmp.ini")), keepsTmp);
        QCOMPARE(served.server->requestedPaths(), QStringList{"/update.ini"});
    }

    void checkMd5GeneratesTheMissingInstalledList()
    {
        ServedRelease served;
        QVERIFY(served.start({{"same.txt", "same\n"}, {"changed.txt", "new\n"}, {"new/n.txt", "n\n"}}));
        QVERIFY(writeFile(served.inst.path("same.txt"), "same\n"));
        QVERIFY(writeFile(served.inst.path("changed.txt"), "old\n"));
        Widget w;
        QVERIFY(runChecks(w));
        QCOMPARE(labels(w), QStringLiteral("准备开始更新|MD5比对"));
        QCOMPARE(w.downloadMap().keys(), (QStringList{"/changed.txt", "/new/n.txt"}));
        QVERIFY(readMd5List(served.inst.path("md5.txt")).contains(QStringLiteral("/same.txt")));
        QCOMPARE(served.server->requestedPaths(), (QStringList{"/update.ini", "/2.0/md5.txt"}));

        // Only what differs from the installed files is fetched.
        QSignalSpy spy(&w, &Widget::sigUpdateResult);
        w.startUpdate();
        QVERIFY(singleResult(spy, true));
        QCOMPARE(served.server->requestedPaths().mid(2), (QStringList{"/2.0//changed.txt", "/2.0//new/n.txt"}));
        QVERIFY(!QFileInfo::exists(served.inst.path("temp/same.txt")));

        // Without the list on the server the check fails and leaves no md5Tmp.txt.
        QVERIFY(QFile::remove(served.www("2.0/md5.txt")));
        QCOMPARE(w.checkMd5(), int(Md5CheckResult::DownloadFailed));
        QCOMPARE(labels(w), QStringLiteral("更新失败|下载md5.txt失败"));
        QVERIFY(!QFileInfo::exists(served.inst.path("update/md5Tmp.txt")));
    }

    void percentageIsReadable_data()
    {
        QTest::addColumn<int>("percent");
        for (int percent : {0, 7, 19, 37, 50, 63, 100})
            QTest::addRow("%d%%", percent) << percent;
    }

    void percentageIsReadable()
    {
        QFETCH(int, percent);
        TestInstallation inst(TestInstallation::Bare);
        Widget w;
        for (const char *name : {"progressBar_update", "progressBar_updatefile"}) {
            QProgressBar *progress = bar(w, name);
            progress->setRange(0, 100);
            progress->setValue(percent);
            QString why;
            QVERIFY2(Readability::percentageIsReadable(progress, &why), qPrintable(QLatin1String(name) + ": " + why));
        }
    }

    void failedCheckSaysWhatFailed_data()
    {
        QTest::addColumn<QString>("url");         // %1: the server's base URL
        QTest::addColumn<bool>("removeVersionFile");
        QTest::addColumn<QString>("error");       // %1 as above
        QTest::addColumn<QStringList>("requests");
        QTest::newRow("no URL") << QString() << false << QStringLiteral("未配置HTTP升级地址([Update] URL)") << QStringList();
        QTest::newRow("no final slash") << QStringLiteral("%1app") << false
                                        << QStringLiteral("HTTP升级地址必须以/结尾([Update] URL): %1app") << QStringList();
        QTest::newRow("404") << QStringLiteral("%1") << true << QStringLiteral("下载%1update.ini失败: HTTP 404 File not found")
                             << QStringList{QStringLiteral("/update.ini")};
        // A TLS handshake with a server that speaks plain HTTP fails.
        QTest::newRow("TLS handshake fails") << QStringLiteral("https%1") << false
                                             << QStringLiteral("下载https%1update.ini失败: *") << QStringList();
        QTest::newRow("unknown scheme") << QStringLiteral("htp://127.0.0.1/") << false
                                        << QStringLiteral("下载htp://127.0.0.1/update.ini失败: Protocol \"htp\" is unknown")
                                        << QStringList();
    }

    void failedCheckSaysWhatFailed()
    {
        QFETCH(QString, url);
        QFETCH(bool, removeVersionFile);
        QFETCH(QString, error);
        QFETCH(QStringList, requests);
        ServedRelease served;
        QVERIFY(served.start({{"a.txt", "a\n"}}));
        if (removeVersionFile)
            QVERIFY(QFile::remove(served.www("update.ini")));
        // "https%1" stands for the server's address behind https://.
        const QString base = served.server->baseUrl();
        const QString address = url.startsWith(QLatin1String("https")) ? base.mid(4) : base;
        QVERIFY(served.inst.configure(TestConfig::http(QString(url).replace(QStringLiteral("%1"), address))));
        Widget w;
        QCOMPARE(w.checkVersion(), int(VersionCheckResult::DownloadFailed));
        const QString expected = QString(error).replace(QStringLiteral("%1"), address);
        if (expected.endsWith(QLatin1Char('*')))
            QVERIFY2(w.checkError().startsWith(expected.chopped(1)) && w.checkError().size() > expected.size(), qPrintable(w.checkError()));
        else
            QCOMPARE(w.checkError(), expected);
        QVERIFY2(m_log->text().contains(QStringLiteral("检查更新失败: ") + w.checkError()), "the failure is logged");
        QCOMPARE(served.server->requestedPaths(), requests);
        QVERIFY(!QFileInfo::exists(served.inst.path("update/updateTmp.ini")));
    }

    void emptyServerListFailsTheCheck()
    {
        ServedRelease served;
        QVERIFY(served.start({{"a.txt", "a\n"}}));
        // An error page served in place of the list holds no entry.
        QVERIFY(writeFile(served.www("2.0/md5.txt"), "<html><body>Not here</body></html>\n"));
        Widget w;
        QCOMPARE(w.checkVersion(), int(VersionCheckResult::UpdateNeeded));
        QCOMPARE(w.checkMd5(), int(Md5CheckResult::ParseFailed));
        QCOMPARE(w.checkError(), QStringLiteral("服务端MD5列表为空或无法解析: ") + served.server->baseUrl() + "2.0/md5.txt");
        QCOMPARE(labels(w), QStringLiteral("更新失败|服务端MD5列表为空或无法解析"));
    }

    void unsafeTempSettingIsRefused()
    {
        TestInstallation inst(TestInstallation::Bare);
        TestConfig config = TestConfig::http(QStringLiteral("http://127.0.0.1:1/"));
        config.temp = QStringLiteral("../outside");
        QVERIFY(inst.configure(config));
        const QStringList before = TestInstallation::tree(inst.root());
        Widget w;
        QSignalSpy spy(&w, &Widget::sigUpdateResult);
        w.startDownloadQueue({{QStringLiteral("/a.txt"), QStringLiteral("x")}});
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toBool(), false);
        QCOMPARE(labels(w), QStringLiteral("更新失败|临时目录设置不安全:../outside"));
        QCOMPARE(TestInstallation::tree(inst.root()), before);
        QVERIFY(!QFileInfo::exists(inst.root() + "/outside"));
    }

    void fullDiskFailsTheQueue()
    {
        ServedRelease served;
        QVERIFY(served.start(bigRelease(256)));
#ifdef Q_OS_WIN
        QSKIP("no device like /dev/full to stand for a full disk on Windows");
#endif
        QVERIFY(QDir().mkpath(served.inst.path("temp")));
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), served.inst.path("temp/big.bin")));
        Widget w;
        QVERIFY(runChecks(w));
        QSignalSpy spy(&w, &Widget::sigUpdateResult);
        w.startUpdate();
        QVERIFY(singleResult(spy, false));
        QCOMPARE(labels(w), QStringLiteral("更新失败|无法保存文件:") + served.inst.path("temp/big.bin"));
        QVERIFY(!QFileInfo(served.inst.path("temp/big.bin")).isSymLink());
        QCOMPARE(served.server->requestCount(QStringLiteral("/2.0//small.txt")), 0);
    }

    void emptyQueueSucceedsAtOnce()
    {
        TestInstallation inst(TestInstallation::Bare);
        QVERIFY(inst.configure(TestConfig::http(QStringLiteral("http://127.0.0.1:1/"))));
        Widget w;
        QSignalSpy spy(&w, &Widget::sigUpdateResult);
        QVERIFY(spy.isValid());
        w.startDownloadQueue(Md5List());
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toBool(), true);
        // Downloaded is not installed: only the owner's showInstalled() says "更新完成!".
        QCOMPARE(label(w, "label_update")->text(), QStringLiteral("下载完成，正在安装更新"));
        w.showInstalled();
        QCOMPARE(label(w, "label_update")->text(), QStringLiteral("更新完成!"));
    }

    void fullUpdate()
    {
        const FileTree release{{"a.dll", "a\n"}, {"B.dll", "b\n"}, {QStringLiteral("doc/说明 #1%.txt"), "doc\n"}};
        ServedRelease served;
        QVERIFY(served.start(release));
        Widget w;
        QVERIFY(runChecks(w));
        QSignalSpy spy(&w, &Widget::sigUpdateResult);
        QVERIFY(spy.isValid());
        QStringList seen; // label texts each time a file has been saved
        connect(bar(w, "progressBar_update"), &QProgressBar::valueChanged, &w, [&](int value) {
            if (value > 0)
                seen << QString::number(value) + QLatin1Char(':') + labels(w);
        });
        w.startUpdate();
        QVERIFY(singleResult(spy, true));
        QCOMPARE(seen, (QStringList{"1:正在更新 1/3|B.dll", "2:正在更新 2/3|a.dll", QStringLiteral("3:正在更新 3/3|说明 #1%.txt")}));
        QCOMPARE(labels(w), QStringLiteral("下载完成，正在安装更新|说明 #1%.txt"));
        QCOMPARE(bar(w, "progressBar_update")->value(), 3);
        QCOMPARE(bar(w, "progressBar_updatefile")->value(), 100);
        QVERIFY(!cancelButton(w)->isEnabled());
        for (auto it = release.cbegin(); it != release.cend(); ++it)
            QCOMPARE(readFile(served.inst.path("temp/" + it.key())), it.value());
        // Upper case first, and the list path joined to the folder as it stands.
        QCOMPARE(served.server->requestedPaths().mid(2),
                 (QStringList{"/2.0//B.dll", "/2.0//a.dll", "/2.0//doc/%E8%AF%B4%E6%98%8E%20%231%25.txt"}));
        QVERIFY(m_log->text().contains(QStringLiteral("文件下载成功并验证通过:") + served.inst.path("temp/B.dll")));
    }

    void redirectedRelease()
    {
        ServedRelease served;
        HttpServerProcess::Options options;
        options.redirects.insert(QStringLiteral("/old/"), QStringLiteral("/2.0/"));
        QVERIFY(served.start({{"a.dll", "a\n"}}, options));
        QVERIFY(writeFile(served.www("update.ini"), "[Version]\nVersion=2.0\nFolder=old\n"));
        Widget w;
        QVERIFY(runChecks(w));
        QSignalSpy spy(&w, &Widget::sigUpdateResult);
        w.startUpdate();
        QVERIFY(singleResult(spy, true));
        QCOMPARE(readFile(served.inst.path("temp/a.dll")), QByteArray("a\n"));
        QVERIFY(served.server->requests().size() == 5); // update.ini, two 301s and their targets
    }

    void notFoundStopsTheQueue()
    {
        ServedRelease served;
        QVERIFY(served.start({{"1.txt", "1\n"}, {"2.txt", "2\n"}, {"3.txt", "3\n"}}));
        QVERIFY(QFile::remove(served.www("2.0/2.txt")));
        Widget w;
        QVERIFY(runChecks(w));
        QSignalSpy spy(&w, &Widget::sigUpdateResult);
        w.startUpdate();
        QVERIFY(singleResult(spy, false));
        QVERIFY2(labels(w).startsWith(QStringLiteral("更新失败|下载错误:")), qPrintable(labels(w)));
        QVERIFY2(w.failureText().contains(QStringLiteral("server replied")), qPrintable(w.failureText()));
        // The long text is elided to the label's width; the whole of it is in the tooltip and
        // the log, with the status the server sent.
        QString why;
        QVERIFY2(Readability::labelFits(label(w, "label_updatefile"), w.failureText(), &why), qPrintable(why));
        QVERIFY(m_log->text().contains(QStringLiteral("请求失败: ") + served.server->baseUrl()
                                       + QStringLiteral("2.0//2.txt (HTTP 404 File not found)")));
        // After a failure the cancel button closes the dialog.
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QSignalSpy closed(&w, &QDialog::finished);
        QVERIFY(cancelButton(w)->isEnabled());
        cancelButton(w)->click();
        QCOMPARE(closed.count(), 1);
        QVERIFY(!w.isVisible());
        QCOMPARE(readFile(served.inst.path("temp/1.txt")), QByteArray("1\n"));
        QVERIFY(!QFileInfo::exists(served.inst.path("temp/2.txt")));
        QCOMPARE(served.server->requestCount(QStringLiteral("/2.0//3.txt")), 0);
        QCOMPARE(served.server->requestCount(QStringLiteral("/2.0//2.txt")), 1);
        QVERIFY(!QFileInfo::exists(served.inst.path("update/md5Tmp.txt")));
    }

    void md5MismatchRemovesTheFile()
    {
        ServedRelease served;
        QVERIFY(served.start({{"1.txt", "1\n"}, {"2.txt", "2\n"}}));
        QVERIFY(writeFile(served.www("2.0/2.txt"), "tampered\n"));
        Widget w;
        QVERIFY(runChecks(w));
        QSignalSpy spy(&w, &Widget::sigUpdateResult);
        w.startUpdate();
        QVERIFY(singleResult(spy, false));
        QCOMPARE(labels(w), QStringLiteral("更新失败|2.txt"));
        QVERIFY(!QFileInfo::exists(served.inst.path("temp/2.txt")));
        QVERIFY(m_log->text().contains(QStringLiteral("文件MD5验证失败:") + served.inst.path("temp/2.txt")));
    }

    void cancel_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("confirmed") << QStringLiteral("确认");
        QTest::newRow("declined") << QStringLiteral("取消");
    }

    void cancel()
    {
        QFETCH(QString, answer);
        const bool confirmed = answer == QStringLiteral("确认");
        ServedRelease served;
        HttpServerProcess::Options slow;
        slow.throttleDelayMs = 20;
        QVERIFY(served.start(bigRelease(confirmed ? 1024 : 256), slow));
        QVERIFY(writeFile(served.inst.path("update/update.ini"), "[Version]\nVersion=1.0\n"));
        QVERIFY(writeFile(served.inst.path("update/leftover/x.txt"), "x"));
        Widget w;
        QVERIFY(runChecks(w));
        QSignalSpy spy(&w, &Widget::sigUpdateResult);
        BoxAnswerer answerer(answer);
        bool clicked = false;
        connect(bar(w, "progressBar_updatefile"), &QProgressBar::valueChanged, &w, [&](int value) {
            if (value > 0 && !clicked) {
                clicked = true;
                QTimer::singleShot(0, cancelButton(w), &QPushButton::click);
            }
        });
        w.startUpdate();
        QVERIFY(singleResult(spy, !confirmed));
        QCOMPARE(answerer.answered(), 1);
        QCOMPARE(answerer.title(), QStringLiteral("确认取消"));
        QCOMPARE(answerer.text(), QStringLiteral("确定要取消更新吗？未完成的更新将不会被应用。"));
        QCOMPARE(w.wasCancelled(), confirmed);
        // After a cancel the button only closes the dialog; after a download the owner installs.
        QCOMPARE(cancelButton(w)->isEnabled(), confirmed);
        if (confirmed) {
            QVERIFY2(labels(w).startsWith(QStringLiteral("更新失败|下载错误:")), qPrintable(labels(w)));
            QVERIFY(!QFileInfo::exists(served.inst.path("temp/big.bin")));
            QCOMPARE(TestInstallation::tree(served.inst.path("update")), QStringList{"/update.ini"});
            QCOMPARE(served.server->requestCount(QStringLiteral("/2.0//small.txt")), 0);
        } else {
            QCOMPARE(labels(w), QStringLiteral("下载完成，正在安装更新|small.txt"));
            QCOMPARE(readFile(served.inst.path("temp/big.bin")), bigRelease(256).value("big.bin"));
            QVERIFY(QFileInfo::exists(served.inst.path("update/leftover/x.txt")));
        }
    }

    void escapeAsksBeforeItCancels_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("byClose"); // the window's close instead of the Esc key
        QTest::newRow("Esc, confirmed") << QStringLiteral("确认") << false;
        QTest::newRow("Esc, declined") << QStringLiteral("取消") << false;
        QTest::newRow("close, confirmed") << QStringLiteral("确认") << true;
    }

    void escapeAsksBeforeItCancels()
    {
        QFETCH(QString, answer);
        QFETCH(bool, byClose);
        const bool confirmed = answer == QStringLiteral("确认");
        ServedRelease served;
        HttpServerProcess::Options slow;
        slow.throttleDelayMs = 20;
        QVERIFY(served.start(bigRelease(256), slow));
        QVERIFY(writeFile(served.inst.path("update/update.ini"), "[Version]\nVersion=1.0\n"));
        Widget w;
        QVERIFY(runChecks(w));
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QSignalSpy spy(&w, &Widget::sigUpdateResult);
        BoxAnswerer answerer(answer);
        bool pressed = false;
        QStringList updateDirWhileAsked;
        connect(bar(w, "progressBar_updatefile"), &QProgressBar::valueChanged, &w, [&](int value) {
            if (value > 0 && !pressed) {
                pressed = true;
                QTimer::singleShot(0, &w, [&] {
                    if (byClose)
                        w.close();
                    else
                        QTest::keyClick(&w, Qt::Key_Escape);
                    updateDirWhileAsked = TestInstallation::tree(served.inst.path("update"));
                });
            }
        });
        w.startUpdate();
        QVERIFY(singleResult(spy, !confirmed));
        QCOMPARE(answerer.answered(), 1);
        QCOMPARE(answerer.title(), QStringLiteral("确认取消"));
        if (confirmed) {
            QVERIFY(w.wasCancelled());
            QVERIFY(!QFileInfo::exists(served.inst.path("temp/big.bin")));
            QCOMPARE(served.server->requestCount(QStringLiteral("/2.0//small.txt")), 0);
        } else {
            // Declined: the dialog stays, the download and its pending files are untouched.
            QVERIFY(w.isVisible());
            QVERIFY(updateDirWhileAsked.contains(QStringLiteral("/md5Tmp.txt")));
            QVERIFY(QFileInfo::exists(served.inst.path("update/md5Tmp.txt")));
            QCOMPARE(readFile(served.inst.path("temp/big.bin")), bigRelease(256).value("big.bin"));
        }
    }

    void unsafeListPath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reported"); // the path named in the window and the log
        QTest::addColumn<QString>("logText");
        const QString unsafe = QStringLiteral("MD5列表中的文件路径不安全，拒绝下载:");
        QTest::newRow("parent") << "/../evil.txt" << "/../evil.txt" << unsafe;
        QTest::newRow("parent below a folder") << "/sub/../../evil.txt" << "/sub/../../evil.txt" << unsafe;
        QTest::newRow("drive letter") << "/C:/evil.txt" << "/C:/evil.txt" << unsafe;
        QTest::newRow("backslash") << "/..\\evil.txt" << "/..\\evil.txt" << unsafe;
        QTest::newRow("absolute after the slash") << "//evil.txt" << "//evil.txt" << unsafe;
        QTest::newRow("no leading slash") << "evil.txt" << "evil.txt" << unsafe;
        QTest::newRow("device name") << "/sub/NUL.txt" << "/sub/NUL.txt" << unsafe;
        QTest::newRow("trailing dot") << "/good.txt." << "/good.txt." << unsafe;
        // "/Good.txt" sorts before "/good.txt", so the later twin is the one named.
        QTest::newRow("case twin") << "/Good.txt" << "/good.txt"
                                   << QStringLiteral("MD5列表中有仅大小写不同的文件路径，拒绝下载:");
    }

    void unsafeListPath()
    {
        QFETCH(QString, path);
        QFETCH(QString, reported);
        QFETCH(QString, logText);
        ServedRelease served;
        QVERIFY(served.start({{"good.txt", "good\n"}}));
        // Served everywhere a naive client could look, so that a wrong write would really happen.
        for (const QString &where : {QStringLiteral("evil.txt"), QStringLiteral("2.0/evil.txt")})
            QVERIFY(writeFile(served.www(where), "evil\n"));
        QVERIFY(writeFile(served.www("2.0/md5.txt"),
                          fileMd5(served.www("evil.txt")).toUtf8() + "\t" + path.toUtf8() + "\n"
                              + fileMd5(served.www("2.0/good.txt")).toUtf8() + "\t/good.txt\n"));
        // With the temporary directory in place a naive join would really reach the parent.
        QVERIFY(QDir().mkpath(served.inst.path("temp/sub")));
        Widget w;
        QVERIFY(runChecks(w));
        QStringList expectedTree = TestInstallation::tree(served.inst.root());
        expectedTree.removeAll(QStringLiteral("/app/update/md5Tmp.txt"));
        expectedTree.removeAll(QStringLiteral("/app/update/updateTmp.ini"));
        QSignalSpy spy(&w, &Widget::sigUpdateResult);
        w.startUpdate();
        QVERIFY(singleResult(spy, false));
        QCOMPARE(labels(w), QStringLiteral("更新失败|文件路径不安全:") + reported);
        QCOMPARE(TestInstallation::tree(served.inst.root()), expectedTree);
        QCOMPARE(served.server->requestedPaths(), (QStringList{"/update.ini", "/2.0/md5.txt"}));
        const QRegularExpression errorLine(QStringLiteral("\\[error\\] \\[\\d+\\] ") + logText
                                               + QRegularExpression::escape(reported) + QStringLiteral("$"),
                                           QRegularExpression::MultilineOption);
        QVERIFY(errorLine.match(m_log->text()).hasMatch());
    }
};

QTEST_MAIN(TestWidget)
#include "tst_widget.moc"
