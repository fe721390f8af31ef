// CUpdateHelper on real files in temporary installations: the wait for update.exe (its marker held
// by a live child process), the atomic replace with its byte-for-byte check and restore, and the
// hand-back. The installed update.exe is the stand-in recordargs, which writes down how it was
// started; the new one is the same program with bytes appended (it still runs), not executable,
// as a download leaves it.

#include "common/envguard.h"
#include "common/immutableguard.h"
#include "common/installation.h"
#include "helper/updatehelper.h"

#include <QProcess>
#include <QtTest>

#include <memory>

namespace {

using Snapshot = TestInstallation::Snapshot;
using Helper::ExitCode;

constexpr int kStartWaitMs = 10000;  // until a detached start has written its record
constexpr int kNoStartWaitMs = 500;  // how long a test watches for a start that must not happen
constexpr int kHolderWaitMs = 10000; // until the marker holder has taken the marker
constexpr int kShortTimeoutMs = 300; // a helper that must give up waiting
constexpr int kBriefHoldMs = 400;    // a marker that is released while the helper waits

const QByteArray kStartedWithSuccess = "updatehelper\nHelperSuccess\n";
const QByteArray kStartedWithFailure = "updatehelper\nHelperFaile\n";
const QByteArray kChangedNewFile = "changed while the helper worked";
const QStringList kArguments{QStringLiteral("update.exe"), QStringLiteral("update.exe")};

QByteArray standIn()
{
    return TestInstallation::read(QStringLiteral(RECORDARGS_PATH));
}

// An installation whose update.exe records its start in a file outside the installation.
class Fixture
{
public:
    explicit Fixture(const QByteArray &config = TestInstallation::defaultConfig())
        : m_env("RECORDARGS_OUT", QFile::encodeName(recordFile()))
        , m_installation(config, files())
    {
        m_ready = m_records.isValid() && m_installation.isValid() && !oldUpdater().isEmpty()
            && QFile::setPermissions(updater(), QFile::permissions(updater()) | QFile::ExeOwner | QFile::ExeGroup);
        m_mode = QFile::permissions(updater());
    }

    static QByteArray oldUpdater() { return standIn(); }
    static QByteArray newUpdater() { return standIn() + "\nupdate.exe 1.1\n"; }

    [[nodiscard]] bool isReady() const { return m_ready; }
    [[nodiscard]] const TestInstallation &installation() const { return m_installation; }
    [[nodiscard]] QString updater() const { return m_installation.path(QStringLiteral("update.exe")); }
    [[nodiscard]] QString newFile() const { return m_installation.tempDir() + QStringLiteral("update.exe"); }
    [[nodiscard]] QFile::Permissions installedMode() const { return m_mode; }

    // Everything below the application directory but update.exe itself; leftovers of the helper
    // ("update.exe.XXXXXX.new") would show here.
    [[nodiscard]] Snapshot others() const
    {
        Snapshot tree = TestInstallation::snapshot(m_installation.appDir());
        tree.remove(QStringLiteral("update.exe"));
        return tree;
    }

    // The arguments update.exe was started with; empty when it was not started.
    [[nodiscard]] QByteArray started(int waitMs = kStartWaitMs) const
    {
        // The started program may have made its record but not yet written it.
        QDeadlineTimer deadline(waitMs);
        QByteArray record = TestInstallation::read(recordFile());
        while (record.isEmpty() && !deadline.hasExpired()) {
            QTest::qWait(20);
            record = TestInstallation::read(recordFile());
        }
        return record;
    }

private:
    static Snapshot files()
    {
        Snapshot files = TestInstallation::defaultFiles();
        files.insert(QStringLiteral("update.exe"), oldUpdater());
        files.insert(QStringLiteral("temp/update.exe"), newUpdater());
        return files;
    }
    [[nodiscard]] QString recordFile() const { return m_records.filePath(QStringLiteral("started.txt")); }

    QTemporaryDir m_records;
    EnvGuard m_env;
    TestInstallation m_installation;
    QFile::Permissions m_mode;
    bool m_ready = false;
};

} // namespace

