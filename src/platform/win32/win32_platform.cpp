#include "platform/win32/win32_platform.h"

namespace oddfw::platform::win32 {

Win32Platform::Win32Platform()
    : platform_{console_, boxes_,  locale_,      clock_, osInfo_, memory_,    registry_,
                aspi_,    events_, passThrough_, files_, power_,  interrupts_} {}

}  // namespace oddfw::platform::win32
