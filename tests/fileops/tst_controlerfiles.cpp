#include "app/controler.h"
#include "common/envguard.h"
#include "common/immutableguard.h"
#include "common/installation.h"
#include "common/logcapture.h"
#include "fileops/fileoperationmanager.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Snapshot = TestInstallation::Snapshot;

namespace {

constexpr int kStartTimeoutMs = 15000;

TestConfig configWith(const QString &temp, const QString &backup)
{
    TestConfig config;
    config.temp = temp;
    config.backup = backup;
    return config;
}

bool exists(const QString &path)
{
    const QFileInfo info(QDir::cleanPath(path));
    return info.exists() || info.isSymLink();
}

} // namespace

// The controller's file steps applied to a real temporary installation: copy, backup, replace,
// rollback, clearing the working directories, the self-update check and the launches.
class TestControlerFiles : public QObject
{
    Q_OBJECT

private:
    LogCapture m_log;

    [[nodiscard]] QString logged() { return m_log.take(); }

private slots:
    void init() { m_log.take(); }

    void setupDirs_data()
    {
        QTest::addColumn<QString>("tempSetting");
        QTest::addColumn<QString>("backupSetting");
        QTest::addColumn<QString>("temp");
        QTest::addColumn<QString>("backup");
        QTest::newRow("plain names") << "temp" << "backup" << "temp/" << "backup/";
        QTest::newRow("with slashes") << "temp/" << "backup/" << "temp/" << "backup/";
        QTest::newRow("nested") << "work/dl" << "work/bak/" << "work/dl/" << "work/bak/";
    }

    void setupDirs()
    {
        QFETCH(QString, tempSetting);
        QFETCH(QString, backupSetting);
        QFETCH(QString, temp);
        QFETCH(QString, backup);
        TestInstallation inst(configWith(tempSetting, backupSetting));
        QVERIFY(inst.isValid());
        CControler controler;
        QCOMPARE(controler.appDirPath(), inst.appDir() + QLatin1Char('/'));
        QVERIFY(controler.tempDirPath().isEmpty());
        QVERIFY(controler.initFileOperations());
        QCOMPARE(controler.tempDirPath(), inst.path(temp));
        QCOMPARE(controler.backupDirPath(), inst.path(backup));
        QVERIFY(!exists(inst.path(temp)));
        QVERIFY(!exists(inst.path(backup)));
        const QString log = logged();
        QVERIFY2(LogCapture::hasLine(log, "debug", QStringLiteral("临时目录:") + inst.path(temp)), qPrintable(log));
        QVERIFY2(LogCapture::hasLine(log, "debug", QStringLiteral("备份目录:") + inst.path(backup)), qPrintable(log));
    }

    void copyFileReplacesTarget()
    {
        TestInstallation inst;
        QVERIFY(inst.isValid());
        CControler controler;
        QVERIFY(inst.writeDownload(QStringLiteral("core.dll"), "core library 2.0"));
        QVERIFY(controler.copyFile(inst.tempDir() + QStringLiteral("core.dll"), inst.path(QStringLiteral("core.dll"))));
        QCOMPARE(TestInstallation::read(inst.path(QStringLiteral("core.dll"))), QByteArray("core library 2.0"));
        QVERIFY(controler.copyFile(inst.path(QStringLiteral("core.dll")), inst.path(QStringLiteral("new/deep/core.dll"))));
        QCOMPARE(TestInstallation::read(inst.path(QStringLiteral("new/deep/core.dll"))), QByteArray("core library 2.0"));
        QVERIFY(LogCapture::hasLine(logged(), "info",
                                    QStringLiteral("文件复制成功:") + inst.tempDir() + QStringLiteral("core.dll->")
                                        + inst.path(QStringLiteral("core.dll"))));
    }

    void copyFileFailures_data()
    {
        QTest::addColumn<QString>("blocker");
        QTest::addColumn<QString>("message");
        QTest::newRow("directory in the way") << "directory" << "无法删除现有文件:";
        QTest::newRow("target held by the system") << "immutable" << "无法删除现有文件:";
        QTest::newRow("source missing") << "nosource" << "文件复制失败:";
    }

