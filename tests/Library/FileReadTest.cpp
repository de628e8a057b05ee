// Whole-file reading through the Simple File System protocol, on the fake
// volume: the file is read whole whatever Read delivers at a time, every
// handle is closed, and nothing is left allocated on a failure.
#include <OrvBase/FileRead.h>

#include <string>

#include "OrvTest.h"

namespace {

class FileReadTest : public OrvTest {
 protected:
  /// Reads Path from the application's volume; Text receives the bytes.
  EFI_STATUS Read(const char16_t *Path, UINTN MaxSize, std::string *Text = nullptr) {
    FileGuard Root;
    EFI_STATUS Status = OpenImageVolume(Fw.BootServices(), Fw.ImageHandle(), &Root);
    if (EFI_ERROR(Status)) return Status;
    PoolGuard<UINT8> Data;
    UINTN Size = 0xDEAD;
    Status = ReadWholeFile(Root.Get(), reinterpret_cast<const CHAR16 *>(Path), MaxSize, &Data,
                           &Size);
    if (!EFI_ERROR(Status)) {
      EXPECT_EQ(Data[Size], 0) << "the bytes are followed by a zero byte";
      if (Text != nullptr) Text->assign(reinterpret_cast<const char *>(Data.Get()), Size);
    } else {
      EXPECT_FALSE(Data) << "nothing is handed out on a failure";
    }
    return Status;
  }
};

TEST_F(FileReadTest, ReadsTheWholeFileAndClosesItsHandles) {
  Volume.AddFile("OrvSim\\Faults.ini", "IcInit Status=DEVICE_ERROR\n");
  std::string Text;
  EXPECT_EQ(Read(u"OrvSim\\Faults.ini", 1024, &Text), EFI_SUCCESS);
  EXPECT_EQ(Text, "IcInit Status=DEVICE_ERROR\n");
  EXPECT_EQ(Volume.OpenHandles(), 0u);
  ASSERT_EQ(Volume.Closes().size(), 2u);
  EXPECT_EQ(Volume.Closes()[0].Path, "OrvSim\\Faults.ini") << "the file first";
  EXPECT_EQ(Volume.Closes()[1].Path, "") << "then the root directory";
}

TEST_F(FileReadTest, ShortReadsStillDeliverEveryByte) {
  const std::string Content(1000, 'x');
  Volume.AddFile("big.hex", Content + "end");
  Volume.ShortRead(7);
  std::string Text;
  EXPECT_EQ(Read(u"big.hex", 4096, &Text), EFI_SUCCESS);
  EXPECT_EQ(Text, Content + "end");
  EXPECT_GT(Volume.Calls("Read"), 100);
}

TEST_F(FileReadTest, EmptyFileIsAnEmptyText) {
  Volume.AddFile("empty.ini", "");
  std::string Text = "stale";
  EXPECT_EQ(Read(u"empty.ini", 16, &Text), EFI_SUCCESS);
  EXPECT_EQ(Text, "");
}

struct REFUSAL {
  const char *Name;
  EFI_STATUS Expected;
};

TEST_F(FileReadTest, RefusalsGiveTheirStatusAndLeaveNothingBehind) {
  // A file of exactly MaxSize is read; one byte more is refused.
  Volume.AddFile("limit.bin", std::string(16, 'a'));
  EXPECT_EQ(Read(u"limit.bin", 16), EFI_SUCCESS);
  EXPECT_EQ(Read(u"limit.bin", 15), EFI_BAD_BUFFER_SIZE);
  EXPECT_EQ(Read(u"missing.bin", 16), EFI_NOT_FOUND);
  Volume.AddFile("OrvSim\\FlashSim.ini", "[FlashSim]\n");
  EXPECT_EQ(Read(u"OrvSim", 1 << 20), EFI_NOT_FOUND) << "a directory is no file";
  // The volume says the file is longer than it is: the read ends early.
  Volume.AddFile("cut.bin", "abc");
  Volume.ReportFileSize("cut.bin", 10);
  EXPECT_EQ(Read(u"cut.bin", 16), EFI_END_OF_FILE);
  EXPECT_EQ(Volume.OpenHandles(), 0u);
  EXPECT_EQ(Fw.LivePoolBlocks(), 0u);
}

TEST_F(FileReadTest, FailingFileSystemCallsGiveTheirStatus) {
  Volume.AddFile("f.bin", "data");
  const REFUSAL Cases[] = {
      {"OpenVolume", EFI_NO_MEDIA},
      {"Open", EFI_ACCESS_DENIED},
      {"Read", EFI_DEVICE_ERROR},
  };
  for (const REFUSAL &Case : Cases) {
    Volume.Fail(Case.Name, Case.Expected, 1);
    EXPECT_EQ(Read(u"f.bin", 16), Case.Expected) << Case.Name;
    EXPECT_EQ(Volume.OpenHandles(), 0u) << Case.Name;
    EXPECT_EQ(Fw.LivePoolBlocks(), 0u) << Case.Name;
  }
  // Without its size the file cannot be read.
  Volume.Fail("GetInfo", EFI_DEVICE_ERROR, 1);
  EXPECT_EQ(Read(u"f.bin", 16), EFI_DEVICE_ERROR);
  EXPECT_EQ(Read(u"f.bin", 16), EFI_SUCCESS) << "the next read works again";
}

TEST_F(FileReadTest, NoPoolForTheFileIsOutOfResources) {
  Volume.AddFile("f.bin", "0123456789");
  Fw.FailAllocationsOfSize(11);
  EXPECT_EQ(Read(u"f.bin", 16), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Volume.OpenHandles(), 0u);
}

}  // namespace
