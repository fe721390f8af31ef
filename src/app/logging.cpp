#include "logging.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>
#ifdef Q_OS_WIN
#include <spdlog/sinks/wincolor_sink.h>
#else
#include <spdlog/sinks/ansicolor_sink.h>
#endif

#include <cstdio>
#include <memory>

namespace {

constexpr const char *kLoggerName = "update_helper";
constexpr std::size_t kMaxLogFileSize = 5242880; // 5 MiB, then update.log is rotated
constexpr std::size_t kMaxRotatedFiles = 3;      // update.1.log .. update.3.log
constexpr const char *kPattern = "[%Y-%m-%d %H:%M:%S.%e] [%^%l%$] [%t] %v";

std::shared_ptr<spdlog::logger> g_logger;

void fallback(std::FILE *stream, const char *prefix, const QByteArray &text)
{
    std::fputs(prefix, stream);
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void write(spdlog::level::level_enum level, const QByteArray &text)
{
    if (g_logger) {
        g_logger->log(level, spdlog::string_view_t(text.constData(), static_cast<std::size_t>(text.size())));
        return;
    }
    switch (level) {
    case spdlog::level::err:
        fallback(stderr, "[ERROR] ", text);
        break;
    case spdlog::level::debug:
        fallback(stdout, "[DEBUG] ", text);
        break;
    case spdlog::level::warn:
        fallback(stdout, "[WARN] ", text);
        break;
    default:
        fallback(stdout, "[INFO] ", text);
        break;
    }
}

} // namespace

void initLogging(const QByteArray &filePath)
{
    try {
#ifdef Q_OS_WIN
        auto console = std::make_shared<spdlog::sinks::wincolor_stdout_sink<spdlog::details::console_mutex>>(
            spdlog::color_mode::automatic);
#else
        auto console = std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>(spdlog::color_mode::automatic);
#endif
        console->set_level(spdlog::level::info);

#ifdef SPDLOG_WCHAR_FILENAMES
        // Windows opens narrow names in the ANSI code page; the UTF-8 path must go in wide.
        const spdlog::filename_t fileName = QString::fromUtf8(filePath).toStdWString();
#else
        const spdlog::filename_t fileName = filePath.toStdString();
#endif
        auto file = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(fileName, kMaxLogFileSize,
                                                                           kMaxRotatedFiles, false);
        file->set_level(spdlog::level::debug);

        auto logger = std::make_shared<spdlog::logger>(kLoggerName, spdlog::sinks_init_list{console, file});
        g_logger = logger;
        logger->set_level(spdlog::level::debug);
        logger->set_pattern(kPattern, spdlog::pattern_time_type::local);
        // Every line reaches the file as it is written: a failure window can stay open for a long
        // time, and a killed process must not take its last lines with it.
        logger->flush_on(spdlog::level::debug);
        spdlog::register_logger(logger);
        spdlog::set_default_logger(logger);
    } catch (const spdlog::spdlog_ex &e) {
        std::fprintf(stderr, "Log initialization failed: %s\n", e.what());
        std::fflush(stderr);
    }
}

void shutdownLogging()
{
    if (g_logger)
        g_logger->flush();
    g_logger.reset();
    spdlog::drop_all();
}

void logInfo(const QString &text) { write(spdlog::level::info, text.toUtf8()); }
void logError(const QString &text) { write(spdlog::level::err, text.toUtf8()); }
void logDebug(const QString &text) { write(spdlog::level::debug, text.toUtf8()); }
void logWarn(const QString &text) { write(spdlog::level::warn, text.toUtf8()); }

void logInfo(const char *text) { write(spdlog::level::info, QByteArray(text)); }
void logError(const char *text) { write(spdlog::level::err, QByteArray(text)); }
void logDebug(const char *text) { write(spdlog::level::debug, QByteArray(text)); }
void logWarn(const char *text) { write(spdlog::level::warn, QByteArray(text)); }
