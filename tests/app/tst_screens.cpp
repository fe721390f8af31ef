// Looks at update.exe's windows as a user sees them: the real program on a real X display
// (Xvfb, with a CJK font), its windows found, driven with real key presses and photographed from
// the display by screen-grab. A window that was never painted shows black there, whatever the
// widgets would render on request.
//
// UPDATER_SCREENSHOT_DIR, when set, keeps every picture taken.

#include "common/httpserverprocess.h"
#include "common/sandbox.h"
#include "common/tcpserverprocess.h"

#include <QDir>
#include <QImage>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QtTest>

using namespace EndToEnd;

namespace {

constexpr int kWindowWaitMs = 15000;
constexpr int kPollMs = 100;
constexpr int kSettleMs = 400;       // lets a second window appear, if there is one
constexpr int kPaintWaitMs = 10000;  // a window still unpainted after this is a fault
constexpr int kSlowFileSize = 1024 * 1024;
constexpr int kTcpRateBytesPerSecond = 48 * 1024;
constexpr int kHttpThrottleDelayMs = 60;

// A picture counts as black or blank when nearly all of it is one dark colour, or when it holds
// fewer colours than the simplest window with text and a progress bar does.
constexpr int kDarkLightness = 24;
constexpr double kMaxDarkShare = 0.5;
constexpr int kMinColours = 40;
constexpr int kMinTextPixels = 150;

// An X display of our own for the length of the test.
class VirtualDisplay
{
public:
    VirtualDisplay()
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty())
            return;
        for (int number = 70; number < 100 && m_name.isEmpty(); ++number) {
            if (QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
                continue;
            m_process.start(xvfb, {QStringLiteral(":%1").arg(number), QStringLiteral("-screen"), QStringLiteral("0"),
                                   QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
            m_process.waitForStarted();
            const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
            QElapsedTimer timer;
            timer.start();
            while (timer.elapsed() < kWindowWaitMs && m_process.state() == QProcess::Running && !QFileInfo::exists(socket))
                QThread::msleep(20);
            if (m_process.state() == QProcess::Running && QFileInfo::exists(socket)) {
                m_name = QStringLiteral(":%1").arg(number);
                // The socket comes before the server answers; wait for an answer.
                int answer = -1;
                while (timer.elapsed() < kWindowWaitMs && answer != 0) {
                    run(QStringLiteral("xdotool"), {QStringLiteral("getdisplaygeometry")}, &answer);
                    if (answer != 0)
                        QThread::msleep(50);
                }
                if (answer != 0)
                    m_name.clear();
            }
            if (m_name.isEmpty()) {
                m_process.kill();
                m_process.waitForFinished();
            }
        }
    }
    ~VirtualDisplay()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(2000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    [[nodiscard]] QString name() const { return m_name; }

    // Runs an X client on this display; its standard output.
    QString run(const QString &program, const QStringList &arguments, int *exitCode = nullptr) const
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), m_name);
        process.setProcessEnvironment(env);
        process.start(program, arguments);
        process.waitForFinished(kWindowWaitMs);
        if (exitCode)
            *exitCode = process.exitCode();
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    // The mapped windows whose title is title.
    QStringList windows(const QString &title) const
    {
        return run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                               QStringLiteral("--name"), QLatin1Char('^') + title + QLatin1Char('$')})
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    QString waitForWindow(const QString &title) const
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < kWindowWaitMs) {
            const QStringList found = windows(title);
            if (!found.isEmpty())
                return found.first();
            QThread::msleep(kPollMs);
        }
        return QString();
    }

    QRect geometry(const QString &window) const
    {
        const QString shell = run(QStringLiteral("xdotool"), {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window});
        auto value = [&shell](const char *key) {
            const QRegularExpression line(QStringLiteral("^%1=(\\d+)$").arg(QLatin1String(key)), QRegularExpression::MultilineOption);
            return line.match(shell).captured(1).toInt();
        };
        return QRect(value("X"), value("Y"), value("WIDTH"), value("HEIGHT"));
    }

    // A real key press, as the user's keyboard makes it, into the window.
    void press(const QString &window, const QString &key) const
    {
        run(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
        run(QStringLiteral("xdotool"), {QStringLiteral("key"), key});
    }

    // What the display shows inside rect.
    QImage grab(const QRect &rect, const QString &name) const
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("shot.png"));
        run(QStringLiteral(SCREEN_GRAB_PATH), {file, QString::number(rect.x()), QString::number(rect.y()),
                                               QString::number(rect.width()), QString::number(rect.height())});
        const QImage image(file);
        const QString keep = qEnvironmentVariable("UPDATER_SCREENSHOT_DIR");
        if (!keep.isEmpty() && !image.isNull()) {
            QDir().mkpath(keep);
            image.save(keep + QLatin1Char('/') + name + QStringLiteral(".png"));
        }
        return image.convertToFormat(QImage::Format_RGB32);
    }

