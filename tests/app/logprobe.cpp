// Writes one message per level through the logging facade, so that a test can look at the
// process's real standard streams. Usage: logprobe [LOG_FILE]  (no file: the fallback path).
#include "app/logging.h"

int main(int argc, char *argv[])
{
    if (argc > 1)
        initLogging(QByteArray(argv[1]));
    logDebug("debug message");
    logInfo(QStringLiteral("info message 中文"));
    logWarn("warn message");
    logError("error message");
    return 0;
}
