// screen-grab OUT.png [X Y WIDTH HEIGHT]
//
// Writes what the X display named by DISPLAY shows, the whole screen or the given rectangle, as a
// PNG. It reads the display's own picture, so a window that was never painted shows as it does
// to a user (black), unlike a widget rendered on request.

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

namespace {

constexpr int ExitOk = 0;
constexpr int ExitUsage = 1;
constexpr int ExitFailed = 2;

} // namespace

int main(int argc, char *argv[])
{
    // The picture must come from the X server, whatever the caller's environment asks for.
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.size() != 1 && args.size() != 5) {
        std::fprintf(stderr, "usage: screen-grab OUT.png [X Y WIDTH HEIGHT]\n");
        return ExitUsage;
    }
    int rect[4] = {0, 0, -1, -1};
    for (int i = 1; i < args.size(); ++i) {
        bool ok = false;
        rect[i - 1] = args.at(i).toInt(&ok);
        if (!ok) {
            std::fprintf(stderr, "screen-grab: %s is not a number\n", qPrintable(args.at(i)));
            return ExitUsage;
        }
    }
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return ExitFailed;
    const QPixmap shot = screen->grabWindow(0, rect[0], rect[1], rect[2], rect[3]);
    if (shot.isNull() || !shot.save(args.first(), "PNG")) {
        std::fprintf(stderr, "screen-grab: cannot write %s\n", qPrintable(args.first()));
        return ExitFailed;
    }
    return ExitOk;
}
