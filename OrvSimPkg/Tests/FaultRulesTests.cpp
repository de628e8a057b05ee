// Fault rules: parsing, filters, n-th call counting.

#include <gtest/gtest.h>

#include <string>

#include <Protocol/OrvFlashProtocol.h>

#include "FaultRules.h"

namespace {

class FaultRulesTest : public ::testing::Test {
 protected:
  EFI_STATUS Parse(const std::string &Text) { return ParseFaultRules(Text.data(), Text.size(), &Rules, &Error); }

  FAULT_RULES Rules{};
  TEXT_ERROR Error{};
};

TEST_F(FaultRulesTest, EmptyAndCommentOnlyFilesGiveNoRules) {
  ASSERT_EQ(Parse(""), EFI_SUCCESS);
  EXPECT_EQ(Rules.Count, 0u);
  ASSERT_EQ(Parse("; nothing\r\n# at all\r\n\r\n"), EFI_SUCCESS);
  EXPECT_EQ(Rules.Count, 0u);
  EXPECT_EQ(FaultHit(&Rules, SIM_OP::EraseBank, 0, 1, 0), nullptr);
}

TEST_F(FaultRulesTest, RuleWithAllFilters) {
  ASSERT_EQ(Parse("erasebank ic=1 Zone=ocm Bank=0 Call=2 Status=ACCESS_DENIED ; comment\n"), EFI_SUCCESS);
  ASSERT_EQ(Rules.Count, 1u);
  const FAULT_RULE &Rule = Rules.Rule[0];
  EXPECT_EQ(Rule.Op, SIM_OP::EraseBank);
  EXPECT_EQ(Rule.Ic, 1);
  EXPECT_EQ(Rule.Zone, ZONE_OCM);
  EXPECT_EQ(Rule.Bank, 0);
  EXPECT_EQ(Rule.Call, 2u);
  EXPECT_EQ(Rule.Status, EFI_ACCESS_DENIED);
}

struct STATUS_CASE {
  const char *Text;
  EFI_STATUS  Status;
};

TEST_F(FaultRulesTest, StatusesByNameAndNumber) {
  const STATUS_CASE Cases[] = {
      {"", EFI_DEVICE_ERROR},
      {" Status=device_error", EFI_DEVICE_ERROR},
      {" Status=NOT_FOUND", EFI_NOT_FOUND},
      {" Status=WRITE_PROTECTED", EFI_WRITE_PROTECTED},
      {" Status=7", EFI_DEVICE_ERROR},
      {" Status=0x8000000000000007", EFI_DEVICE_ERROR},
      {" Status=0x1F", 0x800000000000001FULL},
  };
  for (const STATUS_CASE &Case : Cases) {
    SCOPED_TRACE(Case.Text);
    ASSERT_EQ(Parse(std::string("UnlockFlash") + Case.Text), EFI_SUCCESS);
    EXPECT_EQ(Rules.Rule[0].Status, Case.Status);
  }
}

TEST_F(FaultRulesTest, FiltersSelectTheCall) {
  ASSERT_EQ(Parse("WriteBankData Ic=1 Zone=customer Bank=1 Status=TIMEOUT\n"), EFI_SUCCESS);
  EXPECT_EQ(FaultHit(&Rules, SIM_OP::WriteBankData, 0, ZONE_CUSTOMER, 1), nullptr);
  EXPECT_EQ(FaultHit(&Rules, SIM_OP::WriteBankData, 1, ZONE_OCM, 1), nullptr);
  EXPECT_EQ(FaultHit(&Rules, SIM_OP::WriteBankData, 1, ZONE_CUSTOMER, 0), nullptr);
  EXPECT_EQ(FaultHit(&Rules, SIM_OP::ReadBankData, 1, ZONE_CUSTOMER, 1), nullptr);
  const FAULT_RULE *Rule = FaultHit(&Rules, SIM_OP::WriteBankData, 1, ZONE_CUSTOMER, 1);
  ASSERT_NE(Rule, nullptr);
  EXPECT_EQ(Rule->Status, EFI_TIMEOUT);
  // Without Call= every matching call fails.
  EXPECT_NE(FaultHit(&Rules, SIM_OP::WriteBankData, 1, ZONE_CUSTOMER, 1), nullptr);
}

TEST_F(FaultRulesTest, CallCountsOnlyMatchingCalls) {
  ASSERT_EQ(Parse("EraseBank Ic=0 Call=2\n"), EFI_SUCCESS);
  EXPECT_EQ(FaultHit(&Rules, SIM_OP::EraseBank, 0, 1, 1), nullptr);  // 1st for IC 0
  EXPECT_EQ(FaultHit(&Rules, SIM_OP::EraseBank, 1, 1, 1), nullptr);  // IC 1, not counted
  EXPECT_NE(FaultHit(&Rules, SIM_OP::EraseBank, 0, 2, 0), nullptr);  // 2nd for IC 0
  EXPECT_EQ(FaultHit(&Rules, SIM_OP::EraseBank, 0, 2, 1), nullptr);  // 3rd
}

TEST_F(FaultRulesTest, EveryMatchingRuleCountsAndTheFirstFiringWins) {
  ASSERT_EQ(Parse("ReadBankData Call=2 Status=ABORTED\nReadBankData Call=1 Status=CRC_ERROR\n"), EFI_SUCCESS);
  const FAULT_RULE *First = FaultHit(&Rules, SIM_OP::ReadBankData, 0, 1, 0);
  ASSERT_NE(First, nullptr);
  EXPECT_EQ(First->Status, EFI_CRC_ERROR);
  const FAULT_RULE *Second = FaultHit(&Rules, SIM_OP::ReadBankData, 0, 1, 0);
  ASSERT_NE(Second, nullptr);
  EXPECT_EQ(Second->Status, EFI_ABORTED);
  EXPECT_EQ(FaultHit(&Rules, SIM_OP::ReadBankData, 0, 1, 0), nullptr);
}

TEST_F(FaultRulesTest, SpecialRulesKeepTheirValues) {
  ASSERT_EQ(Parse("CorruptRead Ic=1 Zone=2 Offset=0x100 Xor=0x80\nCorruptRead\nCheckZero Bank=1\n"
                  "GetIcAddress Ic=0 Value=0x33\nPathInit Status=NOT_READY\nGetImageData\n"),
            EFI_SUCCESS);
  ASSERT_EQ(Rules.Count, 6u);
  EXPECT_EQ(Rules.Rule[0].Offset, 0x100u);
  EXPECT_EQ(Rules.Rule[0].Xor, 0x80);
  EXPECT_EQ(Rules.Rule[1].Offset, 0x20u);
  EXPECT_EQ(Rules.Rule[1].Xor, 0x01);
  EXPECT_EQ(Rules.Rule[2].Op, SIM_OP::CheckZero);
  EXPECT_EQ(Rules.Rule[3].Value, 0x33);
  EXPECT_EQ(Rules.Rule[4].Status, EFI_NOT_READY);
  EXPECT_EQ(Rules.Rule[5].Op, SIM_OP::GetImageData);
}

TEST_F(FaultRulesTest, PowerCutTakesItsOperationAndPart) {
  ASSERT_EQ(Parse("EraseBank Ic=1\npowercut after=12 part=HALF\n"), EFI_SUCCESS);
  const FAULT_RULE *Cut = FaultPowerCut(&Rules);
  ASSERT_NE(Cut, nullptr);
  EXPECT_EQ(Cut, &Rules.Rule[1]);
  EXPECT_EQ(Cut->After, 12u);
  EXPECT_EQ(Cut->Part, CUT_PART::Half);
  ASSERT_EQ(Parse("PowerCut After=3 Part=none\n"), EFI_SUCCESS);
  EXPECT_EQ(FaultPowerCut(&Rules)->Part, CUT_PART::None);
  ASSERT_EQ(Parse("PowerCut After=3\n"), EFI_SUCCESS);
  EXPECT_EQ(FaultPowerCut(&Rules)->Part, CUT_PART::All) << "all of the operation by default";
  ASSERT_EQ(Parse("EraseBank\n"), EFI_SUCCESS);
  EXPECT_EQ(FaultPowerCut(&Rules), nullptr);
}

TEST_F(FaultRulesTest, EveryOperationNameIsKnown) {
  for (UINT8 Op = 0; Op < static_cast<UINT8>(SIM_OP::Count); Op++) {
    std::string Name = SimOpName(static_cast<SIM_OP>(Op));
    std::string Line = Name + (static_cast<SIM_OP>(Op) == SIM_OP::GetIcAddress ? " Value=1" : "") +
                       (static_cast<SIM_OP>(Op) == SIM_OP::PowerCut ? " After=1" : "");
    ASSERT_EQ(Parse(Line), EFI_SUCCESS) << Name;
    EXPECT_EQ(Rules.Rule[0].Op, static_cast<SIM_OP>(Op));
  }
}

struct BAD_RULE {
  const char *Name;
  const char *Text;
  UINT32      Line;
  const char *Reason;
};

class FaultRulesBad : public FaultRulesTest, public ::testing::WithParamInterface<BAD_RULE> {};

TEST_P(FaultRulesBad, IsRefusedWithLineAndReason) {
  Rules.Count = 5;
  EXPECT_EQ(Parse(GetParam().Text), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Error.Line, GetParam().Line);
  EXPECT_STREQ(Error.Reason, GetParam().Reason);
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, FaultRulesBad,
    ::testing::Values(
        BAD_RULE{"UnknownOperation", "EraseBank\nEraseBnk Ic=0\n", 2, "unknown operation"},
        BAD_RULE{"NoValue", "EraseBank Ic\n", 1, "expected Name=Value"},
        BAD_RULE{"EmptyValue", "EraseBank Ic=\n", 1, "expected Name=Value"},
        BAD_RULE{"UnknownName", "EraseBank Chip=1\n", 1, "unknown Name=Value"},
        BAD_RULE{"ZoneOnIcOperation", "UnlockFlash Zone=ocm\n", 1, "Zone= does not apply to this operation"},
        BAD_RULE{"BankOnPreOperation", "FlashPreOperation Bank=1\n", 1, "Bank= does not apply to this operation"},
        BAD_RULE{"IcOnPathInit", "PathInit Ic=0\n", 1, "Ic= does not apply to this operation"},
        BAD_RULE{"BadZone", "EraseBank Zone=3\n", 1, "bad Zone"},
        BAD_RULE{"BadIc", "EraseBank Ic=x\n", 1, "bad Ic"},
        BAD_RULE{"CallZero", "EraseBank Call=0\n", 1, "bad Call"},
        BAD_RULE{"UnknownStatus", "EraseBank Status=BROKEN\n", 1, "bad Status"},
        BAD_RULE{"SuccessStatus", "EraseBank Status=0\n", 1, "bad Status"},
        BAD_RULE{"StatusOnCorruptRead", "CorruptRead Status=7\n", 1, "Status= does not apply to this operation"},
        BAD_RULE{"StatusOnMisbehaviour", "LockIgnored Status=7\n", 1,
                 "Status= does not apply to this operation"},
        BAD_RULE{"ZoneOnLockIgnored", "LockIgnored Zone=ocm\n", 1,
                 "Zone= does not apply to this operation"},
        BAD_RULE{"ZoneOnFloorIgnored", "FloorIgnored Zone=customer\n", 1,
                 "Zone= does not apply to this operation"},
        BAD_RULE{"XorZero", "CorruptRead Xor=0\n", 1, "bad Xor"},
        BAD_RULE{"OffsetOnErase", "EraseBank Offset=1\n", 1, "bad Offset"},
        BAD_RULE{"AddressWithoutValue", "GetIcAddress Ic=1\n", 1, "GetIcAddress needs Value="},
        BAD_RULE{"ValueTooLarge", "GetIcAddress Value=256\n", 1, "bad Value"},
        BAD_RULE{"PowerCutWithoutAfter", "PowerCut Part=half\n", 1, "PowerCut needs After="},
        BAD_RULE{"PowerCutAfterZero", "PowerCut After=0\n", 1, "bad After"},
        BAD_RULE{"AfterOnErase", "EraseBank After=2\n", 1, "bad After"},
        BAD_RULE{"UnknownPart", "PowerCut After=2 Part=most\n", 1, "bad Part"},
        BAD_RULE{"StatusOnPowerCut", "PowerCut After=2 Status=7\n", 1,
                 "Status= does not apply to this operation"},
        BAD_RULE{"CallOnPowerCut", "PowerCut After=2 Call=1\n", 1,
                 "Call= does not apply to this operation"},
        BAD_RULE{"TwoPowerCuts", "PowerCut After=2\nPowerCut After=3\n", 2,
                 "only one PowerCut rule"}),
    [](const auto &Info) { return Info.param.Name; });

TEST_F(FaultRulesTest, AtMost64Rules) {
  std::string Text;
  for (int Index = 0; Index < 64; Index++) {
    Text += "EraseBank\n";
  }
  ASSERT_EQ(Parse(Text), EFI_SUCCESS);
  EXPECT_EQ(Rules.Count, 64u);
  EXPECT_EQ(Parse(Text + "EraseBank\n"), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Error.Line, 65u);
  EXPECT_STREQ(Error.Reason, "too many rules");
}

}  // namespace
