#include "tools/posix_interrupts.h"

#include <csignal>

namespace oddfw::tools {
namespace {

// A signal handler has no context: the flag it sets lies here.
volatile std::sig_atomic_t signalCame = 0;

extern "C" void OnSignal(int) {
  signalCame = 1;
}

}  // namespace

void InstallSignalHandlers() {
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // a wait or a write goes on
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool SignalCame() {
  return signalCame != 0;
}

}  // namespace oddfw::tools
