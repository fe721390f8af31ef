#include "fileops/releasemanifest.h"

#include "common/publishedrelease.h"

#include <QTemporaryDir>
#include <QtTest>

using PublishedRelease::FileTree;
using PublishedRelease::writeTree;

Q_DECLARE_METATYPE(VersionOrder)

namespace {
// SHA-256 of "a\n", "b\n" and of nothing.
const QByteArray ShaA = "87428fc522803d31065e7bce3cf03fe475096631e5e07bbd7a0fde60c4cf25c7";
const QByteArray ShaB = "0263829989b6fd954f72baaf2fc64bc2e2f01d692d4de72986ea808f6e99813f";
const QByteArray ShaEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const QByteArray Head = "update-release-manifest 1\nversion 1.1.0\nfolder 1.1.0\n";

// The release every check_data row is measured against.
const FileTree Release{{"a.txt", "a\n"},         {"bin/b.dll", "b\n"},       {"empty.bin", ""},
                       {"update.ini", "[V]\n"},  {"update.exe", "exe 1.1"},  {"数据/read me.txt", "r"}};
} // namespace

// The manifest's text form, building it from a directory, and checking downloads against it.
class TestReleaseManifest : public QObject
{
    Q_OBJECT

private slots:
    void writesTheDocumentedForm()
    {
        QTemporaryDir dir;
        // Hidden files are listed; the manifest's own files and the excluded md5.txt are not, but
        // only at the top.
        QVERIFY(writeTree(dir.path(), {{"a.txt", "a\n"}, {"sub dir/数据 .txt", "b\n"}, {".hidden", ""},
                                       {"release.manifest", "old"}, {"release.manifest.minisig", "old"},
                                       {"md5.txt", "x"}, {"sub/md5.txt", "b\n"}}));
        ReleaseManifest manifest;
        QString error;
        QVERIFY2(ReleaseManifest::fromDirectory(dir.path() + "/", "1.1.0", "1.1.0", {"md5.txt"}, &manifest, &error),
                 qPrintable(error));
        const QByteArray expected = Head + "file " + ShaEmpty + " 0 /.hidden\n" + "file " + ShaA + " 2 /a.txt\n"
            + "file " + ShaB + " 2 /sub dir/数据 .txt\n" + "file " + ShaB + " 2 /sub/md5.txt\n";
        QCOMPARE(manifest.toText(), expected);

        ReleaseManifest parsed;
        QVERIFY2(ReleaseManifest::parse(expected, &parsed, &error), qPrintable(error));
        QCOMPARE(parsed.version(), QStringLiteral("1.1.0"));
        QCOMPARE(parsed.files(), manifest.files());
        QCOMPARE(parsed.toText(), expected);
    }

    void fromDirectoryRefusesLinks()
    {
#ifdef Q_OS_WIN
        QSKIP("QFile::link makes a .lnk shortcut on Windows, and Wine makes no symbolic links");
#endif
        QTemporaryDir dir;
        QVERIFY(writeTree(dir.path(), {{"a.txt", "a\n"}}));
        QVERIFY(QFile::link(dir.filePath("a.txt"), dir.filePath("link.txt")));
        ReleaseManifest manifest;
        QString error;
        QVERIFY(!ReleaseManifest::fromDirectory(dir.path(), "1", "1", {}, &manifest, &error));
        QVERIFY2(error.contains("link.txt is not a regular file"), qPrintable(error));
    }

