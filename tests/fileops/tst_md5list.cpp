#include "fileops/md5list.h"

#include "common/publishedrelease.h"

#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <unistd.h>
#endif

using PublishedRelease::FileTree;
using PublishedRelease::readFile;
using PublishedRelease::writeTree;

namespace {
// MD5 of "a\n", "b\n" and of nothing.
const QString DigestA = QStringLiteral("60b725f10c9c85c70d97880dfe8191b3");
const QString DigestB = QStringLiteral("3b5d5c3712955042212316173ccf37be");
const QString DigestEmpty = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");
} // namespace

// Generates, reads and compares MD5 lists of real directory trees.
class TestMd5List : public QObject
{
    Q_OBJECT

private slots:
    void generate_data()
    {
        QTest::addColumn<FileTree>("files");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("two files") << FileTree{{"a.txt", "a\n"}, {"sub/b.txt", "b\n"}}
                                   << (DigestA + "\t/a.txt\n" + DigestB + "\t/sub/b.txt\n").toUtf8();
        QTest::newRow("empty directory") << FileTree{} << QByteArray();
        QTest::newRow("empty file, deep tree") << FileTree{{"x/y/z/e.bin", ""}} << (DigestEmpty + "\t/x/y/z/e.bin\n").toUtf8();
        QTest::newRow("upper case sorts first") << FileTree{{"a.dll", "a\n"}, {"B.dll", "b\n"}}
                                                << (DigestB + "\t/B.dll\n" + DigestA + "\t/a.dll\n").toUtf8();
        QTest::newRow("old list is listed, hidden file is not")
            << FileTree{{"md5.txt", "a\n"}, {".hidden", "b\n"}} << (DigestA + "\t/md5.txt\n").toUtf8();
    }

    void generate()
    {
        QFETCH(FileTree, files);
        QFETCH(QByteArray, expected);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QDir().mkpath(dir.path() + "/emptydir");
        QVERIFY(writeTree(dir.path(), files));
        Md5ListGenerator(dir.path() + "/").generate();
        QCOMPARE(readFile(dir.filePath("md5.txt")), PublishedRelease::listText(expected));
    }

    void linksAndDevicesAreNotFollowed()
    {
#ifdef Q_OS_WIN
        QSKIP("QFile::link makes .lnk shortcuts on Windows, and there is no /dev/zero");
#endif
        QTemporaryDir dir;
        QVERIFY(writeTree(dir.path(), {{"a.txt", "a\n"}}));
        QVERIFY(QFile::link(dir.path(), dir.filePath("loop")));
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), dir.filePath("zero")));
        QVERIFY(QFile::link(dir.filePath("a.txt"), dir.filePath("link.txt")));
        Md5ListGenerator(dir.path() + "/").generate();
        QCOMPARE(readFile(dir.filePath("md5.txt")), (DigestA + "\t/a.txt\n" + DigestA + "\t/link.txt\n").toUtf8());
    }

    void unreadableFileGetsEmptyDigest()
    {
        QTemporaryDir dir;
        QVERIFY(writeTree(dir.path(), {{"locked.bin", "x"}}));
#ifdef Q_OS_WIN
        // Opened without sharing, as a program that locks its file does: nobody else can read it.
        const HANDLE lock = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(dir.filePath("locked.bin")).utf16()),
                                        GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        QVERIFY(lock != INVALID_HANDLE_VALUE);
        Md5ListGenerator(dir.path() + "/").generate();
        CloseHandle(lock);
#else
        if (geteuid() == 0)
            QSKIP("root reads files whatever their permission bits say");
        QVERIFY(QFile::setPermissions(dir.filePath("locked.bin"), QFileDevice::Permissions()));
        Md5ListGenerator(dir.path() + "/").generate();
#endif
        QCOMPARE(readFile(dir.filePath("md5.txt")), PublishedRelease::listText("\t/locked.bin\n"));
    }

    void fileMd5OfMissingFileOrDirectoryIsEmpty()
    {
        QTemporaryDir dir;
        QCOMPARE(fileMd5(dir.filePath("missing")), QString());
        QCOMPARE(fileMd5(dir.path()), QString());
    }

    void writeListFailsWhereADirectoryIs()
    {
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.filePath("md5.txt")));
        QVERIFY(!writeList({{"/a", DigestA}}, dir.filePath("md5.txt")));
        Md5ListGenerator(dir.path() + "/").generate(); // must not crash, writes nothing
        QVERIFY(QFileInfo(dir.filePath("md5.txt")).isDir());
    }

    void read_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<Md5List>("expected");
        QTest::newRow("LF") << QByteArray("d1\t/a\nd2\t/b\n") << Md5List{{"/a", "d1"}, {"/b", "d2"}};
        QTest::newRow("CR LF") << QByteArray("d1\t/a\r\nd2\t/b\r\n") << Md5List{{"/a", "d1"}, {"/b", "d2"}};
        QTest::newRow("no TAB, empty line") << QByteArray("d1 /a\n\nd2\t/b") << Md5List{{"/b", "d2"}};
        QTest::newRow("extra TABs") << QByteArray("d1\t/a\tjunk\tmore\n") << Md5List{{"/a", "d1"}};
        QTest::newRow("later duplicate wins") << QByteArray("d1\t/a\nd2\t/a\n") << Md5List{{"/a", "d2"}};
        QTest::newRow("empty digest") << QByteArray("\t/a\n") << Md5List{{"/a", ""}};
        // UTF-8 on Linux, GBK on a Chinese Windows.
        QTest::newRow("path in the system's code page")
            << QByteArray("d1\t" + QTextCodec::codecForLocale()->fromUnicode(QStringLiteral("/更新.txt")) + "\n")
            << Md5List{{QStringLiteral("/更新.txt"), "d1"}};
    }

    void read()
    {
        QFETCH(QByteArray, text);
        QFETCH(Md5List, expected);
        QTemporaryDir dir;
        QVERIFY(writeTree(dir.path(), {{"list.txt", text}}));
        QCOMPARE(readMd5List(dir.filePath("list.txt")), expected);
        QCOMPARE(readMd5List(dir.filePath("missing.txt")), Md5List());
    }

    void compare_data()
    {
        QTest::addColumn<Md5List>("oldList");
        QTest::addColumn<Md5List>("newList");
        QTest::addColumn<Md5List>("expected");
        const Md5List list{{"/a", DigestA}, {"/b", DigestB}};
        QTest::newRow("same") << list << list << Md5List();
        QTest::newRow("empty old") << Md5List() << list << list;
        QTest::newRow("upper case digest") << list << Md5List{{"/a", DigestA.toUpper()}}
                                           << Md5List{{"/a", DigestA.toUpper()}};
        QTest::newRow("path case differs") << list << Md5List{{"/A", DigestA}} << Md5List{{"/A", DigestA}};
        QTest::newRow("removed file not reported") << list << Md5List{{"/b", DigestA}} << Md5List{{"/b", DigestA}};
    }

    void compare()
    {
        QFETCH(Md5List, oldList);
        QFETCH(Md5List, newList);
        QFETCH(Md5List, expected);
        QCOMPARE(compareMd5Lists(oldList, newList), expected);
    }
};

QTEST_GUILESS_MAIN(TestMd5List)
#include "tst_md5list.moc"
