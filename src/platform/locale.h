#pragma once
// The console's OEM code page, which chooses the language of the texts.

namespace oddfw::platform {

class Locale {
 public:
  virtual ~Locale() = default;
  virtual int OemCodePage() = 0;  // GetOEMCP
};

}  // namespace oddfw::platform
