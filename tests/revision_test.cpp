// The revision report: the three date forms, the revision line, the
// decision flags and their refusals, and the read back after an update.

#include "commands/revision.h"

#include <gtest/gtest.h>

#include <string>

#include "commands/command_set.h"
#include "console/catalog.h"
#include "host_fixture.h"

namespace oddfw {
namespace {

using testing::HostRun;

// A Windows XP host with one drive of this identity at E:.
struct RevisionRun {
  explicit RevisionRun(const std::string& vendor, const std::string& product,
                       const std::string& revision, const std::string& date,
                       const std::string& signature = "GENERAL ")
      : h(Options(vendor, product, revision, date, signature)) {
    h.AddLetter('E');
    h.run().driver.currentTarget = 0;
    // The entry selection reads the vendor identity before the report.
    EXPECT_EQ(ReadVendorIdentity(h.run()), 0);
  }
  static sim::SimOptions Options(const std::string& vendor, const std::string& product,
                                 const std::string& revision, const std::string& date,
                                 const std::string& signature) {
    sim::SimOptions o = testing::HostOptions("xp");
    sim::drive::DriveProfile p;
    p.vendor = vendor;
    p.product = product;
    p.revision = revision;
    p.date = date;
    p.vendorIdentity = sim::drive::VendorIdentityText{"SAT 0001", signature, "GENERAL "};
    o.AddDriveAtLetter('E', p);
    return o;
  }
  Run& run() { return h.run(); }
  const RevisionState& state() { return h.run().revision; }
  const std::string& console() { return h.host().consoleBytes(); }
  HostRun h;
};

TEST(ReportRevision, TheThreeDateForms) {
  struct Case {
    const char* name;
    const char* vendor;
    const char* revision;
    const char* date;
    uint32_t firmwareDate;
    const char* printedDate;  // 8 or 10 characters of the date field
  };
  const Case cases[] = {
      {"long form", "QUORVEN", "1.05", "2009/02/18", 0x20090218, "2009/02/18"},
      {"short form", "QUORVEN", "1.05", "09/02/18", 0x20090218, "09/02/18"},
      {"month name", "Wendrix", "1.05", "Feb182009", 0x20090218, "Feb182009 "},
      {"month name, October", "Wendrix", "1.05", "Oct012010", 0x20101001, "Oct012010 "},
      {"month name, December", "Wendrix", "1.05", "Dec312008", 0x20081231, "Dec312008 "},
      {"month name unknown: month 0", "Wendrix", "1.05", "Fbr182009", 0x20090018, "Fbr182009 "},
      {"short form of a drive in its kernel: no date", "QUORVEN", "0000", "09/02/18", 0,
       "09/02/18"},
      {"long form of a drive in its kernel: read", "QUORVEN", "0000", "2009/02/18", 0x20090218,
       "2009/02/18"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RevisionRun r(c.vendor, "BD-RW   MHT-860", c.revision, c.date);
    ASSERT_EQ(ReportRevision(r.run(), Before), 0);
    EXPECT_EQ(r.state().currentFirmwareDate, c.firmwareDate);
    std::string vendor = c.vendor;
    vendor.resize(8, ' ');
    std::string revision = c.revision;
    revision.resize(5, ' ');
    EXPECT_EQ(r.console(), "\nCurrent Revision>> " + vendor + "BD-RW   MHT-860  " + revision + " " +
                               c.printedDate);
  }
}

TEST(ReportRevision, DecisionFlags) {
  struct Case {
    const char* product;
    const char* revision;
    const char* signature;
    bool kernelAndNormal;  // the release carries a kernel part
    uint16_t revisionNumber;
    int kernelTooOld, handshakeRequired, utilityTooOld, g6PatchNeeded, kernelOnly;
    int result;
    int message;  // 0: none
    const char* vendor = "QUORVEN";
  };
  const Case cases[] = {
      {"DVD-RW  KWX-730", "1.30", "GENERAL ", false, 0x130, 0, 1, 0, 0, 0, 0, 0},
      {"DVD-RW  KWX-730", "1.29", "GENERAL ", false, 0x129, 0, 0, 0, 0, 0, 0, 0},
      {"DVD-RW  KWX-730", "1.41", "GENERAL ", false, 0x141, 0, 1, 0, 0, 0, 0, 0},
      {"DVD-RW  KWX-730", "1.42", "GENERAL ", false, 0x142, 0, 1, 1, 0, 0, -1, 55},
      {"DVD-RW  KWX-730", "3.99", "GENERAL ", false, 0x399, 0, 1, 1, 0, 0, -1, 55},
      {"DVD-RW  KWX-730", "4.00", "GENERAL ", false, 0x400, 0, 1, 0, 0, 0, 0, 0},
      {"DVD-RW  KWX-730", "4.20", "HALV    ", false, 0x420, 0, 1, 0, 0, 0, 0, 0},
      {"DVD-RW  KWX-730", "4.21", "HALV    ", false, 0x421, 0, 1, 1, 0, 0, -1, 55},
      {"DVD-RW  KWX-730", "4.21", "HALVQT  ", false, 0x421, 0, 1, 1, 0, 0, -1, 55},
      {"DVD-RW  KWX-730", "4.21", "GENERAL ", false, 0x421, 0, 1, 0, 0, 0, 0, 0},
      {"DVD-RW  KWX-720", "1.28", "GENERAL ", false, 0x128, 1, 0, 0, 0, 0, -1, 56},
      {"DVD-RW  KWX-720", "1.28", "GENERAL ", true, 0x128, 1, 0, 0, 0, 0, 0, 0},
      {"DVD-RW  KWX-720", "1.29", "GENERAL ", false, 0x129, 0, 0, 0, 0, 0, 0, 0},
      {"DVD-RW  KWX-720", "1.80", "GENERAL ", false, 0x180, 0, 1, 0, 0, 0, 0, 0},
      {"DVD-RW  KWX-720", "2.00", "GENERAL ", false, 0x200, 0, 1, 0, 0, 0, 0, 0},
      {"DVD-RW  KWX-720", "2.01", "GENERAL ", false, 0x201, 0, 1, 1, 0, 0, -1, 55},
      // the kernel check wants a dotted revision; 0000 is a drive in its kernel
      {"DVD-RW  KWX-720", "0000", "GENERAL ", false, 0x000, 0, 0, 0, 0, 1, 0, 0},
      {"DVD-RW  KWX-740", "1.09", "GENERAL ", false, 0x109, 1, 0, 0, 0, 0, -1, 56},
      {"DVD-RW  KWX-740", "1.10", "GENERAL ", false, 0x110, 0, 0, 0, 0, 0, 0, 0},
      {"DVD-RW  KWX-740", "1.22", "GENERAL ", false, 0x122, 0, 1, 0, 0, 0, 0, 0},
      {"DVD-RW  KWX-740", "1.34", "GENERAL ", false, 0x134, 0, 1, 1, 0, 0, -1, 55},
      // the characters are taken as they are: 'F' counts 22
      {"DVD-RW  KWX-740", "1.0F", "GENERAL ", false, 0x116, 0, 0, 0, 0, 0, 0, 0},
      {"QF-R61G", "1.09", "GENERAL ", false, 0x109, 1, 0, 0, 0, 0, -1, 56, "DALO"},
      {"QF-R61G", "1.10", "GENERAL ", false, 0x110, 0, 0, 0, 0, 0, 0, 0, "DALO"},
      {"DVD-RW ZKN-0513T", "1.09", "GENERAL ", false, 0x109, 1, 0, 0, 0, 0, -1, 56, "FENK"},
      // another maker's KWX-720 is none of these
      {"DVD-RW  KWX-720", "1.28", "GENERAL ", false, 0x128, 0, 0, 0, 0, 0, 0, 0, "DALO"},
      {"DVD-ROM RQV-590", "1.06", "GENERAL ", false, 0x106, 0, 0, 0, 1, 0, 0, 0},
      {"DVD-ROM RQV-590", "1.07", "GENERAL ", false, 0x107, 0, 0, 0, 0, 0, 0, 0},
      {"BD-RW   MHT-860", "0000", "GENERAL ", false, 0x000, 0, 0, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.vendor << " " << c.product << " " << c.revision << " " << c.signature);
    RevisionRun r(c.vendor, c.product, c.revision, "2009/02/18", c.signature);
    r.run().definition.active.updateParts = c.kernelAndNormal ? KernelAndNormal : NormalOnly;
    EXPECT_EQ(ReportRevision(r.run(), Before), c.result);
    EXPECT_EQ(r.state().currentRevisionNumber, c.revisionNumber);
    EXPECT_EQ(r.state().kernelTooOld, c.kernelTooOld);
    EXPECT_EQ(r.state().handshakeRequired, c.handshakeRequired);
    EXPECT_EQ(r.state().utilityTooOld, c.utilityTooOld);
    EXPECT_EQ(r.state().g6PatchNeeded, c.g6PatchNeeded);
    EXPECT_EQ(r.run().host.kernelOnlyDrive, c.kernelOnly);
    // The line comes first, a refusal after it, on the console only.
    const std::string line = r.console().substr(0, r.console().find('\r'));
    EXPECT_EQ(line.rfind("\nCurrent Revision>> " + std::string(c.vendor), 0), 0u) << line;
    EXPECT_EQ(r.console().substr(line.size()), c.message ? MessageTemplate(c.message, false) : "");
    EXPECT_TRUE(r.h.host().boxes().empty());
  }
}

TEST(ReportRevision, ReadBack) {
  struct Case {
    const char* product;
    const char* line;
  };
  const Case cases[] = {
      {"DVD-RW  KWX-730", "\nNew Revision    >> QUORVEN DVD-RW  KWX-730  1.30  09/02/18"},
      {"BD-RW   MHT-860", "\nNew Revision    >> QUORVEN BD-RW   MHT-860  1.30  09/02/18  "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.product);
    RevisionRun r("QUORVEN", c.product, "1.30", "09/02/18");
    ASSERT_EQ(ReportRevision(r.run(), Before), 0);
    EXPECT_NE(r.state().currentFirmwareDate, 0u);
    EXPECT_EQ(r.state().handshakeRequired, c.product[8] == 'K' ? 1 : 0);
    const std::size_t before = r.console().size();
    ASSERT_EQ(ReportRevision(r.run(), After), 0);
    EXPECT_EQ(r.console().substr(before), c.line);
    // The read back keeps none of the facts of an update's start.
    EXPECT_EQ(r.state().currentFirmwareDate, 0u);
    EXPECT_EQ(r.state().handshakeRequired, 0);
  }
}

TEST(ReportRevision, InquiryFailuresAndRetries) {
  struct Case {
    const char* name;
    bool aspi;
    bool intel;
    int32_t modelCode;
    RevisionPhase phase;
    bool fails;
    std::size_t inquiries;
    uint64_t spanMs;  // from the first INQUIRY to the last
  };
  const Case cases[] = {
      {"model 1003 reads back twice", false, false, 0x1003, After, false, 2, 3000},
      {"model 1003 reports once before", false, false, 0x1003, Before, false, 1, 0},
      {"pass-through: no retry", false, true, 0x4004, After, true, 1, 0},
      {"ASPI, Intel driver: six more", true, true, 0x4004, After, true, 7, 18000},
      {"ASPI, model 1003: eight in all", true, false, 0x1003, After, true, 8, 21000},
      {"ASPI, other model, no Intel driver", true, false, 0x4004, After, true, 1, 0},
      {"ASPI, Intel driver, before: no retry", true, true, 0x4004, Before, true, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimOptions o = c.aspi ? testing::Win98Host({"ESDI_506"}) : testing::HostOptions("xp");
    std::vector<sim::drive::FaultRule> rules;
    if (c.fails) rules.push_back(testing::FailRule(0x12, 4, 0x44, 0));
    auto drive = testing::FaultyDrive(rules);
    if (c.aspi) {
      o.AttachAtAdapter(0, 0, drive);
    } else {
      o.AttachAtLetter('E', drive);
    }
    HostRun h(o);
    if (c.aspi) {
      h.AddAddress(0, 0);
    } else {
      h.AddLetter('E');
    }
    h.run().host.intelIdeDriver = c.intel ? 1 : 0;
    h.run().definition.active.modelCode = c.modelCode;
    const int32_t result = ReportRevision(h.run(), c.phase);
    EXPECT_EQ(result != 0, c.fails);
    std::vector<sim::ScsiRecord> inquiries;
    for (const sim::ScsiRecord& r : h.host().commands()) {
      if (r.cdb[0] == 0x12) inquiries.push_back(r);
    }
    ASSERT_EQ(inquiries.size(), c.inquiries);
    EXPECT_NEAR(static_cast<double>(inquiries.back().timeUs - inquiries.front().timeUs) / 1000,
                static_cast<double>(c.spanMs), 50.0);
    EXPECT_EQ(h.host().consoleBytes().rfind(MessageTemplate(9, false)) != std::string::npos,
              c.fails);
  }
}

}  // namespace
}  // namespace oddfw
