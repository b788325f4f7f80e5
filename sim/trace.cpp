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

namespace {

std::string Milliseconds(uint64_t us) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(us) / 1000.0);
  return text;
}

const char* DirectionName(drive::Direction direction) {
  switch (direction) {
    case drive::Direction::kIn:
      return "in";
    case drive::Direction::kOut:
      return "out";
    default:
      return "none";
  }
}

}  // namespace

void TraceWriter::Scsi(const ScsiRecord& c) {
  char status[8];
  std::snprintf(status, sizeof status, "0x%02x", c.status);
  std::string line = "{\"t_ms\":" + Milliseconds(c.timeUs) + ",\"scsi\":{\"path\":\"" + c.path +
                     "\",\"target\":" + JsonBytes(c.target) + ",\"cdb\":\"" +
                     drive::HexBytes(c.cdb.data(), c.cdb.size()) + "\",\"dir\":\"" +
                     DirectionName(c.direction) + "\",\"len\":" + std::to_string(c.length);
  if (c.timeoutS) line += ",\"timeout_s\":" + std::to_string(*c.timeoutS);
  if (!c.notify.empty()) line += ",\"notify\":\"" + c.notify + "\"";
  line += ",\"result\":\"" + c.result + "\"";
  if (c.result == "good" || c.result == "check-condition" || c.result == "status") {
    line += std::string(",\"status\":\"") + status + "\"";
  }
  if (!c.sense.empty()) {
    line += ",\"sense\":\"" + drive::HexBytes(c.sense.data(), c.sense.size()) + "\"";
  }
  if (c.error != 0) line += ",\"error\":" + std::to_string(c.error);
  if (c.result != "never") line += ",\"end_ms\":" + Milliseconds(c.endUs);
  Line(line + "}}");
}

void TraceWriter::MediaControl(const MediaControlRecord& m) {
  Line("{\"t_ms\":" + Milliseconds(m.timeUs) +
       ",\"mcn\":{\"target\":" + JsonBytes(std::string(1, m.letter) + ":") + ",\"suspend\":" +
       (m.suspend != 0 ? "true" : "false") + ",\"ok\":" + (m.ok ? "true" : "false") + "}}");
}

void TraceWriter::Power(const PowerRecord& p) {
  Line("{\"t_ms\":" + Milliseconds(p.timeUs) +
       ",\"power\":{\"keepAwake\":" + (p.keepAwake ? "true" : "false") + "}}");
}

void TraceWriter::Line(const std::string& jsonLine) {
  out_ << jsonLine << '\n';
  out_.flush();
}

}  // namespace oddfw::sim
