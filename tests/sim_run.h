#pragma once
// A fresh run of the program on a fresh simulated host.

#include "app/run.h"
#include "sim/sim_platform.h"

namespace oddfw::testing {

struct SimRun {
  explicit SimRun(sim::SimOptions options = {}) : host(std::move(options)), run(host.platform()) {}
  sim::SimPlatform host;
  Run run;
};

}  // namespace oddfw::testing
