// The flash policy's word before any erase: a refused zone image (or a
// question that fails or goes unanswered) stops the IC before its first
// pass, with one line naming the IC, the zone and the reason, and the IC's
// status EFI_SECURITY_VIOLATION; accepted images are asked about before the
// first pass and the update goes on as without a policy.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "BoardTest.h"
#include "FakePolicy.h"
#include "ImageSignHost.h"

namespace {

const std::string HEAD = "OrvUpdate tool version 00.01.0002\nCurrent target: ChipA\n"
                         "IC 0, current section 0, ver 10\n";

struct RefusalRow {
  const char *Name;
  ORV_IMAGE_ACCEPTANCE Ocm;       // the answer for the OCM image in the OCM zone
  ORV_IMAGE_ACCEPTANCE Customer;  // the answer for the customer image
  EFI_STATUS QueryStatus;         // every question fails with it
  bool AnswerNothing;             // questions succeed without an answer
  bool NoCheckSlot;               // the policy's CheckImageAcceptance slot is empty
  std::string Lines;              // after HEAD
};

void PrintTo(const RefusalRow &Row, std::ostream *Out) { *Out << Row.Name; }

ORV_IMAGE_ACCEPTANCE Products(UINT32 Image, UINT32 Ic) {
  ORV_IMAGE_ACCEPTANCE Out = Answer(ORV_IMAGE_WRONG_PRODUCT);
  Out.ImageProduct = Image;
  Out.IcProduct = Ic;
  return Out;
}

const ORV_IMAGE_ACCEPTANCE OK = Answer(ORV_IMAGE_ACCEPTED);

class ImagePolicyTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    Fw.InstallProtocol(FlashHandle, gOrvFlashPolicyProtocolGuid, &Policy.Protocol);
  }
  FakePolicy Policy;
};

class RefusalTest : public ImagePolicyTest, public ::testing::WithParamInterface<RefusalRow> {};