    void copyFileFailures()
    {
        QFETCH(QString, blocker);
        QFETCH(QString, message);
        TestInstallation inst;
        QVERIFY(inst.isValid());
        CControler controler;
        QVERIFY(inst.writeDownload(QStringLiteral("core.dll"), "core library 2.0"));
        QString source = inst.tempDir() + QStringLiteral("core.dll");
        QString target = inst.path(QStringLiteral("core.dll"));
        std::unique_ptr<ImmutableGuard> guard;
        if (blocker == QLatin1String("directory")) {
            target = inst.path(QStringLiteral("lib"));
        } else if (blocker == QLatin1String("immutable")) {
            guard = std::make_unique<ImmutableGuard>(target);
            if (!guard->isActive())
                QSKIP("chattr +i is not available here");
        } else {
            source = inst.tempDir() + QStringLiteral("missing.dll");
            target = inst.path(QStringLiteral("lib/missing.dll"));
        }
        const Snapshot before = inst.installed();

        QVERIFY(!controler.copyFile(source, target));
        QCOMPARE(inst.installed(), before);
        const QString expected = message == QStringLiteral("文件复制失败:")
            ? message + source + QStringLiteral("->") + target
            : message + target;
        const QString log = logged();
        QVERIFY2(LogCapture::hasLine(log, "error", expected), qPrintable(log));
    }

    void copyDirectory()
    {
        TestInstallation inst;
        QVERIFY(inst.isValid());
        CControler controler;
        const QString target = inst.path(QStringLiteral("copy"));
        QVERIFY(controler.copyDirectory(inst.path(QStringLiteral("lib")), target));
        QCOMPARE(TestInstallation::snapshot(target), TestInstallation::below(inst.installed(), QStringLiteral("lib/")));

        QVERIFY(QDir().mkpath(inst.path(QStringLiteral("empty"))));
        QVERIFY(controler.copyDirectory(inst.path(QStringLiteral("empty")), inst.path(QStringLiteral("empty-copy"))));
        QVERIFY(QFileInfo(inst.path(QStringLiteral("empty-copy"))).isDir());

        QVERIFY(!controler.copyDirectory(inst.path(QStringLiteral("missing")), inst.path(QStringLiteral("x"))));
        QVERIFY(!exists(inst.path(QStringLiteral("x"))));
        QVERIFY(!controler.copyDirectory(inst.path(QStringLiteral("lib")), inst.path(QStringLiteral("core.dll/sub"))));
        QCOMPARE(TestInstallation::read(inst.path(QStringLiteral("core.dll"))), QByteArray("core library 1.0"));

        const QString log = logged();
        QVERIFY(LogCapture::hasLine(log, "error", QStringLiteral("源目录不存在，无法拷贝:") + inst.path(QStringLiteral("missing"))));
        QVERIFY(LogCapture::hasLine(log, "error", QStringLiteral("无法创建目标目录:") + inst.path(QStringLiteral("core.dll/sub"))));
    }

    void copyDirectoryStopsAtFirstFailure()
    {
        TestInstallation inst;
        QVERIFY(inst.isValid());
        CControler controler;
        for (const char *name : {"a.txt", "b.txt", "c.txt"})
            QVERIFY(inst.writeDownload(QStringLiteral("sub/") + QLatin1String(name), QByteArray("new ") + name));
        QVERIFY(inst.write(QStringLiteral("sub/b.txt/inner"), "a directory where b.txt goes"));

        QVERIFY(!controler.copyDirectory(inst.tempDir() + QStringLiteral("sub"), inst.path(QStringLiteral("sub"))));
        QCOMPARE(TestInstallation::read(inst.path(QStringLiteral("sub/a.txt"))), QByteArray("new a.txt"));
        QVERIFY(!exists(inst.path(QStringLiteral("sub/c.txt"))));
    }

    void backupAndReplace_data()
    {
        QTest::addColumn<bool>("pending");
        QTest::newRow("pending update.ini and md5 list") << true;
        QTest::newRow("no pending files") << false;
    }

