// Settings file loading: the steps against the in-memory volume, every
// failing step's line and status, the clean-up order, and short reads.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "OrvTest.h"
#include "SettingsFile.h"

namespace {

const std::string SETTINGS_PATH = "OrvUpdateComponent\\OrvUpdateSettings.ini";
const std::string TEXT = "[default]\ntarget = ChipA\n[ChipA]\nOCM = ocm.hex\n";

class SettingsFileTest : public OrvTest {
 protected:
  void TearDown() override {
    Data.Reset();
    OrvTest::TearDown();
  }
  EFI_STATUS Load() {
    return LoadSettingsFile(Fw.ImageHandle(), Fw.DeviceHandle(),
                            u"OrvUpdateComponent\\OrvUpdateSettings.ini"_w, &Data);
  }
  std::string Text() const {
    return std::string(reinterpret_cast<const char *>(Data.Get()->Data), Data.Get()->Length);
  }
  int FileSystemOpens() const {
    return Fw.OpenCount(Fw.DeviceHandle(), gEfiSimpleFileSystemProtocolGuid);
  }
  /// Paths of the handles closed, in order ("" is the root directory).
  std::vector<std::string> ClosedPaths() const {
    std::vector<std::string> Paths;
    for (const auto &Record : Volume.Closes()) Paths.push_back(Record.Path);
    return Paths;
  }

