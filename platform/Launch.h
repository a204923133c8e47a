// Starting other programs for the download controller: the game's installer, opened the
// way the desktop would open it, and the power-off command after a download.
//
// Launch failures are reported with the small set of old launch codes the controller's
// reason texts are keyed by; a code of 32 or more means the program was started.
#pragma once

#include <string>
#include <string_view>

namespace koruvan::platform {

// Old launch codes (below 32: failure).
inline constexpr int kLaunchUnknownFailure = 0;
inline constexpr int kLaunchFileNotFound = 2;
inline constexpr int kLaunchPathNotFound = 3;
inline constexpr int kLaunchAccessDenied = 5;
inline constexpr int kLaunchOutOfMemory = 8;
inline constexpr int kLaunchBadFormat = 11;
inline constexpr int kLaunchNoAssociation = 31;
// Any value of 32 or more means success; this one is what OpenInstaller returns.
inline constexpr int kLaunchStarted = 42;

// The old code for an errno value: ENOENT 2, ENOTDIR 3, EACCES and EPERM 5, ENOMEM 8,
// ENOEXEC 11; anything else kLaunchUnknownFailure.
[[nodiscard]] int LaunchCodeFromErrno(int error) noexcept;

// Opens `path` with `workingFolder` as the working folder and does not wait for it:
// - a Windows program (the file starts with "MZ") runs under `wine` when that is on PATH;
// - an ELF binary or a "#!" script gets the owner's execute bit and runs directly;
// - anything else (and a Windows program without wine) goes to `xdg-open`; without it the
//   result is kLaunchNoAssociation.
// The started program keeps this process's standard output and error, reads from
// /dev/null, and lives in a session of its own, so it outlives this process and never
// becomes a zombie of it. Returns kLaunchStarted once the program was executed, otherwise
// the old code of what went wrong (file missing, folder missing, no permission, not an
// executable format, …).
[[nodiscard]] int OpenInstaller(const std::string& path, const std::string& workingFolder);

// The power-off command: the program named by KORUVAN_SHUTDOWN_CMD when that is set and
// not empty (every test sets it to a recording stub), else `shutdown`; run as
// `<command> -P +<delayMinutes> <message>` and waited for (at most 10 seconds, then it is
// killed). True when it ran and exited with status 0.
[[nodiscard]] bool ScheduleSystemShutdown(std::string_view message, int delayMinutes);

// The first program called `name` on PATH; empty when there is none.
[[nodiscard]] std::string FindOnPath(std::string_view name);

}  // namespace koruvan::platform
