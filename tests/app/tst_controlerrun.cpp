#include "app/controler.h"
#include "fileops/fileopsconstants.h"
#include "http/widget.h"
#include "tcp/updatewidget.h"

#include "common/httpserverprocess.h"
#include "common/immutableguard.h"
#include "common/installation.h"
#include "common/publishedrelease.h"
#include "common/tcpserverprocess.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace {

using Snapshot = TestInstallation::Snapshot;

QString markerPath(const TestInstallation &inst)
{
    return inst.path(QLatin1String(FileOps::ReplaceMarkerFileName));
}

// The installation's configuration with a TCP server on port (0: none) and an HTTP URL.
TestConfig configFor(quint16 port, const QString &url = QString())
{
    return url.isEmpty() ? TestConfig::tcp(port) : TestConfig::http(url, port);
}

// Version 2.0 of the default installation: two changed files, one new.
PublishedRelease::FileTree releaseTree()
{
    return {{QStringLiteral("core.dll"), "core library 2.0"},
            {QStringLiteral("lib/gui.dll"), "gui library 2.0"},
            {QStringLiteral("lib/extra.dll"), "extra 2.0"}};
}

template<typename T>
T *findVisible()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (auto *found = qobject_cast<T *>(window); found && found->isVisible())
            return found;
    }
    return nullptr;
}

int visibleCount(const char *className)
{
    int count = 0;
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows)
        count += window->isVisible() && window->inherits(className) ? 1 : 0;
    return count;
}

} // namespace

// The controller's own decisions around a restore that cannot be completed at once: the replace
// marker keeps the backup alive until a later start has put it back.
class TestControlerRun : public QObject
{
    Q_OBJECT

private slots:
    void failedHelperRollbackIsRetriedAtNextStart()
    {
        TestInstallation inst; // no TCP server, HTTP not allowed: run() finds no transport
        QVERIFY(inst.isValid());
        const Snapshot before = inst.installed();
        // What a self-update leaves for the helper: the new files installed, the old ones saved.
        QVERIFY(TestInstallation::writeFile(inst.backupDir() + QStringLiteral("core.dll"), "core library 1.0"));
        QVERIFY(inst.writeDownload(QStringLiteral("update.exe"), "updater 2.0"));
        QVERIFY(QFile::remove(inst.path(QStringLiteral("core.dll"))));
        // A directory where the restored file belongs makes the restore fail.
        QVERIFY(inst.write(QStringLiteral("core.dll/blocker"), "in the way"));

        {
            CControler helper;
            QVERIFY(helper.initialize());
            QVERIFY(!helper.parseArguments({QStringLiteral("update.exe"), QStringLiteral("updatehelper"),
                                            QStringLiteral("HelperFaile")}));
            helper.runHelperMode();
        }
        QVERIFY2(QFile::exists(markerPath(inst)), "a failed restore leaves the marker for the next start");
        QCOMPARE(TestInstallation::read(inst.backupDir() + QStringLiteral("core.dll")), QByteArray("core library 1.0"));

        // The obstacle is gone; the next ordinary start restores before it clears anything.
        QVERIFY(QDir(inst.path(QStringLiteral("core.dll"))).removeRecursively());
        {
            CControler next;
            QVERIFY(next.initialize());
            QVERIFY(next.parseArguments({QStringLiteral("update.exe"), QStringLiteral("console")}));
            next.run();
        }
        QVERIFY(!QFile::exists(markerPath(inst)));
        QVERIFY(!QFileInfo::exists(inst.backupDir()));
        QVERIFY(!QFileInfo::exists(inst.tempDir()));
        QCOMPARE(inst.installed(), before);
    }

