// The flash simulator's configuration and its timing figures.

#include <gtest/gtest.h>

#include <string>

#include <Protocol/OrvFlashProtocol.h>

#include "SimConfig.h"

namespace {

EFI_STATUS Parse(const std::string &Text, SIM_CONFIG *Config, TEXT_ERROR *Error) {
  return ParseSimConfig(Text.data(), Text.size(), Config, Error);
}

TEST(SimConfig, MinimalFileTakesDefaults) {
  SIM_CONFIG Config{};
  TEXT_ERROR Error{};
  ASSERT_EQ(Parse("[FlashSim]\nIcCount = 3\n", &Config, &Error), EFI_SUCCESS);
  EXPECT_EQ(Config.IcCount, 3);
  EXPECT_TRUE(Config.Timing.Enabled);
  EXPECT_EQ(Config.Timing.SectorSize, 4096u);
  EXPECT_EQ(Config.Timing.SectorEraseUs, 45000u);
  EXPECT_EQ(Config.Timing.PageSize, 256u);
  EXPECT_EQ(Config.Timing.PageProgramUs, 700u);
  for (UINT8 Ic = 0; Ic < 3; Ic++) {
    EXPECT_EQ(Config.Ic[Ic].Address, 0x50 + Ic);
    EXPECT_EQ(Config.Ic[Ic].ActiveSection, 0);
    EXPECT_EQ(Config.Ic[Ic].BankSize[SimBankIndex(ZONE_OCM, 0)], 16384u);
    EXPECT_EQ(Config.Ic[Ic].BankSize[SimBankIndex(ZONE_OCM, 1)], 16384u);
    EXPECT_EQ(Config.Ic[Ic].BankSize[SimBankIndex(ZONE_CUSTOMER, 0)], 4096u);
    EXPECT_EQ(Config.Ic[Ic].BankSize[SimBankIndex(ZONE_CUSTOMER, 1)], 4096u);
    EXPECT_EQ(Config.Ic[Ic].Seed[0][0], '\0');
  }
}

TEST(SimConfig, FullFileWithPerIcSettings) {
  const std::string Text =
      "; simulated board\r\n"
      "[ic1]\r\n"                      // before the global section, lower case
      "ActiveSection = none\r\n"
      "OcmBankSize = 0x2000 # own size\r\n"
      "Customer1Seed = OrvSim\\c.hex\r\n"
      "[FLASHSIM]\r\n"
      "icCount=2\r\n"
      "OcmBankSize = 8192\r\n"
      "CustomerBankSize = 512\r\n"
      "Timing = OFF\r\n"
      "SectorSize = 1024\r\n"
      "SectorEraseUs = 0\r\n"
      "[Ic0]\r\n"
      "Address = 0x2A\r\n"
      "ActiveSection = 1\r\n"
      "Ocm0Seed = OrvSim\\ocm_v1.hex\r\n"
      "PublicKey = OrvSim\\maker.pub.pem\r\n"
      "product = 0xFFFFFFFF\r\n";
  SIM_CONFIG Config{};
  TEXT_ERROR Error{};
  ASSERT_EQ(Parse(Text, &Config, &Error), EFI_SUCCESS) << Error.Line << ": " << Error.Reason;
  EXPECT_EQ(Config.IcCount, 2);
  EXPECT_FALSE(Config.Timing.Enabled);
  EXPECT_EQ(Config.Timing.SectorSize, 1024u);
  EXPECT_EQ(Config.Timing.SectorEraseUs, 0u);
  EXPECT_EQ(Config.Ic[0].Address, 0x2A);
  EXPECT_EQ(Config.Ic[0].ActiveSection, 1);
  EXPECT_STREQ(Config.Ic[0].Seed[SimBankIndex(ZONE_OCM, 0)], "OrvSim\\ocm_v1.hex");
  EXPECT_EQ(Config.Ic[0].BankSize[0], 8192u);
  EXPECT_EQ(Config.Ic[0].BankSize[2], 512u);
  EXPECT_EQ(Config.Ic[1].Address, 0x51);
  EXPECT_EQ(Config.Ic[1].ActiveSection, SIM_SECTION_NONE);
  EXPECT_EQ(Config.Ic[1].BankSize[0], 0x2000u);
  EXPECT_EQ(Config.Ic[1].BankSize[1], 0x2000u);
  EXPECT_EQ(Config.Ic[1].BankSize[3], 512u);
  EXPECT_STREQ(Config.Ic[1].Seed[SimBankIndex(ZONE_CUSTOMER, 1)], "OrvSim\\c.hex");
  EXPECT_STREQ(Config.Ic[0].PublicKey, "OrvSim\\maker.pub.pem");
  EXPECT_EQ(Config.Ic[0].Product, 0xFFFFFFFFu);
  EXPECT_EQ(Config.Ic[1].Product, 0u);
}

struct BAD_CONFIG {
  const char  *Name;
  std::string  Text;
  UINT32       Line;
  const char  *Reason;
};

class SimConfigBad : public ::testing::TestWithParam<BAD_CONFIG> {};

TEST_P(SimConfigBad, IsRefusedWithLineAndReason) {
  SIM_CONFIG Config{};
  TEXT_ERROR Error{};
  EXPECT_EQ(Parse(GetParam().Text, &Config, &Error), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Error.Line, GetParam().Line);
  EXPECT_STREQ(Error.Reason, GetParam().Reason);
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, SimConfigBad,
    ::testing::Values(
        BAD_CONFIG{"Empty", "", 0, "IcCount missing"},
        BAD_CONFIG{"NoCount", "[FlashSim]\nTiming = on\n", 0, "IcCount missing"},
        BAD_CONFIG{"ZeroIcs", "[FlashSim]\nIcCount = 0\n", 2, "IcCount must be 1 to 16"},
        BAD_CONFIG{"SeventeenIcs", "[FlashSim]\nIcCount = 17\n", 2, "IcCount must be 1 to 16"},
        BAD_CONFIG{"CountNotANumber", "[FlashSim]\nIcCount = two\n", 2, "IcCount must be 1 to 16"},
        BAD_CONFIG{"KeyOutsideSection", "IcCount = 2\n", 1, "key outside a section"},
        BAD_CONFIG{"UnknownSection", "[Flash]\nIcCount = 2\n", 1, "unknown section"},
        BAD_CONFIG{"IcSixteen", "[FlashSim]\nIcCount = 2\n[Ic16]\n", 3, "unknown section"},
        BAD_CONFIG{"UnclosedSection", "[FlashSim\n", 1, "bad section line"},
        BAD_CONFIG{"NoEquals", "[FlashSim]\nIcCount 2\n", 2, "expected Key = Value"},
        BAD_CONFIG{"UnknownGlobalKey", "[FlashSim]\nIcCount = 2\nTimming = on\n", 3, "unknown key"},
        BAD_CONFIG{"UnknownIcKey", "[FlashSim]\nIcCount = 2\n[Ic0]\nAdress = 1\n", 4, "unknown key"},
        BAD_CONFIG{"TimingMaybe", "[FlashSim]\nIcCount = 1\nTiming = yes\n", 3, "Timing must be on or off"},
        BAD_CONFIG{"BankTooSmall", "[FlashSim]\nIcCount = 1\nOcmBankSize = 255\n", 3,
                   "bank size must be 256 to 4194304"},
        BAD_CONFIG{"BankTooLarge", "[FlashSim]\nIcCount = 1\n[Ic0]\nCustomerBankSize = 4194305\n", 4,
                   "bank size must be 256 to 4194304"},
        BAD_CONFIG{"ZeroPageSize", "[FlashSim]\nIcCount = 1\nPageSize = 0\n", 3, "bad number"},
        BAD_CONFIG{"AddressTooLarge", "[FlashSim]\nIcCount = 1\n[Ic0]\nAddress = 0x100\n", 4,
                   "Address must be 0 to 0xFF"},
        BAD_CONFIG{"SectionTwo", "[FlashSim]\nIcCount = 1\n[Ic0]\nActiveSection = 2\n", 4,
                   "ActiveSection must be 0, 1 or none"},
        BAD_CONFIG{"EmptySeed", "[FlashSim]\nIcCount = 1\n[Ic0]\nOcm0Seed =\n", 4,
                   "seed path must be 1 to 127 characters"},
        BAD_CONFIG{"LongSeed", "[FlashSim]\nIcCount = 1\n[Ic0]\nOcm0Seed = " + std::string(128, 'a') + "\n", 4,
                   "seed path must be 1 to 127 characters"},
        BAD_CONFIG{"KeyWithoutProduct", "[FlashSim]\nIcCount = 1\n[Ic0]\nPublicKey = k.pem\n", 3,
                   "PublicKey needs Product"},
        BAD_CONFIG{"ProductWithoutKey", "[FlashSim]\nIcCount = 2\n[Ic1]\nProduct = 5\n", 3,
                   "Product needs PublicKey"},
        BAD_CONFIG{"ProductZero", "[FlashSim]\nIcCount = 1\n[Ic0]\nPublicKey = k.pem\nProduct = 0\n", 5,
                   "Product must be 1 to 0xFFFFFFFF"},
        BAD_CONFIG{"ProductOver32Bits", "[FlashSim]\nIcCount = 1\n[Ic0]\nProduct = 0x100000000\n", 4,
                   "Product must be 1 to 0xFFFFFFFF"},
        BAD_CONFIG{"IcBeyondCount", "[FlashSim]\nIcCount = 2\n[Ic2]\nAddress = 1\n", 3,
                   "IC section beyond IcCount"}),
    [](const auto &Info) { return Info.param.Name; });

TEST(SimConfig, SeedPathOf127CharactersFits) {
  SIM_CONFIG Config{};
  TEXT_ERROR Error{};
  std::string Path(127, 'p');
  ASSERT_EQ(Parse("[FlashSim]\nIcCount = 1\n[Ic0]\nOcm1Seed = " + Path + "\n", &Config, &Error), EFI_SUCCESS);
  EXPECT_EQ(std::string(Config.Ic[0].Seed[1]), Path);
}

TEST(SimTiming, EraseCostsPerStartedSectorAndProgramPerStartedPage) {
  SIM_TIMING Timing = {true, 4096, 45000, 256, 700};
  EXPECT_EQ(SimEraseMicroseconds(Timing, 16384), 4u * 45000);
  EXPECT_EQ(SimEraseMicroseconds(Timing, 4097), 2u * 45000);
  EXPECT_EQ(SimEraseMicroseconds(Timing, 256), 45000u);
  EXPECT_EQ(SimProgramMicroseconds(Timing, 0), 0u);
  EXPECT_EQ(SimProgramMicroseconds(Timing, 1), 700u);
  EXPECT_EQ(SimProgramMicroseconds(Timing, 257), 1400u);
  EXPECT_EQ(SimProgramMicroseconds(Timing, 3024), 12u * 700);
  Timing.Enabled = false;
  EXPECT_EQ(SimEraseMicroseconds(Timing, 16384), 0u);
  EXPECT_EQ(SimProgramMicroseconds(Timing, 3024), 0u);
}

}  // namespace
