#pragma once
// What the default run (one MHT-860 at E: going from 1.05 to 1.10) prints,
// shared by the tests of the procedure and of the oddfw-sim runner.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/catalog.h"

namespace oddfw::testing {

inline const std::string kBanner = "\n/// ODD Firmware Update Utility Ver2.59B\n";

inline std::string Message(int code) {
  return MessageTemplate(code, false);
}

inline std::string StartLine(int drive) {
  return "\r\nStart updating the device No." + std::to_string(drive) + ".";
}

inline std::string CurrentLine(const std::string& revision, const std::string& date) {
  return "\nCurrent Revision>> QUORVEN BD-RW   MHT-860  " + revision + " " + date;
}

inline std::string NewLine(const std::string& revision, const std::string& date) {
  return "\nNew Revision    >> QUORVEN BD-RW   MHT-860  " + revision + " " + date;
}

inline const std::string kSignatureLine = "\nCurrent Signature = GENERAL ";

// The progress lines of a 2 MiB image in 64 pieces: offset x 100 / length.
inline std::string TransferLines(uint32_t length = 0x200000) {
  std::string lines;
  for (uint32_t offset = 0; offset < length; offset += 0x8000) {
    lines += "\rProcessing " + std::to_string(offset * 100 / length) + "%";
  }
  return lines;
}

inline const std::string kTransferDone =
    "\rProcessing 100% --> Data transfer complete\r\nNow internal re-flashing...";
inline const std::string kReflashDone = "\rFW Reflashing 100%";

// The question before the update: the drive's and the image's identities.
inline std::string Question82(const std::string& fromRevision, const std::string& fromDate) {
  return "\r\nDo you want to update the F/W\r\nFrom : QUORVEN BD-RW   MHT-860  " + fromRevision +
         " (20" + fromDate + ")\r\nTo : QUORVEN BD-RW   MHT-860  1.10  (2009/02/18)";
}

// Everything the default update prints before the re-flash progress.
inline std::string UpdateHead(const std::string& fromRevision = "1.05 ",
                              const std::string& fromDate = "2009/01/20") {
  return CurrentLine(fromRevision, fromDate) + kSignatureLine + Message(61) + TransferLines() +
         kTransferDone + "\n";
}

// ... and after it.
inline std::string UpdateTail() {
  return kReflashDone + NewLine("1.10 ", "2009/02/18") + Message(12);
}

// Reads the re-flash progress lines "\rFW Reflashing N%" at the start of
// `text`; returns their percentages and the length they take.
inline std::vector<int> ReflashProgress(const std::string& text, std::size_t* used) {
  static const std::string kPrefix = "\rFW Reflashing ";
  std::vector<int> values;
  std::size_t at = 0;
  while (text.compare(at, kPrefix.size(), kPrefix) == 0) {
    std::size_t end = at + kPrefix.size();
    std::size_t digits = end;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == end || digits >= text.size() || text[digits] != '%') break;
    const int value = std::stoi(text.substr(end, digits - end));
    if (value == 100) break;  // the closing line
    values.push_back(value);
    at = digits + 1;
  }
  *used = at;
  return values;
}

// Splits a console at one re-flash: before it, its progress values, after.
struct ReflashSplit {
  std::string before;
  std::vector<int> progress;
  std::string after;
};

inline ReflashSplit SplitAtReflash(const std::string& console, std::size_t from = 0) {
  ReflashSplit s;
  const std::size_t start = console.find("\rFW Reflashing ", from);
  if (start == std::string::npos) {
    s.before = console;
    return s;
  }
  s.before = console.substr(0, start);
  std::size_t used = 0;
  s.progress = ReflashProgress(console.substr(start), &used);
  s.after = console.substr(start + used);
  return s;
}

// The percentages rise from where polling began to 99, never back.
inline void ExpectRisingProgress(const std::vector<int>& progress) {
  ASSERT_FALSE(progress.empty());
  EXPECT_LT(progress.front(), 50);
  EXPECT_EQ(progress.back(), 99);
  for (std::size_t i = 1; i < progress.size(); ++i) {
    EXPECT_LE(progress[i - 1], progress[i]) << "line " << i;
  }
}

// The whole console of the default run.
inline void ExpectDefaultConsole(const std::string& console) {
  const ReflashSplit s = SplitAtReflash(console);
  EXPECT_EQ(s.before, kBanner + StartLine(1) + UpdateHead());
  ExpectRisingProgress(s.progress);
  EXPECT_GE(s.progress.size(), 50u);
  EXPECT_EQ(s.after, UpdateTail() + Message(35));
}

}  // namespace oddfw::testing
