#pragma once
// SIGINT and SIGTERM for the simulator runner, the POSIX side of the
// program's interrupt handling: once the program has installed its handler
// these signals no longer end the runner; they are remembered, and the
// program sees them as interrupts (Ctrl+C) and stops at its next safe point.

namespace oddfw::tools {

// Installs the handlers of SIGINT and SIGTERM.
void InstallSignalHandlers();
// Whether one of them came since.
bool SignalCame();

}  // namespace oddfw::tools
