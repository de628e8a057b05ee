// The plan OrvInfo.efi shows and the update OrvUpdate.efi then does, with the
// same arguments, over the cases of the update rule: the OCM zone goes where
// the plan said (or nowhere), and so do the customer banks.
#include <gtest/gtest.h>

#include <ostream>

#include "BoardTest.h"
#include "RunState.h"

namespace {

struct PlanRow {
  const char *Name;
  std::vector<std::string> Arguments;
  UINT8 Section;  // SIM_SECTION_NONE: the IC reports none
  UINT32 ChipVersion;
  UINT64 ImageVersion;
  std::string Extra;     // settings keys added to the target section
  std::string Settings;  // the whole settings file instead, when not empty
  std::string Ocm;       // expected ocm= field
  std::string Customer;  // expected customer= field
};

void PrintTo(const PlanRow &Row, std::ostream *Out) { *Out << Row.Name; }

class PlanMatchesUpdateTest : public BoardTest, public ::testing::WithParamInterface<PlanRow> {
 protected:
  std::string Field(const std::string &Line, const std::string &Key) {
    size_t Start = Line.find(" " + Key + "=");
    if (Start == std::string::npos) return "";
    Start += Key.size() + 2;
    return Line.substr(Start, Line.find(' ', Start) - Start);
  }
  size_t Writes(UINT8 Bank, UINT8 Zone) const {
    return Flash.Count(SIM_OP::WriteBankData, 0, Bank, Zone);
  }
};

TEST_P(PlanMatchesUpdateTest, UpdateDoesWhatThePlanSaid) {
  const PlanRow &Row = GetParam();
  Volume.AddFile(SETTINGS_PATH, Row.Settings.empty() ? BoardSettings(Row.Extra) : Row.Settings);
  for (UINT8 Bank : {0, 1}) Flash.Program(0, ZONE_OCM, Bank, MakeZoneImage(Row.ChipVersion, 50, 1));
  Flash.SetActive(0, Row.Section);
  Image.Files[OCM_PATH] = {MakeZoneImage(Row.ImageVersion, 60, 2), Row.ImageVersion};

  ASSERT_EQ(RunInfo(Row.Arguments), EFI_SUCCESS);
  std::string Line = Lines(Fw.Console()).back();
  ASSERT_EQ(Line.rfind("ic=0 ", 0), 0u) << Line;
  const std::string Ocm = Field(Line, "ocm");
  const std::string Customer = Field(Line, "customer");
  EXPECT_EQ(Ocm, Row.Ocm);
  EXPECT_EQ(Customer, Row.Customer);
  ASSERT_EQ(Flash.Count(SIM_OP::WriteBankData), 0u);

  Flash.ClearCalls();
  Fw.ClearConsole();
  ASSERT_EQ(Run(Row.Arguments), EFI_SUCCESS) << Fw.Console();

  // ocm=<reason>:bank<n> means exactly that bank was written and made active.
  const size_t Colon = Ocm.find(":bank");
  if (Colon != std::string::npos) {
    const std::string Reason = Ocm.substr(0, Colon);
    EXPECT_TRUE(Reason == "newer" || Reason == "forced" || Reason == "nosection") << Ocm;
    ASSERT_EQ(Ocm.size(), Colon + 6) << Ocm;
    UINT8 Bank = static_cast<UINT8>(Ocm.back() - '0');
    ASSERT_LE(Bank, 1) << Ocm;
    EXPECT_EQ(Writes(Bank, ZONE_OCM), 1u);
    EXPECT_EQ(Writes(1 - Bank, ZONE_OCM), 0u);
    EXPECT_EQ(Flash.Active(0), Bank);
  } else {
    EXPECT_EQ(Flash.Count(SIM_OP::EraseBank, 0, FLASH_NO_ARG, ZONE_OCM), 0u);
    EXPECT_EQ(Flash.Count(SIM_OP::SetActiveBank), 0u);
    EXPECT_EQ(Flash.Active(0), Row.Section);
  }
  EXPECT_EQ(Writes(0, ZONE_CUSTOMER), Customer == "none" ? 0u : 1u);
  EXPECT_EQ(Writes(1, ZONE_CUSTOMER), Customer == "bank0+1" ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Valid, PlanMatchesUpdateTest,
    ::testing::Values(
        PlanRow{"Newer", {"0"}, 0, 0x10, 0x20, "", "", "newer:bank1", "bank0"},
        PlanRow{"NewerFromSection1", {"0"}, 1, 0x10, 0x20, "", "", "newer:bank0", "bank0"},
        PlanRow{"Equal", {"0"}, 0, 0x20, 0x20, "", "", "current", "bank0"},
        PlanRow{"Older", {"0"}, 1, 0x30, 0x20, "", "", "current", "bank0"},
        PlanRow{"ForcedOlder", {"0", "-f"}, 1, 0x30, 0x20, "", "", "forced:bank0", "bank0"},
        PlanRow{"ForcedBySettings", {"0"}, 0, 0x20, 0x20, "ForceUpdate = 1\n", "",
                "forced:bank1", "bank0"},
        // With no section the IC reports version 0 for it: an image of version
        // 0 is not newer.
        PlanRow{"NoSectionNotNewer", {"0"}, SIM_SECTION_NONE, 0x30, 0, "", "", "nosection:bank0",
                "bank0"},
        PlanRow{"NoOcmImage", {"0", "-f"}, 0, 0x10, 0x20, "",
                "[default]\ntarget = B\n[B]\nOCM = none\ncustomer = cust.hex\n", "none", "bank0"},
        PlanRow{"NoCustomerImage", {"0", "-cb"}, 0, 0x10, 0x20, "",
                "[default]\ntarget = B\n[B]\nOCM = ocm.hex\ncustomer = none\n", "newer:bank1",
                "none"},
        PlanRow{"BackupOn", {"0", "-cb"}, 0, 0x20, 0x20, "", "", "current", "bank0+1"},
        PlanRow{"BackupBySettings", {"0"}, 0, 0x10, 0x20, "IncludeCustomerDefineBkp = 1\n", "",
                "newer:bank1", "bank0+1"},
        PlanRow{"BackupOff", {"0"}, 0, 0x10, 0x20, "IncludeCustomerDefineBkp = 0\n", "",
                "newer:bank1", "bank0"}),
    [](const ::testing::TestParamInfo<PlanRow> &Info) { return Info.param.Name; });

}  // namespace
