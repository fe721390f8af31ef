// Which paths the updater accepts: the working directories of system.cfg, the paths of an MD5
// list or manifest, and the directories and names of the TCP server's files, with the Windows
// name rules on every platform.

#include "fileops/filemanagermodel.h"
#include "fileops/pathrules.h"

#include <QtTest>

Q_DECLARE_METATYPE(PathKind)

class TestPathRules : public QObject
{
    Q_OBJECT

private slots:
    void windowsNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("usable");
        QTest::newRow("plain") << "a.dll" << true;
        QTest::newRow("device as part of a name") << "console.dll" << true;
        QTest::newRow("device after a dot") << "x.con" << true;
        QTest::newRow("device with a suffix") << "COM10" << true;
        QTest::newRow("COM0") << "COM0" << true;
        QTest::newRow("leading dot") << ".config" << true;
        QTest::newRow("leading blank") << " a.txt" << true;
        QTest::newRow("blank inside") << "read me.txt" << true;
        QTest::newRow("Chinese") << QStringLiteral("说明.txt") << true;
        QTest::newRow("CON") << "CON" << false;
        QTest::newRow("con") << "con" << false;
        QTest::newRow("Prn") << "Prn" << false;
        QTest::newRow("aux.h") << "aux.h" << false;
        QTest::newRow("NUL.tar.gz") << "NUL.tar.gz" << false;
        QTest::newRow("nul with blank before the extension") << "nul .txt" << false;
        QTest::newRow("COM1") << "COM1" << false;
        QTest::newRow("com9.log") << "com9.log" << false;
        QTest::newRow("LPT1") << "LPT1" << false;
        QTest::newRow("lpt9.txt") << "lpt9.txt" << false;
        QTest::newRow("superscript COM") << QStringLiteral("COM¹") << false;
        QTest::newRow("console input") << "CONIN$" << false;
        QTest::newRow("trailing dot") << "a.dll." << false;
        QTest::newRow("only dots") << "..." << false;
        QTest::newRow("trailing blank") << "a.dll " << false;
        QTest::newRow("directory with trailing blank") << "bin " << false;
    }

    void windowsNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, usable);
        const QString problem = windowsNameProblem(name);
        QVERIFY2(problem.isEmpty() == usable, qPrintable(problem));
        if (!usable)
            QVERIFY2(problem.contains(name), qPrintable(problem));
    }

    // Every form a path can take, per kind; a row's name begins with its kind.
    void acceptance_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<PathKind>("kind");
        QTest::addColumn<bool>("accepted");
        auto row = [](const char *name, const QString &path, PathKind kind, bool accepted) {
            QTest::newRow(name) << path << kind << accepted;
        };
        const PathKind work = PathKind::WorkDirectory;
        row("work: temp", "temp", work, true);
        row("work: temp/", "temp/", work, true);
        row("work: nested", "work/temp", work, true);
        row("work: backslashes", "work\\temp", work, true);
        row("work: inner dotdot staying inside", "a/../b", work, true);
        row("work: Chinese", QStringLiteral("临时"), work, true);
        row("work: empty", QString(), work, false);
        row("work: blank", "  ", work, false);
        row("work: .", ".", work, false);
        row("work: ./", "./", work, false);
        row("work: ..", "..", work, false);
        row("work: ../x", "../x", work, false);
        row("work: a/..", "a/..", work, false);
        row("work: a/../..", "a/../..", work, false);
        row("work: a\\..\\..", "a\\..\\..", work, false);
        row("work: /abs", "/abs", work, false);
        row("work: \\abs", "\\abs", work, false);
        row("work: C:\\x", "C:\\x", work, false);
        row("work: c:x", "c:x", work, false);
        row("work: colon inside", "temp:x", work, false);
        row("work: UNC", "\\\\server\\share", work, false);
        row("work: device", "nul", work, false);
        row("work: trailing dot", "temp.", work, false);
        row("work: control character", QStringLiteral("te\tmp"), work, false);

        const PathKind list = PathKind::ListPath;
        row("list: plain", "/a.dll", list, true);
        row("list: nested", "/bin/plugins/x.dll", list, true);
        row("list: dots in a name", "/a..b/..c", list, true);
        row("list: Chinese", QStringLiteral("/更新/说明.txt"), list, true);
        row("list: parent", "/../evil.dll", list, false);
        row("list: parent deeper", "/a/../../evil.dll", list, false);
        row("list: dot", "/./a.dll", list, false);
        row("list: no leading slash", "a.dll", list, false);
        row("list: absolute after slash", "//etc/passwd", list, false);
        row("list: empty component", "/a//b", list, false);
        row("list: trailing slash", "/a/", list, false);
        row("list: drive letter", "/C:/evil.dll", list, false);
        row("list: backslash", "/..\\evil.dll", list, false);
        row("list: control character", QStringLiteral("/a\nb"), list, false);
        row("list: empty", QString(), list, false);
        row("list: only slash", "/", list, false);
        row("list: device", "/bin/aux.h", list, false);

        const PathKind dir = PathKind::TransferDirectory;
        row("dir: top level", QString(), dir, true);
        row("dir: plain", "bin", dir, true);
        row("dir: dot directory", "./bin", dir, true);
        row("dir: windows separators", "bin\\sub", dir, true);
        row("dir: doubled separator", "bin//sub", dir, true);
        row("dir: dots in a name", "v1..2", dir, true);
        row("dir: Chinese", QStringLiteral("插件"), dir, true);
        row("dir: parent", "..", dir, false);
        row("dir: two parents", "../..", dir, false);
        row("dir: hidden in the middle", "bin/../../..", dir, false);
        row("dir: trailing parent", "bin/..", dir, false);
        row("dir: absolute", "/tmp/x", dir, false);
        row("dir: backslash absolute", "\\etc", dir, false);
        row("dir: drive letter", "C:/Windows", dir, false);
        row("dir: drive letter backslash", "c:\\x", dir, false);
        row("dir: colon inside", "bin:stream", dir, false);
        row("dir: backslash escape", "..\\..", dir, false);
        row("dir: mixed escape", "bin\\..\\../..", dir, false);
        row("dir: control character", QStringLiteral("bin\r"), dir, false);

        const PathKind name = PathKind::FileName;
        row("name: plain", "a.exe", name, true);
        row("name: dots", "..d", name, true);
        row("name: Chinese", QStringLiteral("文件.dll"), name, true);
        row("name: empty", QString(), name, false);
        row("name: slash", "../esc.txt", name, false);
        row("name: backslash", "..\\esc.txt", name, false);
        row("name: parent", "..", name, false);
        row("name: dot", ".", name, false);
        row("name: drive", "C:esc.txt", name, false);
        row("name: stream", "a.txt:hidden", name, false);
        row("name: control character", QStringLiteral("a\x01.txt"), name, false);
    }

    void acceptance()
    {
        QFETCH(QString, path);
        QFETCH(PathKind, kind);
        QFETCH(bool, accepted);
        const QString problem = pathProblem(path, kind);
        QVERIFY2(problem.isEmpty() == accepted, qPrintable(problem));
    }

    // Where a bad name sits in a path must not matter to any kind of path.
    void everyKindRefusesWindowsNames_data()
    {
        QTest::addColumn<QString>("dir"); // "" = top level
        QTest::addColumn<QString>("name");
        QTest::newRow("device file") << "" << "nul.txt";
        QTest::newRow("device directory") << "CON" << "a.dll";
        QTest::newRow("device deep inside") << "bin/lpt3/x" << "a.dll";
        QTest::newRow("trailing dot file") << "bin" << "a.dll.";
        QTest::newRow("trailing blank directory") << "bin " << "a.dll";
        QTest::newRow("any case") << "Aux" << "b.dll";
    }

    void everyKindRefusesWindowsNames()
    {
        QFETCH(QString, dir);
        QFETCH(QString, name);
        const QString relative = dir.isEmpty() ? name : dir + QLatin1Char('/') + name;
        QVERIFY(!CFileManager::isSafeTarget(dir, name));
        QVERIFY(!pathProblem(QLatin1Char('/') + relative, PathKind::ListPath).isEmpty());
        QVERIFY(!pathProblem(relative, PathKind::WorkDirectory).isEmpty());
        // The same path with harmless names passes all of them, so the name alone was refused.
        QVERIFY(CFileManager::isSafeTarget(QStringLiteral("bin/sub"), QStringLiteral("a.dll")));
        QVERIFY(pathProblem(QStringLiteral("/bin/sub/a.dll"), PathKind::ListPath).isEmpty());
        QVERIFY(pathProblem(QStringLiteral("bin/sub"), PathKind::WorkDirectory).isEmpty());
    }

    // Paths on disk compare as the platform's file system does.
    void containment_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("root");
        QTest::addColumn<bool>("inside");
        QTest::addColumn<bool>("insideOnWindows");
        QTest::newRow("same") << "/app/temp" << "/app/temp" << true << true;
        QTest::newRow("below") << "/app/temp/a" << "/app/temp" << true << true;
        QTest::newRow("root with slash") << "/app/temp/a" << "/app/temp/" << true << true;
        QTest::newRow("prefix only") << "/app/temp2" << "/app/temp" << false << false;
        QTest::newRow("above") << "/app" << "/app/temp" << false << false;
        QTest::newRow("case differs") << "/app/Temp/a" << "/app/temp" << false << true;
    }

    void containment()
    {
        QFETCH(QString, path);
        QFETCH(QString, root);
        QFETCH(bool, inside);
        QFETCH(bool, insideOnWindows);
#ifdef Q_OS_WIN
        inside = insideOnWindows;
#else
        Q_UNUSED(insideOnWindows)
#endif
        QCOMPARE(isSameOrInside(path, root), inside);
    }

    void caseCollisions_data()
    {
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QString>("collision");
        QTest::newRow("none") << QStringList{"/a.dll", "/b.dll", "/bin/a.dll"} << QString();
        QTest::newRow("empty") << QStringList() << QString();
        QTest::newRow("exact repeat") << QStringList{"/a.dll", "/a.dll"} << QString();
        QTest::newRow("file name case") << QStringList{"/a.dll", "/b.dll", "/A.dll"} << "/A.dll";
        QTest::newRow("directory case") << QStringList{"/Bin/a.dll", "/bin/a.dll"} << "/bin/a.dll";
        QTest::newRow("directories differ, files too") << QStringList{"/Bin/a.dll", "/bin/b.dll"} << QString();
        QTest::newRow("backslash and slash") << QStringList{"bin/a.dll", "BIN\\a.dll"} << "BIN\\a.dll";
        QTest::newRow("non-ASCII case") << QStringList{QStringLiteral("/Ärger.txt"), QStringLiteral("/ärger.txt")}
                                        << QStringLiteral("/ärger.txt");
        QTest::newRow("Chinese has no case") << QStringList{QStringLiteral("/更新.txt"), QStringLiteral("/说明.txt")}
                                             << QString();
    }

    void caseCollisions()
    {
        QFETCH(QStringList, paths);
        QFETCH(QString, collision);
        QCOMPARE(firstCaseCollision(paths), collision);
    }
};

QTEST_GUILESS_MAIN(TestPathRules)
#include "tst_pathrules.moc"
