#include "common/installation.h"

#include "config/systemconfig.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// Drives CSystemConfig against real system.cfg files in a temporary application directory.
class TestSystemConfig : public QObject
{
    Q_OBJECT

private:
    TestInstallation m_inst{TestInstallation::Bare};

    CSystemConfig &loadText(const QByteArray &text)
    {
        if (!m_inst.writeConfig(text))
            qFatal("cannot write the configuration");
        return CSystemConfig::instance();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_inst.isValid());
    }

    void missingFileGivesDefaults()
    {
        QFile::remove(m_inst.path(QStringLiteral("system.cfg")));
        CSystemConfig::reload();
        const CSystemConfig &config = CSystemConfig::instance();
        QVERIFY(config.isLoaded());
        QVERIFY(config.isHttpEnabled());
        QCOMPARE(config.updateServer(), QString());
        QCOMPARE(config.updatePortNumber(), quint16(0));
        QCOMPARE(config.projectType(), 1);
        QCOMPARE(config.tempPath(), QString());
        QCOMPARE(config.url(), QString());
        QCOMPARE(config.value(QStringLiteral("Update"), QStringLiteral("HttpEnable")), QStringLiteral("true"));
    }

    void malformedFileIsNotLoaded()
    {
        // An unterminated section header is a format error for the INI reader.
        const CSystemConfig &config = loadText("[Update]\nHttpEnable=true\n[Server\nUpdateServer=x\n");
        QVERIFY(!config.isLoaded());
        QVERIFY(!config.isHttpEnabled());
        QCOMPARE(config.projectType(), 1);
        QCOMPARE(config.updateServer(), QString());
    }

    void readsEveryKey()
    {
        const CSystemConfig &config = loadText(
            "[Update]\nURL=http://127.0.0.1:8080/up/\nExeName=e.exe\nHostExe=host.exe\nUpdateExe=update.exe\n"
            "UpdateHelperExe=helper.exe\nHttpEnable=false\n"
            "[Server]\nUpdateServer=127.0.0.1\nUpdatePort=9000\n"
            "[General]\nVersion=1.2.3\nLastCheckTime=never\n"
            "[Paths]\nBackup=backup\nTemp=temp\nLog=log/\n"
            "[Project]\nName=demo\nType=4\n");
        QVERIFY(config.isLoaded());
        QCOMPARE(config.url(), QStringLiteral("http://127.0.0.1:8080/up/"));
        QCOMPARE(config.hostExe(), QStringLiteral("host.exe"));
        QCOMPARE(config.updateHelperExe(), QStringLiteral("helper.exe"));
        QCOMPARE(config.exeName(), QStringLiteral("e.exe"));
        QCOMPARE(config.updateExe(), QStringLiteral("update.exe"));
        QVERIFY(!config.isHttpEnabled());
        QCOMPARE(config.updateServer(), QStringLiteral("127.0.0.1"));
        QCOMPARE(config.updatePort(), QStringLiteral("9000"));
        QCOMPARE(config.updatePortNumber(), quint16(9000));
        QCOMPARE(config.version(), QStringLiteral("1.2.3"));
        QCOMPARE(config.lastCheckTime(), QStringLiteral("never"));
        QCOMPARE(config.backupPath(), QStringLiteral("backup"));
        QCOMPARE(config.tempPath(), QStringLiteral("temp"));
        QCOMPARE(config.logPath(), QStringLiteral("log/"));
        QCOMPARE(config.projectName(), QStringLiteral("demo"));
        QCOMPARE(config.projectType(), 4);
        QCOMPARE(config.value(QStringLiteral("Nope"), QStringLiteral("Key")), QString());
    }

    void httpEnable_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("absent") << QByteArray() << true;
        QTest::newRow("true") << QByteArray("HttpEnable=true\n") << true;
        QTest::newRow("TRUE") << QByteArray("HttpEnable=TRUE\n") << true;
        QTest::newRow("True") << QByteArray("HttpEnable=True\n") << true;
        QTest::newRow("1") << QByteArray("HttpEnable=1\n") << true;
        QTest::newRow("yes") << QByteArray("HttpEnable=yes\n") << false;
        QTest::newRow("on") << QByteArray("HttpEnable=on\n") << false;
        QTest::newRow("2") << QByteArray("HttpEnable=2\n") << false;
        QTest::newRow("empty") << QByteArray("HttpEnable=\n") << false;
        QTest::newRow("false") << QByteArray("HttpEnable=false\n") << false;
        QTest::newRow("list") << QByteArray("HttpEnable=true,true\n") << false;
    }

    void httpEnable()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, enabled);
        QCOMPARE(loadText("[Update]\nHostExe=h.exe\n" + line).isHttpEnabled(), enabled);
    }

    void publicKey_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("key");
        const QByteArray a = "RWTzge6DMzmpvqHxnQ1aykncc3BjXuvx4219YyJsJFqjUkcmmOy7qIZu";
        const QByteArray b = "RWS8t5+7lhjtsYHuzt3MHxyorT6Q3Ovq8wO/VFFU3ADGf46MgKwyGp3P";
        QTest::newRow("absent") << QByteArray() << QString();
        QTest::newRow("empty") << QByteArray("PublicKey=\n") << QString();
        QTest::newRow("one key") << "PublicKey=" + a + "\n" << QString::fromLatin1(a);
        QTest::newRow("two keys") << "PublicKey=" + a + "," + b + "\n" << QString::fromLatin1(a + "," + b);
        QTest::newRow("two keys with a blank") << "PublicKey=" + a + ", " + b + "\n" << QString::fromLatin1(a + "," + b);
        QTest::newRow("quoted") << "PublicKey=\" " + a + "\"\n" << QString::fromLatin1(a);
    }

    void publicKey()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, key);
        QCOMPARE(loadText("[Update]\nHostExe=h.exe\n" + line).publicKey(), key);
    }

    void updatePort_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("port");
        QTest::newRow("9000") << QByteArray("9000") << 9000;
        QTest::newRow("65535") << QByteArray("65535") << 65535;
        QTest::newRow("0") << QByteArray("0") << 0;
        QTest::newRow("empty") << QByteArray("") << 0;
        QTest::newRow("letters") << QByteArray("abc") << 0;
        QTest::newRow("negative") << QByteArray("-1") << 0;
        QTest::newRow("65536") << QByteArray("65536") << 0;
        QTest::newRow("70000 does not wrap to 4464") << QByteArray("70000") << 0;
        QTest::newRow("trailing letters") << QByteArray("80x") << 0;
    }

    void updatePort()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, port);
        const CSystemConfig &config = loadText("[Server]\nUpdateServer=127.0.0.1\nUpdatePort=" + value + "\n");
        QCOMPARE(int(config.updatePortNumber()), port);
        QCOMPARE(config.updatePort(), QString::fromLatin1(value));
    }

    void projectType_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("type");
        QTest::newRow("absent") << QByteArray() << 1;
        QTest::newRow("empty") << QByteArray("Type=\n") << 1;
        QTest::newRow("3") << QByteArray("Type=3\n") << 3;
        QTest::newRow("6") << QByteArray("Type=6\n") << 6;
        QTest::newRow("7") << QByteArray("Type=7\n") << 1;
        QTest::newRow("9") << QByteArray("Type=9\n") << 1;
        QTest::newRow("0") << QByteArray("Type=0\n") << 1;
        QTest::newRow("-1") << QByteArray("Type=-1\n") << 1;
        QTest::newRow("3x") << QByteArray("Type=3x\n") << 1;
        QTest::newRow("letters") << QByteArray("Type=abc\n") << 1;
    }

    void projectType()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, type);
        QCOMPARE(loadText("[Project]\nName=p\n" + value).projectType(), type);
    }

    void tempPathWithSlash_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("withSlash");
        QTest::newRow("cache") << QByteArray("cache") << QStringLiteral("cache/");
        QTest::newRow("cache/") << QByteArray("cache/") << QStringLiteral("cache/");
        QTest::newRow("nested") << QByteArray("a/b") << QStringLiteral("a/b/");
    }

    void tempPathWithSlash()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, withSlash);
        const CSystemConfig &config = loadText("[Paths]\nTemp=" + value + "\n");
        QCOMPARE(config.tempPath(), QString::fromLatin1(value));
        QCOMPARE(config.tempPathWithSlash(), withSlash);
    }

    void loadErrorNamesTheProblem_data()
    {
        QTest::addColumn<QByteArray>("text"); // empty: no file at all
        QTest::addColumn<QString>("error");   // the beginning of loadError(), empty for none
        QTest::addColumn<bool>("loaded");
        QTest::newRow("missing") << QByteArray() << QStringLiteral("配置文件不存在: ") << true;
        QTest::newRow("malformed") << QByteArray("[Paths\nTemp=temp\n") << QStringLiteral("配置文件格式错误: ") << false;
        QTest::newRow("serialised object")
            << QByteArray("[Paths]\nTemp=@Variant(\\0\\0\\0\\x43\\0\\x7f\\xff)\nBackup=backup\n")
            << QStringLiteral("配置文件含有不支持的值: ") << false;
        QTest::newRow("quoted serialised object") << QByteArray("[Update]\nExeName=\"@Rect(1 2 3 4)\"\n")
                                                  << QStringLiteral("配置文件含有不支持的值: ") << false;
        QTest::newRow("plain at sign") << QByteArray("[Update]\nHostExe=@host.exe\n") << QString() << true;
        QTest::newRow("fine") << QByteArray("[Paths]\nTemp=temp\n") << QString() << true;
    }

    void loadErrorNamesTheProblem()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        QFETCH(bool, loaded);
        if (text.isNull()) {
            CSystemConfig::reload(m_inst.path(QStringLiteral("absent.cfg")));
        } else {
            loadText(text);
        }
        const CSystemConfig &config = CSystemConfig::instance();
        QVERIFY2(error.isEmpty() ? config.loadError().isEmpty() : config.loadError().startsWith(error),
                 qPrintable(config.loadError()));
        QCOMPARE(config.isLoaded(), loaded);
        if (!loaded)
            QCOMPARE(config.tempPath(), QString()); // nothing of a refused file is used
    }

    void warningsNameMisspeltValues_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("keys"); // the settings the warnings name
        QTest::newRow("clean") << QByteArray("[Update]\nHttpEnable=TRUE\n[Server]\nUpdatePort=9000\n[Project]\nType=3\n")
                               << QStringList();
        QTest::newRow("explicit false") << QByteArray("[Update]\nHttpEnable=0\n") << QStringList();
        QTest::newRow("misspelt") << QByteArray("[Update]\nHttpEnable=ture\n")
                                  << QStringList{QStringLiteral("[Update] HttpEnable")};
        QTest::newRow("yes") << QByteArray("[Update]\nHttpEnable=yes\n") << QStringList{QStringLiteral("[Update] HttpEnable")};
        QTest::newRow("port letters") << QByteArray("[Server]\nUpdatePort=nine\n[Project]\nType=9\n")
                                      << QStringList{QStringLiteral("[Server] UpdatePort"), QStringLiteral("[Project] Type")};
    }

    void warningsNameMisspeltValues()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, keys);
        const QStringList warnings = loadText(text).warnings();
        QCOMPARE(warnings.size(), keys.size());
        for (int i = 0; i < keys.size(); ++i)
            QVERIFY2(warnings.at(i).startsWith(keys.at(i)), qPrintable(warnings.at(i)));
    }

    void writeInstalledVersionChangesOnlyTheVersion_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QByteArray>("after"); // empty: refused, file unchanged
        QTest::newRow("replaced") << QByteArray("[Update]\nHostExe=a.exe\n[General]\nVersion=1.0.0\nLastCheckTime=x\n")
                                  << QStringLiteral("1.1.0")
                                  << QByteArray("[Update]\nHostExe=a.exe\n[General]\nVersion=1.1.0\nLastCheckTime=x\n");
        QTest::newRow("spacing and CR LF kept")
            << QByteArray("; comment\r\n[General]\r\nVersion = 1.0.0\r\n[Paths]\r\nTemp=temp\r\n") << QStringLiteral("2.0")
            << QByteArray("; comment\r\n[General]\r\nVersion = 2.0\r\n[Paths]\r\nTemp=temp\r\n");
        QTest::newRow("key of another section untouched")
            << QByteArray("[Other]\nVersion=9\n[General]\nVersion=1\n") << QStringLiteral("2")
            << QByteArray("[Other]\nVersion=9\n[General]\nVersion=2\n");
        QTest::newRow("added to the section") << QByteArray("[General]\nLastCheckTime=x\n[Paths]\nTemp=t\n")
                                              << QStringLiteral("1.2") << QByteArray("[General]\nVersion=1.2\nLastCheckTime=x\n[Paths]\nTemp=t\n");
        QTest::newRow("section added") << QByteArray("[Paths]\nTemp=t") << QStringLiteral("1.2")
                                       << QByteArray("[Paths]\nTemp=t\n[General]\nVersion=1.2\n");
        QTest::newRow("newline refused") << QByteArray("[General]\nVersion=1\n") << QStringLiteral("2\n[Paths]\nTemp=..")
                                         << QByteArray();
        QTest::newRow("empty refused") << QByteArray("[General]\nVersion=1\n") << QString() << QByteArray();
    }

    void writeInstalledVersionChangesOnlyTheVersion()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, version);
        QFETCH(QByteArray, after);
        QVERIFY(m_inst.writeConfig(before));
        const QString path = CSystemConfig::instance().filePath();
        QString error;
        QCOMPARE(CSystemConfig::writeInstalledVersion(path, version, &error), !after.isEmpty());
        QFile written(path);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), after.isEmpty() ? before : after);
        if (!after.isEmpty()) {
            CSystemConfig::reload(path);
            QCOMPARE(CSystemConfig::instance().version(), version);
        } else {
            QVERIFY(!error.isEmpty());
        }
    }

    void appDirDefaultsToExecutableDir()
    {
        CSystemConfig::setAppDirPath(QString());
        QCOMPARE(CSystemConfig::appDirPath(), QCoreApplication::applicationDirPath());
        CSystemConfig::setAppDirPath(m_inst.appDir() + QStringLiteral("/"));
        QCOMPARE(CSystemConfig::appDirPath(), m_inst.appDir());
    }
};

QTEST_GUILESS_MAIN(TestSystemConfig)
#include "tst_systemconfig.moc"