    void backupAndReplace()
    {
        QFETCH(bool, pending);
        TestInstallation inst;
        QVERIFY(inst.isValid());
        QVERIFY(inst.write(QStringLiteral("lib/update.exe"), "nested updater 1.0"));
        if (pending) {
            QVERIFY(inst.write(QStringLiteral("update/updateTmp.ini"), "pending version file"));
            QVERIFY(inst.write(QStringLiteral("update/md5Tmp.txt"), "pending md5 list"));
        }
        Snapshot download = {
            {QStringLiteral("core.dll"), "core library 2.0"},
            {QStringLiteral("lib/gui.dll"), "gui library 2.0"},
            {QStringLiteral("lib/new.dll"), "new library 2.0"},
            {QStringLiteral("lib/update.exe"), "nested updater 2.0"},
            {QStringLiteral("lib/md5.txt"), "nested md5 list"},
            {QStringLiteral("newdir/sub/x.txt"), "x 2.0"},
            {QStringLiteral("update.exe"), "updater 2.0"},
            {QStringLiteral("update.ini"), "[Version]\nVersion=2.0.0\nFolder=v200\n"},
            {QStringLiteral("md5.txt"), "md5 list 2.0"},
        };
#ifndef Q_OS_WIN
        // Where names keep their case, only the exact names are special (on Windows these would
        // be the same files as update.exe and md5.txt).
        download.insert(QStringLiteral("Update.exe"), "case variant of the updater");
        download.insert(QStringLiteral("MD5.TXT"), "case variant of the md5 list");
#endif
        for (auto it = download.cbegin(); it != download.cend(); ++it)
            QVERIFY(inst.writeDownload(it.key(), it.value()));
        const Snapshot before = inst.installed();
        const Snapshot tempBefore = TestInstallation::snapshot(inst.tempDir());

        CControler controler;
        QVERIFY(controler.initFileOperations());
        QVERIFY(controler.backupFiles());

        const Snapshot expectedBackup = {
            {QStringLiteral("core.dll"), "core library 1.0"},
            {QStringLiteral("lib/"), {}},
            {QStringLiteral("lib/gui.dll"), "gui library 1.0"},
            {QStringLiteral("lib/update.exe"), "nested updater 1.0"},
            {QStringLiteral("newdir/"), {}},
            {QStringLiteral("newdir/sub/"), {}},
            {QStringLiteral("update/"), {}},
            {QStringLiteral("update/update.ini"), before.value(QStringLiteral("update/update.ini"))},
            {QStringLiteral("md5.txt"), before.value(QStringLiteral("md5.txt"))},
        };
        const QString addedList = QStringLiteral("update_added.lst");
        QCOMPARE(TestInstallation::without(TestInstallation::snapshot(inst.backupDir()), {addedList}), expectedBackup);
        // What the replace creates where nothing was installed, for a rollback to remove.
        QStringList added = QString::fromUtf8(TestInstallation::read(inst.backupDir() + addedList)).split('\n', Qt::SkipEmptyParts);
        added.sort();
        QStringList expectedAdded{"lib/md5.txt", "lib/new.dll", "newdir/", "newdir/sub/", "newdir/sub/x.txt"};
#ifndef Q_OS_WIN
        expectedAdded << "MD5.TXT" << "Update.exe";
        expectedAdded.sort();
#endif
        QCOMPARE(added, expectedAdded);
        QCOMPARE(inst.installed(), before);
        QString log = logged();
        QVERIFY2(LogCapture::hasLine(log, "info",
                                     QStringLiteral("备份update.ini成功:") + inst.path(QStringLiteral("update/update.ini"))
                                         + QStringLiteral("->") + inst.backupDir() + QStringLiteral("update/update.ini")),
                 qPrintable(log));
        QVERIFY(LogCapture::hasLine(log, "info", QStringLiteral("文件备份操作完成")));

        QVERIFY(controler.replaceFiles());
        Snapshot expected = before;
        for (const char *rel : {"core.dll", "lib/gui.dll", "lib/new.dll", "lib/update.exe", "lib/md5.txt",
                                "newdir/sub/x.txt", "Update.exe", "MD5.TXT"}) {
            if (download.contains(QLatin1String(rel)))
                expected[QLatin1String(rel)] = download.value(QLatin1String(rel));
        }
        expected[QStringLiteral("newdir/")] = {};
        expected[QStringLiteral("newdir/sub/")] = {};
        expected[QStringLiteral("update/update.ini")] =
            pending ? QByteArray("pending version file") : download.value(QStringLiteral("update.ini"));
        expected[QStringLiteral("md5.txt")] = pending ? QByteArray("pending md5 list") : download.value(QStringLiteral("md5.txt"));
        QCOMPARE(inst.installed(), expected);
        QCOMPARE(TestInstallation::read(inst.path(QStringLiteral("update.exe"))), QByteArray("updater 1.0"));
        // The download is moved into place; what stays is the new updater for the helper and the
        // folders (their files moved out).
        Snapshot tempAfter;
        for (auto it = tempBefore.cbegin(); it != tempBefore.cend(); ++it) {
            if (it.key().endsWith(QLatin1Char('/')) || it.key() == QLatin1String("update.exe"))
                tempAfter.insert(it.key(), it.value());
        }
        QCOMPARE(TestInstallation::snapshot(inst.tempDir()), tempAfter);
        QCOMPARE(TestInstallation::without(TestInstallation::snapshot(inst.backupDir()), {addedList}), expectedBackup);
        QCOMPARE(inst.rootEntries(), QStringList{QStringLiteral("app")});

        log = logged();
        const QString pendingIni = inst.path(QStringLiteral("update/updateTmp.ini"));
        const QString pendingMd5 = inst.path(QStringLiteral("update/md5Tmp.txt"));
        if (pending) {
            QVERIFY2(LogCapture::hasLine(log, "info",
                                         QStringLiteral("替换update.ini成功:") + pendingIni + QStringLiteral("->")
                                             + inst.path(QStringLiteral("update/update.ini"))),
                     qPrintable(log));
            QVERIFY(LogCapture::hasLine(log, "info",
                                        QStringLiteral("替换md5.txt成功:") + pendingMd5 + QStringLiteral("->")
                                            + inst.path(QStringLiteral("md5.txt"))));
        } else {
            QVERIFY2(LogCapture::hasLine(log, "warning", QStringLiteral("临时update.ini文件不存在:") + pendingIni), qPrintable(log));
            QVERIFY(LogCapture::hasLine(log, "warning", QStringLiteral("临时md5.txt文件不存在:") + pendingMd5));
        }
        QVERIFY(LogCapture::hasLine(log, "info", QStringLiteral("文件替换操作完成")));
        QVERIFY(controler.hasSelfUpdate());
    }

#ifdef Q_OS_WIN
    // The file system ignores letter case there: a downloaded Update.exe is the updater (never
    // copied over the running one) and MD5.TXT is the list.
    void specialNamesIgnoreLetterCase()
    {
        TestInstallation inst;
        QVERIFY(inst.isValid());
        QVERIFY(inst.writeDownload(QStringLiteral("Update.exe"), "updater 2.0"));
        QVERIFY(inst.writeDownload(QStringLiteral("MD5.TXT"), "md5 list 2.0"));
        QVERIFY(inst.writeDownload(QStringLiteral("core.dll"), "core library 2.0"));
        const QByteArray updater = TestInstallation::read(inst.path(QStringLiteral("update.exe")));
        CControler controler;
        QVERIFY(controler.initFileOperations());
        QVERIFY(controler.backupFiles());
        QVERIFY(controler.replaceFiles());
        QCOMPARE(TestInstallation::read(inst.path(QStringLiteral("update.exe"))), updater);
        QCOMPARE(TestInstallation::read(inst.path(QStringLiteral("md5.txt"))), QByteArray("md5 list 2.0"));
        QCOMPARE(TestInstallation::read(inst.path(QStringLiteral("core.dll"))), QByteArray("core library 2.0"));
        QVERIFY(controler.hasSelfUpdate());
    }
#endif

