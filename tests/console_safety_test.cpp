// Text a drive sends (INQUIRY vendor, product, revision and date, the
// vendor identity) reaches the console and the boxes with its control
// characters shown as '?': a faulty or hostile drive cannot move the
// cursor, clear the screen or set the window title. The only control
// characters on the console are the program's own line breaks.

#include <gtest/gtest.h>

#include <string>

#include "console/catalog.h"
#include "update_expectations.h"
#include "update_run.h"

namespace oddfw {
namespace {

using testing::DefaultScenarioWith;
using testing::Json;
using testing::Message;
using testing::UpdateRun;

bool HasStrayControl(const std::string& text) {
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b < 0x20 && b != '\r' && b != '\n') || b == 0x7F) return true;
  }
  return false;
}

// A product name with escape sequences (clear the screen, move the cursor)
// and a bell, 16 characters; what the console shows of it.
const std::string kProduct = "BD\x1b[2J\x1b[H-860\x07  ";
const std::string kProductShown = "BD?[2J?[H-860?  ";

TEST(ConsoleSafety, ADriveWithEscapeSequencesInItsIdentityIsUpdated) {
  for (const int codePage : {437, 932}) {
    SCOPED_TRACE(codePage);
    // The release is for this very product, so the whole update runs: the
    // drive's name, revision and date (an OSC sequence that would set the
    // window title) are shown in the revision lines and in the question.
    UpdateRun r(DefaultScenarioWith([&](Json& s) {
      s["host"]["codePage"] = codePage;
      s["definition"] = Json{{"entries", Json::array({Json{{"productId", kProduct}}})}};
      s["files"]["S1005001.110"]["image"]["productId"] = kProduct;
      Json& identity = s["drives"][0]["identity"];
      identity["product"] = kProduct;
      identity["revision"] = "1.05\b";
      identity["date"] = "\x1b]0;pwned\a";
    }));
    EXPECT_EQ(r.exitCode(), 0);
    EXPECT_NE(r.console().find(MessageTemplate(12, codePage == 932)), std::string::npos);
    EXPECT_FALSE(HasStrayControl(r.console()));
    EXPECT_NE(
        r.console().find("\nCurrent Revision>> QUORVEN " + kProductShown + " 1.05? ?]0;pwned?"),
        std::string::npos)
        << r.console();
    EXPECT_NE(r.console().find("\nNew Revision    >> QUORVEN " + kProductShown), std::string::npos);
    ASSERT_FALSE(r.boxes().empty());
    for (const sim::BoxRecord& box : r.boxes()) EXPECT_FALSE(HasStrayControl(box.text)) << box.text;
    // The question shows the drive's texts and the image's, both made safe.
    const std::string& question = r.boxes().front().text;
    const std::size_t from = question.find("QUORVEN " + kProductShown + " 1.05? (20?]0;pwne)");
    EXPECT_NE(from, std::string::npos) << question;
    EXPECT_NE(question.find("QUORVEN " + kProductShown + " 1.10  (2009/02/18)", from + 1),
              std::string::npos)
        << question;
  }
}

TEST(ConsoleSafety, AVendorIdentityWithControlBytesIsShownSafelyAndRefused) {
  // The signature (shown before the checks) carries an escape sequence and
  // a bell; the drive is then refused, as its signature is not the image's.
  UpdateRun r(DefaultScenarioWith(
      [](Json& s) { s["drives"][0]["vendorIdentity"]["signature"] = "GE\x1b[2JL\a"; }));
  EXPECT_EQ(r.exitCode(), 0);
  EXPECT_FALSE(HasStrayControl(r.console()));
  EXPECT_NE(r.console().find("\nCurrent Signature = GE?[2JL?" + Message(37)), std::string::npos)
      << r.console();
  for (const sim::BoxRecord& box : r.boxes()) EXPECT_FALSE(HasStrayControl(box.text));
  for (const sim::ScsiRecord& c : r.commands()) EXPECT_NE(c.cdb[0], 0x3B);
}

}  // namespace
}  // namespace oddfw
