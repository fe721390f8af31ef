#include "fileops/md5list.h"

#include "common/httpinstallation.h"
#include "common/publishedrelease.h"

#include <QSettings>
#include <QTextCodec>
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
                 PublishedRelease::listText("60b725f10c9c85c70d97880dfe8191b3\t/a.txt\n3b5d5c3712955042212316173ccf37be\t/sub/b.txt\n"));
        QCOMPARE(HttpInstallation::tree(out),
                 (QStringList{"/" + expectedFolder + "/a.txt", "/" + expectedFolder + "/md5.txt",
                              "/" + expectedFolder + "/sub/b.txt", "/update.ini"}));
        QCOMPARE(readFile(target + "/sub/b.txt"), QByteArray("b\n"));
    }

    // The list is written in the code page its Windows clients read; only the path bytes differ.
    void listEncoding_data()
    {
        QTest::addColumn<QStringList>("extra"); // after RELEASE_DIR OUT_DIR
        QTest::addColumn<QByteArray>("encoding");
        QTest::newRow("default: GBK") << QStringList{"--version", "2.0"} << QByteArray("GBK");
        QTest::newRow("GB18030") << QStringList{"--version", "2.0", "--encoding", "GB18030"} << QByteArray("GB18030");
        QTest::newRow("UTF-8") << QStringList{"--version", "2.0", "--encoding", "UTF-8"} << QByteArray("UTF-8");
        QTest::newRow("Big5") << QStringList{"--version", "2.0", "--encoding", "Big5"} << QByteArray("Big5");
    }

    void listEncoding()
    {
        QFETCH(QStringList, extra);
        QFETCH(QByteArray, encoding);
        QTemporaryDir dir;
        const QString release = dir.filePath("release");
        const QString out = dir.filePath("out");
        const QString path = QStringLiteral("/插件 目錄/說明.txt"); // traditional characters, which GBK holds as well
        QVERIFY(writeTree(release, {{path.mid(1), "a\n"}, {"plain.txt", "b\n"}}));
        const auto result = PublishedRelease::run(QStringList{release, out} + extra);
        QVERIFY2(result.exitCode == 0, qPrintable(result.output));
        QTextCodec *codec = QTextCodec::codecForName(encoding);
        QVERIFY(codec);
        const QByteArray expected = "3b5d5c3712955042212316173ccf37be\t/plain.txt\n"
                                    "60b725f10c9c85c70d97880dfe8191b3\t" + codec->fromUnicode(path) + "\n";
        QCOMPARE(readFile(out + "/2.0/md5.txt"), PublishedRelease::listText(expected));
        QCOMPARE(readMd5List(out + "/2.0/md5.txt", codec).keys(), (QStringList{"/plain.txt", path}));
        QCOMPARE(readFile(out + "/2.0" + path), QByteArray("a\n"));
    }

    // A release that a Windows client would refuse (or could not even name) is not published.
    void refusesRelease_data()
    {
        QTest::addColumn<FileTree>("files");
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<QString>("message");
        QTest::newRow("device name") << FileTree{{"a.txt", "a"}, {"bin/aux.dll", "x"}} << QStringList()
                                     << "the file name /bin/aux.dll cannot be published";
        QTest::newRow("trailing blank") << FileTree{{"a.txt", "a"}, {"bin /x.dll", "x"}} << QStringList()
                                        << "the file name /bin /x.dll cannot be published";
        QTest::newRow("case twins") << FileTree{{"Bin/a.dll", "a"}, {"bin/a.dll", "x"}} << QStringList()
                                    << "the file name /bin/a.dll differs from another one only in letter case";
        QTest::newRow("name outside the encoding")
            << FileTree{{"a.txt", "a"}, {QStringLiteral("说明.txt"), "x"}} << QStringList{"--encoding", "windows-1252"}
            << QStringLiteral("the file name /说明.txt cannot be written in windows-1252");
    }

    void refusesRelease()
    {
        QFETCH(FileTree, files);
        QFETCH(QStringList, extra);
        QFETCH(QString, message);
#ifdef Q_OS_WIN
        if (QString(QTest::currentDataTag()) != QLatin1String("name outside the encoding"))
            QSKIP("Windows cannot create such a release tree in the first place");
#endif
        QTemporaryDir dir;
        QVERIFY(writeTree(dir.filePath("release"), files));
        const QStringList before = HttpInstallation::tree(dir.path());
        const auto result = publish(dir.filePath("release"), dir.filePath("out"), "2.0", QString(), extra);
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.output.contains(message), qPrintable(result.output));
        QCOMPARE(HttpInstallation::tree(dir.path()), before);
    }

    void refuses_data()
    {
        QTest::addColumn<QStringList>("arguments"); // after RELEASE_DIR OUT_DIR
        QTest::addColumn<int>("exitCode");
        QTest::newRow("no version") << QStringList() << 1;
        QTest::newRow("parent folder") << QStringList{"--version", "1", "--folder", "../x"} << 1;
        QTest::newRow("absolute folder") << QStringList{"--version", "1", "--folder", "/x"} << 1;
        QTest::newRow("folder already used") << QStringList{"--version", "1", "--folder", "used"} << 2;
        QTest::newRow("unknown encoding") << QStringList{"--version", "1", "--encoding", "no-such-code"} << 1;
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