class TestUpdateHelper : public QObject
{
    Q_OBJECT

private slots:
    void replace_data();
    void replace();
    void wait_data();
    void wait();
    void refusesArguments_data();
    void refusesArguments();
};

void TestUpdateHelper::replace_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("installed");
    QTest::addColumn<QByteArray>("startedWith");

    const QByteArray config = TestInstallation::defaultConfig();
    const QByteArray oldBytes = Fixture::oldUpdater();
    const QByteArray newBytes = Fixture::newUpdater();
    const int replaced = int(ExitCode::Replaced);
    const int failed = int(ExitCode::ReplaceFailed);
    QTest::newRow("new updater installed") << QString() << config << replaced << newBytes << kStartedWithSuccess;
    QTest::newRow("new updater missing") << "missing" << config << failed << oldBytes << kStartedWithFailure;
    QTest::newRow("directory in place of the new updater") << "directory" << config << failed << oldBytes << kStartedWithFailure;
    QTest::newRow("installed updater cannot be replaced") << "immutable updater" << config << failed << oldBytes << kStartedWithFailure;
    QTest::newRow("nothing can be written beside it") << "immutable directory" << config << failed << oldBytes << kStartedWithFailure;
#ifdef Q_OS_WIN
    // Another program holding update.exe open cannot be told from the updater itself running.
    QTest::newRow("installed updater held open") << "held open" << config << int(ExitCode::UpdaterStillRunning) << oldBytes
                                                 << kStartedWithFailure;
#endif
    QTest::newRow("result differs, old one put back") << "changed after rename" << config << failed << oldBytes << kStartedWithFailure;
    QTest::newRow("result differs, old copy lost")
        << "old copy lost" << config << int(ExitCode::RestoreFailed) << newBytes << kStartedWithFailure;
    QByteArray escaping = config;
    escaping.replace("Temp=temp", "Temp=../temp");
    QTest::newRow("Temp outside the installation") << QString() << escaping << failed << oldBytes << kStartedWithFailure;
}

void TestUpdateHelper::replace()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, config);
    QFETCH(int, code);
    QFETCH(QByteArray, installed);
    QFETCH(QByteArray, startedWith);

    Fixture fixture(config);
    QVERIFY(fixture.isReady());
    CUpdateHelper helper(fixture.installation().appDir());
    std::unique_ptr<ImmutableGuard> immutable;
    if (fault == QLatin1String("missing")) {
        QVERIFY(QFile::remove(fixture.newFile()));
    } else if (fault == QLatin1String("directory")) {
        QVERIFY(QFile::remove(fixture.newFile()) && QDir().mkdir(fixture.newFile()));
    } else if (fault.startsWith(QLatin1String("immutable"))) {
        // The flag itself: on Windows a file held open would keep the helper waiting instead.
        const bool whole = fault.endsWith(QLatin1String("directory"));
        immutable = std::make_unique<ImmutableGuard>(whole ? fixture.installation().appDir() : fixture.updater(),
                                                     ImmutableGuard::Method::Flag);
        if (!immutable->isActive())
            QSKIP("chattr +i is not available here");
    } else if (fault == QLatin1String("held open")) {
        immutable = std::make_unique<ImmutableGuard>(fixture.updater());
        QVERIFY(immutable->isActive());
        helper.setWaitTimeout(kShortTimeoutMs);
    } else if (!fault.isEmpty()) {
        // Between the rename and the check the new file changes; in the second case the copy of
        // the old updater disappears too, so there is nothing left to put back.
        helper.setAfterRenameHook([&] {
            TestInstallation::writeFile(fixture.newFile(), kChangedNewFile);
            if (fault == QLatin1String("old copy lost")) {
                const QDir dir(fixture.installation().appDir());
                for (const QString &name : dir.entryList({QStringLiteral("update.exe.*.old")}, QDir::Files))
                    QFile::remove(dir.filePath(name));
            }
        });
    }
    Snapshot others = fixture.others();
    if (fault.endsWith(QLatin1String("rename")) || fault.endsWith(QLatin1String("lost")))
        others.insert(QStringLiteral("temp/update.exe"), kChangedNewFile);

    QCOMPARE(int(helper.run(kArguments)), code);
    if (immutable)
        immutable->release();
    QCOMPARE(TestInstallation::read(fixture.updater()), installed);
    QCOMPARE(QFile::permissions(fixture.updater()), fixture.installedMode());
    QCOMPARE(fixture.others(), others);
    QCOMPARE(fixture.started(), startedWith);
}

