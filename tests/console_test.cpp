#include "console/console.h"

#include <gtest/gtest.h>

#include <chrono>

#include "sim_run.h"

namespace oddfw {
namespace {

using testing::SimRun;

TEST(PrintText, WritesBytesUnchanged) {
  SimRun r;
  PrintText(r.run, "100%% done\r\n");
  PrintText(r.run, std::string_view("a\0b", 3));
  EXPECT_EQ(r.host.consoleBytes(), std::string("100%% done\r\na\0b", 15));
}

// Short texts are formatted on the stack, longer ones on the heap: every
// length around the boundary comes out whole.
TEST(PrintFormat, TextsOfEveryLengthComeOutWhole) {
  for (const std::size_t length : {0u, 1u, 254u, 255u, 256u, 257u, 1000u}) {
    SimRun r;
    const std::string word(length, 'x');
    PrintFormat(r.run, "%s", word.c_str());
    PrintFormat(r.run, "\r%s %d%%", word.c_str(), 42);
    EXPECT_EQ(r.host.consoleBytes(), word + "\r" + word + " 42%") << length;
  }
}

TEST(PrintTemplate, PrintsTheTemplateWithItsPercentSignsResolved) {
  SimRun r;
  const std::string text(300, 'y');
  PrintTemplate(r.run, "\rProcessing 100%%");
  PrintTemplate(r.run, text.c_str());
  EXPECT_EQ(r.host.consoleBytes(), "\rProcessing 100%" + text);
}

TEST(ShowBox, ReturnsTheAnswerAndUsesTheStyleType) {
  struct Case {
    int32_t style;
    std::vector<int> answers;
    uint32_t type;
    int32_t result;
  };
  const Case cases[] = {
      {AskYesNo, {platform::kIdYes}, 0x24, 6},
      {AskYesNo, {platform::kIdNo}, 0x24, 7},
      {AskOkCancel, {platform::kIdCancel}, 0x21, 2},
      {ErrorNotice, {}, 0x10, 1},
      {InfoNotice, {}, 0x40, 1},
      {WarningNotice, {}, 0x30, 1},
      {AskYesNo, {0}, 0x24, 0},  // the box could not be shown
  };
  for (const Case& c : cases) {
    sim::SimOptions o;
    o.answers = c.answers;
    SimRun r(o);
    EXPECT_EQ(ShowBox(r.run, "text", c.style), c.result) << c.style;
    ASSERT_EQ(r.host.boxes().size(), 1u);
    EXPECT_EQ(r.host.boxes()[0].type, c.type);
    EXPECT_EQ(r.host.boxes()[0].caption, "TALVEK");
    EXPECT_EQ(r.host.boxes()[0].text, "text");
    EXPECT_TRUE(r.host.consoleBytes().empty());
  }
}

TEST(ShowBox, NoBoxAtAllGivesZero) {
  sim::SimOptions o;
  o.noBoxes = true;
  SimRun r(o);
  EXPECT_EQ(ShowBox(r.run, "text", InfoNotice), 0);
  EXPECT_EQ(ShowBox(r.run, "text", AskYesNo), 0);
}

TEST(DelayMs, WaitsAtLeastTheTimeAndCostsNoRealTime) {
  for (const uint32_t ms : {0u, 1u, 5u, 100u, 2000u, 5000u}) {
    SimRun r;
    const uint64_t before = r.host.clock().NowUs();
    const auto realStart = std::chrono::steady_clock::now();
    DelayMs(r.run, ms);
    const auto real = std::chrono::steady_clock::now() - realStart;
    const uint64_t waited = r.host.clock().NowUs() - before;
    EXPECT_GE(waited, uint64_t{ms} * 1000) << ms;
    EXPECT_LE(waited, uint64_t{ms} * 1000 + 2000) << ms;  // a reading costs a microsecond
    EXPECT_LT(real, std::chrono::milliseconds(50)) << ms;
  }
}

TEST(DelayMs, SurvivesTheClockWrappingAround) {
  for (const uint32_t startMs : {0xFFFFFFFFu - 1000u, 0xFFFFFFFFu, 0xFFFFF830u}) {
    sim::SimOptions o;
    o.clockStartMs = startMs;
    SimRun r(o);
    const uint64_t before = r.host.clock().NowUs();
    DelayMs(r.run, 2000);
    const uint64_t waited = r.host.clock().NowUs() - before;
    EXPECT_GE(waited, 2000000u) << startMs;
    EXPECT_LT(waited, 2003000u) << startMs;
  }
}

// The clock of the simulated host, with its performance counter held still
// (a counter that is broken) and its readings counted.
class WatchedClock : public platform::Clock {
 public:
  explicit WatchedClock(platform::Clock& inner) : inner_(inner) {}
  uint32_t TimeGetTime() override {
    ++readings;
    return inner_.TimeGetTime();
  }
  uint32_t TimeBeginPeriod(uint32_t periodMs) override { return inner_.TimeBeginPeriod(periodMs); }
  uint32_t TimeEndPeriod(uint32_t periodMs) override { return inner_.TimeEndPeriod(periodMs); }
  uint32_t TimerPeriodMax() override { return inner_.TimerPeriodMax(); }
  void Sleep(uint32_t ms) override { inner_.Sleep(ms); }
  bool QueryPerformanceFrequency(int64_t* countsPerSecond) override {
    return inner_.QueryPerformanceFrequency(countsPerSecond);
  }
  bool QueryPerformanceCounter(int64_t* count) override {
    ++readings;
    const bool ok = inner_.QueryPerformanceCounter(count);
    if (stuck) *count = 1000;
    return ok;
  }
  int64_t CurrentTimeSeconds() override { return inner_.CurrentTimeSeconds(); }