  SettingsFileGuard Data;
};

TEST_F(SettingsFileTest, LoadsTheWholeFileIntoOneBlock) {
  Volume.AddFile(SETTINGS_PATH, TEXT);
  ASSERT_EQ(Load(), EFI_SUCCESS);
  ASSERT_TRUE(Data);
  EXPECT_EQ(Data.Get()->Length, TEXT.size());
  EXPECT_EQ(Text(), TEXT);
  EXPECT_EQ(Fw.Console(), "");

  // One block of the file size plus 16: Length, the text, 8 spare bytes that
  // are never written (the fake pool fills new blocks with 0x5A).
  EXPECT_EQ(Fw.LivePoolBlocks(), 1u);
  EXPECT_EQ(Fw.PoolSize(Data.Get()), TEXT.size() + 16);
  for (size_t Index = 0; Index < 8; Index++) {
    EXPECT_EQ(Data.Get()->Data[TEXT.size() + Index], 0x5A) << Index;
  }

  // The steps as the volume saw them.
  EXPECT_EQ(Fw.LastOpenAttributes(Fw.DeviceHandle(), gEfiSimpleFileSystemProtocolGuid),
            EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  ASSERT_EQ(Volume.OpenRequests().size(), 1u);
  EXPECT_EQ(Volume.OpenRequests()[0].Path, SETTINGS_PATH);
  EXPECT_EQ(Volume.OpenRequests()[0].Mode, EFI_FILE_MODE_READ);
  EXPECT_EQ(Volume.OpenRequests()[0].Attributes, EFI_FILE_READ_ONLY);
  EXPECT_EQ(Volume.GetInfoBufferSizes(), std::vector<UINTN>{216});
  EXPECT_EQ(Volume.ReadRequestSizes(), std::vector<UINTN>{TEXT.size()});

  // Nothing stays open: file, then root directory, both while the protocol
  // was still open, then the protocol.
  EXPECT_EQ(Volume.OpenHandles(), 0u);
  EXPECT_EQ(FileSystemOpens(), 0);
  ASSERT_EQ(Volume.Closes().size(), 2u);
  EXPECT_EQ(Volume.Closes()[0].Path, SETTINGS_PATH);
  EXPECT_FALSE(Volume.Closes()[0].Directory);
  EXPECT_EQ(Volume.Closes()[0].ProtocolOpenCount, 1);
  EXPECT_TRUE(Volume.Closes()[1].Directory);
  EXPECT_EQ(Volume.Closes()[1].Path, "");
  EXPECT_EQ(Volume.Closes()[1].ProtocolOpenCount, 1);

  // The text is what the lookup reads.
  SETTINGS_SECTION Section{};
  EXPECT_EQ(FindSettingsSection(Data.Get(), "ChipA"_a, &Section), EFI_SUCCESS);

  Data.Reset();
  EXPECT_EQ(Fw.LivePoolBlocks(), 0u) << "the guard gives the block back";
}

TEST_F(SettingsFileTest, SixBytesAreEnoughFiveAreNot) {
  Volume.AddFile(SETTINGS_PATH, "[a]\nb\n");
  ASSERT_EQ(Load(), EFI_SUCCESS);
  EXPECT_EQ(Data.Get()->Length, 6u);
  EXPECT_EQ(Text(), "[a]\nb\n");

  Volume.AddFile(SETTINGS_PATH, "[a]\nb");
  EFI_STATUS Status = Load();
  EXPECT_TRUE(EFI_ERROR(Status));
  EXPECT_FALSE(Data) << "a failed load leaves the caller no block, and gives back the old one";
  // GetInfo itself succeeded, so the line shows its success status.
  EXPECT_EQ(Fw.Console(), "Get settings file info error 0\n");
}

TEST_F(SettingsFileTest, FileNameIsMatchedWithoutRegardToCase) {
  Volume.AddFile("orvupdatecomponent\\ORVUPDATESETTINGS.INI", TEXT);
  ASSERT_EQ(Load(), EFI_SUCCESS);
  EXPECT_EQ(Text(), TEXT);
}

TEST_F(SettingsFileTest, FileIsReadFromTheVolumeRootWhereverTheApplicationIs) {
  Volume.AddFile("Tools\\OrvUpdate.efi", "MZ");
  Volume.AddFile("Tools\\" + SETTINGS_PATH, "[wrong]\ncopy\n");
  Volume.AddFile(SETTINGS_PATH, TEXT);
  ASSERT_EQ(Load(), EFI_SUCCESS);
  EXPECT_EQ(Text(), TEXT);
}

TEST_F(SettingsFileTest, FreeOfNullReleasesNothing) {
  Volume.AddFile(SETTINGS_PATH, TEXT);
  ASSERT_EQ(Load(), EFI_SUCCESS);
  const size_t Blocks = Fw.LivePoolBlocks();
  EXPECT_EQ(FreeSettingsFile(nullptr), EFI_SUCCESS);
  EXPECT_EQ(Fw.LivePoolBlocks(), Blocks);
}

TEST_F(SettingsFileTest, FailedCloseStillLeavesNothingOpen) {
  Volume.AddFile(SETTINGS_PATH, TEXT);
  Volume.Fail("Close", EFI_DEVICE_ERROR);
  ASSERT_EQ(Load(), EFI_SUCCESS);
  EXPECT_EQ(Text(), TEXT);
  EXPECT_EQ(Volume.OpenHandles(), 0u);
  EXPECT_EQ(FileSystemOpens(), 0);
}

// ---- Short reads -----------------------------------------------------------------

TEST_F(SettingsFileTest, ShortReadsAreReadOnUntilTheWholeFileIsIn) {
  Volume.AddFile(SETTINGS_PATH, TEXT);
  Volume.ShortRead(12);
  ASSERT_EQ(Load(), EFI_SUCCESS);
  EXPECT_EQ(Text(), TEXT);
  const UINTN Size = TEXT.size();
  EXPECT_EQ(Volume.ReadRequestSizes(),
            (std::vector<UINTN>{Size, Size - 12, Size - 24, Size - 36}));
}

// ---- Failing steps -----------------------------------------------------------------

struct FailureCase {
  const char *Name;
  std::function<void(FakeFirmware &, FakeVolume &)> Arrange;
  EFI_STATUS Status;
  const char *Console;
  std::vector<std::string> Closed;  // paths closed, in order
  bool ProtocolOpened = true;
};

class SettingsFileFailures : public SettingsFileTest,
                             public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SettingsFileFailures, PrintTheirLineAndCleanUp) {
  const FailureCase &C = GetParam();
  Volume.AddFile(SETTINGS_PATH, TEXT);
  C.Arrange(Fw, Volume);
  EXPECT_EQ(Load(), C.Status);
  EXPECT_FALSE(Data) << "the caller gets no block";
  EXPECT_EQ(Fw.Console(), C.Console);
  EXPECT_EQ(ClosedPaths(), C.Closed);
  for (const auto &Record : Volume.Closes()) {
    EXPECT_EQ(Record.ProtocolOpenCount, 1) << Record.Path << " closed before the protocol";
  }
  EXPECT_EQ(Volume.OpenHandles(), 0u);
  EXPECT_EQ(FileSystemOpens(), 0) << "the Simple File System protocol is closed again";
  EXPECT_EQ(Fw.LivePoolBlocks(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SettingsFileFailures,
    ::testing::Values(
        FailureCase{"OpenProtocol",
                    [](FakeFirmware &Fw, FakeVolume &) {
                      Fw.FailOpenProtocol(gEfiSimpleFileSystemProtocolGuid, EFI_UNSUPPORTED);
                    },
                    EFI_UNSUPPORTED, "File system error 3\n", {}, false},
        FailureCase{"NoFileSystemOnTheDevice",
                    [](FakeFirmware &Fw, FakeVolume &) {
                      Fw.UninstallProtocol(Fw.DeviceHandle(), gEfiSimpleFileSystemProtocolGuid);
                    },
                    EFI_UNSUPPORTED, "File system error 3\n", {}, false},
        FailureCase{"OpenVolume",
                    [](FakeFirmware &, FakeVolume &V) {
                      V.Fail("OpenVolume", EFI_VOLUME_CORRUPTED);
                    },
                    EFI_VOLUME_CORRUPTED, "Open FileSystem error A\n", {}},
        FailureCase{"OpenMissingFile",
                    [](FakeFirmware &, FakeVolume &V) { V.RemoveFile(SETTINGS_PATH); },
                    EFI_NOT_FOUND, "Open settings file error E\n", {""}},
        FailureCase{"Open",
                    [](FakeFirmware &, FakeVolume &V) { V.Fail("Open", EFI_DEVICE_ERROR); },
                    EFI_DEVICE_ERROR, "Open settings file error 7\n", {""}},
        FailureCase{"GetInfo",
                    [](FakeFirmware &, FakeVolume &V) { V.Fail("GetInfo", EFI_DEVICE_ERROR); },
                    EFI_DEVICE_ERROR, "Get settings file info error 7\n", {SETTINGS_PATH, ""}},
        FailureCase{"FiveByteFile",
                    [](FakeFirmware &, FakeVolume &V) { V.AddFile(SETTINGS_PATH, "12345"); },
                    EFI_BAD_BUFFER_SIZE, "Get settings file info error 0\n", {SETTINGS_PATH, ""}},
        FailureCase{"EmptyFile",
                    [](FakeFirmware &, FakeVolume &V) { V.AddFile(SETTINGS_PATH, ""); },
                    EFI_BAD_BUFFER_SIZE, "Get settings file info error 0\n", {SETTINGS_PATH, ""}},
        FailureCase{"Allocation",
                    [](FakeFirmware &Fw, FakeVolume &) {
                      Fw.FailAllocationsOfSize(TEXT.size() + 16);
                    },
                    EFI_OUT_OF_RESOURCES, "Alloc SettingsFileData error \n", {SETTINGS_PATH, ""}},
        FailureCase{"SizeTooLargeToCount",
                    [](FakeFirmware &, FakeVolume &V) {
                      V.ReportFileSize(SETTINGS_PATH, ~0ull - 4);
                    },
                    EFI_OUT_OF_RESOURCES, "Alloc SettingsFileData error \n", {SETTINGS_PATH, ""}},
        FailureCase{"Read",
                    [](FakeFirmware &, FakeVolume &V) { V.Fail("Read", EFI_DEVICE_ERROR); },
                    EFI_DEVICE_ERROR, "Read settings file error 7\n", {SETTINGS_PATH, ""}},
        // A text cut short would silently lose its last keys (a zone, a switch).
        FailureCase{"FileEndsBeforeItsSize",
                    [](FakeFirmware &, FakeVolume &V) {
                      V.ReportFileSize(SETTINGS_PATH, TEXT.size() + 10);
                    },
                    EFI_END_OF_FILE, "Read settings file error 1F\n", {SETTINGS_PATH, ""}},
        FailureCase{"ReadDeliversNothing",
                    [](FakeFirmware &, FakeVolume &V) { V.ShortRead(0); },
                    EFI_END_OF_FILE, "Read settings file error 1F\n", {SETTINGS_PATH, ""}}),
    [](const auto &Info) { return std::string(Info.param.Name); });

// The info record is 80 bytes and the terminated name: a name of 67
// characters fills the 216-byte buffer exactly, one of 68 does not fit.
TEST_F(SettingsFileTest, InfoRecordThatDoesNotFitIsRefused) {
  const auto LoadFrom = [this](const std::string &Path) {
    Volume.AddFile(Path, TEXT);
    std::u16string Wide16 = Wide(Path);
    return LoadSettingsFile(Fw.ImageHandle(), Fw.DeviceHandle(),
                            reinterpret_cast<const CHAR16 *>(Wide16.c_str()), &Data);
  };
  ASSERT_EQ(LoadFrom("OrvUpdateComponent\\" + std::string(67, 'n')), EFI_SUCCESS);
  EXPECT_EQ(Text(), TEXT);
  EXPECT_EQ(Fw.Console(), "");

  EXPECT_EQ(LoadFrom("OrvUpdateComponent\\" + std::string(68, 'n')), EFI_BUFFER_TOO_SMALL);
  EXPECT_FALSE(Data);
  EXPECT_EQ(Fw.Console(), "Get settings file info error 5\n");
  EXPECT_EQ(Volume.GetInfoBufferSizes(), (std::vector<UINTN>{216, 216}));
  EXPECT_EQ(Volume.OpenHandles(), 0u);
  EXPECT_EQ(FileSystemOpens(), 0);
}

TEST_F(SettingsFileTest, LargeSizeIsRefusedBeforeAnyAllocation) {
  Volume.AddFile(SETTINGS_PATH, TEXT);
  Volume.ReportFileSize(SETTINGS_PATH, ~0ull - 15);
  const size_t Allocations = Fw.AllocationCount();
  EXPECT_EQ(Load(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Fw.AllocationCount(), Allocations);
  EXPECT_EQ(Volume.Calls("Read"), 0);
}

}  // namespace
