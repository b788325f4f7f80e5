#include "console/catalog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <set>
#include <string>

#include "sim_run.h"

namespace oddfw {
namespace {

using testing::SimRun;

const std::set<int> kCodesWithoutText = {18, 29, 38, 43, 62, 71, 79, 88, 89,
                                         90, 91, 92, 93, 94, 95, 96, 97, 98};

TEST(Catalog, EveryCodeHasBothTextsOrNeither) {
  for (int code = 0; code <= 100; ++code) {
    for (const bool japanese : {false, true}) {
      const std::string text = MessageTemplate(code, japanese);
      if (kCodesWithoutText.count(code) != 0) {
        EXPECT_EQ(text, kMissingCodeText) << code;
        continue;
      }
      EXPECT_NE(text, kMissingCodeText) << code << " japanese " << japanese;
      // Every text starts a fresh line itself.
      EXPECT_TRUE(text.rfind("\n", 0) == 0 || text.rfind("\r\n", 0) == 0) << code;
    }
    // Only the messages that take values hold conversions.
    static const std::set<int> kWithValues = {11, 31, 32, 34, 45, 46, 58, 82};
    if (kWithValues.count(code) == 0) {
      EXPECT_EQ(std::string(MessageTemplate(code, false)).find('%'), std::string::npos) << code;
      EXPECT_EQ(std::string(MessageTemplate(code, true)).find('%'), std::string::npos) << code;
    }
    // Both languages take the same values in the same order.
    if (kCodesWithoutText.count(code) == 0) {
      auto conversions = [](const std::string& t) {
        static const std::regex kConversion("%[-+ #0]*[0-9]*(\\.[0-9]+)?[hl]*[diouxXcs%]");
        std::string out;
        for (auto it = std::sregex_iterator(t.begin(), t.end(), kConversion);
             it != std::sregex_iterator(); ++it) {
          out += it->str() + "|";
        }
        return out;
      };
      EXPECT_EQ(conversions(MessageTemplate(code, false)), conversions(MessageTemplate(code, true)))
          << code;
    }
  }
}

TEST(Catalog, CodesOutsideTheCatalogShowTheMissingText) {
  for (const int code : {-1, 101, 62, 1000, INT32_MIN}) {
    for (const int codePage : {437, 932}) {
      SimRun r;
      r.run.driver.oemCodePage = codePage;
      EXPECT_EQ(ShowMessage(r.run, code, ConsoleOnly), 0);
      EXPECT_EQ(r.host.consoleBytes(), "\r\nUnknow Message Code\r\n") << code;
    }
  }
}

TEST(Catalog, EnglishTextsAsTheUserSeesThem) {
  struct Case {
    int code;
    const char* text;
  };
  const Case cases[] = {
      {28, "\r\nAvailable target is not found."},
      {16, "\r\nStart Charactor is not fouund."},
      {25, "\r\nVerify error occured."},
      {36, "\r\nUpdate program is terminated by occuring an error.\r\n"},
      {53,
       "\r\n\"Auto insert notification\" is enabled at the target DVD-RW drive.\r\nPlease "
       "disable \"Auto insert notification\" by the Device Manager of System properties and "
       "reboot your PC.\r\nAfter that, re-exxecute this program."},
      {61,
       "\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset "
       "the pc."},
  };
  for (const Case& c : cases) EXPECT_STREQ(MessageTemplate(c.code, false), c.text) << c.code;
}

TEST(Catalog, ChoosesTheLanguageByCodePage) {
  for (const int codePage : {437, 1252, 850, 0, 932}) {
    SimRun r;
    r.run.driver.oemCodePage = codePage;
    ShowMessage(r.run, 28, ConsoleOnly);
    EXPECT_EQ(r.host.consoleBytes(), MessageTemplate(28, codePage == 932)) << codePage;
  }
}

TEST(Catalog, FillsTheValuesOfEachMessage) {
  SimRun r;
  oddfw::Run& run = r.run;
  std::strcpy(run.definition.active.fileName, "S1005001.110EXTRA");
  run.host.targetCount = 3;
  run.driver.currentTarget = 1;
  run.driver.updatedCount = 2;
  std::memcpy(run.image.firmware.revisionText, "1.10X", 5);
  std::memcpy(run.revision.driveIdentity + 8, "QUORVEN BD-RW   MHT-860 1.05 09/01/20", 37);

  struct Case {
    int code;
    const char* text;
  };
  const Case cases[] = {
      {11, "\r\nFailed to load binary file.\r\n(File Name : S1005001.110)"},
      {31, "\r\n3 target device(s) is found.\r\nDo you want to update all drives ?"},
      {34, "\r\nStart updating the device No.2."},
      {45, "\nFW is already Ver1.10."},
      {58, "\r\n2drive(s) have been updated successfully."},
      {32,
       "\r\nDo you want to update ID=1 drive to Ver1.10 ?\r\nCurrent FW : QUORVEN BD-RW   "
       "MHT-860  1.05"},
  };
  for (const Case& c : cases) {
    const std::size_t before = r.host.consoleBytes().size();
    ShowMessage(run, c.code, ConsoleOnly);
    EXPECT_EQ(r.host.consoleBytes().substr(before), c.text) << c.code;
  }
}

TEST(Catalog, Message82ShowsDriveAndImage) {
  // The drive's part comes from its INQUIRY data: both date forms read as a
  // date, and bytes that are not printable text never reach the box.
  struct Case {
    const char* identity;  // INQUIRY bytes 8 to 46
    const char* from;
  };
  const Case cases[] = {
      {"QUORVEN BD-RW   MHT-860 1.05 09/01/20", "QUORVEN BD-RW   MHT-860  1.05  (2009/01/20)"},
      {"QUORVEN BD-RW   MHT-860 1.05 2009/01/20", "QUORVEN BD-RW   MHT-860  1.05  (2009/01/20)"},
      {"QUORVEN \x1b[2J\x1b[H MHT-860 1.05 09/01/20",
       "QUORVEN ?[2J?[H MHT-860  1.05  (2009/01/20)"},
  };
  for (const Case& c : cases) {
    SimRun r;
    oddfw::Run& run = r.run;
    uint8_t image[0x200] = {};
    std::memcpy(image + 0x60, "QUORVEN BD-RW   MHT-860 ", 24);
    std::memcpy(image + 0x90, "1.10 ", 5);
    std::memcpy(image + 0x130, "09/02/18", 8);
    run.image.firmware.buffer = image;
    std::memcpy(run.revision.driveIdentity + 8, c.identity, std::strlen(c.identity));
    ShowMessage(run, 82, AskYesNo);
    ASSERT_EQ(r.host.boxes().size(), 1u);
    EXPECT_EQ(r.host.boxes()[0].text, std::string("\r\nDo you want to update the F/W\r\nFrom : ") +
                                          c.from +
                                          "\r\nTo : QUORVEN BD-RW   MHT-860  1.10  (2009/02/18)");
    run.image.firmware.buffer = nullptr;
  }
}

TEST(Catalog, PresentsByStyle) {
  struct Case {
    int32_t style;
    bool console;
    bool box;
    uint32_t type;
  };
  const Case cases[] = {
      {ConsoleOnly, true, false, 0},
      {5, true, false, 0},
      {-3, true, false, 0},
      {AskYesNo, false, true, 0x24},
      {AskOkCancel, false, true, 0x21},
      {ErrorNotice, true, true, 0x10},
      {InfoNotice, true, true, 0x40},
      {WarningNotice, true, true, 0x30},
  };
  for (const Case& c : cases) {
    SimRun r;
    const int32_t result = ShowMessage(r.run, 35, c.style);
    const std::string text = "\r\nUpdate operation is completed.";
    EXPECT_EQ(r.host.consoleBytes(), c.console ? text : "") << c.style;
    ASSERT_EQ(r.host.boxes().size(), c.box ? 1u : 0u) << c.style;
    if (c.box) {
      EXPECT_EQ(r.host.boxes()[0].text, text);
      EXPECT_EQ(r.host.boxes()[0].type, c.type);
      EXPECT_EQ(result, c.type == 0x24 ? platform::kIdYes : platform::kIdOk);
    } else {
      EXPECT_EQ(result, 0);
    }
  }
}

}  // namespace
}  // namespace oddfw