private:
    QProcess m_process;
    QString m_name;
};

// Why a picture of a window does not show a painted window with text; empty when it does.
QString paintedWindowProblem(const QImage &image)
{
    if (image.isNull())
        return QStringLiteral("no picture");
    QSet<QRgb> colours;
    qint64 dark = 0;
    qint64 text = 0;
    const qint64 all = qint64(image.width()) * image.height();
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            colours.insert(c.rgb() & 0xf8f8f8);
            if (c.lightness() < kDarkLightness)
                ++dark;
            if (c.lightness() < 110)
                ++text;
        }
    }
    if (dark > all * kMaxDarkShare)
        return QStringLiteral("%1% of the window is black").arg(dark * 100 / all);
    if (colours.size() < kMinColours)
        return QStringLiteral("only %1 colours: blank").arg(colours.size());
    if (text < kMinTextPixels)
        return QStringLiteral("only %1 dark pixels: no text").arg(text);
    return QString();
}

// Takes pictures of window until check (QImage -> what is wrong, empty when nothing) accepts
// one, for at most kPaintWaitMs: a window that has just appeared or changed may not have drawn
// yet, the more so on a loaded machine. Returns what is wrong with the last picture.
template <typename Check>
QString waitForPicture(const VirtualDisplay &display, const QString &window, const QString &name, Check check)
{
    QElapsedTimer timer;
    timer.start();
    QString problem;
    do {
        problem = check(display.grab(display.geometry(window), name));
        if (problem.isEmpty())
            return problem;
        QThread::msleep(kPollMs);
    } while (timer.elapsed() < kPaintWaitMs);
    return problem;
}

// Pixels close to colour (the status line's red, for instance).
int pixelsNear(const QImage &image, const QColor &colour)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (qAbs(c.red() - colour.red()) + qAbs(c.green() - colour.green()) + qAbs(c.blue() - colour.blue()) < 60)
                ++count;
        }
    }
    return count;
}

} // namespace