    void parse_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error"); // part of the message; empty when it must parse
        const QByteArray a = "file " + ShaA + " 2 ";
        QTest::newRow("no files") << Head << "";
        QTest::newRow("blanks and non-ASCII in paths") << Head + a + "/a b/数据 c\n" << "";
        QTest::newRow("any order") << Head + a + "/b\n" + a + "/a\n" << "";
        QTest::newRow("own names below the top") << Head + a + "/sub/release.manifest\n" << "";
        QTest::newRow("empty") << QByteArray() << "empty";
        QTest::newRow("byte order mark") << "\xEF\xBB\xBF" + Head << "byte order mark";
        QTest::newRow("NUL byte") << Head + a + QByteArray("/a\0b\n", 5) << "NUL";
        QTest::newRow("invalid UTF-8") << Head + a + "/\xC3(\n" << "not valid UTF-8";
        QTest::newRow("no final line feed") << Head + a + "/a" << "does not end with a line feed";
        QTest::newRow("CR LF") << QByteArray(Head).replace("\n", "\r\n") << "line 1: carriage return";
        QTest::newRow("empty line") << Head + "\n" + a + "/a\n" << "line 4: empty line";
        QTest::newRow("other format") << QByteArray(Head).replace(" 1\n", " 2\n") << "line 1: not a release manifest";
        QTest::newRow("folder before version") << QByteArray("update-release-manifest 1\nfolder 1\nversion 1\n") << "line 2";
        QTest::newRow("no folder") << QByteArray("update-release-manifest 1\nversion 1\n") << "line 3";
        QTest::newRow("empty version") << QByteArray(Head).replace("version 1.1.0", "version ") << "line 2: unusable version";
        QTest::newRow("version ends with blank") << QByteArray(Head).replace("1.1.0\nf", "1.1.0 \nf") << "line 2";
        QTest::newRow("version with tab") << QByteArray(Head).replace("version 1.1.0", "version 1\t1") << "line 2";
        QTest::newRow("escaping folder") << QByteArray(Head).replace("folder 1.1.0", "folder ../x") << "line 3: unusable folder";
        QTest::newRow("unknown keyword") << Head + "size 1 /a\n" << "line 4: expected \"file ...\"";
        QTest::newRow("upper-case digest") << Head + "file " + ShaA.toUpper() + " 2 /a\n" << "line 4";
        QTest::newRow("short digest") << Head + "file " + ShaA.left(63) + " 2 /a\n" << "line 4";
        QTest::newRow("negative size") << Head + "file " + ShaA + " -2 /a\n" << "line 4: the size";
        QTest::newRow("size with leading zero") << Head + "file " + ShaA + " 02 /a\n" << "line 4: the size";
        QTest::newRow("size in exponent form") << Head + "file " + ShaA + " 2e0 /a\n" << "line 4: the size";
        QTest::newRow("size of 19 digits") << Head + "file " + ShaA + " 1000000000000000000 /a\n" << "line 4: the size";
        QTest::newRow("no path") << Head + "file " + ShaA + " 2\n" << "line 4";
        QTest::newRow("two blanks before the path") << Head + a + " /a\n" << "line 4: unsafe path";
        QTest::newRow("relative path") << Head + a + "a.txt\n" << "unsafe path";
        QTest::newRow("parent component") << Head + a + "/bin/../../x\n" << "unsafe path";
        QTest::newRow("double slash") << Head + a + "//x\n" << "unsafe path";
        QTest::newRow("backslash") << Head + a + "/..\\x\n" << "unsafe path";
        QTest::newRow("drive letter") << Head + a + "/C:/x\n" << "unsafe path";
        QTest::newRow("control character") << Head + a + "/a\tb\n" << "unsafe path";
        QTest::newRow("lists itself") << Head + a + "/release.manifest\n" << "cannot list /release.manifest";
        QTest::newRow("lists its signature") << Head + a + "/release.manifest.minisig\n" << "cannot list";
        QTest::newRow("path twice") << Head + a + "/a\n" + "file " + ShaB + " 2 /a\n" << "line 5: /a is listed twice";
    }

    void parse()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        ReleaseManifest manifest(QStringLiteral("untouched"), QStringLiteral("x"));
        QString why;
        const bool ok = ReleaseManifest::parse(text, &manifest, &why);
        QVERIFY2(ok == error.isEmpty(), qPrintable(why));
        if (ok) {
            QCOMPARE(manifest.version(), QStringLiteral("1.1.0"));
            QCOMPARE(manifest.files().size(), text.count('\n') - 3);
        } else {
            QVERIFY2(why.contains(error), qPrintable(why));
            QCOMPARE(manifest.version(), QStringLiteral("untouched"));
        }
    }

    void checkDownload_data()
    {
        QTest::addColumn<FileTree>("download");
        QTest::addColumn<FileTree>("installed");
        QTest::addColumn<QStringList>("ignored");
        QTest::addColumn<QString>("expected"); // errorText(), empty when the download is accepted
        FileTree signedRelease = Release;
        signedRelease.insert("release.manifest", "m");
        signedRelease.insert("release.manifest.minisig", "s");
        FileTree installedOld{{"a.txt", "a 1.0\n"}, {"bin/b.dll", "b\n"}, {"empty.bin", ""}, {"update/update.ini", "[V]\n"},
                              {"update.exe", "exe 1.1"}, {"数据/read me.txt", "r"}};
        auto with = [](FileTree tree, const QString &path, const QByteArray &content) {
            tree.insert(path, content);
            return tree;
        };
        auto without = [](FileTree tree, const QString &path) {
            tree.remove(path);
            return tree;
        };
        QTest::newRow("whole release downloaded") << signedRelease << FileTree() << QStringList() << "";
        QTest::newRow("unchanged files taken from the installation") << FileTree{{"a.txt", "a\n"}} << installedOld
                                                                     << QStringList() << "";
        QTest::newRow("nothing downloaded, all installed")
            << FileTree() << with(installedOld, "a.txt", "a\n") << QStringList() << "";
        QTest::newRow("absent and installed differently") << FileTree() << installedOld << QStringList()
                                                          << "file missing: /a.txt";
        QTest::newRow("absent, installed with same size") << without(Release, "bin/b.dll") << FileTree{{"bin/b.dll", "c\n"}}
                                                          << QStringList() << "file missing: /bin/b.dll";
        QTest::newRow("absent and not installed") << without(Release, "empty.bin") << FileTree() << QStringList()
                                                  << "file missing: /empty.bin";
        QTest::newRow("update.ini installed at the top, not in update/")
            << without(Release, "update.ini") << FileTree{{"update.ini", "[V]\n"}} << QStringList()
            << "file missing: /update.ini";
        QTest::newRow("one byte changed") << with(signedRelease, "bin/b.dll", "c\n") << FileTree() << QStringList()
                                          << "file does not match manifest: /bin/b.dll";
        QTest::newRow("byte appended") << with(Release, "数据/read me.txt", "r\n") << FileTree() << QStringList()
                                       << "file does not match manifest: /数据/read me.txt";
        QTest::newRow("empty file filled") << with(Release, "empty.bin", "x") << FileTree() << QStringList()
                                           << "file does not match manifest: /empty.bin";
        QTest::newRow("new updater changed") << with(Release, "update.exe", "exe 6.6") << FileTree() << QStringList()
                                             << "file does not match manifest: /update.exe";
        QTest::newRow("file added") << with(Release, "bin/extra.dll", "b\n") << FileTree() << QStringList()
                                    << "file not in manifest: /bin/extra.dll";
        QTest::newRow("hidden file added") << with(Release, ".profile", "") << FileTree() << QStringList()
                                           << "file not in manifest: /.profile";
        QTest::newRow("name differs in case") << with(without(Release, "a.txt"), "A.txt", "a\n") << installedOld
                                              << QStringList() << "file not in manifest: /A.txt";
        QTest::newRow("manifest name below the top") << with(Release, "bin/release.manifest", "m") << FileTree()
                                                     << QStringList() << "file not in manifest: /bin/release.manifest";
        QTest::newRow("md5.txt at the top") << with(Release, "md5.txt", "x") << FileTree() << QStringList()
                                            << "file not in manifest: /md5.txt";
        QTest::newRow("md5.txt ignored on request") << with(Release, "md5.txt", "x") << FileTree()
                                                    << QStringList{"md5.txt"} << "";
        QTest::newRow("unknown file reported before a changed one")
            << with(with(Release, "a.txt", "z\n"), "zz.dll", "") << FileTree() << QStringList()
            << "file not in manifest: /zz.dll";
    }

    void checkDownload()
    {
        QFETCH(FileTree, download);
        QFETCH(FileTree, installed);
        QFETCH(QStringList, ignored);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        ReleaseManifest manifest;
        QString error;
        QVERIFY(writeTree(dir.filePath("release"), Release));
        QVERIFY2(ReleaseManifest::fromDirectory(dir.filePath("release"), "1.1", "1.1", {}, &manifest, &error), qPrintable(error));
        QDir().mkpath(dir.filePath("app/temp"));
        QVERIFY(writeTree(dir.filePath("app/temp"), download));
        QVERIFY(writeTree(dir.filePath("app"), installed));

        const ManifestCheckResult result = manifest.checkDownload(dir.filePath("app/temp"), dir.filePath("app") + "/", ignored);
        QCOMPARE(result.errorText(), expected);
        QCOMPARE(result.ok(), expected.isEmpty());
        if (result.ok()) {
            QCOMPARE(result.checkedFiles, int(download.size() - ignored.size() - (download.contains("release.manifest") ? 2 : 0)));
        } else {
            QVERIFY(!result.detail.isEmpty());
        }
    }

    void checkRefusesLinks()
    {
#ifdef Q_OS_WIN
        QSKIP("QFile::link makes a .lnk shortcut on Windows, and Wine makes no symbolic links");
#endif
        QTemporaryDir dir;
        QVERIFY(writeTree(dir.filePath("temp"), {{"a.txt", "a\n"}}));
        ReleaseManifest manifest;
        QString error;
        QVERIFY(ReleaseManifest::fromDirectory(dir.filePath("temp"), "1", "1", {}, &manifest, &error));
        QVERIFY(manifest.checkDownload(dir.filePath("temp"), QString()).ok());
        QVERIFY(QFile::link(dir.filePath("temp/a.txt"), dir.filePath("temp/b.txt")));
        QCOMPARE(manifest.checkDownload(dir.filePath("temp"), QString()).errorText(), QStringLiteral("not a regular file: /b.txt"));
    }

    void checkWithoutInstallationNeedsEveryFile()
    {
        QTemporaryDir dir;
        QVERIFY(writeTree(dir.filePath("temp"), {{"a.txt", "a\n"}}));
        ReleaseManifest manifest;
        QString error;
        QVERIFY(ReleaseManifest::fromDirectory(dir.filePath("temp"), "1", "1", {}, &manifest, &error));
        QVERIFY(manifest.checkDownload(dir.filePath("temp"), QString()).ok());
        // Without an installation directory nothing may be absent from the download.
        QVERIFY(QFile::remove(dir.filePath("temp/a.txt")));
        QCOMPARE(manifest.checkDownload(dir.filePath("temp"), QString()).errorText(), QStringLiteral("file missing: /a.txt"));
    }

    void compareVersions_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("other");
        QTest::addColumn<VersionOrder>("order");
        QTest::newRow("1.10 > 1.9") << "1.10" << "1.9" << VersionOrder::Higher;
        QTest::newRow("1.9 < 1.10") << "1.9" << "1.10" << VersionOrder::Lower;
        QTest::newRow("equal texts") << "1.1.0" << "1.1.0" << VersionOrder::Equal;
        QTest::newRow("missing component is 0") << "1.2" << "1.2.0" << VersionOrder::Equal;
        QTest::newRow("extra component higher") << "1.2.1" << "1.2" << VersionOrder::Higher;
        QTest::newRow("leading zeros") << "01.002" << "1.2" << VersionOrder::Equal;
        QTest::newRow("longer than 64 bits") << "1.100000000000000000000" << "1.99999999999999999999" << VersionOrder::Higher;
        QTest::newRow("decided before a suffix") << "2.0-beta" << "1.9" << VersionOrder::Higher;
        QTest::newRow("equal suffixes") << "1.0-rc1.2" << "1.0-rc1.1" << VersionOrder::Higher;
        QTest::newRow("suffix against number") << "1.0-beta" << "1.0" << VersionOrder::Incomparable;
        QTest::newRow("two suffixes") << "1.2a" << "1.2b" << VersionOrder::Incomparable;
        QTest::newRow("empty component") << "1..2" << "1.1.2" << VersionOrder::Incomparable;
        QTest::newRow("blank not trimmed") << " 1.2" << "1.1" << VersionOrder::Incomparable;
        QTest::newRow("empty") << "" << "1" << VersionOrder::Incomparable;
        QTest::newRow("both empty") << "" << "" << VersionOrder::Incomparable;
        QTest::newRow("non-ASCII digits") << "1.٣" << "1.2" << VersionOrder::Incomparable;
    }

    void compareVersions()
    {
        QFETCH(QString, version);
        QFETCH(QString, other);
        QFETCH(VersionOrder, order);
        QCOMPARE(::compareVersions(version, other), order);
    }
};

QTEST_GUILESS_MAIN(TestReleaseManifest)
#include "tst_releasemanifest.moc"
