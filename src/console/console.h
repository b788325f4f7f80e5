#pragma once
// The two channels to the user, the console and modal message boxes, and the
// timed waits the whole program uses.

#include <cstdint>
#include <string>
#include <string_view>

// Format checks follow the printf the program formats with: on mingw-w64
// that is mingw's own ISO C printf (gnu_printf: %zu, %lld), which C++ builds
// use, not the system library's dialect that plain "printf" names there.
#if defined(__MINGW_PRINTF_FORMAT)
#define ODDFW_PRINTF_FORMAT(fmt, first) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, first)))
#else
#define ODDFW_PRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))
#endif

namespace oddfw {

struct Run;

// How a catalog message is presented.
enum MessageStyle : int32_t {
  ConsoleOnly = 0,  // also every value not listed here
  AskOkCancel = 1,
  AskYesNo = 2,
  ErrorNotice = 16,
  InfoNotice = 17,
  WarningNotice = 18,
};

// The caption of every box.
inline constexpr const char* kBoxCaption = "TALVEK";

// Timing state of the multimedia timer.
struct ConsoleState {
  uint32_t timerPeriod = 0;  // period granted at the last BeginTiming
  uint32_t start = 0;        // clock at BeginTiming
  uint32_t lastReading = 0;  // last value ReadClock returned
  uint32_t end = 0;          // clock at EndTiming
};

// Writes the text to the console unchanged and flushed.
void PrintText(Run& run, std::string_view text);

// Formats with the printf conventions, then prints the result.
void PrintFormat(Run& run, const char* format, ...) ODDFW_PRINTF_FORMAT(2, 3);

// Prints a text that takes no values, formatted (each "%%" prints as "%").
void PrintTemplate(Run& run, const char* text);

// printf-style formatting into a string.
std::string Format(const char* format, ...) ODDFW_PRINTF_FORMAT(1, 2);

// Text that came from a drive (INQUIRY fields, vendor identity) or from an
// image file's header, made safe to print: at most `width` bytes, ending at a
// zero byte, with every byte that is not printable ASCII (control characters,
// escape sequences) shown as '?', so a faulty drive or file cannot move the
// cursor or rewrite the screen.
std::string DriveText(const void* bytes, std::size_t width);

// Shows a modal box for one of the box styles (1, 2, 16, 17, 18) and returns
// the box result: 1 OK, 2 Cancel, 6 Yes, 7 No, 0 when no box could be shown.
int32_t ShowBox(Run& run, const std::string& text, int32_t style);

// Raises the timer resolution and records the start time.
void BeginTiming(Run& run);
// Reads the millisecond clock and records the reading.
uint32_t ReadClock(Run& run);
// Records the end time and gives the timer resolution back.
void EndTiming(Run& run);
// Waits at least `ms` milliseconds of real time, also across a wrap-around of
// the clock, sleeping rather than keeping a processor busy.
void DelayMs(Run& run, uint32_t ms);

}  // namespace oddfw
