#include "common/immutableguard.h"
#include "common/installation.h"
#include "common/logcapture.h"
#include "fileops/fileoperationmanager.h"

#include <QTemporaryDir>
#include <QtTest>

using Snapshot = TestInstallation::Snapshot;

// CFileOperationManager restores a backup tree into a target tree on the real file system.
class TestFileOperationManager : public QObject
{
    Q_OBJECT

private:
    LogCapture m_log;

    struct Trees
    {
        QTemporaryDir dir;
        QString backup = dir.filePath(QStringLiteral("backup"));
        QString target = dir.filePath(QStringLiteral("target"));
    };

    static bool writeAll(const QString &base, const Snapshot &files)
    {
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            if (!TestInstallation::writeFile(base + QLatin1Char('/') + it.key(), it.value()))
                return false;
        }
        return true;
    }

private slots:
    void init() { m_log.take(); }

    void joinPath_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("rel");
        QTest::addColumn<QString>("joined");
        QTest::newRow("no slash") << "/a/b" << "c.txt" << "/a/b/c.txt";
        QTest::newRow("trailing slash") << "/a/b/" << "c.txt" << "/a/b/c.txt";
        QTest::newRow("nested rel") << "/a" << "d/e" << "/a/d/e";
    }

    void joinPath()
    {
        QFETCH(QString, base);
        QFETCH(QString, rel);
        QFETCH(QString, joined);
        QCOMPARE(CFileOperationManager::joinPath(base, rel), joined);
    }

    void ensureDirectory()
    {
        QTemporaryDir dir;
        const QString chain = dir.filePath(QStringLiteral("a/b/c"));
        QVERIFY(CFileOperationManager::ensureDirectory(chain));
        QVERIFY(QFileInfo(chain).isDir());
        QVERIFY(CFileOperationManager::ensureDirectory(chain));

        const QString blocked = dir.filePath(QStringLiteral("file"));
        QVERIFY(TestInstallation::writeFile(blocked, "x"));
        QVERIFY(!CFileOperationManager::ensureDirectory(blocked + QStringLiteral("/sub")));
        QCOMPARE(TestInstallation::read(blocked), QByteArray("x"));
    }

    void rollbackRestores_data()
    {
        QTest::addColumn<QStringList>("relPaths");
        QTest::addColumn<Snapshot>("expected");

        const Snapshot untouched = {
            {QStringLiteral("a.txt"), "a new"},
            {QStringLiteral("dir/"), {}},
            {QStringLiteral("dir/x.txt"), "x new"},
            {QStringLiteral("dir/added.txt"), "added by the download"},
            {QStringLiteral("other.txt"), "other new"},
        };
        Snapshot all = untouched;
        all[QStringLiteral("a.txt")] = "a old";
        all[QStringLiteral("dir/x.txt")] = "x old";
        all[QStringLiteral("dir/sub/")] = {};
        all[QStringLiteral("dir/sub/y.txt")] = "y old";
        QTest::newRow("empty list: every top-level entry") << QStringList() << all;

        Snapshot listed = untouched;
        listed[QStringLiteral("a.txt")] = "a old";
        QTest::newRow("listed entries only") << QStringList{QStringLiteral("a.txt")} << listed;
        QTest::newRow("missing entry skipped")
            << QStringList{QStringLiteral("missing.txt"), QStringLiteral("a.txt")} << listed;
    }

    void rollbackRestores()
    {
        QFETCH(QStringList, relPaths);
        QFETCH(Snapshot, expected);
        Trees trees;
        QVERIFY(writeAll(trees.backup, {{QStringLiteral("a.txt"), "a old"},
                                        {QStringLiteral("dir/x.txt"), "x old"},
                                        {QStringLiteral("dir/sub/y.txt"), "y old"}}));
        QVERIFY(writeAll(trees.target, {{QStringLiteral("a.txt"), "a new"},
                                        {QStringLiteral("dir/x.txt"), "x new"},
                                        {QStringLiteral("dir/added.txt"), "added by the download"},
                                        {QStringLiteral("other.txt"), "other new"}}));
        const Snapshot backup = TestInstallation::snapshot(trees.backup);

        CFileOperationManager manager;
        QVERIFY(manager.init());
        QVERIFY(manager.rollback(trees.backup, trees.target, relPaths));
        QCOMPARE(TestInstallation::snapshot(trees.target), expected);
        QCOMPARE(TestInstallation::snapshot(trees.backup), backup);
        QCOMPARE(manager.lastError(), QString());

        const QString log = m_log.take();
        QVERIFY2(LogCapture::hasLine(log, "info",
                                     QStringLiteral("回退文件成功:") + trees.backup + QStringLiteral("/a.txt->")
                                         + trees.target + QStringLiteral("/a.txt")),
                 qPrintable(log));
    }

    void rollbackWithoutBackupDoesNothing()
    {
        Trees trees;
        QVERIFY(writeAll(trees.target, {{QStringLiteral("a.txt"), "a"}}));
        CFileOperationManager manager;
        QVERIFY(manager.rollback(trees.backup, trees.target, {}));
        QCOMPARE(TestInstallation::snapshot(trees.target), Snapshot({{QStringLiteral("a.txt"), "a"}}));
        QVERIFY(!QFileInfo::exists(trees.backup));
    }

    void rollbackFailure_data()
    {
        QTest::addColumn<QString>("blocker");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("errorTemplate");

        // In the expected text, <backup> and <target> stand for the two trees.
        QTest::newRow("directory where a file is restored")
            << "a.txt/inner.txt" << "a.txt" << "删除目标文件失败: <target>/a.txt";
        QTest::newRow("file where a directory is restored")
            << "dir" << "dir" << "回退目录失败: <backup>/dir -> <target>/dir";
        QTest::newRow("file where the target tree belongs") << "" << "a.txt" << "无法创建目标文件目录: <target>";
        QTest::newRow("immutable target directory")
            << "<immutable>" << "a.txt" << "回退文件失败: <backup>/a.txt -> <target>/a.txt";
    }

    // A replace that failed on a file it cannot touch (held open by a running program on Windows,
    // immutable here) leaves that file as it was; the rollback then restores the others and does
    // not trip over it, at the top or inside a directory.
    void rollbackLeavesUntouchedFilesAlone_data()
    {
        QTest::addColumn<QString>("held");
        QTest::newRow("top-level file") << "a.txt";
        QTest::newRow("file in a directory") << "dir/y.txt";
    }

    void rollbackLeavesUntouchedFilesAlone()
    {
        QFETCH(QString, held);
        Trees trees;
        const Snapshot backup{{QStringLiteral("a.txt"), "a old"}, {QStringLiteral("dir/x.txt"), "x old"},
                              {QStringLiteral("dir/y.txt"), "y old"}, {QStringLiteral("z.txt"), "z old"}};
        QVERIFY(writeAll(trees.backup, backup));
        Snapshot replaced{{QStringLiteral("a.txt"), "a new"}, {QStringLiteral("dir/x.txt"), "x new"},
                          {QStringLiteral("dir/y.txt"), "y new"}, {QStringLiteral("z.txt"), "z new"}};
        replaced.insert(held, backup.value(held)); // the replace stopped at this one
        QVERIFY(writeAll(trees.target, replaced));
        ImmutableGuard guard(trees.target + QLatin1Char('/') + held);
        if (!guard.isActive())
            QSKIP("chattr +i is not available here");

        CFileOperationManager manager;
        QVERIFY2(manager.rollback(trees.backup, trees.target, {}), qPrintable(manager.lastError()));
        guard.release();
        Snapshot expected = backup;
        expected.insert(QStringLiteral("dir/"), QByteArray());
        QCOMPARE(TestInstallation::snapshot(trees.target), expected);
    }

    void rollbackFailure()
    {
        QFETCH(QString, blocker);
        QFETCH(QString, entry);
        QFETCH(QString, errorTemplate);
        Trees trees;
        QVERIFY(writeAll(trees.backup, {{QStringLiteral("a.txt"), "a old"}, {QStringLiteral("dir/x.txt"), "x old"}}));

        std::unique_ptr<ImmutableGuard> guard;
        if (blocker == QLatin1String("<immutable>")) {
            QVERIFY(QDir().mkpath(trees.target));
            guard = std::make_unique<ImmutableGuard>(trees.target, ImmutableGuard::Method::Flag);
            if (!guard->isActive())
                QSKIP("chattr +i is not available here");
        } else if (blocker.isEmpty()) {
            QVERIFY(TestInstallation::writeFile(trees.target, "a file"));
        } else {
            QVERIFY(writeAll(trees.target, {{blocker, "in the way"}}));
        }
        const Snapshot before = TestInstallation::snapshot(trees.target);

        CFileOperationManager manager;
        QVERIFY(!manager.rollback(trees.backup, trees.target, {entry}));
        QString expected = errorTemplate;
        expected.replace(QStringLiteral("<backup>"), trees.backup).replace(QStringLiteral("<target>"), trees.target);
        QCOMPARE(manager.lastError(), expected);
        QCOMPARE(TestInstallation::snapshot(trees.target), before);
        QCOMPARE(TestInstallation::read(trees.target), blocker.isEmpty() ? QByteArray("a file") : QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestFileOperationManager)
#include "tst_fileoperationmanager.moc"
