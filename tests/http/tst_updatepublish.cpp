#include "fileops/md5list.h"
#include "fileops/releasemanifest.h"

#include "common/installation.h"
#include "common/minisigntool.h"
#include "common/publishedrelease.h"

#include <QSettings>
#include <QTextCodec>
#include <QtTest>

using PublishedRelease::FileTree;
using PublishedRelease::publish;
using PublishedRelease::readFile;
using PublishedRelease::writeFile;
using PublishedRelease::writeTree;

namespace {

// update-publish with the arguments; password, when not null, is put into UPDATE_SIGN_PASSWORD.
PublishedRelease::Result run(const QStringList &arguments, const QByteArray &password = QByteArray())
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("UPDATE_SIGN_PASSWORD"));
    if (!password.isNull())
        environment.insert(QStringLiteral("UPDATE_SIGN_PASSWORD"), QString::fromUtf8(password));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(UPDATE_PUBLISH_PATH), arguments);
    PublishedRelease::Result result;
    if (process.waitForFinished(MinisignTool::TimeoutMs) && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    result.output = QString::fromUtf8(process.readAll());
    return result;
}

const FileTree SignedRelease{{"a.txt", "a\n"}, {"数 据/c d.txt", "c\n"}, {"md5.txt", "stale"},
                             {"release.manifest", "stale"}, {"release.manifest.minisig", "stale"}};

} // namespace

