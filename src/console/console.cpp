#include "console/console.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "app/run.h"

namespace oddfw {
namespace {

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed <= 0) return {};
  std::string out(static_cast<std::size_t>(needed) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<std::size_t>(needed));
  return out;
}

// The Windows box type of each box style.
uint32_t BoxType(int32_t style) {
  switch (style) {
    case AskOkCancel:
      return platform::kMbOkCancel | platform::kMbIconQuestion;
    case AskYesNo:
      return platform::kMbYesNo | platform::kMbIconQuestion;
    case ErrorNotice:
      return platform::kMbOk | platform::kMbIconHand;
    case InfoNotice:
      return platform::kMbOk | platform::kMbIconAsterisk;
    case WarningNotice:
      return platform::kMbOk | platform::kMbIconExclamation;
    default:
      return platform::kMbOk;
  }
}

// The host's performance counter, started with a wait of `ms`.
class FineCounter {
 public:
  FineCounter(platform::Clock& clock, uint32_t ms) {
    int64_t frequency = 0;
    if (!clock.QueryPerformanceFrequency(&frequency) || frequency <= 0 ||
        !clock.QueryPerformanceCounter(&start_)) {
      return;
    }
    frequency_ = static_cast<uint64_t>(frequency);
    // ms * frequency / 1000 rounded up, without overflowing 64 bits.
    counts_ = ms / 1000 * frequency_ + (ms % 1000 * frequency_ + 999) / 1000;
  }

  bool present() const { return frequency_ != 0; }

  // Whole milliseconds (rounded up) until the wait has run its length by the
  // counter, 0 when it has; false when the counter cannot be read. A counter
  // that went backwards counts as not having moved.
  bool LeftMs(platform::Clock& clock, uint64_t* leftMs) const {
    int64_t now = 0;
    if (!clock.QueryPerformanceCounter(&now)) return false;
    const uint64_t passed = now > start_ ? static_cast<uint64_t>(now - start_) : 0;
    const uint64_t left = passed >= counts_ ? 0 : counts_ - passed;
    *leftMs = left / frequency_ * 1000 + (left % frequency_ * 1000 + frequency_ - 1) / frequency_;
    return true;
  }

 private:
  uint64_t frequency_ = 0;
  uint64_t counts_ = 0;
  int64_t start_ = 0;
};

// Formats into a buffer on the stack and prints the text, so the lines a
// procedure prints again and again (progress, revisions) allocate nothing;
// a longer text goes through the heap.
void PrintFormatted(Run& run, const char* format, va_list args) {
  char local[256];
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(local, sizeof local, format, copy);
  va_end(copy);
  if (needed >= 0 && static_cast<std::size_t>(needed) < sizeof local) {
    PrintText(run, std::string_view(local, static_cast<std::size_t>(needed)));
  } else {
    PrintText(run, FormatV(format, args));
  }
}

// A template with no conversions of its own ("%%" at most).
void PrintWithoutArguments(Run& run, const char* text, ...) {
  va_list args;
  va_start(args, text);
  PrintFormatted(run, text, args);
  va_end(args);
}

}  // namespace

void PrintText(Run& run, std::string_view text) {
  run.os.console.Write(text);
}

void PrintFormat(Run& run, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintFormatted(run, format, args);
  va_end(args);
}

void PrintTemplate(Run& run, const char* text) {
  // The texts come from the program's own tables, never from data.
  PrintWithoutArguments(run, text);
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  return text;
}

std::string DriveText(const void* bytes, std::size_t width) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  std::string text;
  for (std::size_t i = 0; i < width && p[i] != 0; ++i) {
    text += (p[i] >= 0x20 && p[i] < 0x7F) ? static_cast<char>(p[i]) : '?';
  }
  return text;
}

int32_t ShowBox(Run& run, const std::string& text, int32_t style) {
  const int result = run.os.boxes.Show(text, kBoxCaption, BoxType(style));
  switch (result) {
    case platform::kIdOk:
    case platform::kIdCancel:
    case platform::kIdYes:
    case platform::kIdNo:
      return result;
    default:
      return 0;  // no box, or a result no caller knows
  }
}

void BeginTiming(Run& run) {
  platform::Clock& clock = run.os.clock;
  // Take the finest period the timer grants. The search stops at the coarsest
  // period it supports; if none is granted the wait still runs, only coarser.
  const uint32_t coarsest = clock.TimerPeriodMax();
  run.console.timerPeriod = 0;
  for (uint32_t period = 1; period <= coarsest; ++period) {
    if (clock.TimeBeginPeriod(period) == platform::kTimerNoError) {
      run.console.timerPeriod = period;
      break;
    }
  }
  run.console.start = clock.TimeGetTime();
}

uint32_t ReadClock(Run& run) {
  run.console.lastReading = run.os.clock.TimeGetTime();
  return run.console.lastReading;
}

void EndTiming(Run& run) {
  run.console.end = run.os.clock.TimeGetTime();
  if (run.console.timerPeriod != 0) run.os.clock.TimeEndPeriod(run.console.timerPeriod);
  run.console.timerPeriod = 0;
}

void DelayMs(Run& run, uint32_t ms) {
  platform::Clock& clock = run.os.clock;
  BeginTiming(run);
  const uint32_t start = run.console.start;
  // The millisecond clock moves in steps of the timer period, so a reading
  // difference of d may stand for as little as d - period of real time. A
  // finer counter, where the host has one, tells how long the wait has
  // really run; without one, or should it stand still, the wait runs one
  // period more than asked. Either way it never ends early.
  const uint64_t period = std::max<uint32_t>(run.console.timerPeriod, 1);
  const FineCounter fine(clock, ms);
  for (;;) {
    // Unsigned difference: a wrap-around of the clock neither shortens nor
    // lengthens the wait.
    const uint32_t elapsed = ReadClock(run) - start;
    if (ms == 0 || uint64_t{elapsed} >= uint64_t{ms} + period) break;
    uint64_t leftMs = uint64_t{ms} + period - elapsed;
    uint64_t fineLeftMs = 0;
    if (fine.present() && fine.LeftMs(clock, &fineLeftMs)) {
      if (elapsed >= ms && fineLeftMs == 0) break;
      leftMs = std::min(leftMs, std::max<uint64_t>(fineLeftMs, 1));
    }
    // Sleep rather than watch the clock: a pause costs no processor time.
    clock.Sleep(static_cast<uint32_t>(std::min<uint64_t>(leftMs, 0xFFFFFFFEu)));
  }
  EndTiming(run);
}

}  // namespace oddfw
