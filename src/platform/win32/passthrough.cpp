// SCSI pass-through on drive letters ("\\.\E:") and the media-change
// notification control.
#include "platform/win32/windows_api.h"
// After windows_api.h: they build on windows.h.
#include <ntddscsi.h>
#include <winioctl.h>

#include <cstddef>

#include "platform/win32/win32_platform.h"

namespace oddfw::platform::win32 {

static_assert(kGenericRead == GENERIC_READ);
static_assert(kGenericWrite == GENERIC_WRITE);
static_assert(kFileShareRead == FILE_SHARE_READ);
static_assert(kFileShareWrite == FILE_SHARE_WRITE);
static_assert(kIoctlScsiPassThroughDirect == IOCTL_SCSI_PASS_THROUGH_DIRECT);
static_assert(kIoctlStorageMcnControl == IOCTL_STORAGE_MCN_CONTROL);
static_assert(kScsiIoctlDataOut == SCSI_IOCTL_DATA_OUT);
static_assert(kScsiIoctlDataIn == SCSI_IOCTL_DATA_IN);
static_assert(kScsiIoctlDataUnspecified == SCSI_IOCTL_DATA_UNSPECIFIED);
static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(kErrorPathNotFound == ERROR_PATH_NOT_FOUND);
static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(kErrorInvalidHandle == ERROR_INVALID_HANDLE);
static_assert(kErrorSharingViolation == ERROR_SHARING_VIOLATION);
static_assert(kErrorNotSupported == ERROR_NOT_SUPPORTED);
static_assert(kErrorDeviceNotConnected == ERROR_DEVICE_NOT_CONNECTED);

// Our record goes to the driver as the system's SCSI_PASS_THROUGH_DIRECT:
// same size, and every field at the same offset with the same width.
#define ODDFW_SAME_FIELD(field)                             \
  static_assert(offsetof(ScsiPassThroughDirect, field) ==   \
                offsetof(SCSI_PASS_THROUGH_DIRECT, field)); \
  static_assert(sizeof(ScsiPassThroughDirect::field) == sizeof(SCSI_PASS_THROUGH_DIRECT::field))
ODDFW_SAME_FIELD(Length);
ODDFW_SAME_FIELD(ScsiStatus);
ODDFW_SAME_FIELD(PathId);
ODDFW_SAME_FIELD(TargetId);
ODDFW_SAME_FIELD(Lun);
ODDFW_SAME_FIELD(CdbLength);
ODDFW_SAME_FIELD(SenseInfoLength);
ODDFW_SAME_FIELD(DataIn);
ODDFW_SAME_FIELD(DataTransferLength);
ODDFW_SAME_FIELD(TimeOutValue);
ODDFW_SAME_FIELD(DataBuffer);
ODDFW_SAME_FIELD(SenseInfoOffset);
ODDFW_SAME_FIELD(Cdb);
#undef ODDFW_SAME_FIELD
static_assert(sizeof(ScsiPassThroughDirect) == sizeof(SCSI_PASS_THROUGH_DIRECT));
static_assert(alignof(ScsiPassThroughDirect) == alignof(SCSI_PASS_THROUGH_DIRECT));
#if defined(_WIN64)
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56);
#else
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);  // the layout the 32-bit drivers take
#endif

Handle Win32PassThrough::CreateFile(const char* path, uint32_t access, uint32_t share) {
  const HANDLE device = ::CreateFileA(path, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) lastError_ = ::GetLastError();
  return device;
}

bool Win32PassThrough::ScsiPassThroughDirect(Handle device, PassThroughRecord* record,
                                             uint32_t* bytesReturned) {
  DWORD returned = 0;
  const BOOL ok = ::DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, record, sizeof *record,
                                    record, sizeof *record, &returned, nullptr);
  if (!ok) lastError_ = ::GetLastError();
  *bytesReturned = returned;
  return ok != FALSE;
}

bool Win32PassThrough::MediaChangeControl(Handle device, uint8_t suspend) {
  static_assert(sizeof(PREVENT_MEDIA_REMOVAL) == 1);  // the control's one-byte input
  PREVENT_MEDIA_REMOVAL input{};
  input.PreventMediaRemoval = suspend;
  DWORD returned = 0;
  const BOOL ok = ::DeviceIoControl(device, IOCTL_STORAGE_MCN_CONTROL, &input, sizeof input,
                                    nullptr, 0, &returned, nullptr);
  if (!ok) lastError_ = ::GetLastError();
  return ok != FALSE;
}

bool Win32PassThrough::CloseHandle(Handle device) {
  const BOOL ok = ::CloseHandle(device);
  if (!ok) lastError_ = ::GetLastError();
  return ok != FALSE;
}

}  // namespace oddfw::platform::win32
