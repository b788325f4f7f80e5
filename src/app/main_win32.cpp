// The Windows program: the real operating system behind the seam, one run
// of the driver, its exit code. Command-line arguments have no effect.
#include <memory>

#include "app/driver.h"
#include "app/run.h"
#include "platform/win32/win32_platform.h"

int main() {
  oddfw::platform::win32::Win32Platform host;
  // The run's records are kept off the stack: they are large and grow with
  // each subsystem.
  const auto run = std::make_unique<oddfw::Run>(host.platform());
  return oddfw::RunDriver(*run);
}