void TestUpdateHelper::wait_data()
{
    QTest::addColumn<QString>("holder");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("startedWith");
    QTest::newRow("updater keeps running") << "live" << kShortTimeoutMs << int(ExitCode::UpdaterStillRunning) << kStartedWithFailure;
    QTest::newRow("updater ends while the helper waits")
        << "brief" << Helper::UpdaterExitTimeoutMs << int(ExitCode::Replaced) << kStartedWithSuccess;
    QTest::newRow("marker of a killed updater") << "killed" << Helper::UpdaterExitTimeoutMs << int(ExitCode::Replaced)
                                                << kStartedWithSuccess;
}

void TestUpdateHelper::wait()
{
    QFETCH(QString, holder);
    QFETCH(int, timeoutMs);
    QFETCH(int, code);
    QFETCH(QByteArray, startedWith);

    Fixture fixture;
    QVERIFY(fixture.isReady());
    QProcess running;
    QStringList holderArguments{fixture.updater()};
    if (holder == QLatin1String("brief"))
        holderArguments << QString::number(kBriefHoldMs);
    running.start(QStringLiteral(MARKERHOLDER_PATH), holderArguments);
    QVERIFY(running.waitForReadyRead(kHolderWaitMs));
    QCOMPARE(running.readAll().trimmed(), QByteArray("held")); // CR LF on Windows
    if (holder == QLatin1String("killed")) {
        running.kill();
        QVERIFY(running.waitForFinished());
    }

    CUpdateHelper helper(fixture.installation().appDir());
    helper.setWaitTimeout(timeoutMs);
    QCOMPARE(int(helper.run(kArguments)), code);
    const bool replaced = code == int(ExitCode::Replaced);
    QCOMPARE(TestInstallation::read(fixture.updater()), replaced ? Fixture::newUpdater() : Fixture::oldUpdater());
    QCOMPARE(fixture.started(), startedWith);

    // Once the updater is gone, its marker is free again: testing it kept nothing.
    running.closeWriteChannel();
    running.waitForFinished();
    QCOMPARE(running.state(), QProcess::NotRunning);
    QProcess next;
    next.start(QStringLiteral(MARKERHOLDER_PATH), {fixture.updater(), QStringLiteral("0")});
    QVERIFY(next.waitForFinished());
    QCOMPARE(next.exitCode(), 0);
}

void TestUpdateHelper::refusesArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    QTest::newRow("none") << QStringList();
    QTest::newRow("one") << QStringList{"update.exe"};
    QTest::newRow("three") << QStringList{"update.exe", "update.exe", "update.exe"};
    QTest::newRow("new file outside Temp") << QStringList{"../update.exe", "update.exe"};
    QTest::newRow("absolute target") << QStringList{"update.exe", "/tmp/update.exe"};
    QTest::newRow("backslash") << QStringList{"update.exe", "..\\update.exe"};
    QTest::newRow("drive") << QStringList{"update.exe", "C:update.exe"};
    QTest::newRow("dot dot") << QStringList{"update.exe", ".."};
    QTest::newRow("empty") << QStringList{"", "update.exe"};
    QTest::newRow("trailing dot") << QStringList{"update.exe", "update.exe."};
    QTest::newRow("the helper itself") << QStringList{"update.exe", self};
}

void TestUpdateHelper::refusesArguments()
{
    QFETCH(QStringList, arguments);
    Fixture fixture;
    QVERIFY(fixture.isReady());
    const Snapshot before = TestInstallation::snapshot(fixture.installation().root());

    QCOMPARE(int(CUpdateHelper(fixture.installation().appDir()).run(arguments)), int(ExitCode::BadArguments));
    QCOMPARE(TestInstallation::snapshot(fixture.installation().root()), before);
    QCOMPARE(fixture.started(kNoStartWaitMs), QByteArray());
}

QTEST_GUILESS_MAIN(TestUpdateHelper)
#include "tst_updatehelper.moc"