class TestScreens : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<VirtualDisplay> m_display;

    void onDisplay(Sandbox &sandbox)
    {
        sandbox.setEnv(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        sandbox.setEnv(QStringLiteral("DISPLAY"), m_display->name());
    }

private slots:
    void initTestCase()
    {
        for (const char *tool : {"Xvfb", "xdotool"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed (scripts/setup installs it)").arg(QLatin1String(tool))));
        }
        m_display = std::make_unique<VirtualDisplay>();
        if (m_display->name().isEmpty())
            QSKIP("Xvfb did not start");
    }

    void cleanupTestCase() { m_display.reset(); }

    // One painted window for a TCP download; Esc cancels it and the program ends.
    void tcpDownloadShowsOnePaintedWindow()
    {
        Sandbox sandbox;
        onDisplay(sandbox);
        QVERIFY(PublishedRelease::writeFile(sandbox.releaseDir() + "/bin/big.dat", QByteArray(kSlowFileSize, 'b')));
        TcpServerProcess server({"--root", sandbox.releaseDir(), "--version", "1.1.0", "--rate",
                                 QString::number(kTcpRateBytesPerSecond)});
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        QVERIFY(sandbox.configure(server.port()));
        const Snapshot before = sandbox.installed();

        QProcess *updater = sandbox.start({});
        const QString window = m_display->waitForWindow(QStringLiteral("TCP升级"));
        QVERIFY2(!window.isEmpty(), "the TCP window appears");
        QTest::qWait(kSettleMs);
        QCOMPARE(m_display->windows(QStringLiteral("TCP升级")).size(), 1);
        QCOMPARE(m_display->geometry(window).size(), QSize(684, 539));
        const QString problem = waitForPicture(*m_display, window, QStringLiteral("tcp-download"), paintedWindowProblem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));

        m_display->press(window, QStringLiteral("Escape"));
        const RunResult result = sandbox.wait(updater);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 3);
        QCOMPARE(sandbox.installed(), before);
        QVERIFY(!sandbox.hostStarted(kNoLaunchWaitMs));
    }

    // After a failed TCP download the window shows the failure in red until Esc closes it.
    void tcpFailureWindowStaysUntilClosed()
    {
        Sandbox sandbox;
        onDisplay(sandbox);
        TcpServerProcess server({"--root", sandbox.releaseDir(), "--version", "1.1.0", "--fail", "extra.dll:-1"});
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        QVERIFY(sandbox.configure(server.port()));

        QProcess *updater = sandbox.start({});
        QVERIFY(sandbox.waitForOutput(updater, QStringLiteral("下载最终失败")));
        QTest::qWait(kSettleMs);
        const QStringList windows = m_display->windows(QStringLiteral("TCP升级"));
        QCOMPARE(windows.size(), 1);
        const QString problem = waitForPicture(*m_display, windows.first(), QStringLiteral("tcp-failure"), [](const QImage &shot) {
            const QString problem = paintedWindowProblem(shot);
            if (problem.isEmpty() && pixelsNear(shot, QColor(0xf4, 0x43, 0x36)) <= 300)
                return QStringLiteral("the failure is not shown in red");
            return problem;
        });
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(updater->state(), QProcess::Running);

        m_display->press(windows.first(), QStringLiteral("Escape"));
        const RunResult result = sandbox.wait(updater);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 3);
    }

    // Esc during an HTTP download asks first; keeping on lets the update finish and apply.
    void httpEscapeAsksAndTheDownloadGoesOn()
    {
        Sandbox sandbox;
        onDisplay(sandbox);
        QVERIFY(PublishedRelease::writeFile(sandbox.releaseDir() + "/bin/big.dat", QByteArray(kSlowFileSize, 'b')));
        QVERIFY(PublishedRelease::publish(sandbox.releaseDir(), sandbox.wwwDir(), QStringLiteral("1.1.0")).exitCode == 0);
        HttpServerProcess::Options slow;
        slow.throttleDelayMs = kHttpThrottleDelayMs;
        HttpServerProcess web(sandbox.wwwDir(), slow);
        QVERIFY2(web.isReady(), qPrintable(web.errorString()));
        QVERIFY(sandbox.configure(closedPort(), web.baseUrl(), true));

        QProcess *updater = sandbox.start({});
        const QString window = m_display->waitForWindow(QStringLiteral("HTTP升级"));
        QVERIFY2(!window.isEmpty(), "the HTTP window appears");
        QCOMPARE(m_display->geometry(window).size(), QSize(640, 455));
        QString problem = waitForPicture(*m_display, window, QStringLiteral("http-download"), paintedWindowProblem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));

        m_display->press(window, QStringLiteral("Escape"));
        const QString box = m_display->waitForWindow(QStringLiteral("确认取消"));
        QVERIFY2(!box.isEmpty(), "Esc asks before it cancels");
        problem = waitForPicture(*m_display, box, QStringLiteral("http-confirm"), paintedWindowProblem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        // Return takes the default answer, "取消": the update goes on.
        m_display->press(box, QStringLiteral("Return"));

        const RunResult result = sandbox.wait(updater);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        QVERIFY(sandbox.hostStarted());
        QCOMPARE(TestInstallation::read(sandbox.path(QStringLiteral("bin/big.dat"))), QByteArray(kSlowFileSize, 'b'));
    }

    // A long failure text stays inside the HTTP window; the window closes with Esc.
    void httpFailureWindowStaysUntilClosed()
    {
        Sandbox sandbox;
        onDisplay(sandbox);
        QVERIFY(PublishedRelease::publish(sandbox.releaseDir(), sandbox.wwwDir(), QStringLiteral("1.1.0")).exitCode == 0);
        QVERIFY(QFile::remove(sandbox.wwwDir() + "/1.1.0/plugins/extra.dll"));
        HttpServerProcess web(sandbox.wwwDir());
        QVERIFY2(web.isReady(), qPrintable(web.errorString()));
        QVERIFY(sandbox.configure(closedPort(), web.baseUrl(), true));

        QProcess *updater = sandbox.start({});
        QVERIFY(sandbox.waitForOutput(updater, QStringLiteral("更新失败")));
        const QStringList windows = m_display->windows(QStringLiteral("HTTP升级"));
        QCOMPARE(windows.size(), 1);
        const QString problem = waitForPicture(*m_display, windows.first(), QStringLiteral("http-failure"), paintedWindowProblem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(updater->state(), QProcess::Running);

        m_display->press(windows.first(), QStringLiteral("Escape"));
        const RunResult result = sandbox.wait(updater);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 3);
    }
};

QTEST_GUILESS_MAIN(TestScreens)
#include "tst_screens.moc"