    // GUI mode over TCP: one window for the whole download, and after a failure that window
    // stays until the user closes it with its button or Esc.
    void tcpFailureWindowClosesOnRequest_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("cancel button") << false;
        QTest::newRow("Esc") << true;
    }

    void tcpFailureWindowClosesOnRequest()
    {
        QFETCH(bool, escape);
        QTemporaryDir release;
        QVERIFY(PublishedRelease::writeTree(release.path(), releaseTree()));
        TcpServerProcess server({"--root", release.path(), "--version", "2.0", "--fail", "gui.dll:-1"});
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        TestInstallation inst(configFor(server.port()));
        QVERIFY(inst.isValid());
        const Snapshot before = inst.installed();

        CControler controller;
        QVERIFY(controller.initialize());
        QVERIFY(controller.parseArguments({QStringLiteral("update.exe")}));
        int windowsDuringDownload = -1;
        QTimer probe;
        connect(&probe, &QTimer::timeout, this, [&] { windowsDuringDownload = qMax(windowsDuringDownload, visibleCount("UpdateWidget")); });
        probe.start(10);
        controller.run();
        probe.stop();
        QCOMPARE(windowsDuringDownload, 1);

        QVERIFY2(!controller.isFinished(), "GUI mode waits for the user to close the failure window");
        auto *window = findVisible<UpdateWidget>();
        QVERIFY(window);
        QCOMPARE(window->findChild<QLabel *>(QStringLiteral("label_status"))->text(), QStringLiteral("未知错误，重试失败: gui.dll"));
        QCOMPARE(inst.installed(), before);
        if (escape)
            QTest::keyClick(window, Qt::Key_Escape);
        else
            window->findChild<QPushButton *>(QStringLiteral("pushButton_cancel"))->click();
        QVERIFY(controller.isFinished());
        QCOMPARE(controller.exitCode(), 3);
        QVERIFY(!window->isVisible());
    }

    void tcpCancelEndsTheRunAtOnce()
    {
        QTemporaryDir release;
        PublishedRelease::FileTree tree = releaseTree();
        tree.insert(QStringLiteral("big.dat"), QByteArray(1024 * 1024, 'b'));
        QVERIFY(PublishedRelease::writeTree(release.path(), tree));
        TcpServerProcess server({"--root", release.path(), "--version", "2.0", "--rate", "65536"});
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        TestInstallation inst(configFor(server.port()));
        const Snapshot before = inst.installed();

        CControler controller;
        QVERIFY(controller.initialize());
        QVERIFY(controller.parseArguments({QStringLiteral("update.exe")}));
        QTimer clicker;
        connect(&clicker, &QTimer::timeout, this, [&] {
            if (auto *window = findVisible<UpdateWidget>(); window && QFileInfo::exists(inst.tempDir())) {
                clicker.stop();
                window->findChild<QPushButton *>(QStringLiteral("pushButton_cancel"))->click();
            }
        });
        clicker.start(50);
        controller.run();
        QVERIFY(controller.isFinished());
        QCOMPARE(controller.exitCode(), 3);
        QCOMPARE(inst.installed(), before);
        QVERIFY(!QFileInfo::exists(inst.tempDir()));
        QVERIFY(!QFileInfo::exists(inst.backupDir()));
        QCOMPARE(visibleCount("UpdateWidget"), 0);
    }

    // A replace that fails is rolled back, and the window says so: "更新完成!" only ever follows a
    // successful replace.
    void httpWindowTellsAFailedInstall()
    {
        QTemporaryDir dir;
        const QString www = dir.filePath(QStringLiteral("www"));
        QVERIFY(PublishedRelease::publishTree(dir.filePath(QStringLiteral("release")), www, releaseTree(), QStringLiteral("2.0")));
        HttpServerProcess web(www);
        QVERIFY2(web.isReady(), qPrintable(web.errorString()));
        TestInstallation inst(configFor(0, web.baseUrl()));
        const Snapshot before = inst.installed();
        ImmutableGuard locked(inst.path(QStringLiteral("lib/gui.dll")));
        if (!locked.isActive())
            QSKIP("chattr +i is not available here");

        CControler controller;
        QVERIFY(controller.initialize());
        QVERIFY(controller.parseArguments({QStringLiteral("update.exe")}));
        controller.run();
        auto failureShown = [] {
            const Widget *shown = findVisible<Widget>();
            return shown && shown->findChild<QLabel *>(QStringLiteral("label_update"))->text() == QStringLiteral("更新失败");
        };
        QTRY_VERIFY_WITH_TIMEOUT(controller.isFinished() || failureShown(), 20000);
        auto *dialog = findVisible<Widget>();
        QVERIFY(dialog);
        QVERIFY2(!controller.isFinished(), "GUI mode keeps the failure window");
        QCOMPARE(dialog->findChild<QLabel *>(QStringLiteral("label_updatefile"))->text(),
                 QStringLiteral("安装更新失败，已恢复原来的文件"));
        locked.release();
        // Restored byte for byte; what the failed run fetched and generated is gone, but for the
        // list of the installed files the check made.
        Snapshot after = inst.installed();
        after[QStringLiteral("md5.txt")] = before.value(QStringLiteral("md5.txt"));
        QCOMPARE(after, before);

        auto *close = dialog->findChild<QPushButton *>(QStringLiteral("pushButton_cancel"));
        QVERIFY(close->isEnabled());
        close->click();
        QVERIFY(controller.isFinished());
        QCOMPARE(controller.exitCode(), 3);
    }

    void markerSurvivesTheHttpCleanUpFolder()
    {
        TestInstallation inst;
        CControler controller;
        QVERIFY(controller.initialize());
        // The HTTP dialog empties update/ after a failure; the marker must not live there.
        QVERIFY(!controller.replaceMarkerPath().startsWith(inst.path(QStringLiteral("update/"))));
        QCOMPARE(QFileInfo(controller.replaceMarkerPath()).absolutePath(), inst.appDir());
    }
};

QTEST_MAIN(TestControlerRun)
#include "tst_controlerrun.moc"