    // A downloaded update/ directory is copied like any other; its updateTmp.ini then becomes
    // update.ini. The download's own update/update.ini was already saved by the directory walk,
    // which must not make the special-file backup fail.
    void downloadedUpdateDirectory()
    {
        TestInstallation inst;
        QVERIFY(inst.isValid());
        QVERIFY(inst.writeDownload(QStringLiteral("update/updateTmp.ini"), "downloaded pending version file"));
        QVERIFY(inst.writeDownload(QStringLiteral("update/update.ini"), "nested version file"));
        const Snapshot before = inst.installed();

        CControler controler;
        QVERIFY(controler.initFileOperations());
        QVERIFY(controler.backupFiles());
        QCOMPARE(TestInstallation::read(inst.backupDir() + QStringLiteral("update/update.ini")),
                 before.value(QStringLiteral("update/update.ini")));
        QVERIFY(controler.replaceFiles());
        QCOMPARE(TestInstallation::read(inst.path(QStringLiteral("update/update.ini"))),
                 QByteArray("downloaded pending version file"));
        QCOMPARE(TestInstallation::read(inst.path(QStringLiteral("update/updateTmp.ini"))),
                 QByteArray("downloaded pending version file"));

        // The pending file the download brought was not installed before: the rollback removes it.
        QVERIFY(controler.rollbackFiles());
        QCOMPARE(inst.installed(), before);
    }

