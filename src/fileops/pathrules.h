#pragma once

#include <QString>
#include <QStringList>

// Windows rules for file names. Every path that a server or system.cfg hands the updater is
// checked against them on every platform, so that a release which installs on a Linux test
// machine also installs where the program is used.

// Why Windows cannot use name as one component of a path, or an empty string when it can:
// a device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9 and the console devices, in any case,
// alone or followed by an extension: "nul.txt" is the device too), or a name that ends in a dot
// or a blank (Windows drops them, so "a.dll." and "a.dll" would be one file).
[[nodiscard]] QString windowsNameProblem(const QString &name);

// The first of paths that names the same file as an earlier one when letter case is ignored
// ("/Bin/a.dll" after "/bin/A.dll"; both separators count alike), or an empty string. Windows
// keeps only one of the two. A path repeated exactly is no collision.
[[nodiscard]] QString firstCaseCollision(const QStringList &paths);
