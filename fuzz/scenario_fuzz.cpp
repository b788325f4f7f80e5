// The scenario parser on any text, and the program on every scenario it
// takes. ParseScenario must accept the text or refuse it with a
// ScenarioError; any other exception, a crash, a leak or a request for
// gigabytes is a finding. An accepted scenario is then run: the simulated
// host it describes, its files held in memory, the whole program, with the
// scenario's answers and No to every question after the sixth (so the user
// does not retry for ever). The run must end, within its bounds of virtual
// time, without waiting for ever, without misusing the host, and without a
// control character on the console that the program did not write itself.

#include <cstring>
#include <string>
#include <string_view>

#include "app/driver.h"
#include "app/run.h"
#include "fuzz/fuzz_fixture.h"
#include "sim/scenario.h"
#include "sim/sim_platform.h"
#include "sim/virtual_clock.h"

namespace oddfw::fuzz {
namespace {

// A day of drive time: far beyond what any scenario's run needs with its
// answers running out to No.
inline constexpr uint64_t kVirtualTimeLimitUs = 24ull * 3600 * 1000000;
inline constexpr int kQuestionsAnswered = 6;

// The release's file names come from the scenario's definition, and message
// 11 shows them: a name with control characters puts them there.
bool DefinitionHasControls(const sim::Scenario& s) {
  if (!s.definition) return false;
  for (const DefinitionEntry& e : s.definition->entries) {
    if (HasStrayControl(std::string_view(e.fileName, strnlen(e.fileName, sizeof e.fileName)))) {
      return true;
    }
  }
  return false;
}

}  // namespace
}  // namespace oddfw::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace oddfw;
  using namespace oddfw::fuzz;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  sim::Scenario scenario;
  try {
    scenario = sim::ParseScenario(text);
  } catch (const sim::ScenarioError&) {
    return 0;  // refused with a message: as it should be
  }
  scenario.options.realtime = false;

  MemoryFiles files;
  for (const sim::ScenarioFile& f : scenario.files) files.Put(f.name, f.bytes);
  sim::SimPlatform host(scenario.options);
  host.clock().SetLimitUs(kVirtualTimeLimitUs);
  int questions = 0;
  std::size_t scripted = 0;
  host.SetBoxAnswerer([&](const sim::BoxRecord& box) {
    const uint32_t buttons = box.type & 0x0F;
    if (buttons != platform::kMbYesNo && buttons != platform::kMbOkCancel) return platform::kIdOk;
    if (scripted < scenario.options.answers.size()) return scenario.options.answers[scripted++];
    return ++questions <= kQuestionsAnswered
               ? (buttons == platform::kMbYesNo ? platform::kIdYes : platform::kIdOk)
               : (buttons == platform::kMbYesNo ? platform::kIdNo : platform::kIdCancel);
  });
  platform::Platform platform = host.platform().WithFiles(files);
  Run run(platform);
  DriverHooks hooks = DriverHooks::Program();
  if (scenario.definition) hooks.fillDefinition = sim::DefinitionFiller(*scenario.definition);

  int exitCode = -1;
  try {
    exitCode = RunDriver(run, hooks);
  } catch (const sim::SimDeadlock& e) {
    FUZZ_CHECK(false, std::string("the program waits for ever: ") + e.what());
  } catch (const sim::SimTimeLimit& e) {
    FUZZ_CHECK(false, std::string("the program does not end: ") + e.what());
  }
  FUZZ_CHECK(exitCode == 0 || exitCode == 1, "exit code " + std::to_string(exitCode));
  FUZZ_CHECK(files.openNow() == 0, "a file was left open");
  FUZZ_CHECK(host.misuse().empty(), "misuse of the host: " + host.misuse().front());
  if (!DefinitionHasControls(scenario)) {
    FUZZ_CHECK(!HasStrayControl(host.consoleBytes()),
               "a control character reached the console: " + host.consoleBytes());
  }
  return 0;
}
