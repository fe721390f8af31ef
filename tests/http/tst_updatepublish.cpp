#include "fileops/md5list.h"

#include "common/httpinstallation.h"
#include "common/publishedrelease.h"

#include <QSettings>
#include <QtTest>

using PublishedRelease::FileTree;
using PublishedRelease::publish;
using PublishedRelease::readFile;
using PublishedRelease::writeTree;

// The publishing tool on real release trees.
class TestUpdatePublish : public QObject
{
    Q_OBJECT

private slots:
    void publishes_data()
    {
        QTest::addColumn<QString>("folder"); // null: default
        QTest::addColumn<QString>("expectedFolder");
        QTest::newRow("folder defaults to the version") << QString() << "3.1";
        QTest::newRow("own folder") << "releases/r31" << "releases/r31";
    }

    void publishes()
    {
        QFETCH(QString, folder);
        QFETCH(QString, expectedFolder);
        QTemporaryDir dir;
        const QString release = dir.filePath("release");
        const QString out = dir.filePath("out");
        // An installation copied as a release brings its stale list along.
        QVERIFY(writeTree(release, {{"a.txt", "a\n"}, {"sub/b.txt", "b\n"}, {"md5.txt", "stale\t/a.txt\n"}}));
        const auto result = publish(release, out, "3.1", folder);
        QVERIFY2(result.exitCode == 0, qPrintable(result.output));

        QSettings ini(out + "/update.ini", QSettings::IniFormat);
        QCOMPARE(ini.value("Version/Version").toString(), QStringLiteral("3.1"));
        QCOMPARE(ini.value("Version/Folder").toString(), expectedFolder);
        const QString target = out + "/" + expectedFolder;
        QCOMPARE(readFile(target + "/md5.txt"),
                 QByteArray("60b725f10c9c85c70d97880dfe8191b3\t/a.txt\n3b5d5c3712955042212316173ccf37be\t/sub/b.txt\n"));
        QCOMPARE(HttpInstallation::tree(out),
                 (QStringList{"/" + expectedFolder + "/a.txt", "/" + expectedFolder + "/md5.txt",
                              "/" + expectedFolder + "/sub/b.txt", "/update.ini"}));
        QCOMPARE(readFile(target + "/sub/b.txt"), QByteArray("b\n"));
    }

    void refuses_data()
    {
        QTest::addColumn<QStringList>("arguments"); // after RELEASE_DIR OUT_DIR
        QTest::addColumn<int>("exitCode");
        QTest::newRow("no version") << QStringList() << 1;
        QTest::newRow("parent folder") << QStringList{"--version", "1", "--folder", "../x"} << 1;
        QTest::newRow("absolute folder") << QStringList{"--version", "1", "--folder", "/x"} << 1;
        QTest::newRow("folder already used") << QStringList{"--version", "1", "--folder", "used"} << 2;
    }

    void refuses()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QTemporaryDir dir;
        QVERIFY(writeTree(dir.filePath("release"), {{"a.txt", "a\n"}}));
        QVERIFY(writeTree(dir.filePath("out"), {{"used/keep.txt", "keep\n"}}));
        const QStringList before = HttpInstallation::tree(dir.path());
        QProcess process;
        process.start(QStringLiteral(UPDATE_PUBLISH_PATH), QStringList{dir.filePath("release"), dir.filePath("out")} + arguments);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), exitCode);
        QCOMPARE(HttpInstallation::tree(dir.path()), before);
    }
};

QTEST_GUILESS_MAIN(TestUpdatePublish)
#include "tst_updatepublish.moc"
