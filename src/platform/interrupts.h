#pragma once
// Interrupts from the user: Ctrl+C, Ctrl+Break or closing the console on
// Windows (SIGINT and SIGTERM for the simulator runner). Left alone they end
// the process at once, also in the middle of a firmware transfer, which
// leaves the drive with half a firmware. Once Install has run they are only
// remembered: the program finishes the drive it works on and stops at its
// next safe point.

namespace oddfw::platform {

class Interrupts {
 public:
  virtual ~Interrupts() = default;
  // From now on an interrupt no longer ends the process; it is remembered
  // (SetConsoleCtrlHandler with a handler that swallows what it may).
  virtual void Install() = 0;
  // Whether an interrupt came since Install.
  virtual bool Pending() = 0;
  // The program enters (true) or leaves (false) a stretch that must not be
  // cut short: a drive in its update mode. A request the system does not let
  // the program refuse (the console being closed) is held off while the
  // program is inside one, as long as the system allows.
  virtual void SetCritical(bool inside) = 0;
};

}  // namespace oddfw::platform
