// orvhex capsule and capsule-info: a capsule of signed images read back by
// the capsule reader (image type from the maker and the images' product,
// instance from --ic), its description, and the refusals (unsigned image,
// a product other than the images', bad options, faulty capsule).

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <FmpCapsule/FmpCapsule.h>
#include <OrvBase/FmpImageType.h>

#include "ImageSignHost.h"
#include "OrvHexCommands.h"
#include "OrvHexTestDir.h"

namespace {

namespace fs = std::filesystem;

class OrvHexCapsuleTest : public OrvHexTestDir {
 protected:
  OrvHexCapsuleTest() : OrvHexTestDir("orvhex_capsule_") {}
  void SetUp() override {
    OrvHexTestDir::SetUp();
    std::ofstream(At("in.bin"), std::ios::binary) << std::string(100, 'x');
    ASSERT_EQ(Run({"keygen", At("k.pem"), At("pub.pem")}), ORVHEX_OK) << Err.str();
    for (const char *Product : {"0x1234", "0x1235"}) {
      ASSERT_EQ(Run({"make", "--version", "0x10203", "--security-counter", "3", "--zone", "ocm", "--product", Product,
                     "--key", At("k.pem"), At("in.bin"), At(std::string("signed") + (Product + 5) + ".hex")}),
                ORVHEX_OK)
          << Err.str();
    }
    ASSERT_EQ(Run({"make", "--version", "5", At("in.bin"), At("plain.hex")}), ORVHEX_OK) << Err.str();
  }
  std::string At(const std::string &Name) const { return PathOf(Name); }
};

TEST_F(OrvHexCapsuleTest, CapsuleItemsAddressTheImagesProductAndIc) {
  ASSERT_EQ(Run({"capsule", "--ic", "1", At("signed4.hex"), At("signed4.hex"), At("c.cap")}),
            ORVHEX_OK)
      << Err.str();
  const std::string Bytes = Get("c.cap");
  FMP_CAPSULE Capsule{};
  ASSERT_EQ(ReadFmpCapsule(reinterpret_cast<const UINT8 *>(Bytes.data()), Bytes.size(), &Capsule, nullptr),
            CAPSULE_ERROR::Ok);
  ASSERT_EQ(Capsule.PayloadItemCount, 2);
  FMP_CAPSULE_ITEM Item{};
  ASSERT_EQ(ReadFmpCapsuleItem(Capsule, 1, &Item), CAPSULE_ERROR::Ok);
  const EFI_GUID Expected = OrvFmpImageTypeId(EFI_GUID ORV_FMP_DEMO_MAKER_GUID, 0x1234);
  EXPECT_EQ(std::memcmp(&Item.UpdateImageTypeId, &Expected, sizeof(EFI_GUID)), 0);
  EXPECT_EQ(Item.UpdateHardwareInstance, 2u);
  EXPECT_EQ(Item.UpdateImageIndex, 1);
  ASSERT_EQ(Run({"bin", "--with-header", At("signed4.hex"), At("signed.bin")}), ORVHEX_OK);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(Item.Image), Item.ImageSize), Get("signed.bin"));

  ASSERT_EQ(Run({"capsule-info", At("c.cap")}), ORVHEX_OK) << Err.str();
  const std::string Info = Out.str();
  for (const char *Line : {"capsule-guid 6DCBD5ED-E82D-4C44-BDA1-7194199AD92A\n", "flags 0x00010000\n",
                           "payload-items 2\n", "item 1 image-type 82365A4B-0B14-4B60-A60F-C2EF00001234\n",
                           "item 1 product 0x00001234\n", "item 1 hardware-instance 2\n",
                           "item 1 version 0x0000000000010203\n", "item 1 security-counter 3\n",
                           "item 1 signature present\n"}) {
    EXPECT_NE(Info.find(Line), std::string::npos) << Line << " missing from\n" << Info;
  }
}

TEST_F(OrvHexCapsuleTest, MakerOptionAndEveryIcByDefault) {
  ASSERT_EQ(Run({"capsule", "--product", "4660", "--maker", "00112233-4455-6677-8899-aabbccddeeff", At("signed4.hex"),
                 At("c.cap")}),
            ORVHEX_OK)
      << Err.str();
  ASSERT_EQ(Run({"capsule-info", At("c.cap")}), ORVHEX_OK);
  EXPECT_NE(Out.str().find("item 0 image-type 00112233-4455-6677-8899-AABB00001234\n"), std::string::npos);
  EXPECT_NE(Out.str().find("item 0 hardware-instance 0\n"), std::string::npos);
}

