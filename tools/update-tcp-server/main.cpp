// update-tcp-server: serves a release directory over the TCP update protocol.
//
//   update-tcp-server --root DIR --version V [--host 127.0.0.1] [--port 0] [--chunk-size BYTES]
//                     [--fail NAME:COUNT]... [--silent] [--close-after BYTES]
//                     [--wrong-size NAME]... [--rate BYTES_PER_SECOND] [--quiet]
//
// The first line on standard output is "listening on <host>:<port>", then one line per request.

#include "updateserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>

#include <limits>
#include <cstdio>
#ifndef Q_OS_WIN
#include <csignal>
#include <unistd.h>
#endif

namespace {

#ifndef Q_OS_WIN
int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    // Nothing but write() is safe here; the event loop reads the pipe and quits.
    [[maybe_unused]] const ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
}
#endif

void printLine(const QString &line)
{
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int fail(const QString &message)
{
    std::fprintf(stderr, "update-tcp-server: %s\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Serves a release directory over the TCP update protocol."));
    parser.addHelpOption();
    const QCommandLineOption rootOption(QStringLiteral("root"), QStringLiteral("Release directory."), QStringLiteral("DIR"));
    const QCommandLineOption versionOption(QStringLiteral("version"), QStringLiteral("Version offered."), QStringLiteral("V"));
    const QCommandLineOption hostOption(QStringLiteral("host"), QStringLiteral("Address to listen on."),
                                        QStringLiteral("HOST"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port, 0 = any free one."),
                                        QStringLiteral("PORT"), QStringLiteral("0"));
    const QCommandLineOption chunkOption(QStringLiteral("chunk-size"), QStringLiteral("Data bytes per chunk."),
                                         QStringLiteral("BYTES"), QString::number(ServerOptions::DefaultChunkSize));
    const QCommandLineOption failOption(QStringLiteral("fail"),
                                        QStringLiteral("Answer ServerError to the first COUNT requests for NAME (-1: always)."),
                                        QStringLiteral("NAME:COUNT"));
    const QCommandLineOption silentOption(QStringLiteral("silent"), QStringLiteral("Accept connections, answer nothing."));
    const QCommandLineOption closeOption(QStringLiteral("close-after"),
                                         QStringLiteral("Close a connection after this many file data bytes."),
                                         QStringLiteral("BYTES"));
    const QCommandLineOption wrongSizeOption(QStringLiteral("wrong-size"),
                                             QStringLiteral("Announce NAME one byte larger than it is."),
                                             QStringLiteral("NAME"));
    const QCommandLineOption rateOption(QStringLiteral("rate"), QStringLiteral("File data bytes per second and connection."),
                                        QStringLiteral("BYTES"));
    const QCommandLineOption quietOption(QStringLiteral("quiet"),
                                         QStringLiteral("Print only the listening line, no line per request."));
    parser.addOptions({rootOption, versionOption, hostOption, portOption, chunkOption, failOption, silentOption, closeOption,
                       wrongSizeOption, rateOption, quietOption});
    parser.process(app);

    ServerOptions options;
    options.root = parser.value(rootOption);
    if (options.root.isEmpty() || !QFileInfo(options.root).isDir())
        return fail(QStringLiteral("--root must name a directory"));
    if (!parser.isSet(versionOption))
        return fail(QStringLiteral("--version is required"));
    options.version = parser.value(versionOption);
    if (!options.host.setAddress(parser.value(hostOption)))
        return fail(QStringLiteral("--host must be an IP address"));
    bool ok = false;
    const uint port = parser.value(portOption).toUInt(&ok);
    if (!ok || port > std::numeric_limits<quint16>::max())
        return fail(QStringLiteral("--port must be 0..65535"));
    options.port = static_cast<quint16>(port);
    const int chunk = parser.value(chunkOption).toInt(&ok);
    if (!ok || chunk <= 0 || static_cast<quint32>(chunk) > TcpProtocol::MaxFrameLength - TcpProtocol::FileDataHeaderSize)
        return fail(QStringLiteral("--chunk-size out of range"));
    options.chunkSize = chunk;
    for (const QString &fault : parser.values(failOption)) {
        const int colon = fault.lastIndexOf(QLatin1Char(':'));
        const int count = colon > 0 ? fault.mid(colon + 1).toInt(&ok) : 0;
        if (colon <= 0 || !ok || count < -1)
            return fail(QStringLiteral("--fail takes NAME:COUNT"));
        options.failures.insert(fault.left(colon), count);
    }
    options.silent = parser.isSet(silentOption);
    if (parser.isSet(closeOption)) {
        options.closeAfter = parser.value(closeOption).toLongLong(&ok);
        if (!ok || options.closeAfter < 0)
            return fail(QStringLiteral("--close-after takes a byte count"));
    }

    const QStringList wrongSizes = parser.values(wrongSizeOption);
    for (const QString &name : wrongSizes)
        options.wrongSize.insert(name);
    if (parser.isSet(rateOption)) {
        options.rate = parser.value(rateOption).toLongLong(&ok);
        if (!ok || options.rate <= 0)
            return fail(QStringLiteral("--rate takes a positive byte count"));
    }

#ifndef Q_OS_WIN
    if (::pipe(g_signalPipe) != 0)
        return fail(QStringLiteral("cannot create the signal pipe"));
    QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t ignored = ::read(g_signalPipe[0], &byte, 1);
        QCoreApplication::quit();
    });
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
#endif
    // On Windows the server ends with Ctrl+C or when it is terminated; it keeps no state to save.

    UpdateServer server(options);
    if (!parser.isSet(quietOption))
        QObject::connect(&server, &UpdateServer::requestLogged, &app, &printLine);
    if (!server.listen())
        return fail(server.errorString());
    printLine(QStringLiteral("listening on %1:%2").arg(options.host.toString()).arg(server.port()));
    return app.exec();
}
