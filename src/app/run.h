#pragma once
// Everything one run of the program knows: the operating-system seam and the
// state records of every subsystem, one instance each. A fresh Run is a fresh
// program start.

#include "app/definition.h"
#include "app/driver.h"
#include "commands/revision.h"
#include "console/console.h"
#include "discovery/host_detection.h"
#include "discovery/host_state.h"
#include "image/checks.h"
#include "image/firmware_image.h"
#include "platform/platform.h"
#include "procedures/family0000.h"
#include "transport/transport.h"

namespace oddfw {

struct Run {
  explicit Run(platform::Platform& platform) : os(platform) {}
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  platform::Platform& os;

  ConsoleState console;
  DriverState driver;
  DefinitionState definition;
  HostState host;
  HostDetectionState detection;
  TransportState transport;
  RevisionState revision;
  ImageState image;
  CheckState checks;
  Family0000State family0000;
};

}  // namespace oddfw
