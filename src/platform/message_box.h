#pragma once
// Modal message boxes with no owner window.

#include <cstdint>
#include <string>

namespace oddfw::platform {

// Box types as MessageBoxA takes them.
inline constexpr uint32_t kMbOk = 0x00;
inline constexpr uint32_t kMbOkCancel = 0x01;
inline constexpr uint32_t kMbYesNo = 0x04;
inline constexpr uint32_t kMbIconHand = 0x10;
inline constexpr uint32_t kMbIconQuestion = 0x20;
inline constexpr uint32_t kMbIconExclamation = 0x30;
inline constexpr uint32_t kMbIconAsterisk = 0x40;

// Box results as MessageBoxA returns them.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // Shows a modal box and returns the button pressed, or 0 (or any value the
  // system makes up) when no box could be shown.
  virtual int Show(const std::string& text, const std::string& caption, uint32_t type) = 0;
};

}  // namespace oddfw::platform
