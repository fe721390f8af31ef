// The working directories of a run: where they lie, which settings may become them, and which
// paths on disk may be removed as one.

#include "common/installation.h"

#include "fileops/workdirs.h"

#include <QtTest>

class TestWorkDirs : public QObject
{
    Q_OBJECT

private slots:
    void layout_data()
    {
        QTest::addColumn<QString>("temp");
        QTest::addColumn<QString>("expected"); // "<app>" stands for the application directory
        QTest::newRow("plain") << "temp" << "<app>/temp/";
        QTest::newRow("with slash") << "temp/" << "<app>/temp/";
        QTest::newRow("nested") << "work/dl" << "<app>/work/dl/";
        QTest::newRow("not configured") << "" << "";
#ifndef Q_OS_WIN
        QTest::newRow("absolute") << "/var/dl" << "/var/dl/";
#endif
    }

    void layout()
    {
        QFETCH(QString, temp);
        QFETCH(QString, expected);
        const WorkDirs dirs(QStringLiteral("/opt/app"), temp, QStringLiteral("backup"));
        QCOMPARE(dirs.appDir(), QStringLiteral("/opt/app/"));
        QCOMPARE(dirs.tempDir(), expected.replace(QStringLiteral("<app>"), QStringLiteral("/opt/app")));
        QCOMPARE(dirs.backupDir(), QStringLiteral("/opt/app/backup/"));
        QCOMPARE(dirs.updateDir(), QStringLiteral("/opt/app/update/"));
        QCOMPARE(dirs.replaceMarkerPath(), QStringLiteral("/opt/app/update_replace.pending"));
    }

    // Temp and Backup are removed recursively at every start; badKey names the setting refused.
    void settings_data()
    {
        QTest::addColumn<QByteArray>("temp");
        QTest::addColumn<QByteArray>("backup");
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QString>("badKey");
        const QByteArray log = "log/";
        const QString temp = QStringLiteral("[Paths] Temp");
        const QString backup = QStringLiteral("[Paths] Backup");
#ifdef Q_OS_WIN
        const QString caseRefused = backup;
        const QString tempCaseRefused = temp;
#else
        const QString caseRefused;
        const QString tempCaseRefused;
#endif
        QTest::newRow("distinct") << QByteArray("temp") << QByteArray("backup") << log << QString();
        QTest::newRow("temp vs temp/") << QByteArray("temp") << QByteArray("temp/") << log << backup;
        // system.cfg escapes a backslash as "\\".
        QTest::newRow("backslash vs slash") << QByteArray("work\\\\t") << QByteArray("work/t") << log << backup;
        QTest::newRow("case differs") << QByteArray("Temp") << QByteArray("temp") << log << caseRefused;
        QTest::newRow("backup inside temp") << QByteArray("temp") << QByteArray("temp/b") << log << backup;
        QTest::newRow("temp inside backup") << QByteArray("b/t") << QByteArray("b") << log << backup;
        QTest::newRow("prefix only") << QByteArray("temp") << QByteArray("temp2") << log << QString();
        QTest::newRow("empty temp") << QByteArray("") << QByteArray("backup") << log << temp;
        QTest::newRow("dot backup") << QByteArray("temp") << QByteArray(".") << log << backup;
        QTest::newRow("escaping backup") << QByteArray("temp") << QByteArray("../b") << log << backup;
        QTest::newRow("absolute temp") << QByteArray("/tmp/t") << QByteArray("backup") << log << temp;
        // The update folder holds the installed version record, the log folder the logs.
        QTest::newRow("temp is update") << QByteArray("update") << QByteArray("backup") << log << temp;
        QTest::newRow("temp is Update/") << QByteArray("Update/") << QByteArray("backup") << log << tempCaseRefused;
        QTest::newRow("temp inside update") << QByteArray("update/t") << QByteArray("backup") << log << temp;
        QTest::newRow("backup is update") << QByteArray("temp") << QByteArray("update") << log << backup;
        QTest::newRow("temp is the log folder") << QByteArray("log") << QByteArray("backup") << log << temp;
        QTest::newRow("log folder inside backup") << QByteArray("temp") << QByteArray("var") << QByteArray("var/log/")
                                                  << backup;
        QTest::newRow("log in the app dir") << QByteArray("temp") << QByteArray("backup") << QByteArray("") << QString();
        QTest::newRow("log prefix only") << QByteArray("temp") << QByteArray("backup") << QByteArray("templogs/") << QString();
    }