    void failedReplaceIsRolledBack()
    {
        TestInstallation inst;
        QVERIFY(inst.isValid());
        for (const char *name : {"a.txt", "b.txt", "c.txt"})
            QVERIFY(inst.write(QStringLiteral("sub/") + QLatin1String(name), QByteArray("old ") + name));
        const Snapshot download = {
            {QStringLiteral("core.dll"), "core library 2.0"},
            {QStringLiteral("sub/a.txt"), "new a.txt"},
            {QStringLiteral("sub/a_new.txt"), "added by the download"},
            {QStringLiteral("sub/b.txt"), "new b.txt"},
            {QStringLiteral("sub/c.txt"), "new c.txt"},
            {QStringLiteral("update.ini"), "version 2"},
            {QStringLiteral("md5.txt"), "md5 list 2"},
        };
        for (auto it = download.cbegin(); it != download.cend(); ++it)
            QVERIFY(inst.writeDownload(it.key(), it.value()));
        const Snapshot before = inst.installed();

        CControler controler;
        QVERIFY(controler.initFileOperations());
        QVERIFY(controler.backupFiles());
        {
            // b.txt is held: it can be neither removed nor replaced, as by a running program.
            ImmutableGuard held(inst.path(QStringLiteral("sub/b.txt")));
            if (!held.isActive())
                QSKIP("chattr +i is not available here");
            QVERIFY(!controler.replaceFiles());
            QCOMPARE(TestInstallation::read(inst.path(QStringLiteral("sub/a.txt"))), QByteArray("new a.txt"));
            QCOMPARE(TestInstallation::read(inst.path(QStringLiteral("sub/b.txt"))), QByteArray("old b.txt"));
            QCOMPARE(TestInstallation::read(inst.path(QStringLiteral("sub/c.txt"))), QByteArray("old c.txt"));
        }
        const QString log = logged();
        QVERIFY2(LogCapture::hasLine(log, "error", QStringLiteral("无法删除现有文件:") + inst.path(QStringLiteral("sub/b.txt"))),
                 qPrintable(log));
        QVERIFY(LogCapture::hasLine(log, "error",
                                    QStringLiteral("复制目录失败:") + inst.tempDir() + QStringLiteral("sub->")
                                        + inst.path(QStringLiteral("sub"))));

        // Restored byte for byte, and what the download added is gone again.
        QVERIFY(controler.rollbackFiles());
        QCOMPARE(inst.installed(), before);
        const QString rollbackLog = logged();
        QVERIFY(LogCapture::hasLine(rollbackLog, "info", QStringLiteral("删除更新新增的文件:") + inst.path(QStringLiteral("sub/a_new.txt"))));
        QVERIFY(LogCapture::hasLine(rollbackLog, "info", QStringLiteral("文件回退完成")));
        QVERIFY(!exists(inst.tempDir()));
        QVERIFY(!exists(inst.backupDir()));
        QCOMPARE(inst.rootEntries(), QStringList{QStringLiteral("app")});
        QCOMPARE(controler.errorMessage(), QString());
    }

    void failedBackupLeavesInstallation_data()
    {
        QTest::addColumn<QString>("blocker");
        QTest::addColumn<QString>("message");

        // <app> and <backup> stand for the two directories, with their trailing "/".
        QTest::newRow("file where a backup sub-directory belongs")
            << "backup/lib" << "备份文件失败:<app>lib/gui.dll-><backup>lib/gui.dll";
        QTest::newRow("file where the backup directory belongs") << "backup" << "";
        QTest::newRow("installed directory where the download has a file")
            << "download:data" << "备份文件失败:<app>data-><backup>data";
        QTest::newRow("file where the backup update/ belongs")
            << "backup/update" << "备份update.ini失败:<app>update/update.ini";
        QTest::newRow("immutable backup directory") << "immutable" << "";
        // A download whose top level would land on a working directory or the replace marker.
        QTest::newRow("download holds the backup directory")
            << "download:backup/core.dll" << "下载内容与工作目录冲突，拒绝应用:<temp>backup";
        QTest::newRow("download holds the temp directory")
            << "download:temp/core.dll" << "下载内容与工作目录冲突，拒绝应用:<temp>temp";
        QTest::newRow("download holds the replace marker")
            << "download:update_replace.pending" << "下载内容与工作目录冲突，拒绝应用:<temp>update_replace.pending";
    }

