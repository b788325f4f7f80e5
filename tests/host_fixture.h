#pragma once
// Simulated hosts and requests for the tests of detection, discovery and the
// transport.

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "app/run.h"
#include "discovery/host_detection.h"
#include "sim/drive/drive.h"
#include "sim/drive/faults.h"
#include "sim/scenario.h"
#include "sim_run.h"
#include "transport/transport.h"

namespace oddfw::testing {

inline sim::SimOptions HostOptions(const char* windows) {
  sim::SimOptions o;
  o.osVersion = sim::WindowsVersion(windows);
  return o;
}

// A Windows 98 host whose ASPI layer reports these adapters.
inline sim::SimOptions Win98Host(std::vector<std::string> adapters) {
  sim::SimOptions o = HostOptions("98");
  o.InstallAspi(std::move(adapters));
  return o;
}

// A drive of the release with fault rules around it.
inline std::shared_ptr<sim::drive::FaultInjector> FaultyDrive(
    std::vector<sim::drive::FaultRule> rules,
    const sim::drive::DriveProfile& profile = sim::drive::DriveProfile::ReleaseDrive()) {
  return std::make_shared<sim::drive::FaultInjector>(sim::drive::MakeDrive(profile),
                                                     std::move(rules));
}

inline sim::drive::FaultRule FailRule(uint8_t opcode, uint8_t key, uint8_t asc, uint8_t ascq) {
  sim::drive::FaultRule r;
  r.opcode = opcode;
  r.senseKey = key;
  r.asc = asc;
  r.ascq = ascq;
  return r;
}

inline sim::drive::FaultRule HangRule(uint8_t opcode) {
  sim::drive::FaultRule r;
  r.opcode = opcode;
  r.action = sim::drive::FaultAction::kHang;
  return r;
}

inline sim::drive::FaultRule TransportErrorRule(uint8_t opcode) {
  sim::drive::FaultRule r;
  r.opcode = opcode;
  r.times = 1;
  r.action = sim::drive::FaultAction::kTransportError;
  return r;
}

// A run on a detected host whose target table holds the given entries, as
// discovery would have left it.
struct HostRun {
  explicit HostRun(sim::SimOptions options) : r(std::make_unique<SimRun>(std::move(options))) {
    FillBuiltInDefinition(run());
    DetectHostEnvironment(run());
  }
  Run& run() { return r->run; }
  sim::SimPlatform& host() { return r->host; }
  void AddLetter(char letter) {
    run().host.targetTable[run().host.targetCount++].driveLetter = letter;
  }
  void AddAddress(int adapter, int target) {
    TargetEntry& e = run().host.targetTable[run().host.targetCount++];
    e.adapter = adapter;
    e.target = target;
  }
  std::unique_ptr<SimRun> r;
};

inline ScsiRequest Request(int32_t target, std::initializer_list<uint8_t> cdb,
                           int32_t timeoutMs = 60000, int32_t direction = kNoData,
                           uint8_t* data = nullptr, int32_t length = 0) {
  ScsiRequest q;
  q.targetIndex = target;
  q.direction = direction;
  q.cdbLength = static_cast<int32_t>(cdb.size());
  q.timeoutMs = timeoutMs;
  q.dataLength = length;
  q.data = data;
  int i = 0;
  for (const uint8_t b : cdb) q.cdb[i++] = b;
  return q;
}

inline ScsiRequest TestUnitReady(int32_t target, int32_t timeoutMs = 60000) {
  return Request(target, {0x00, 0, 0, 0, 0, 0}, timeoutMs);
}

inline ScsiRequest Inquiry(int32_t target, uint8_t* data, int32_t timeoutMs = 5000) {
  return Request(target, {0x12, 0, 0, 0, 0x60, 0}, timeoutMs, kDataIn, data, 96);
}

inline ScsiRequest ReadVendorIdentity(int32_t target, uint8_t* data, int32_t timeoutMs = 60000) {
  return Request(target, {0x3C, 2, 0xF1, 0, 0, 0, 0, 0, 0x30, 0}, timeoutMs, kDataIn, data, 48);
}

inline ScsiRequest WriteBuffer(int32_t target, uint8_t mode, uint8_t bufferId, uint8_t* data,
                               int32_t length, int32_t timeoutMs) {
  return Request(target,
                 {0x3B, mode, bufferId, 0, 0, 0, 0, static_cast<uint8_t>(length >> 8),
                  static_cast<uint8_t>(length), 0},
                 timeoutMs, length > 0 ? kDataOut : kNoData, data, length);
}

}  // namespace oddfw::testing
