// The console a command-line front end runs in: whether an output stream is a terminal,
// and the interrupt keys (Ctrl-C, and a polite kill) turned into a flag the front end's
// loop polls, so that it can stop its work cleanly instead of dying mid-write.
#pragma once

namespace koruvan::platform {

enum class StandardStream { Output, Error };

// True when the stream is connected to a terminal.
[[nodiscard]] bool IsTerminal(StandardStream stream) noexcept;

// From now on SIGINT, SIGTERM and SIGHUP only set the interrupt flag (a second SIGINT
// while the flag is set ends the process at once, for a user who is done waiting).
void CatchInterrupts() noexcept;

// Whether an interrupt arrived since CatchInterrupts (or the last ClearInterrupt).
[[nodiscard]] bool Interrupted() noexcept;
void ClearInterrupt() noexcept;

}  // namespace koruvan::platform
