#include "discovery/host_state.h"

#include <cstdio>
#include <cstring>

#include "app/run.h"

namespace oddfw {
namespace {

// The one-byte input of IOCTL_STORAGE_MCN_CONTROL.
inline constexpr uint8_t kSuspendNotification = 1;
inline constexpr uint8_t kRestoreNotification = 0;

}  // namespace

int32_t ControlMediaNotification(Run& run, char letter) {
  HostState& h = run.host;
  if (h.aspiMode) return 0;
  // Discovery has just appended this letter to the device list.
  if (h.cdDeviceCount <= 0 || h.cdDevices[h.cdDeviceCount - 1].letter != letter) return 0;
  CdDevice& entry = h.cdDevices[h.cdDeviceCount - 1];

  char path[256] = {};
  std::snprintf(path, sizeof path, "\\\\.\\%c:", letter);
  // No read or write access: the handle only carries the control, and it
  // stays open until the clean-up restores notification through it.
  entry.handle =
      run.os.passThrough.CreateFile(path, 0, platform::kFileShareRead | platform::kFileShareWrite);
  if (entry.handle == platform::InvalidHandle()) return 0;
  return run.os.passThrough.MediaChangeControl(entry.handle, kSuspendNotification) ? 1 : 0;
}

void RestoreMediaNotification(Run& run, int index) {
  HostState& h = run.host;
  if (h.aspiMode || index < 0 || index >= h.cdDeviceCount) return;
  const platform::Handle handle = h.cdDevices[index].handle;
  // An entry whose open failed has nothing to restore.
  if (handle == nullptr || handle == platform::InvalidHandle()) return;
  run.os.passThrough.MediaChangeControl(handle, kRestoreNotification);
}

}  // namespace oddfw