    void failedBackupLeavesInstallation()
    {
        QFETCH(QString, blocker);
        QFETCH(QString, message);
        TestInstallation inst;
        QVERIFY(inst.isValid());
        QVERIFY(inst.writeDownload(QStringLiteral("core.dll"), "core library 2.0"));
        QVERIFY(inst.writeDownload(QStringLiteral("lib/gui.dll"), "gui library 2.0"));
        std::unique_ptr<ImmutableGuard> guard;
        if (blocker == QLatin1String("immutable")) {
            QVERIFY(QDir().mkpath(inst.backupDir()));
            guard = std::make_unique<ImmutableGuard>(inst.backupDir(), ImmutableGuard::Method::Flag);
            if (!guard->isActive())
                QSKIP("chattr +i is not available here");
        } else if (blocker.startsWith(QLatin1String("download:"))) {
            QVERIFY(inst.writeDownload(blocker.mid(9), "a file where a directory is installed"));
        } else {
            QVERIFY(inst.write(blocker, "in the way"));
        }
        const Snapshot before = inst.installed();
        const Snapshot tempBefore = TestInstallation::snapshot(inst.tempDir());

        CControler controler;
        QVERIFY(controler.initFileOperations());
        QVERIFY(!controler.backupFiles());
        QCOMPARE(inst.installed(), before);
        QCOMPARE(TestInstallation::snapshot(inst.tempDir()), tempBefore);
        QCOMPARE(inst.rootEntries(), QStringList{QStringLiteral("app")});

        const QString log = logged();
        QVERIFY2(!LogCapture::hasLine(log, "info", QStringLiteral("文件备份操作完成")), qPrintable(log));
        if (!message.isEmpty()) {
            message.replace(QStringLiteral("<app>"), inst.path(QString()))
                .replace(QStringLiteral("<backup>"), inst.backupDir())
                .replace(QStringLiteral("<temp>"), inst.tempDir());
            QVERIFY2(LogCapture::hasLine(log, "error", message), qPrintable(log));
        }
        if (message.contains(QStringLiteral("冲突"))) {
            QVERIFY(!controler.replaceFiles()); // refused before anything is copied
            QCOMPARE(inst.installed(), before);
        }
    }

    void existingBackupFileIsKept()
    {
        TestInstallation inst;
        QVERIFY(inst.isValid());
        QVERIFY(inst.writeDownload(QStringLiteral("core.dll"), "core library 2.0"));
        QVERIFY(TestInstallation::writeFile(inst.backupDir() + QStringLiteral("core.dll"), "saved earlier"));
        CControler controler;
        QVERIFY(controler.initFileOperations());
        QVERIFY(controler.backupFiles());
        QCOMPARE(TestInstallation::read(inst.backupDir() + QStringLiteral("core.dll")), QByteArray("saved earlier"));
    }

    void rollbackWithEmptyBackup()
    {
        TestInstallation inst;
        QVERIFY(inst.isValid());
        QVERIFY(inst.writeDownload(QStringLiteral("core.dll"), "core library 2.0"));
        QVERIFY(QDir().mkpath(inst.backupDir()));
        const Snapshot before = inst.installed();
        CControler controler;
        QVERIFY(controler.initFileOperations());
        QVERIFY(controler.rollbackFiles());
        QCOMPARE(inst.installed(), before);
        QVERIFY(!exists(inst.tempDir()));
        QVERIFY(!exists(inst.backupDir()));
    }

    void failedRollbackKeepsWorkDirectories()
    {
        TestInstallation inst;
        QVERIFY(inst.isValid());
        QVERIFY(inst.writeDownload(QStringLiteral("core.dll"), "core library 2.0"));
        QVERIFY(TestInstallation::writeFile(inst.backupDir() + QStringLiteral("core.dll"), "core library 1.0"));
        QVERIFY(QFile::remove(inst.path(QStringLiteral("core.dll"))));
        QVERIFY(inst.write(QStringLiteral("core.dll/inner.txt"), "a directory where core.dll goes"));
        const Snapshot before = inst.installed();

        CControler controler;
        QVERIFY(controler.initFileOperations());
        QVERIFY(!controler.rollbackFiles());
        const QString error = QStringLiteral("删除目标文件失败: ") + inst.path(QStringLiteral("core.dll"));
        QCOMPARE(controler.errorMessage(), error);
        QCOMPARE(controler.fileOperations()->lastError(), error);
        QCOMPARE(inst.installed(), before);
        QVERIFY(QFileInfo(inst.tempDir()).isDir());
        QVERIFY(QFileInfo(inst.backupDir() + QStringLiteral("core.dll")).isFile());
        QVERIFY(LogCapture::hasLine(logged(), "error", QStringLiteral("回退文件失败:") + error));
    }

