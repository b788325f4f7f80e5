#include "sim/trace.h"

#include <cstdio>

namespace oddfw::sim {

std::string JsonBytes(std::string_view bytes) {
  std::string out = "\"";
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    switch (b) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (b < 0x20 || b >= 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", b);
          out += escape;
        } else {
          out += static_cast<char>(b);
        }
    }
  }
  return out + "\"";
}

std::string BoxKind(uint32_t type) {
  switch (type) {
    case platform::kMbYesNo | platform::kMbIconQuestion:
      return "question yes/no";
    case platform::kMbOkCancel | platform::kMbIconQuestion:
      return "question ok/cancel";
    case platform::kMbOk | platform::kMbIconHand:
      return "error";
    case platform::kMbOk | platform::kMbIconAsterisk:
      return "information";
    case platform::kMbOk | platform::kMbIconExclamation:
      return "warning";
    default: {
      char text[16];
      std::snprintf(text, sizeof text, "type 0x%02x", type);
      return text;
    }
  }
}

void TraceWriter::Box(uint64_t timeUs, const BoxRecord& box) {
  char head[96];
  std::snprintf(head, sizeof head, "{\"t_ms\":%.3f,\"box\":{\"type\":\"0x%02x\",\"caption\":",
                static_cast<double>(timeUs) / 1000.0, box.type);
  out_ << head << JsonBytes(box.caption) << ",\"text\":" << JsonBytes(box.text) << ",\"answer\":\""
       << AnswerName(box.answer) << "\"}}\n";
  out_.flush();
}

void TraceWriter::Line(const std::string& jsonLine) {
  out_ << jsonLine << '\n';
  out_.flush();
}

}  // namespace oddfw::sim