TEST_P(RefusalTest, RefusedIcIsNamedAndNothingIsErased) {
  const RefusalRow &Row = GetParam();
  Policy.Judge = [&](UINT8, UINT8 Zone, const std::vector<UINT8> &) {
    return Zone == ZONE_OCM ? Row.Ocm : Row.Customer;
  };
  Policy.QueryStatus = Row.QueryStatus;
  Policy.AnswerNothing = Row.AnswerNothing;
  if (Row.NoCheckSlot) Policy.Protocol.CheckImageAcceptance = nullptr;

  EXPECT_EQ(Run({"0", "-f"}), EFI_SECURITY_VIOLATION);
  EXPECT_EQ(Fw.Console(), HEAD + "Force Update Is set, Ignore veriosn!!\n" + Row.Lines +
                              "IC 0 update error 1A\n");
  for (SIM_OP Op : {SIM_OP::FlashPreOperation, SIM_OP::UnlockFlash, SIM_OP::EraseBank,
                    SIM_OP::WriteBankData, SIM_OP::SetActiveBank}) {
    EXPECT_EQ(Flash.Count(Op), 0u) << "no pass is opened for a refused IC";
  }
  EXPECT_TRUE(Flash.BankStartsWith(0, ZONE_OCM, 0, OldOcm));
  EXPECT_TRUE(Flash.Erased(0, ZONE_OCM, 1)) << "the fallback bank is untouched";
  EXPECT_EQ(Flash.Active(0), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, RefusalTest,
    ::testing::Values(
        RefusalRow{"BelowFloor", Answer(ORV_IMAGE_BELOW_FLOOR, 2, 3), OK, EFI_SUCCESS, false,
                   false, "IC 0 OCM image refused: counter 2 below floor 3\n"},
        RefusalRow{"ZoneConfusion", Answer(ORV_IMAGE_WRONG_ZONE), OK, EFI_SUCCESS, false, false,
                   "IC 0 OCM image refused: signed for the other zone\n"},
        RefusalRow{"Unsigned", Answer(ORV_IMAGE_UNSIGNED), OK, EFI_SUCCESS, false, false,
                   "IC 0 OCM image refused: not signed\n"},
        RefusalRow{"WrongProduct", Products(0x1234, 0x77), OK, EFI_SUCCESS, false, false,
                   "IC 0 OCM image refused: signed for product 1234, IC is product 77\n"},
        // The OCM image is fine, but the IC would be left half updated.
        RefusalRow{"CustomerOnly", OK, Answer(ORV_IMAGE_UNKNOWN_KEY), EFI_SUCCESS, false, false,
                   "IC 0 customer image refused: signed by a key the IC does not hold\n"},
        RefusalRow{"Both", Answer(ORV_IMAGE_BAD_SIGNATURE), Answer(ORV_IMAGE_TOO_LARGE),
                   EFI_SUCCESS, false, false,
                   "IC 0 OCM image refused: signature does not verify\n"
                   "IC 0 customer image refused: larger than the bank\n"}));

INSTANTIATE_TEST_SUITE_P(
    NoAnswer, RefusalTest,
    ::testing::Values(
        RefusalRow{"UnknownVerdict", Answer(0x63), OK, EFI_SUCCESS, false, false,
                   "IC 0 OCM image refused: verdict 63 unknown\n"},
        RefusalRow{"QueryFails", OK, OK, EFI_DEVICE_ERROR, false, false,
                   "IC 0 OCM image refused: query error 7\n"
                   "IC 0 customer image refused: query error 7\n"},
        RefusalRow{"SuccessWithoutAnswer", OK, OK, EFI_SUCCESS, true, false,
                   "IC 0 OCM image refused: verdict FFFFFFFF unknown\n"
                   "IC 0 customer image refused: verdict FFFFFFFF unknown\n"},
        RefusalRow{"NoCheckSlot", OK, OK, EFI_SUCCESS, false, true,
                   "IC 0 OCM image refused: query error 3\n"
                   "IC 0 customer image refused: query error 3\n"}));

// Accepted images: asked about, each zone with its own image, before the
// IC's first pass; the run is the one without a policy.
TEST_F(ImagePolicyTest, AcceptedImagesAreAskedBeforeTheFirstPass) {
  EXPECT_EQ(Run({"0"}), EFI_SUCCESS);
  EXPECT_TRUE(Flash.BankStartsWith(0, ZONE_OCM, 1, NewOcm));
  EXPECT_TRUE(Flash.BankStartsWith(0, ZONE_CUSTOMER, 0, Customer));
  ASSERT_EQ(Policy.Queries.size(), 2u);
  size_t FirstPass = 0;
  while (Flash.Calls[FirstPass].Op != SIM_OP::FlashPreOperation) FirstPass++;
  const std::vector<UINT8> *Want[] = {&NewOcm, &Customer};
  for (size_t I = 0; I < 2; I++) {
    const FakePolicy::Query &Q = Policy.Queries[I];
    EXPECT_EQ(Q.Ic, 0);
    EXPECT_EQ(Q.Zone, I == 0 ? ZONE_OCM : ZONE_CUSTOMER);
    EXPECT_EQ(Q.Image, *Want[I]);
    EXPECT_LE(Q.FlashCallsBefore, FirstPass);
  }
}

// Only the images the IC is going to get are asked about: an up-to-date OCM
// image is not, so its refusal cannot hold back the customer zone.
TEST_F(ImagePolicyTest, ImageNotWrittenIsNotAsked) {
  Flash.Program(0, ZONE_OCM, 0, NewOcm);
  Policy.Judge = [](UINT8, UINT8 Zone, const std::vector<UINT8> &) {
    return Zone == ZONE_OCM ? Answer(ORV_IMAGE_BELOW_FLOOR, 1, 2) : Answer(ORV_IMAGE_ACCEPTED);
  };
  EXPECT_EQ(Run({"0"}), EFI_SUCCESS);
  ASSERT_EQ(Policy.Queries.size(), 1u);
  EXPECT_EQ(Policy.Queries[0].Zone, ZONE_CUSTOMER);
  EXPECT_TRUE(Flash.BankStartsWith(0, ZONE_CUSTOMER, 0, Customer));
}

// A refused IC does not stop the others of the mask, and the run's status
// says that one was refused.
TEST_F(ImagePolicyTest, RefusedIcLeavesOthersUpdated) {
  Policy.Judge = [](UINT8 Ic, UINT8, const std::vector<UINT8> &) {
    return Ic == 0 ? Answer(ORV_IMAGE_WRONG_ZONE) : Answer(ORV_IMAGE_ACCEPTED);
  };
  EXPECT_EQ(Run({"0", "1"}), EFI_SECURITY_VIOLATION);
  EXPECT_EQ(Flash.Count(SIM_OP::EraseBank, 0), 0u);
  EXPECT_TRUE(Flash.BankStartsWith(1, ZONE_OCM, 1, NewOcm));
}

// An image whose bytes cannot be had fails where it fails without a policy,
// with the same lines and status.
TEST_F(ImagePolicyTest, ImageDataFailureReadsAsWithoutPolicy) {
  std::string Console[2];
  EFI_STATUS Status[2];
  for (int WithPolicy : {0, 1}) {
    if (WithPolicy == 0) Fw.UninstallProtocol(FlashHandle, gOrvFlashPolicyProtocolGuid);
    if (WithPolicy == 1) Fw.InstallProtocol(FlashHandle, gOrvFlashPolicyProtocolGuid, &Policy.Protocol);
    Fail(SIM_OP::GetImageData, EFI_TIMEOUT);
    Fw.ClearConsole();
    Status[WithPolicy] = Run({"0"});
    Console[WithPolicy] = Fw.Console();
  }
  EXPECT_EQ(Status[1], Status[0]);
  EXPECT_EQ(Console[1], Console[0]);
  EXPECT_NE(Console[0].find("Get OCMFile data error 12"), std::string::npos);
  EXPECT_EQ(Flash.Count(SIM_OP::EraseBank), 0u);
}

// A policy on a handle other than the flash component's answers for
// another component: it is not asked.
TEST_F(ImagePolicyTest, PolicyOfAnotherHandleIsNotAsked) {
  Fw.UninstallProtocol(FlashHandle, gOrvFlashPolicyProtocolGuid);
  Fw.InstallProtocol(Fw.NewHandle(), gOrvFlashPolicyProtocolGuid, &Policy.Protocol);
  Policy.QueryStatus = EFI_DEVICE_ERROR;
  EXPECT_EQ(Run({"0"}), EFI_SUCCESS);
  EXPECT_TRUE(Policy.Queries.empty());
}

// The flash model's own policy on an IC that holds the maker's key and
// runs an image of counter 3: the zone confusion and the forced downgrade
// are refused before any erase, with the model's reasons.
struct ModelRow {
  const char *Name;
  UINT32 Counter;
  UINT8 SignedZone;
  std::string Line;
};

void PrintTo(const ModelRow &Row, std::ostream *Out) { *Out << Row.Name; }

class ModelPolicyTest : public BoardTest, public ::testing::WithParamInterface<ModelRow> {
 protected:
  std::vector<UINT8> Signed(std::vector<UINT8> Image, UINT32 Counter, UINT8 Zone) {
    if (!MakeImageFormat3(&Image, {Counter, Zone, ModelFlash::MODEL_PRODUCT}, &Maker)) {
      ADD_FAILURE() << "not an image";
    }
    return Image;
  }
  IMAGE_PRIVATE_KEY Maker = [] {
    IMAGE_PRIVATE_KEY Key;
    GenerateSigningKeyFromSeed("maker", &Key);
    return Key;
  }();
};

TEST_P(ModelPolicyTest, RefusedBeforeErase) {
  const ModelRow &Row = GetParam();
  Flash.Program(0, ZONE_OCM, 0, Signed(OldOcm, 3, ZONE_OCM));
  Flash.ProvisionKey(0, Maker.Public);
  Fw.InstallProtocol(FlashHandle, gOrvFlashPolicyProtocolGuid, &Flash.Policy);
  Image.Files[CUSTOMER_PATH] = {Signed(Customer, 3, ZONE_CUSTOMER), 7};
  Image.Files["given"] = {Signed(MakeZoneImage(0x30, 900, 9), Row.Counter, Row.SignedZone), 0x30};
  const std::vector<UINT8> Bank1 = Flash.Bank(0, ZONE_OCM, 1);
  EXPECT_EQ(Run({"0", "-f", "-o", "given"}), EFI_SECURITY_VIOLATION);
  EXPECT_NE(Fw.Console().find(Row.Line + "\nIC 0 update error 1A\n"), std::string::npos)
      << Fw.Console();
  EXPECT_EQ(Flash.Count(SIM_OP::EraseBank), 0u);
  EXPECT_EQ(Flash.Bank(0, ZONE_OCM, 1), Bank1) << "the fallback bank is untouched";
  EXPECT_EQ(Flash.Floor(0), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Model, ModelPolicyTest,
    ::testing::Values(
        ModelRow{"ZoneConfusion", 5, ZONE_CUSTOMER,
                 "IC 0 OCM image refused: signed for the other zone"},
        ModelRow{"Downgrade", 2, ZONE_OCM, "IC 0 OCM image refused: counter 2 below floor 3"}),
    [](const auto &Info) { return std::string(Info.param.Name); });

}  // namespace
