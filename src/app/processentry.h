#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The steps of the process entry that main() strings together, kept here so they can be tested.

// The text of the argument report box: the count, then one line argv[i]: "arg" per argument.
[[nodiscard]] QString argumentReportText(const QStringList &arguments);

// Shows the modal argument report box, unless UPDATE_NO_ARGUMENT_BOX=1 asks unattended runs to
// skip it; then writes the DEBUG lines about the arguments (logging is not set up yet, so they
// take the fallback path to standard output).
void reportArguments(const QStringList &arguments);

// The single-instance key: the executable's native absolute path followed by "SystemObject_Update".
[[nodiscard]] QString instanceKey();
// The same key for the program stored at executablePath (an absolute path).
[[nodiscard]] QString instanceKeyFor(const QString &executablePath);

// True when this process now owns the instance marker for key; false when another live process
// of the same executable owns it or the marker cannot be created.
[[nodiscard]] bool acquireSingleInstance(const QString &key);

// True when a live process owns the instance marker for key, or when the marker cannot be tested.
// Nothing is kept: a marker that a killed process left behind is removed, and a free marker is
// created and dropped again under the same semaphore that serialises acquireSingleInstance().
[[nodiscard]] bool isSingleInstanceHeld(const QString &key);

// Opens update.log in the directory named by [Paths] Log, logs "Update started" and, at DEBUG,
// the version of this build.
void startLogging();

// The text that "--help" (also "-h" and "/?") or "--version" asks for, or an empty text when the
// command line asks for neither and an update run starts.
[[nodiscard]] QString informationRequest(const QStringList &arguments);

// {"errormsg":"Controller initialization failed","success":false,"update":true}
[[nodiscard]] QByteArray consoleFailureLine();

// Writes one JSON line to standard output in the local 8-bit encoding and flushes it.
void writeConsoleLine(const QByteArray &compactJson);

// Writes text to standard output in the local 8-bit encoding and flushes it.
void writeConsoleText(const QString &text);
