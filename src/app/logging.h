#pragma once

#include <QByteArray>
#include <QString>

// The process-wide logger "update_helper": a colour console sink on standard output (info and
// above) and a rotating file sink (debug and above). Until initLogging() has succeeded every
// message falls back to a plain line with a level prefix on standard output or standard error.

// filePath: the log file path as UTF-8 bytes. Called once, after the single-instance guard.
void initLogging(const QByteArray &filePath);

void logInfo(const QString &text);
void logError(const QString &text);
void logDebug(const QString &text);
void logWarn(const QString &text);

void logInfo(const char *text);
void logError(const char *text);
void logDebug(const char *text);
void logWarn(const char *text);

// Drops the logger and returns to the fallback path; for tests that need a fresh start.
void shutdownLogging();
