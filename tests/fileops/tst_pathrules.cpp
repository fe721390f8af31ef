// The Windows name rules, and that every path check of the updater applies them: the server's
// TCP file names, the MD5 list's paths and the working directories of system.cfg.

#include "config/systemconfig.h"
#include "fileops/filemanagermodel.h"
#include "fileops/md5list.h"
#include "fileops/pathrules.h"

#include <QtTest>

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

    // Where a bad name sits in a path must not matter to any of the three checks.
    void everyPathCheckRefusesWindowsNames_data()
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

    void everyPathCheckRefusesWindowsNames()
    {
        QFETCH(QString, dir);
        QFETCH(QString, name);
        const QString relative = dir.isEmpty() ? name : dir + QLatin1Char('/') + name;
        QVERIFY(!CFileManager::isSafeTarget(dir, name));
        QVERIFY(!isSafeListPath(QLatin1Char('/') + relative));
        QVERIFY(!CSystemConfig::isSafeSubDirectory(relative));
        // The same path with harmless names passes all three, so the name alone was refused.
        QVERIFY(CFileManager::isSafeTarget(QStringLiteral("bin/sub"), QStringLiteral("a.dll")));
        QVERIFY(isSafeListPath(QStringLiteral("/bin/sub/a.dll")));
        QVERIFY(CSystemConfig::isSafeSubDirectory(QStringLiteral("bin/sub")));
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
