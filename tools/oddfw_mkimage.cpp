// oddfw-mkimage: writes sample firmware images for the simulator, the demo
// and the tests: a binary image with a chosen header and a deterministic
// payload, or the same (or any binary file) as HEX records.
//
// Exit code 0 when the file was written, 2 for a bad command line or a file
// that cannot be read or written.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/hex_writer.h"
#include "sim/image_builder.h"

namespace {

using namespace oddfw;

const char* kUsage =
    "usage: oddfw-mkimage [options] OUTPUT\n"
    "Writes a sample firmware image; the defaults give the built-in release's\n"
    "normal image (S1005001.110).\n"
    "\n"
    "  --vendor TEXT            header vendor id, 8 characters   [\"QUORVEN \"]\n"
    "  --product TEXT           header product id, 16 characters [\"BD-RW   MHT-860 \"]\n"
    "  --revision TEXT          revision text, 5 characters      [\"1.10 \"]\n"
    "  --hw-revision TEXT       hardware revision, 8 characters  [\"SAT 0001\"]\n"
    "  --signature TEXT         signature, 8 characters          [\"GENERAL \"]\n"
    "  --model-name TEXT        normal-part model name           [\"GENERAL \"]\n"
    "  --part N|K               normal or kernel image           [N]\n"
    "  --date TEXT              yy/mm/dd, or \"Feb18 2009\" with --vendor \"Wendrix \" [09/02/18]\n"
    "  --kernel-revision TEXT   kernel revision, 4 characters    [none]\n"
    "  --size BYTES             image size, decimal or 0x hex    [0x200000]\n"
    "  --seed N                 payload seed                     [1]\n"
    "  --no-header              payload only, no header (HEX images)\n"
    "  --put OFFSET=TEXT        put TEXT at OFFSET (repeatable)\n"
    "  --put-hex OFFSET=HEX     put the bytes of HEX digits at OFFSET (repeatable)\n"
    "  --hex                    write HEX records instead of binary\n"
    "  --hex-from FILE          write the HEX records of a binary FILE (no image is made)\n"
    "  --hex-width 16|32        data bytes per HEX line          [16]\n"
    "  --lf                     LF line ends in HEX output       [CR LF]\n"
    "  --help                   show this text\n";

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "oddfw-mkimage: %s\n", message.c_str());
  std::exit(2);
}

uint32_t ParseNumber(const std::string& text, const std::string& what) {
  std::size_t used = 0;
  unsigned long value = 0;
  try {
    value = std::stoul(text, &used, 0);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || text.empty() || value > 0xFFFFFFFFUL) {
    Fail("bad " + what + " \"" + text + "\"");
  }
  return static_cast<uint32_t>(value);
}

sim::Placement ParsePlacement(const std::string& arg, bool hexBytes) {
  const std::size_t eq = arg.find('=');
  if (eq == std::string::npos) Fail("placement \"" + arg + "\" needs OFFSET=VALUE");
  sim::Placement p;
  p.offset = ParseNumber(arg.substr(0, eq), "offset");
  const std::string value = arg.substr(eq + 1);
  if (!hexBytes) {
    p.bytes = value;
    return p;
  }
  if (value.size() % 2 != 0) Fail("odd number of hex digits in \"" + value + "\"");
  for (std::size_t i = 0; i < value.size(); i += 2) {
    p.bytes.push_back(static_cast<char>(ParseNumber("0x" + value.substr(i, 2), "hex byte")));
  }
  return p;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  sim::ImageSpec spec;
  sim::HexOptions hexOptions;
  bool hex = false;
  std::string hexFrom;
  std::string output;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--vendor") {
      spec.vendorId = value();
    } else if (arg == "--product") {
      spec.productId = value();
    } else if (arg == "--revision") {
      spec.revisionText = value();
    } else if (arg == "--hw-revision") {
      spec.hardwareRevision = value();
    } else if (arg == "--signature") {
      spec.signature = value();
    } else if (arg == "--model-name") {
      spec.normalModelName = value();
    } else if (arg == "--part") {
      const std::string part = value();
      if (part != "N" && part != "K") Fail("--part takes N or K");
      spec.partKind = part[0];
    } else if (arg == "--date") {
      spec.dateText = value();
    } else if (arg == "--kernel-revision") {
      spec.kernelRevisionText = value();
    } else if (arg == "--size") {
      spec.size = ParseNumber(value(), "size");
    } else if (arg == "--seed") {
      spec.seed = ParseNumber(value(), "seed");
    } else if (arg == "--no-header") {
      spec.header = false;
    } else if (arg == "--put") {
      spec.placements.push_back(ParsePlacement(value(), false));
    } else if (arg == "--put-hex") {
      spec.placements.push_back(ParsePlacement(value(), true));
    } else if (arg == "--hex") {
      hex = true;
    } else if (arg == "--hex-from") {
      hexFrom = value();
    } else if (arg == "--hex-width") {
      hexOptions.bytesPerLine = static_cast<int>(ParseNumber(value(), "HEX line width"));
    } else if (arg == "--lf") {
      hexOptions.crlf = false;
    } else if (!arg.empty() && arg[0] == '-') {
      Fail("unknown option " + arg + " (see --help)");
    } else if (output.empty()) {
      output = arg;
    } else {
      Fail("more than one output file");
    }
  }
  if (output.empty()) Fail("no output file (see --help)");

  try {
    std::vector<uint8_t> image = hexFrom.empty() ? sim::BuildImage(spec) : ReadFile(hexFrom);
    if (hex || !hexFrom.empty()) {
      const std::string records = sim::ToHexRecords(image, 0, hexOptions);
      sim::WriteBinaryFile(output, std::vector<uint8_t>(records.begin(), records.end()));
    } else {
      sim::WriteBinaryFile(output, image);
    }
  } catch (const std::exception& e) {
    Fail(e.what());
  }
  return 0;
}