  int readings = 0;
  bool stuck = false;

 private:
  platform::Clock& inner_;
};

struct WatchedRun {
  explicit WatchedRun(sim::SimOptions options = {})
      : host(std::move(options)),
        clock(host.platform().clock),
        platform(host.platform().WithClock(clock)),
        run(platform) {}
  sim::SimPlatform host;
  WatchedClock clock;
  platform::Platform platform;
  Run run;
};

// The millisecond clock counts whole milliseconds: a wait that starts late in
// one still lasts its full length, with the host's performance counter and
// without it (then it runs one tick more).
TEST(DelayMs, NeverEndsEarlyWhereverInAMillisecondItStarts) {
  for (const bool counter : {true, false}) {
    for (const uint64_t phaseUs : {0u, 1u, 500u, 998u, 999u}) {
      for (const uint32_t ms : {1u, 5u, 100u, 2000u}) {
        sim::SimOptions o;
        o.performanceCounter = counter;
        SimRun r(o);
        r.host.clock().SleepUs(phaseUs);
        const uint64_t before = r.host.clock().NowUs();
        DelayMs(r.run, ms);
        const uint64_t waited = r.host.clock().NowUs() - before;
        SCOPED_TRACE(::testing::Message()
                     << "counter " << counter << " phase " << phaseUs << " us, " << ms << " ms");
        EXPECT_GE(waited, uint64_t{ms} * 1000);
        EXPECT_LE(waited, uint64_t{ms} * 1000 + (counter ? 0 : 1000) + 20);
      }
    }
  }
}

// A wait sleeps through its length instead of reading the clock again and
// again, and a performance counter that stands still cannot hold it longer
// than the millisecond clock allows.
TEST(DelayMs, SleepsAndIsBoundedByTheMillisecondClock) {
  for (const bool stuck : {false, true}) {
    WatchedRun r;
    r.clock.stuck = stuck;
    r.host.clock().SleepUs(300);
    const uint64_t before = r.host.clock().NowUs();
    DelayMs(r.run, 2000);
    const uint64_t waited = r.host.clock().NowUs() - before;
    EXPECT_GE(waited, 2000000u) << stuck;
    EXPECT_LE(waited, 2001020u) << stuck;
    EXPECT_LE(r.clock.readings, 8) << stuck;
  }
}

TEST(DelayMs, NothingToWaitForReturnsAtOnce) {
  for (const bool counter : {true, false}) {
    sim::SimOptions o;
    o.performanceCounter = counter;
    SimRun r(o);
    const uint64_t before = r.host.clock().NowUs();
    DelayMs(r.run, 0);
    EXPECT_LT(r.host.clock().NowUs() - before, 10u) << counter;
  }
}

TEST(Timing, BeginTakesTheFinestPeriodAndEndGivesItBack) {
  SimRun r;
  BeginTiming(r.run);
  EXPECT_EQ(r.run.console.timerPeriod, 1u);
  const uint32_t start = r.run.console.start;
  r.host.clock().Sleep(7);
  EXPECT_EQ(ReadClock(r.run) - start, 7u);
  EndTiming(r.run);
  EXPECT_EQ(r.run.console.timerPeriod, 0u);
  EXPECT_GE(r.run.console.end - start, 7u);
}

}  // namespace
}  // namespace oddfw
