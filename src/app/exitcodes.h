#pragma once

// What update.exe tells the program that started it through its exit code. The console result
// line reports the check; the exit code reports how the whole run ended.
namespace ExitCode {

inline constexpr int Ok = 0;            // up to date, or updated and the host program started
inline constexpr int CouldNotStart = 1; // another updater runs, or system.cfg / the working dirs are unusable
inline constexpr int CheckFailed = 2;   // no usable transport, or the update check could not be made
inline constexpr int UpdateFailed = 3;  // download or installation failed or was cancelled; installation unchanged
inline constexpr int RestoreFailed = 4; // the installation could not be restored; retried at the next start

} // namespace ExitCode
