#pragma once

// File names and timings that the file operations of an update share.
namespace FileOps {

// The updater's own file, on every platform: a new one in the download is handed to the update
// helper instead of being copied over the running program, and the helper gets it twice as its
// arguments.
inline constexpr char UpdaterFileName[] = "update.exe";
// The installed version description, kept in the update/ sub-directory of the installation.
inline constexpr char VersionFileName[] = "update.ini";
// The installation's MD5 list, at the top of the installation.
inline constexpr char Md5FileName[] = "md5.txt";
// Sub-directory of the installation that holds update.ini and the pending files.
inline constexpr char UpdateSubDir[] = "update/";
// The new version description and MD5 list stored by a transport while an update is pending.
inline constexpr char PendingVersionFileName[] = "updateTmp.ini";
inline constexpr char PendingMd5FileName[] = "md5Tmp.txt";

// In the backup directory: the paths a replace creates where nothing was installed (one per line,
// relative to the installation, folders with a final "/"); a rollback removes them.
inline constexpr char AddedListFileName[] = "update_added.lst";

// The installation's configuration; saved with the backup when an update records its version.
inline constexpr char ConfigFileName[] = "system.cfg";

// A signed release carries, at its top, the manifest of its files and the manifest's minisign
// signature; both travel like any other file of the release.
inline constexpr char ReleaseManifestFileName[] = "release.manifest";
inline constexpr char ReleaseSignatureFileName[] = "release.manifest.minisig";

// Marks, at the top of the installation, that installed files are being replaced: found at a
// start, it means an earlier run died half-way and the backup must be put back first.
inline constexpr char ReplaceMarkerFileName[] = "update_replace.pending";

// Delayed start: the script waits this long so that the updater has ended before the program runs
// (a new update.exe can then be replaced, the host program finds no second updater).
inline constexpr int DelayStartSeconds = 1;
inline constexpr char DelayStartScriptPrefix[] = "delay_start_";
inline constexpr char BatchScriptSuffix[] = ".bat";
inline constexpr char ShellScriptSuffix[] = ".sh";
inline constexpr char BatchInterpreter[] = "cmd.exe";
inline constexpr char ShellInterpreter[] = "/bin/sh";
// Two scripts started within one millisecond get the next free number instead of sharing a file.
inline constexpr int DelayStartNameAttempts = 1000;

} // namespace FileOps
