// The base library: the guards (move, release, reverse-order clean-up), the
// status helpers and the hexadecimal text conversion.
#include <OrvBase/Guards.h>
#include <OrvBase/ProtocolPtr.h>
#include <OrvBase/HexText.h>
#include <OrvBase/Status.h>

#include <string>
#include <vector>

#include "OrvTest.h"

namespace {

// ---- File handles that record their Close calls ----------------------------

std::vector<std::string> gEvents;

struct RECORDING_FILE {
  EFI_FILE_PROTOCOL Protocol;  // first, so the protocol pointer is the record's
  const char *Name;
  EFI_STATUS CloseStatus;
};

EFI_STATUS EFIAPI RecordClose(EFI_FILE_PROTOCOL *This) {
  const RECORDING_FILE *File = reinterpret_cast<const RECORDING_FILE *>(This);
  gEvents.push_back(std::string("close ") + File->Name);
  return File->CloseStatus;
}

RECORDING_FILE MakeFile(const char *Name, EFI_STATUS CloseStatus = EFI_SUCCESS) {
  RECORDING_FILE File{};
  File.Protocol.Close = RecordClose;
  File.Name = Name;
  File.CloseStatus = CloseStatus;
  return File;
}

class OrvBaseTest : public OrvTest {
 protected:
  void SetUp() override {
    OrvTest::SetUp();
    gEvents.clear();
  }
  int LoadedImageOpens() { return Fw.OpenCount(Fw.ImageHandle(), gEfiLoadedImageProtocolGuid); }
};

// A function that hands a guard out by value: ownership leaves it in the guard.
PoolGuard<UINT8> AllocateFilled(UINTN Size, UINT8 Value) {
  PoolGuard<UINT8> Block = PoolGuard<UINT8>::Allocate(Size);
  for (UINTN Index = 0; Block && Index < Size; Index++) Block[Index] = Value;
  return Block;
}

TEST_F(OrvBaseTest, PoolGuardReturnedFromAFunctionKeepsItsBlockUntilItsScopeEnds) {
  {
    PoolGuard<UINT8> Block = AllocateFilled(32, 0xA5);
    ASSERT_TRUE(Block);
    EXPECT_TRUE(Fw.IsLivePool(Block.Get()));
    EXPECT_EQ(Block[31], 0xA5);
    EXPECT_EQ(Fw.LivePoolBlocks(), 1u);
  }
  EXPECT_EQ(Fw.LivePoolBlocks(), 0u);
}

TEST_F(OrvBaseTest, PoolGuardMoveLeavesTheSourceEmptyAndFreesOnce) {
  PoolGuard<UINT8> Source = PoolGuard<UINT8>::Allocate(8);
  UINT8 *Block = Source.Get();
  {
    PoolGuard<UINT8> Target(static_cast<PoolGuard<UINT8> &&>(Source));
    EXPECT_FALSE(Source);
    EXPECT_EQ(Target.Get(), Block);
  }
  EXPECT_FALSE(Fw.IsLivePool(Block));
  EXPECT_EQ(Fw.LivePoolBlocks(), 0u);  // the empty source frees nothing more
}

TEST_F(OrvBaseTest, PoolGuardMoveAssignmentFreesTheBlockItHeldBefore) {
  PoolGuard<UINT8> First = PoolGuard<UINT8>::Allocate(8);
  PoolGuard<UINT8> Second = PoolGuard<UINT8>::Allocate(16);
  UINT8 *Old = First.Get();
  UINT8 *Moved = Second.Get();
  First = static_cast<PoolGuard<UINT8> &&>(Second);
  EXPECT_FALSE(Fw.IsLivePool(Old));
  EXPECT_EQ(First.Get(), Moved);
  EXPECT_FALSE(Second);
  PoolGuard<UINT8> &Same = First;
  First = static_cast<PoolGuard<UINT8> &&>(Same);  // moving into itself keeps the block
  EXPECT_TRUE(Fw.IsLivePool(Moved));
}

TEST_F(OrvBaseTest, PoolGuardReleaseHandsTheBlockOnAndResetFreesIt) {
  UINT8 *Kept = nullptr;
  {
    PoolGuard<UINT8> Block = PoolGuard<UINT8>::Allocate(4);
    Kept = Block.Release();
    EXPECT_FALSE(Block);
  }
  EXPECT_TRUE(Fw.IsLivePool(Kept));
  PoolGuard<UINT8> Again(Kept);
  Again.Reset();
  EXPECT_FALSE(Fw.IsLivePool(Kept));
  EXPECT_FALSE(Again);
}

TEST_F(OrvBaseTest, PoolGuardThatGotNoMemoryIsEmpty) {
  Fw.FailNthAllocation(1);
  PoolGuard<UINT8> Block = PoolGuard<UINT8>::Allocate(64);
  EXPECT_FALSE(Block);
}

TEST_F(OrvBaseTest, FileGuardClosesOnceWhenMovedAndNotAtAllWhenReleased) {
  RECORDING_FILE Moved = MakeFile("moved");
  RECORDING_FILE Released = MakeFile("released");
  {
    FileGuard First(&Moved.Protocol);
    FileGuard Second(static_cast<FileGuard &&>(First));
    EXPECT_FALSE(First);
    FileGuard Third(&Released.Protocol);
    EXPECT_EQ(Third.Release(), &Released.Protocol);
  }
  EXPECT_EQ(gEvents, (std::vector<std::string>{"close moved"}));
}

TEST_F(OrvBaseTest, FileGuardMoveAssignmentClosesTheHandleItHeldBefore) {
  RECORDING_FILE Old = MakeFile("old");
  RECORDING_FILE New = MakeFile("new");
  {
    FileGuard Target(&Old.Protocol);
    FileGuard Source(&New.Protocol);
    Target = static_cast<FileGuard &&>(Source);
    EXPECT_EQ(gEvents, (std::vector<std::string>{"close old"}));
  }
  EXPECT_EQ(gEvents, (std::vector<std::string>{"close old", "close new"}));
}

TEST_F(OrvBaseTest, FileGuardCloseReportsTheStatusAndEmptiesTheGuard) {
  RECORDING_FILE File = MakeFile("file", EFI_DEVICE_ERROR);
  FileGuard Guard(&File.Protocol);
  EXPECT_EQ(Guard.Close(), EFI_DEVICE_ERROR);
  EXPECT_FALSE(Guard);
  EXPECT_EQ(Guard.Close(), EFI_SUCCESS);
  EXPECT_EQ(gEvents.size(), 1u);
}

TEST_F(OrvBaseTest, ProtocolPtrClosesWhatItOpenedOnceEvenWhenMoved) {
  {
    ProtocolPtr<EFI_LOADED_IMAGE> Outer;
    {
      ProtocolPtr<EFI_LOADED_IMAGE> Opened;
      ASSERT_EQ(Opened.Open(Fw.BootServices(), Fw.ImageHandle(), Fw.ImageHandle()), EFI_SUCCESS);
      EXPECT_EQ(Opened.Get(), &Fw.LoadedImage()) << "opened under the type's own GUID";
      EXPECT_EQ(LoadedImageOpens(), 1);
      Outer = static_cast<ProtocolPtr<EFI_LOADED_IMAGE> &&>(Opened);
      EXPECT_FALSE(Opened);
    }
    EXPECT_EQ(LoadedImageOpens(), 1) << "the moved-from pointer closed it";
  }
  EXPECT_EQ(LoadedImageOpens(), 0);
}

TEST_F(OrvBaseTest, ProtocolPtrThatFailedToOpenClosesNothing) {
  Fw.FailOpenProtocol(gEfiLoadedImageProtocolGuid, EFI_UNSUPPORTED);
  {
    ProtocolPtr<EFI_LOADED_IMAGE> Failed;
    EXPECT_EQ(Failed.Open(Fw.BootServices(), Fw.ImageHandle(), Fw.ImageHandle()), EFI_UNSUPPORTED);
    EXPECT_FALSE(Failed);
  }
  EXPECT_EQ(LoadedImageOpens(), 0);
}

TEST_F(OrvBaseTest, ProtocolPtrReleaseLeavesTheProtocolOpen) {
  {
    ProtocolPtr<EFI_LOADED_IMAGE> Opened;
    ASSERT_EQ(Opened.Open(Fw.BootServices(), Fw.ImageHandle(), Fw.ImageHandle()), EFI_SUCCESS);
    EXPECT_EQ(Opened.Release(), &Fw.LoadedImage());
  }
  EXPECT_EQ(LoadedImageOpens(), 1);
  Fw.BootServices()->CloseProtocol(Fw.ImageHandle(), &gEfiLoadedImageProtocolGuid,
                                   Fw.ImageHandle(), nullptr);
}

TEST_F(OrvBaseTest, GuardsReleaseInReverseOrderOfDeclaration) {
  RECORDING_FILE Directory = MakeFile("directory");
  RECORDING_FILE File = MakeFile("file");
  {
    FileGuard Root(&Directory.Protocol);
    FileGuard Opened(&File.Protocol);
  }
  EXPECT_EQ(gEvents, (std::vector<std::string>{"close file", "close directory"}));
}

TEST_F(OrvBaseTest, StatusHelpersPrintTheLineAndHandTheStatusOn) {
  EXPECT_EQ(ReportStatus(EFI_DEVICE_ERROR, u"step error %x\n"_w), EFI_DEVICE_ERROR);
  EXPECT_EQ(PrintAndReturn(EFI_NOT_FOUND, u"IC %x: %s\n"_w, 10u, u"gone"_w), EFI_NOT_FOUND);
  EXPECT_EQ(Fw.Console(), "step error 7\nIC A: gone\n");
}

// ---- Hexadecimal text ---------------------------------------------------------

struct HEX_CASE {
  const char *Text;
  UINTN MaxDigits;
  UINT64 Value;
  UINTN Digits;
};

constexpr HEX_CASE HEX_CASES[] = {
    {"", 8, 0, 0},
    {"5a", 2, 0x5A, 2},
    {"5A", 2, 0x5A, 2},
    {"1ff", 2, 0x1F, 2},
    {"0x5a", 2, 0, 1},
    {"zz", 2, 0, 0},
    {"12z", 8, 0x12, 2},
    {"00000010", 8, 0x10, 8},
    {"fFfFfFfF", 8, 0xFFFFFFFF, 8},
    {"123456789abcdef0", 16, 0x123456789ABCDEF0, 16},
    // Sixteen digits and a terminator: every digit counts, whatever the limit.
    {"FFFFFFFFFFFFFFFF", 17, 0xFFFFFFFFFFFFFFFF, 16},
    {"FFFFFFFFFFFFFFFF", 255, 0xFFFFFFFFFFFFFFFF, 16},
    // Seventeen digits: the first is shifted out.
    {"1FFFFFFFFFFFFFFFF", 17, 0xFFFFFFFFFFFFFFFF, 17},
    {"abc", 0, 0, 0},
};

TEST(HexTextTest, DigitsToValueOnNarrowAndWideText) {
  for (const HEX_CASE &Case : HEX_CASES) {
    UINT64 Value = 0xDEAD;
    EXPECT_EQ(HexDigitsToValue(Case.Text, Case.MaxDigits, &Value), Case.Digits) << Case.Text;
    EXPECT_EQ(Value, Case.Value) << Case.Text;
    const std::u16string Wide16(Case.Text, Case.Text + std::char_traits<char>::length(Case.Text));
    Value = 0xDEAD;
    EXPECT_EQ(HexDigitsToValue(reinterpret_cast<const CHAR16 *>(Wide16.c_str()), Case.MaxDigits,
                               &Value),
              Case.Digits)
        << Case.Text;
    EXPECT_EQ(Value, Case.Value) << Case.Text;
  }
}

TEST(HexTextTest, DigitValueOfEveryCode) {
  const std::string Digits = "0123456789abcdef";
  for (UINT32 Code = 0; Code < 0x10100; Code++) {
    int Expected = -1;
    if (Code < 0x100) {
      const size_t At = Digits.find(static_cast<char>(Code >= 'A' && Code <= 'F' ? Code + 32 : Code));
      if (Code != 0 && At != std::string::npos) Expected = static_cast<int>(At);
    }
    ASSERT_EQ(HexDigitValue(Code), Expected) << Code;
  }
  // A narrow character above 0x7F, signed or not, is no digit.
  EXPECT_EQ(HexDigitValue(static_cast<UINT32>(static_cast<char>(0xE6))), -1);
  static_assert(HexDigitValue('c') == 12, "usable in constant expressions");
}

}  // namespace
