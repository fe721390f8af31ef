#pragma once

#include <QString>
#include <QStringList>

// Which paths the updater accepts, and how it compares them. Every path that a server or
// system.cfg hands the updater is checked by pathProblem(); the Windows name rules hold on every
// platform, so that a release which installs on a Linux test machine also installs where the
// program is used.

// How the file system of this platform compares names: "Temp" and "temp" are one directory on
// Windows, two elsewhere. Paths on disk (is this inside that, is this entry the special file)
// compare with it.
#ifdef Q_OS_WIN
inline constexpr Qt::CaseSensitivity FileSystemCase = Qt::CaseInsensitive;
#else
inline constexpr Qt::CaseSensitivity FileSystemCase = Qt::CaseSensitive;
#endif

// Where a path comes from, which decides its form.
enum class PathKind {
    // [Paths] Temp or [Paths] Backup: a directory strictly below the application directory,
    // "/" or "\" between components; "a/../b" is read as "b". The whole of it is removed and
    // re-created on every run.
    WorkDirectory,
    // A path of an MD5 list or a release manifest: "/dir/file", one "/" before every component,
    // no backslash.
    ListPath,
    // The directory a TCP server names for a file: relative to the download directory, "/" or
    // "\" between components, empty or "." components ignored; empty for the top level.
    TransferDirectory,
    // The name of one file: a single component.
    FileName,
};

// Why path cannot be used as a path of that kind, or an empty string when it can. No kind lets a
// path leave its directory: no "..", no absolute path or drive letter, no ":" (a drive or an
// alternate data stream on Windows), no control character, and no component that Windows cannot
// hold (windowsNameProblem()).
[[nodiscard]] QString pathProblem(const QString &path, PathKind kind);

// Why Windows cannot use name as one component of a path, or an empty string when it can:
// a device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9 and the console devices, in any case,
// alone or followed by an extension: "nul.txt" is the device too), or a name that ends in a dot
// or a blank (Windows drops them, so "a.dll." and "a.dll" would be one file).
[[nodiscard]] QString windowsNameProblem(const QString &name);

// The first of paths that names the same file as an earlier one when letter case is ignored
// ("/Bin/a.dll" after "/bin/A.dll"; both separators count alike), or an empty string. Windows
// keeps only one of the two, so a release may not hold both on any platform. A path repeated
// exactly is no collision.
[[nodiscard]] QString firstCaseCollision(const QStringList &paths);

// True when path is root or lies below it, both already clean (QDir::cleanPath()), compared
// with FileSystemCase.
[[nodiscard]] bool isSameOrInside(const QString &path, const QString &root);

// True when a and b name the same directory or one lies inside the other. Both are relative
// directories as system.cfg writes them ("\" counts as "/"), compared with FileSystemCase.
[[nodiscard]] bool directoriesOverlap(const QString &a, const QString &b);
