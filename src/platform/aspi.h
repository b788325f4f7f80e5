#pragma once
// The ASPI layer (WNASPI32.DLL) and the two request blocks the program hands
// it. The blocks are byte-packed; on a 32-bit host their layout is the one
// the layer was built for, checked below field by field.

#include <cstddef>
#include <cstdint>

namespace oddfw::platform {

inline constexpr uint8_t kScHaInquiry = 0x00;     // SC_HA_INQUIRY
inline constexpr uint8_t kScExecScsiCmd = 0x02;   // SC_EXEC_SCSI_CMD
inline constexpr uint8_t kSsPending = 0x00;       // SS_PENDING
inline constexpr uint8_t kSsComp = 0x01;          // SS_COMP
inline constexpr uint8_t kSsErr = 0x04;           // SS_ERR
inline constexpr uint8_t kSsInvalidHa = 0x81;     // SS_INVALID_HA
inline constexpr uint8_t kSsNoDevice = 0x82;      // SS_NO_DEVICE
inline constexpr uint8_t kSsFailedInit = 0xE4;    // SS_FAILED_INIT
inline constexpr uint8_t kSrbDirIn = 0x08;        // SRB_DIR_IN
inline constexpr uint8_t kSrbDirOut = 0x10;       // SRB_DIR_OUT
inline constexpr uint8_t kSrbEventNotify = 0x40;  // SRB_EVENT_NOTIFY

#pragma pack(push, 1)

// SRB_HAInquiry: asks for the identity of one host adapter.
struct SrbHaInquiry {
  uint8_t SRB_Cmd;
  uint8_t SRB_Status;
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t HA_Count;
  uint8_t HA_SCSI_ID;
  uint8_t HA_ManagerId[16];
  uint8_t HA_Identifier[16];
  uint8_t HA_Unique[16];
  uint16_t HA_Rsvd1;
};

// SRB_ExecSCSICmd: one SCSI command with its data buffer and sense area.
struct SrbExecScsiCmd {
  uint8_t SRB_Cmd;
  volatile uint8_t SRB_Status;  // written by the layer while the caller polls
  uint8_t SRB_HaId;
  uint8_t SRB_Flags;
  uint32_t SRB_Hdr_Rsvd;
  uint8_t SRB_Target;
  uint8_t SRB_Lun;
  uint16_t SRB_Rsvd1;
  uint32_t SRB_BufLen;
  uint8_t* SRB_BufPointer;
  uint8_t SRB_SenseLen;
  uint8_t SRB_CDBLen;
  uint8_t SRB_HaStat;
  uint8_t SRB_TargStat;
  void* SRB_PostProc;  // the completion event in event-notify mode
  void* SRB_Rsvd2;
  uint8_t SRB_Rsvd3[16];
  uint8_t CDBByte[16];
  uint8_t SenseArea[20];
};

#pragma pack(pop)

static_assert(sizeof(SrbHaInquiry) == 60);
static_assert(offsetof(SrbHaInquiry, SRB_HaId) == 2);
static_assert(offsetof(SrbHaInquiry, HA_Identifier) == 26);

static_assert(offsetof(SrbExecScsiCmd, SRB_Status) == 1);
static_assert(offsetof(SrbExecScsiCmd, SRB_HaId) == 2);
static_assert(offsetof(SrbExecScsiCmd, SRB_Flags) == 3);
static_assert(offsetof(SrbExecScsiCmd, SRB_Target) == 8);
static_assert(offsetof(SrbExecScsiCmd, SRB_Lun) == 9);
static_assert(offsetof(SrbExecScsiCmd, SRB_BufLen) == 12);
static_assert(offsetof(SrbExecScsiCmd, SRB_BufPointer) == 16);
#if UINTPTR_MAX == 0xFFFFFFFFu
// The 32-bit layout of the layer.
static_assert(offsetof(SrbExecScsiCmd, SRB_SenseLen) == 20);
static_assert(offsetof(SrbExecScsiCmd, SRB_CDBLen) == 21);
static_assert(offsetof(SrbExecScsiCmd, SRB_PostProc) == 24);
static_assert(offsetof(SrbExecScsiCmd, CDBByte) == 48);
static_assert(offsetof(SrbExecScsiCmd, SenseArea) == 64);
static_assert(sizeof(SrbExecScsiCmd) == 84);
#else
// 64-bit hosts only meet our own simulated layer: pointers grow to 8 bytes.
static_assert(offsetof(SrbExecScsiCmd, SRB_SenseLen) == 24);
static_assert(offsetof(SrbExecScsiCmd, SRB_PostProc) == 28);
static_assert(offsetof(SrbExecScsiCmd, CDBByte) == 60);
static_assert(offsetof(SrbExecScsiCmd, SenseArea) == 76);
static_assert(sizeof(SrbExecScsiCmd) == 96);
#endif

class Aspi {
 public:
  virtual ~Aspi() = default;
  // LoadLibraryA("WNASPI32.DLL") and the entry points at ordinals 1 and 2;
  // false when the library or an entry point is missing.
  virtual bool LoadLibrary() = 0;
  // GetASPI32SupportInfo: status in bits 15..8, adapter count in bits 7..0.
  virtual uint32_t GetASPI32SupportInfo() = 0;
  // SendASPI32Command with an SrbHaInquiry or SrbExecScsiCmd.
  virtual uint32_t SendASPI32Command(void* srb) = 0;
};

}  // namespace oddfw::platform