    void rollbackRefusesUnsafeBackup_data()
    {
        QTest::addColumn<QString>("backup");
        QTest::addColumn<QString>("message");
        QTest::newRow("not configured") << "" << "备份目录未配置";
        QTest::newRow("the installation itself") << "." << "工作目录不安全:<app>./";
    }

    void rollbackRefusesUnsafeBackup()
    {
        QFETCH(QString, backup);
        QFETCH(QString, message);
        TestInstallation inst(configWith(QStringLiteral("temp"), backup));
        QVERIFY(inst.isValid());
        QVERIFY(inst.writeDownload(QStringLiteral("core.dll"), "core library 2.0"));
        const Snapshot before = TestInstallation::snapshot(inst.root());
        CControler controler;
        QVERIFY(controler.initFileOperations());
        QVERIFY(!controler.rollbackFiles());
        QCOMPARE(TestInstallation::snapshot(inst.root()), before);
        message.replace(QStringLiteral("<app>"), inst.path(QString()));
        const QString log = logged();
        QVERIFY2(LogCapture::hasLine(log, "error", message), qPrintable(log));
    }

    void clearRemovesWorkDirectories()
    {
        TestInstallation inst;
        QVERIFY(inst.isValid());
        QVERIFY(inst.writeDownload(QStringLiteral("deep/er/file.txt"), "downloaded"));
        QVERIFY(TestInstallation::writeFile(inst.backupDir() + QStringLiteral("core.dll"), "saved"));
        const Snapshot before = inst.installed();
        CControler controler;
        QVERIFY(controler.initFileOperations());
        controler.clearTempDir();
        controler.clearBackupDir();
        QVERIFY(!exists(inst.tempDir()));
        QVERIFY(!exists(inst.backupDir()));
        QCOMPARE(inst.installed(), before);
    }

    // The working directories are removed with everything in them, so a path that is not a
    // proper sub-directory of the installation is refused, whatever the configuration says.
    void clearRefusesUnsafeDirectory_data()
    {
        QTest::addColumn<QByteArray>("temp");
        QTest::addColumn<bool>("linkedParent");
        QTest::newRow("empty") << QByteArray("") << false;
        QTest::newRow("dot") << QByteArray(".") << false;
        QTest::newRow("parent") << QByteArray("..") << false;
        QTest::newRow("escaping") << QByteArray("sub/../../outside") << false;
        QTest::newRow("through a linked parent") << QByteArray("via/temp") << true;
    }

    void clearRefusesUnsafeDirectory()
    {
        QFETCH(QByteArray, temp);
        QFETCH(bool, linkedParent);
        TestInstallation inst(configWith(QString::fromUtf8(temp), QStringLiteral("backup")));
        QVERIFY(inst.isValid());
        const QString outside = inst.root() + QStringLiteral("/outside");
        QVERIFY(TestInstallation::writeFile(outside + QStringLiteral("/temp/keep.txt"), "not the updater's"));
        if (linkedParent) {
#ifdef Q_OS_WIN
            QSKIP("QFile::link makes a .lnk shortcut on Windows, not a directory link");
#endif
            QVERIFY(QFile::link(outside, inst.path(QStringLiteral("via"))));
        }
        const Snapshot before = TestInstallation::snapshot(inst.root());

        CControler controler;
        QVERIFY(controler.initFileOperations());
        controler.clearTempDir();
        QCOMPARE(TestInstallation::snapshot(inst.root()), before);
        const QString log = logged();
        QVERIFY2(LogCapture::hasLine(log, "error", QStringLiteral("拒绝删除不安全的目录:") + controler.tempDirPath()),
                 qPrintable(log));
    }

    void clearRemovesOnlyTheLink()
    {
        TestInstallation inst;
        QVERIFY(inst.isValid());
        const QString outside = inst.root() + QStringLiteral("/outside");
        QVERIFY(TestInstallation::writeFile(outside + QStringLiteral("/keep.txt"), "not the updater's"));
#ifdef Q_OS_WIN
        QSKIP("QFile::link makes a .lnk shortcut on Windows, not a directory link");
#endif
        QVERIFY(QFile::link(outside, inst.path(QStringLiteral("temp"))));
        const Snapshot before = TestInstallation::snapshot(outside);

        CControler controler;
        QVERIFY(controler.initFileOperations());
        controler.clearTempDir();
        QCOMPARE(TestInstallation::snapshot(outside), before);
        QCOMPARE(before.size(), 1);
        QVERIFY(!exists(inst.tempDir()));
    }

