#include "common/minisigntool.h"
#include "common/publishedrelease.h"
#include "tcptestsupport.h"

#include "fileops/minisign.h"
#include "fileops/releasemanifest.h"
#include "tcp/ctcpupdate.h"

#include <QSignalSpy>
#include <QtTest>

// A release signed by update-publish --tcp --sign, served by update-tcp-server and downloaded by
// CTCPUpdate: the manifest and its signature travel as ordinary files, and the download they land
// in verifies (or, when the release was changed after signing, is refused by the manifest check).
class TestSignedTcpRelease : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_keys;
    MinisignTool::KeyPair m_key;

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(MinisignTool::generate(m_keys.path(), "release", QByteArray(), &m_key, &error), qPrintable(error));
    }

    void signedFilesAreServedLikeAnyOther_data()
    {
        QTest::addColumn<QString>("change");   // made to the served directory after signing
        QTest::addColumn<QString>("expected"); // the manifest check's errorText()
        QTest::newRow("signed release") << "" << "";
        QTest::newRow("one byte changed after signing") << "change" << "file does not match manifest: /bin/b.dll";
        QTest::newRow("file added after signing") << "add" << "file not in manifest: /extra.dll";
    }

    void signedFilesAreServedLikeAnyOther()
    {
        QFETCH(QString, change);
        QFETCH(QString, expected);
        TcpTestInstallation install;
        QVERIFY(install.isValid());
        QTemporaryDir source;
        QVERIFY(PublishedRelease::writeTree(source.path(), {{"a.txt", "a\n"}, {"bin/b.dll", "b\n"}, {"数据/c d.txt", ""}}));
        const auto published = PublishedRelease::publish(source.path(), install.releaseDir(), "2.0", QString(),
                                                         {"--tcp", "--sign", m_key.secretKeyFile});
        QVERIFY2(published.exitCode == 0, qPrintable(published.output));
        if (change == "change")
            QVERIFY(PublishedRelease::writeFile(install.releaseDir() + "/bin/b.dll", "B\n"));
        else if (change == "add")
            QVERIFY(PublishedRelease::writeFile(install.releaseDir() + "/extra.dll", "x"));

        auto server = startReleaseServer(install);
        install.configure(server->port());
        CTCPUpdate update;
        QSignalSpy result(&update, &CTCPUpdate::sigUpdateResult);
        QVERIFY(result.isValid());
        QVERIFY(update.start());
        QVERIFY(update.beginDownload());
        QCOMPARE(result.count(), 1);
        QCOMPARE(result.at(0).at(0).toBool(), true);
        QCOMPARE(server->requestCount("file release.manifest "), 1);
        QCOMPARE(server->requestCount("file release.manifest.minisig "), 1);

        const QString temp = install.tempDir();
        QVector<Minisign::PublicKey> keys;
        QString error;
        QVERIFY2(Minisign::parsePublicKeys(m_key.publicKey, &keys, &error), qPrintable(error));
        const auto verified = Minisign::verifyFile(temp + "/release.manifest", temp + "/release.manifest.minisig", keys);
        QVERIFY2(verified.ok(), qPrintable(verified.errorText()));
        QVERIFY(verified.trustedComment.startsWith("version:2.0\t"));
        ReleaseManifest manifest;
        QVERIFY2(ReleaseManifest::parse(PublishedRelease::readFile(temp + "/release.manifest"), &manifest, &error), qPrintable(error));
        QCOMPARE(manifest.version(), QStringLiteral("2.0"));
        QCOMPARE(manifest.checkDownload(temp, install.appDir()).errorText(), expected);
    }
};

QTEST_MAIN(TestSignedTcpRelease)
#include "tst_signedtcprelease.moc"
