#include "common/installation.h"

#include "config/systemconfig.h"
#include "fileops/filemanagermodel.h"

#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// Drives CFileManager against a temporary installation: sandbox/app is the application directory,
// sandbox/app/temp the download directory. Escapes are looked for in the whole sandbox.
class TestFileManager : public QObject
{
    Q_OBJECT

private:
    TestInstallation m_sandbox{TestInstallation::Bare};
    QString m_appDir;
    QString m_tempDir;

    void writeConfig(const QString &tempValue)
    {
        TestConfig config;
        config.temp = tempValue;
        QVERIFY(m_sandbox.configure(config));
    }

    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    QStringList sandboxFiles() const
    {
        QStringList files;
        QDirIterator it(m_sandbox.root(), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext())
            files.append(it.next());
        files.sort();
        return files;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_sandbox.isValid());
        m_appDir = m_sandbox.appDir();
        m_tempDir = m_appDir + QStringLiteral("/temp");
    }

    void init()
    {
        writeConfig("temp");
        QDir(m_tempDir).removeRecursively();
    }

    void cleanup()
    {
        CFileManager::instance().closeAll();
    }

    void singleLastChunkWritesAndCloses()
    {
        CFileManager &files = CFileManager::instance();
        QVERIFY(files.SaveFileData(QString(), QStringLiteral("a.txt"), "hello", true));
        QCOMPARE(readFile(m_tempDir + QStringLiteral("/a.txt")), QByteArray("hello"));
        QCOMPARE(files.openFileCount(), 0);
    }

    void chunksAppendAndCreateDirectories()
    {
        CFileManager &files = CFileManager::instance();
        const QString dir = QStringLiteral("bin/plugins/deep");
        QVERIFY(files.SaveFileData(dir, QStringLiteral("x.dll"), "one-", false));
        QVERIFY(files.isOpen(QStringLiteral("bin/plugins/deep_x.dll")));
        QVERIFY(files.SaveFileData(dir, QStringLiteral("x.dll"), "two-", false));
        QVERIFY(files.SaveFileData(dir, QStringLiteral("x.dll"), "three", true));
        QVERIFY(!files.isOpen(QStringLiteral("bin/plugins/deep_x.dll")));
        QCOMPARE(readFile(m_tempDir + QStringLiteral("/bin/plugins/deep/x.dll")), QByteArray("one-two-three"));
    }

    void emptyDirectoryKeyStartsWithUnderscore()
    {
        CFileManager &files = CFileManager::instance();
        QVERIFY(files.SaveFileData(QString(), QStringLiteral("top.bin"), "x", false));
        QVERIFY(files.isOpen(QStringLiteral("_top.bin")));
        QCOMPARE(CFileManager::fileKey(QStringLiteral("bin"), QStringLiteral("a.dll")), QStringLiteral("bin_a.dll"));
    }

    void emptyChunkCreatesEmptyFile()
    {
        QVERIFY(CFileManager::instance().SaveFileData(QStringLiteral("e"), QStringLiteral("zero.dat"), QByteArray(), true));
        const QFileInfo info(m_tempDir + QStringLiteral("/e/zero.dat"));
        QVERIFY(info.isFile());
        QCOMPARE(info.size(), 0);
    }

    void newTransferTruncatesOlderFile()
    {
        QVERIFY(QDir().mkpath(m_tempDir));
        QFile old(m_tempDir + QStringLiteral("/f.txt"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("a much longer stale content");
        old.close();
        QVERIFY(CFileManager::instance().SaveFileData(QString(), QStringLiteral("f.txt"), "new", true));
        QCOMPARE(readFile(old.fileName()), QByteArray("new"));
    }

    void discardedTransferRestartsFromFirstByte()
    {
        CFileManager &files = CFileManager::instance();
        QVERIFY(files.SaveFileData(QStringLiteral("d"), QStringLiteral("r.bin"), "partial-attempt-", false));
        files.discardFile(QStringLiteral("d"), QStringLiteral("r.bin"));
        QCOMPARE(files.openFileCount(), 0);
        QVERIFY(files.SaveFileData(QStringLiteral("d"), QStringLiteral("r.bin"), "AB", false));
        QVERIFY(files.SaveFileData(QStringLiteral("d"), QStringLiteral("r.bin"), "CD", true));
        QCOMPARE(readFile(m_tempDir + QStringLiteral("/d/r.bin")), QByteArray("ABCD"));
    }

    void closeAllKeepsPartialContent()
    {
        CFileManager &files = CFileManager::instance();
        QVERIFY(files.SaveFileData(QString(), QStringLiteral("p.bin"), "half", false));
        files.closeAll();
        QCOMPARE(files.openFileCount(), 0);
        QCOMPARE(readFile(m_tempDir + QStringLiteral("/p.bin")), QByteArray("half"));
    }

    void relativeTempResolvesAgainstApplicationDirectory()
    {
        QTemporaryDir elsewhere;
        QVERIFY(elsewhere.isValid());
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(elsewhere.path()));
        const bool saved = CFileManager::instance().SaveFileData(QStringLiteral("sub"), QStringLiteral("w.txt"), "x", true);
        QDir::setCurrent(previous);
        QVERIFY(saved);
        QVERIFY(QFile::exists(m_tempDir + QStringLiteral("/sub/w.txt")));
        QVERIFY(!QFile::exists(elsewhere.path() + QStringLiteral("/temp/sub/w.txt")));
        QCOMPARE(CFileManager::instance().tempFilePath(QStringLiteral("a/b")), m_tempDir + QStringLiteral("/a/b"));
    }

    void absoluteTempIsUsedAsIs()
    {
        QTemporaryDir other;
        QVERIFY(other.isValid());
        writeConfig(other.path() + "/dl/");
        QVERIFY(CFileManager::instance().SaveFileData(QString(), QStringLiteral("abs.txt"), "ok", true));
        QCOMPARE(readFile(other.path() + QStringLiteral("/dl/abs.txt")), QByteArray("ok"));
    }

    void unsafeTargetsWriteNothing_data()
    {
        QTest::addColumn<QString>("dirPath");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("escapedPath"); // where the file would land, relative to the sandbox

        QTest::newRow("parent dir") << ".." << "esc1.txt" << "app/esc1.txt";
        QTest::newRow("two parents") << "../.." << "esc2.txt" << "esc2.txt";
        QTest::newRow("hidden in the middle") << "bin/../../.." << "esc3.txt" << "esc3.txt";
        QTest::newRow("trailing parent") << "bin/.." << "../esc4.txt" << "app/esc4.txt";
        QTest::newRow("absolute") << m_sandbox.root() << "esc5.txt" << "esc5.txt";
        QTest::newRow("backslash absolute") << "\\etc" << "esc6.txt" << "";
        QTest::newRow("drive letter") << "C:/Windows" << "esc7.txt" << "";
        QTest::newRow("drive letter backslash") << "c:\\x" << "esc8.txt" << "";
        QTest::newRow("backslash escape") << "..\\.." << "esc9.txt" << "esc9.txt";
        QTest::newRow("mixed escape") << "bin\\..\\../.." << "esc10.txt" << "esc10.txt";
        QTest::newRow("empty name") << "bin" << "" << "";
        QTest::newRow("name with slash") << "" << "../esc11.txt" << "app/esc11.txt";
        QTest::newRow("name with backslash") << "" << "..\\esc12.txt" << "";
        QTest::newRow("name is parent") << "bin" << ".." << "";
        QTest::newRow("name is dot") << "bin" << "." << "";
        QTest::newRow("name with drive") << "" << "C:esc13.txt" << "";
    }

    void unsafeTargetsWriteNothing()
    {
        QFETCH(QString, dirPath);
        QFETCH(QString, fileName);
        QFETCH(QString, escapedPath);
        const QStringList before = sandboxFiles();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Refused unsafe file path:")));
        QVERIFY(!CFileManager::isSafeTarget(dirPath, fileName));
        QVERIFY(!CFileManager::instance().SaveFileData(dirPath, fileName, "evil", true));
        QCOMPARE(CFileManager::instance().openFileCount(), 0);
        QCOMPARE(sandboxFiles(), before);
        QVERIFY(!QFileInfo::exists(m_tempDir));
        if (!escapedPath.isEmpty())
            QVERIFY2(!QFile::exists(m_sandbox.root() + QLatin1Char('/') + escapedPath), qPrintable(escapedPath));
    }

    void safeTargets_data()
    {
        QTest::addColumn<QString>("dirPath");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("landsAt");
        QTest::newRow("top level") << "" << "a.exe" << "a.exe";
        QTest::newRow("dot directory") << "./bin" << "b.dll" << "bin/b.dll";
        QTest::newRow("windows separators") << "bin\\sub" << "c.dll" << "bin/sub/c.dll";
        QTest::newRow("dots in a name") << "v1..2" << "..d" << "v1..2/..d";
        QTest::newRow("utf8 names") << QStringLiteral("插件") << QStringLiteral("文件.dll") << QStringLiteral("插件/文件.dll");
    }

    void safeTargets()
    {
        QFETCH(QString, dirPath);
        QFETCH(QString, fileName);
        QFETCH(QString, landsAt);
        QVERIFY(CFileManager::instance().SaveFileData(dirPath, fileName, "ok", true));
        QCOMPARE(readFile(m_tempDir + QLatin1Char('/') + landsAt), QByteArray("ok"));
    }

    void directoryInPlaceOfFileFails()
    {
        QVERIFY(QDir().mkpath(m_tempDir + QStringLiteral("/blocked.txt")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to open file for writing: \".*/temp/blocked.txt\"$")));
        QVERIFY(!CFileManager::instance().SaveFileData(QString(), QStringLiteral("blocked.txt"), "x", true));
        QCOMPARE(CFileManager::instance().openFileCount(), 0);
        QVERIFY(QFileInfo(m_tempDir + QStringLiteral("/blocked.txt")).isDir());
    }

    void fileInPlaceOfDirectoryFails()
    {
        QVERIFY(QDir().mkpath(m_tempDir));
        QFile blocker(m_tempDir + QStringLiteral("/sub"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.write("keep");
        blocker.close();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to create directory for file: \".*/temp/sub/x.txt\"$")));
        QVERIFY(!CFileManager::instance().SaveFileData(QStringLiteral("sub"), QStringLiteral("x.txt"), "x", true));
        QCOMPARE(readFile(blocker.fileName()), QByteArray("keep"));
    }
};

QTEST_GUILESS_MAIN(TestFileManager)
#include "tst_filemanager.moc"
