#include "http/chttpupdate.h"
#include "http/widget.h"

#include "httptestsupport.h"

#include <QSignalSpy>
#include <QtTest>

using PublishedRelease::FileTree;
using PublishedRelease::readFile;
using PublishedRelease::writeFile;

// The coordinator running the dialog's checks and queue against a served release.
class TestCHttpUpdate : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<LogCapture> m_log;

private slots:
    void initTestCase() { m_log = std::make_unique<LogCapture>(); }
    void cleanupTestCase() { m_log.reset(); }

    void start_data()
    {
        QTest::addColumn<QByteArray>("localVersionFile"); // installed update/update.ini, empty: none
        QTest::addColumn<QStringList>("removeFromServer");
        QTest::addColumn<bool>("installReleaseFiles");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<QStringList>("requests");
        const QStringList both{"/update.ini", "/2.0/md5.txt"};
        const QStringList versionOnly{"/update.ini"};
        QTest::newRow("first update, files differ") << QByteArray() << QStringList() << false << true << both;
        QTest::newRow("other version, files differ") << QByteArray("[Version]\nVersion=1.0\n") << QStringList() << false << true << both;
        QTest::newRow("same version") << QByteArray("[Version]\nVersion=2.0\n") << QStringList() << false << false << versionOnly;
        QTest::newRow("no version file") << QByteArray() << QStringList{"update.ini"} << false << false << versionOnly;
        QTest::newRow("no MD5 list") << QByteArray() << QStringList{"2.0/md5.txt"} << false << false << both;
        QTest::newRow("nothing changed") << QByteArray() << QStringList() << true << false << both;
    }

    void start()
    {
        QFETCH(QByteArray, localVersionFile);
        QFETCH(QStringList, removeFromServer);
        QFETCH(bool, installReleaseFiles);
        QFETCH(bool, expected);
        QFETCH(QStringList, requests);
        const FileTree release{{"a.dll", "a\n"}, {"bin/b.dll", "b\n"}};
        ServedRelease served;
        QVERIFY(served.start(release));
        for (const QString &file : removeFromServer)
            QVERIFY(QFile::remove(served.www(file)));
        if (!localVersionFile.isEmpty())
            QVERIFY(writeFile(served.inst.path("update/update.ini"), localVersionFile));
        if (installReleaseFiles)
            QVERIFY(PublishedRelease::writeTree(served.inst.appDir(), release));

        Widget widget;
        CHttpUpdate update;
        update.setWidget(&widget);
        QCOMPARE(update.start(), expected);
        QCOMPARE(served.server->requestedPaths(), requests);
    }

    void missingFolderStopsBeforeTheList()
    {
        ServedRelease served;
        QVERIFY(served.start({{"a.dll", "a\n"}}));
        QVERIFY(writeFile(served.www("update.ini"), "[Version]\nVersion=2.0\n"));
        Widget widget;
        CHttpUpdate update;
        update.setWidget(&widget);
        QVERIFY(!update.start());
        QCOMPARE(served.server->requestedPaths(), QStringList{"/update.ini"});
    }

    void forwardsTheDialogsResult()
    {
        ServedRelease served;
        QVERIFY(served.start({{"a.dll", "a\n"}, {"bin/b.dll", "b\n"}}));
        auto widget = std::make_unique<Widget>();
        CHttpUpdate update;
        update.setWidget(widget.get());
        QSignalSpy spy(&update, &CHttpUpdate::sigUpdateResult);
        QVERIFY(spy.isValid());
        QVERIFY(update.start());
        QVERIFY(update.startDownload());
        QCOMPARE(spy.count(), 0); // the queue runs in the event loop
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 20000);
        QCOMPARE(spy.at(0).at(0).toBool(), true);
        QCOMPARE(readFile(served.inst.path("temp/bin/b.dll")), QByteArray("b\n"));
        // The result came; the dialog's end adds no second one.
        widget.reset();
        QCOMPARE(spy.count(), 1);
    }

    void nullDialogConnectsNothing()
    {
        CHttpUpdate update;
        update.setWidget(nullptr);
        QSignalSpy spy(&update, &CHttpUpdate::sigUpdateResult);
        QVERIFY(spy.isValid());
        QVERIFY(!update.start());
        QVERIFY(update.startDownload());
        QCOMPARE(spy.count(), 0);
    }
};

QTEST_MAIN(TestCHttpUpdate)
#include "tst_chttpupdate.moc"