TEST_F(OrvHexCapsuleTest, AnImageThatNamesNoProductNeedsProduct) {
  ASSERT_EQ(Run({"bin", "--with-header", At("plain.hex"), At("plain.img")}), ORVHEX_OK) << Err.str();
  const std::string Plain = Get("plain.img");
  std::vector<UINT8> Legacy(Plain.begin(), Plain.end());
  IMAGE_PRIVATE_KEY Key{};
  GenerateSigningKeyFromSeed("legacy", &Key);
  ASSERT_TRUE(MakeImageFormat2(&Legacy, 1, &Key));
  std::ofstream(At("legacy.img"), std::ios::binary).write(reinterpret_cast<const char *>(Legacy.data()),
                                                           static_cast<std::streamsize>(Legacy.size()));
  EXPECT_EQ(Run({"capsule", At("legacy.img"), At("c.cap")}), ORVHEX_FAILED);
  EXPECT_EQ(Err.str(), "orvhex: the images name no product: give --product\n");
  EXPECT_FALSE(fs::exists(At("c.cap")));
  ASSERT_EQ(Run({"capsule", "--product", "0x1234", At("legacy.img"), At("c.cap")}), ORVHEX_OK) << Err.str();
  ASSERT_EQ(Run({"capsule-info", At("c.cap")}), ORVHEX_OK);
  EXPECT_NE(Out.str().find("item 0 product 0x00001234\n"), std::string::npos) << Out.str();
}

struct REFUSAL {
  const char *Name;
  std::vector<std::string> Args;  ///< "@" stands for the test folder
  int Status;
  const char *Message;            ///< part of the error text; "" for the usage text
};

class OrvHexCapsuleRefusal : public OrvHexCapsuleTest, public ::testing::WithParamInterface<REFUSAL> {};

TEST_P(OrvHexCapsuleRefusal, FailsWithItsMessageAndNoCapsule) {
  std::vector<std::string> Args;
  for (const std::string &Arg : GetParam().Args) Args.push_back(Arg[0] == '@' ? At(Arg.substr(1)) : Arg);
  std::ofstream(At("cut.cap"), std::ios::binary) << std::string(40, 'x');
  EXPECT_EQ(Run(Args), GetParam().Status);
  const std::string Expected = GetParam().Message;
  EXPECT_EQ(Err.str().rfind(Expected.empty() ? "usage:" : "orvhex: ", 0), 0u) << Err.str();
  EXPECT_NE(Err.str().find(Expected), std::string::npos) << Err.str();
  EXPECT_FALSE(fs::exists(At("c.cap")));
}

INSTANTIATE_TEST_SUITE_P(Refusals, OrvHexCapsuleRefusal, ::testing::Values(
  REFUSAL{"Unsigned", {"capsule", "--product", "1", "@plain.hex", "@c.cap"}, ORVHEX_FAILED, "not signed"},
  REFUSAL{"ProductOtherThanTheImages", {"capsule", "--product", "0x1235", "@signed4.hex", "@c.cap"}, ORVHEX_FAILED,
          "signed4.hex: signed for product 0x00001234, not 0x00001235 (--product)"},
  REFUSAL{"ImagesOfTwoProducts", {"capsule", "@signed4.hex", "@signed5.hex", "@c.cap"}, ORVHEX_FAILED,
          "signed5.hex: signed for product 0x00001235, not 0x00001234 ("},
  REFUSAL{"NoImage", {"capsule", "--product", "1", "@c.cap"}, ORVHEX_USAGE, ""},
  REFUSAL{"BadMaker", {"capsule", "--product", "1", "--maker", "82365A4B-0B14-4B60-A60F-C2EF09DB25", "@signed4.hex",
                       "@c.cap"}, ORVHEX_FAILED, "bad maker GUID"},
  REFUSAL{"IcTooLarge", {"capsule", "--product", "1", "--ic", "255", "@signed4.hex", "@c.cap"}, ORVHEX_FAILED,
          "bad ic '255'"},
  REFUSAL{"ProductPast32Bits", {"capsule", "--product", "0x100000000", "@signed4.hex", "@c.cap"}, ORVHEX_FAILED,
          "bad product"},
  REFUSAL{"RepeatedOption", {"capsule", "--product", "1", "--product", "1", "@signed4.hex", "@c.cap"}, ORVHEX_USAGE, ""},
  REFUSAL{"UnknownOption", {"capsule", "--product", "1", "--zone", "1", "@signed4.hex", "@c.cap"}, ORVHEX_USAGE, ""},
  REFUSAL{"FaultyCapsule", {"capsule-info", "@cut.cap"}, ORVHEX_FAILED, "cut.cap: not an FMP capsule"}),
  [](const auto &Info) { return std::string(Info.param.Name); });

}  // namespace