    void hasSelfUpdate_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("expected");
        QTest::newRow("top level") << "update.exe" << true;
        QTest::newRow("sub-directory only") << "lib/update.exe" << false;
#ifdef Q_OS_WIN
        QTest::newRow("other letter case") << "Update.exe" << true; // the same file there
#else
        QTest::newRow("other letter case") << "Update.exe" << false;
#endif
        QTest::newRow("directory of that name") << "update.exe/inner" << false;
        QTest::newRow("no download directory") << "" << false;
    }

    void hasSelfUpdate()
    {
        QFETCH(QString, file);
        QFETCH(bool, expected);
        TestInstallation inst;
        QVERIFY(inst.isValid());
        if (!file.isEmpty())
            QVERIFY(inst.writeDownload(file, "updater 2.0"));
        CControler controler;
        QVERIFY(controler.initFileOperations());
        QCOMPARE(controler.hasSelfUpdate(), expected);

        const QString log = logged();
        const QString updater = inst.tempDir() + QStringLiteral("update.exe");
        if (expected)
            QVERIFY2(LogCapture::hasLine(log, "info", QStringLiteral("发现需要自我更新的update.exe文件:") + updater), qPrintable(log));
        else if (file.isEmpty())
            QVERIFY2(LogCapture::hasLine(log, "error", QStringLiteral("临时目录不存在:") + inst.tempDir()), qPrintable(log));
        else
            QVERIFY2(LogCapture::hasLine(log, "info", QStringLiteral("临时目录下没有update.exe文件，无需自我更新")), qPrintable(log));
    }

#ifndef Q_OS_WIN
    void launchStartsConfiguredProgram_data()
    {
        QTest::addColumn<bool>("helper");
        QTest::addColumn<QByteArray>("expectedArguments");
        QTest::newRow("host program") << false << QByteArray();
        QTest::newRow("update helper") << true << QByteArray("update.exe\nupdate.exe\n");
    }

    void launchStartsConfiguredProgram()
    {
        QFETCH(bool, helper);
        QFETCH(QByteArray, expectedArguments);
        TestInstallation inst;
        QVERIFY(inst.isValid());
        const QString program = inst.path(helper ? QStringLiteral("updatehelper.exe") : QStringLiteral("host.exe"));
        QFile::remove(program);
        QVERIFY(QFile::copy(QStringLiteral(RECORDARGS_PATH), program));
        QTemporaryDir scratch;
        const QString scripts = scratch.filePath(QStringLiteral("scripts"));
        const QString out = scratch.filePath(QStringLiteral("args.txt"));
        QVERIFY(QDir().mkpath(scripts));
        EnvGuard tmp("TMPDIR", QFile::encodeName(scripts));
        EnvGuard record("RECORDARGS_OUT", QFile::encodeName(out));

        CControler controler;
        QVERIFY(controler.initFileOperations());
        QVERIFY(helper ? controler.launchUpdateHelper() : controler.launchHostProgram());
        QVERIFY(controler.succeeded());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(out), kStartTimeoutMs);
        QCOMPARE(TestInstallation::read(out), expectedArguments);
        QTRY_COMPARE_WITH_TIMEOUT(QDir(scripts).entryList(QDir::Files), QStringList(), kStartTimeoutMs);
    }
#endif

    void launchWithoutProgramFails()
    {
        TestConfig config;
        config.hostExe.clear();
        TestInstallation inst(config);
        QVERIFY(inst.isValid());
        QTemporaryDir scratch;
        EnvGuard tmp("TMPDIR", QFile::encodeName(scratch.path()));
        CControler controler;
        QVERIFY(controler.initFileOperations());
        QVERIFY(!controler.launchHostProgram());
        QVERIFY(!controler.succeeded());
        QVERIFY2(controler.errorMessage().startsWith(QStringLiteral("Failed to launch main program: ")),
                 qPrintable(controler.errorMessage()));
        QCOMPARE(QDir(scratch.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestControlerFiles)
#include "tst_controlerfiles.moc"