    void settings()
    {
        QFETCH(QByteArray, temp);
        QFETCH(QByteArray, backup);
        QFETCH(QByteArray, log);
        QFETCH(QString, badKey);
        TestInstallation inst("[Paths]\nTemp=" + temp + "\nBackup=" + backup + "\nLog=" + log + "\n");
        QVERIFY(inst.isValid());
        QString key, value;
        const QString problem = WorkDirs::fromConfig().settingsProblem(&key, &value);
        QCOMPARE(problem.isEmpty(), badKey.isEmpty());
        QCOMPARE(key, badKey);
        if (!badKey.isEmpty())
            QCOMPARE(value, QString::fromLatin1(badKey.endsWith(QLatin1String("Temp")) ? temp : backup));
    }

    // What may be removed as a working directory, as it stands on disk.
    void workDirectory_data()
    {
        QTest::addColumn<QString>("path"); // relative to the application directory; "<root>" is its parent
        QTest::addColumn<bool>("accepted");
        QTest::newRow("below") << "temp" << true;
        QTest::newRow("deep below, missing") << "a/b/c" << true;
        QTest::newRow("the installation") << "" << false;
        QTest::newRow("the installation, dotted") << "sub/.." << false;
        QTest::newRow("beside it") << "../other" << false;
        QTest::newRow("the root") << "<root>" << false;
        QTest::newRow("through a linked directory") << "via/temp" << false;
        QTest::newRow("a link itself") << "link" << true;
    }

    void workDirectory()
    {
        QFETCH(QString, path);
        QFETCH(bool, accepted);
        TestInstallation inst;
        QVERIFY(inst.isValid());
        const QString outside = inst.root() + QStringLiteral("/outside");
        QVERIFY(QDir().mkpath(outside));
        if (path.startsWith(QLatin1String("via")) || path == QLatin1String("link")) {
#ifdef Q_OS_WIN
            QSKIP("QFile::link makes a .lnk shortcut on Windows, not a directory link");
#endif
            QVERIFY(QFile::link(outside, inst.path(path.section(QLatin1Char('/'), 0, 0))));
        }
        const QString absolute = path == QLatin1String("<root>") ? inst.root() : inst.path(path);
        const WorkDirs dirs = WorkDirs::fromConfig();
        QCOMPARE(dirs.isWorkDirectory(absolute), accepted);
        QVERIFY(!dirs.isWorkDirectory(QString()));
        QVERIFY(!WorkDirs().isWorkDirectory(absolute));
    }

    void usability_data()
    {
        QTest::addColumn<QString>("temp");
        QTest::addColumn<QString>("backup");
        QTest::addColumn<bool>("usable");
        QTest::newRow("distinct") << "temp" << "backup" << true;
        QTest::newRow("nested") << "temp" << "temp/b" << false;
        QTest::newRow("same") << "t" << "t/" << false;
        QTest::newRow("temp not configured") << "" << "backup" << false;
        QTest::newRow("backup is the installation") << "temp" << "." << false;
    }

    void usability()
    {
        QFETCH(QString, temp);
        QFETCH(QString, backup);
        QFETCH(bool, usable);
        TestInstallation inst;
        QVERIFY(inst.isValid());
        const WorkDirs dirs(inst.appDir(), temp, backup);
        QCOMPARE(dirs.usabilityProblem().isEmpty(), usable);
    }
};

QTEST_GUILESS_MAIN(TestWorkDirs)
#include "tst_workdirs.moc"