// The publishing tool on real release trees, signing with keys made by the real minisign.
class TestUpdatePublish : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_keys;
    MinisignTool::KeyPair m_plain;
    MinisignTool::KeyPair m_other;
    MinisignTool::KeyPair m_protected;

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(MinisignTool::generate(m_keys.path(), "plain", QByteArray(), &m_plain, &error), qPrintable(error));
        QVERIFY2(MinisignTool::generate(m_keys.path(), "other", QByteArray(), &m_other, &error), qPrintable(error));
        QVERIFY2(MinisignTool::generate(m_keys.path(), "protected", "geheim 密码", &m_protected, &error), qPrintable(error));
    }

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
        // An installation copied as a release brings its stale list (and manifest) along.
        QVERIFY(writeTree(release, {{"a.txt", "a\n"}, {"sub/b.txt", "b\n"}, {"md5.txt", "stale\t/a.txt\n"},
                                    {"release.manifest", "stale"}}));
        const auto result = publish(release, out, "3.1", folder);
        QVERIFY2(result.exitCode == 0, qPrintable(result.output));

        QSettings ini(out + "/update.ini", QSettings::IniFormat);
        QCOMPARE(ini.value("Version/Version").toString(), QStringLiteral("3.1"));
        QCOMPARE(ini.value("Version/Folder").toString(), expectedFolder);
        const QString target = out + "/" + expectedFolder;
        QCOMPARE(readFile(target + "/md5.txt"),
                 PublishedRelease::listText("60b725f10c9c85c70d97880dfe8191b3\t/a.txt\n3b5d5c3712955042212316173ccf37be\t/sub/b.txt\n"));
        QCOMPARE(TestInstallation::tree(out),
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
        const QStringList before = TestInstallation::tree(dir.path());
        const auto result = publish(dir.filePath("release"), dir.filePath("out"), "2.0", QString(), extra);
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.output.contains(message), qPrintable(result.output));
        QCOMPARE(TestInstallation::tree(dir.path()), before);
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
        const QStringList before = TestInstallation::tree(dir.path());
        QProcess process;
        process.start(QStringLiteral(UPDATE_PUBLISH_PATH), QStringList{dir.filePath("release"), dir.filePath("out")} + arguments);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), exitCode);
        QCOMPARE(TestInstallation::tree(dir.path()), before);
    }

    void signedRelease_data()
    {
        QTest::addColumn<bool>("protectedKey");
        QTest::addColumn<QString>("password"); // "env", "file" or "" (none)
        QTest::addColumn<bool>("tcp");
        QTest::newRow("plain key, HTTP layout") << false << "" << false;
        QTest::newRow("plain key, TCP layout") << false << "" << true;
        QTest::newRow("password from the environment") << true << "env" << false;
        QTest::newRow("password from a file") << true << "file" << true;
    }

    void signedRelease()
    {
        QFETCH(bool, protectedKey);
        QFETCH(QString, password);
        QFETCH(bool, tcp);
        const MinisignTool::KeyPair &key = protectedKey ? m_protected : m_plain;
        QTemporaryDir dir;
        QVERIFY(writeTree(dir.filePath("release"), SignedRelease));
        QVERIFY(writeFile(dir.filePath("password"), key.password + "\n"));
        QStringList arguments{dir.filePath("release"), dir.filePath("out"), "--version", "1.1.0", "--sign", key.secretKeyFile};
        if (password == "file")
            arguments << "--password-file" << dir.filePath("password");
        if (tcp)
            arguments << "--tcp";
        const auto published = run(arguments, password == "env" ? key.password : QByteArray());
        QVERIFY2(published.exitCode == 0, qPrintable(published.output));

        const QString prefix = tcp ? "" : "/1.1.0";
        QStringList expected{prefix + "/a.txt", prefix + "/release.manifest", prefix + "/release.manifest.minisig",
                             prefix + "/数 据/c d.txt"};
        if (!tcp)
            expected << "/1.1.0/md5.txt" << "/update.ini";
        expected.sort();
        QCOMPARE(TestInstallation::tree(dir.filePath("out")), expected);

        // minisign itself accepts the signature, and the manifest names exactly the release's files.
        const QString folder = dir.filePath("out") + prefix;
        const auto verified = MinisignTool::verify(key.publicKeyFile, folder + "/release.manifest",
                                                   folder + "/release.manifest.minisig");
        QVERIFY2(verified.exitCode == 0, qPrintable(verified.output));
        QVERIFY2(verified.output.contains("Trusted comment: version:1.1.0\tfolder:1.1.0\ttime:"), qPrintable(verified.output));
        ReleaseManifest manifest;
        QString error;
        QVERIFY2(ReleaseManifest::parse(readFile(folder + "/release.manifest"), &manifest, &error), qPrintable(error));
        QCOMPARE(manifest.files().keys(), (QStringList{"/a.txt", "/数 据/c d.txt"}));
        // The list is in GBK, the code page of the Windows clients, unless --encoding says otherwise.
        if (!tcp)
            QCOMPARE(readMd5List(folder + "/md5.txt", QTextCodec::codecForName("GBK")).keys(),
                     (QStringList{"/a.txt", "/release.manifest", "/release.manifest.minisig", "/数 据/c d.txt"}));

        const auto checked = run({"--verify", key.publicKeyFile, dir.filePath("out")});
        QVERIFY2(checked.exitCode == 0, qPrintable(checked.output));
        QVERIFY2(checked.output.contains("verified version 1.1.0 (folder 1.1.0): 2 files, signed by key " + key.keyId),
                 qPrintable(checked.output));
    }

    void verifyRefuses_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("message");
        QTest::newRow("key of another publisher") << "other key" << "signature made by an unknown key";
        QTest::newRow("unsigned release") << "unsigned" << "release not signed";
        QTest::newRow("one byte changed in a file") << "change a.txt" << "file does not match manifest: /a.txt";
        QTest::newRow("file added") << "add bin/x.dll" << "file not in manifest: /bin/x.dll";
        QTest::newRow("file removed") << "remove a.txt" << "file missing: /a.txt";
        QTest::newRow("manifest edited after signing") << "edit manifest" << "signature invalid";
        QTest::newRow("trusted comment edited") << "edit comment" << "trusted comment signature invalid";
        QTest::newRow("update.ini announces another version") << "announce 9.9" << "the manifest is of version 1.1.0, not 9.9";
        QTest::newRow("md5.txt without the manifest") << "old md5" << "md5.txt does not list /release.manifest";
        QTest::newRow("TCP release of another version") << "tcp 2.0" << "the manifest is of version 1.1.0, not 2.0";
    }

    void verifyRefuses()
    {
        QFETCH(QString, change);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString out = dir.filePath("out");
        const bool tcp = change.startsWith("tcp");
        QVERIFY(writeTree(dir.filePath("release"), {{"a.txt", "a\n"}, {"bin/b.dll", "b\n"}}));
        QStringList arguments{dir.filePath("release"), out, "--version", "1.1.0"};
        if (change != "unsigned")
            arguments << "--sign" << m_plain.secretKeyFile;
        if (tcp)
            arguments << "--tcp";
        QCOMPARE(run(arguments).exitCode, 0);

        const QString folder = tcp ? out : out + "/1.1.0";
        const QByteArray manifest = readFile(folder + "/release.manifest");
        const QByteArray signature = readFile(folder + "/release.manifest.minisig");
        if (change == "change a.txt")
            QVERIFY(writeFile(folder + "/a.txt", "A\n"));
        else if (change == "add bin/x.dll")
            QVERIFY(writeFile(folder + "/bin/x.dll", ""));
        else if (change == "remove a.txt")
            QVERIFY(QFile::remove(folder + "/a.txt"));
        else if (change == "edit manifest")
            QVERIFY(writeFile(folder + "/release.manifest", QByteArray(manifest).replace(" 2 /a.txt", " 2 /b.txt")));
        else if (change == "edit comment")
            QVERIFY(writeFile(folder + "/release.manifest.minisig", QByteArray(signature).replace("version:1.1.0", "version:1.2.0")));
        else if (change == "announce 9.9")
            QVERIFY(writeFile(out + "/update.ini", "[Version]\nVersion=9.9\nFolder=1.1.0\n"));
        else if (change == "old md5")
            QVERIFY(writeFile(folder + "/md5.txt", "60b725f10c9c85c70d97880dfe8191b3\t/a.txt\n3b5d5c3712955042212316173ccf37be\t/bin/b.dll\n"));
        const QStringList extra = tcp ? QStringList{"--version", "2.0"} : QStringList();

        const auto checked = run(QStringList{"--verify", change == "other key" ? m_other.publicKey : m_plain.publicKey, out} + extra);
        QCOMPARE(checked.exitCode, 3);
        QVERIFY2(checked.output.contains(message), qPrintable(checked.output));
    }

    void signingRefusals_data()
    {
        QTest::addColumn<QString>("key"); // plain, protected, public, missing
        QTest::addColumn<QByteArray>("password"); // null: UPDATE_SIGN_PASSWORD unset
        QTest::addColumn<QString>("message");
        QTest::newRow("protected key without password") << "protected" << QByteArray() << "is password-protected: set UPDATE_SIGN_PASSWORD";
        QTest::newRow("wrong password") << "protected" << QByteArray("wrong") << "wrong password";
        QTest::newRow("public key given") << "public" << QByteArray() << "malformed secret key file";
        QTest::newRow("no key file") << "missing" << QByteArray() << "cannot read the secret key";
        QTest::newRow("version ending with a blank") << "plain" << QByteArray() << "a signed version or folder";
    }

    void signingRefusals()
    {
        QFETCH(QString, key);
        QFETCH(QByteArray, password);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QVERIFY(writeTree(dir.filePath("release"), {{"a.txt", "a\n"}}));
        const QStringList before = TestInstallation::tree(dir.path());
        const QString keyFile = key == "protected" ? m_protected.secretKeyFile
            : key == "plain"                       ? m_plain.secretKeyFile
            : key == "public"                      ? m_plain.publicKeyFile
                                                   : dir.filePath("none.key");
        const QString version = key == "plain" ? "1.1.0 " : "1.1.0";
        const auto result = run({dir.filePath("release"), dir.filePath("out"), "--version", version, "--folder", "v",
                                 "--sign", keyFile},
                                password);
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.output.contains(message), qPrintable(result.output));
        QCOMPARE(TestInstallation::tree(dir.path()), before);
        QVERIFY(!QFileInfo::exists(dir.filePath("out")));
    }
};

QTEST_GUILESS_MAIN(TestUpdatePublish)
#include "tst_updatepublish.moc"
