#pragma once
// The seam between the program and the operating system: one small interface
// per area. A backend (Win32, the simulated host) provides all of them.

#include "platform/aspi.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/events.h"
#include "platform/files.h"
#include "platform/interrupts.h"
#include "platform/locale.h"
#include "platform/memory.h"
#include "platform/message_box.h"
#include "platform/os_version.h"
#include "platform/passthrough.h"
#include "platform/power.h"
#include "platform/registry.h"

namespace oddfw::platform {

struct Platform {
  Console& console;
  MessageBoxes& boxes;
  Locale& locale;
  Clock& clock;
  OsInfo& osInfo;
  Memory& memory;
  Registry& registry;
  Aspi& aspi;
  Events& events;
  PassThrough& passThrough;
  Files& files;
  Power& power;
  Interrupts& interrupts;

  // The same seam with other files or another clock (tests and tools that
  // watch file access or try another clock).
  Platform WithFiles(Files& other) const {
    return Platform{console, boxes,  locale,      clock, osInfo, memory,    registry,
                    aspi,    events, passThrough, other, power,  interrupts};
  }
  Platform WithClock(Clock& other) const {
    return Platform{console, boxes,  locale,      other, osInfo, memory,    registry,
                    aspi,    events, passThrough, files, power,  interrupts};
  }
};

}  // namespace oddfw::platform
