#include "app/controler.h"
#include "fileops/fileopsconstants.h"

#include "common/installation.h"

#include <QtTest>

namespace {

using Snapshot = TestInstallation::Snapshot;

QString markerPath(const TestInstallation &inst)
{
    return inst.path(QLatin1String(FileOps::ReplaceMarkerFileName));
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
