#pragma once

// Names, time-outs and exit codes of updatehelper.exe, the program that replaces update.exe
// after the updater has ended.
namespace Helper {

// Beside update.exe's own update.log, in the folder named by [Paths] Log.
inline constexpr char LogFileName[] = "updatehelper.log";

// How long the helper waits for the running update.exe to end. The updater quits right after it
// has started the helper, which runs a second later; a minute-long wait means it hangs.
inline constexpr int UpdaterExitTimeoutMs = 30000;
inline constexpr int UpdaterExitPollMs = 100;

// A virus scanner may hold a freshly written file open for a moment; on Windows the rename over
// update.exe is tried this often before the helper gives up.
inline constexpr int RenameAttempts = 5;
inline constexpr int RenameRetryPauseMs = 200;

// Files are copied and compared in pieces of this size, so update.exe is never held in memory.
inline constexpr int CopyChunkSize = 64 * 1024;

// Beside the installed file, unique per run: "update.exe.XXXXXX.new" is the new content before
// the rename, "update.exe.XXXXXX.old" a copy of the old one until the result has been checked.
inline constexpr char StagingSuffix[] = ".new";
inline constexpr char KeptSuffix[] = ".old";
inline constexpr char UniqueInfix[] = ".XXXXXX";

// The command line that hands back to update.exe.
inline constexpr char HelperModeArgument[] = "updatehelper";
inline constexpr char SuccessArgument[] = "HelperSuccess";
inline constexpr char FailureArgument[] = "HelperFaile";

// Exit codes of updatehelper.exe.
enum class ExitCode : int {
    // update.exe replaced and checked; "update.exe updatehelper HelperSuccess" started.
    Replaced = 0,
    // Not two plain file names (or the helper's own name): nothing touched, nothing started.
    BadArguments = 1,
    // update.exe did not end in time: nothing touched; "... HelperFaile" started.
    UpdaterStillRunning = 2,
    // The new file could not be installed (missing, unreadable, not written, not renamed, or its
    // copy differs); the old update.exe is in place, byte for byte; "... HelperFaile" started.
    ReplaceFailed = 3,
    // The new file was renamed into place but differs, and the old one could not be put back;
    // "... HelperFaile" started all the same.
    RestoreFailed = 4,
    // Everything before went as logged, but update.exe itself could not be started.
    StartFailed = 5,
};

} // namespace Helper
