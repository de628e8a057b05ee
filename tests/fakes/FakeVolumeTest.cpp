// The in-memory volume itself: path resolution, info records, reads, scripted
// failures and the records tests rely on.
#include <gtest/gtest.h>

#include <string>

#include "OrvTest.h"

namespace {

class FakeVolumeTest : public OrvTest {
 protected:
  EFI_FILE_PROTOCOL *Root() {
    EFI_FILE_IO_INTERFACE *FileSystem = nullptr;
    EXPECT_EQ(Fw.BootServices()->HandleProtocol(Fw.DeviceHandle(),
                                                &gEfiSimpleFileSystemProtocolGuid,
                                                reinterpret_cast<VOID **>(&FileSystem)),
              EFI_SUCCESS);
    EFI_FILE_PROTOCOL *RootDirectory = nullptr;
    EXPECT_EQ(FileSystem->OpenVolume(FileSystem, &RootDirectory), EFI_SUCCESS);
    return RootDirectory;
  }
  EFI_STATUS Open(EFI_FILE_PROTOCOL *From, const std::string &Path, EFI_FILE_PROTOCOL **File,
                  UINT64 Mode = EFI_FILE_MODE_READ) {
    std::u16string Name = Wide(Path);
    return From->Open(From, File, reinterpret_cast<CHAR16 *>(Name.data()), Mode, 0);
  }
  std::string ReadAll(EFI_FILE_PROTOCOL *File, UINTN Chunk) {
    std::string Out;
    while (true) {
      char Buffer[64];
      UINTN Size = Chunk;
      EXPECT_EQ(File->Read(File, &Size, Buffer), EFI_SUCCESS);
      if (Size == 0) return Out;
      Out.append(Buffer, Size);
    }
  }
};

TEST_F(FakeVolumeTest, PathsResolveLikeFat) {
  Volume.AddFile("Dir\\Sub\\File.txt", "content");
  EFI_FILE_PROTOCOL *R = Root();
  struct Row {
    const char *Path;
    EFI_STATUS Status;
  };
  for (const Row &Case : {Row{"Dir\\Sub\\File.txt", EFI_SUCCESS}, Row{"dir\\SUB\\file.TXT", EFI_SUCCESS},
                          Row{"\\Dir\\Sub\\File.txt", EFI_SUCCESS},
                          Row{"Dir\\.\\Sub\\..\\Sub\\File.txt", EFI_SUCCESS},
                          Row{"Dir", EFI_SUCCESS}, Row{"Dir\\Sub", EFI_SUCCESS},
                          Row{"Dir\\Other.txt", EFI_NOT_FOUND}, Row{"Di", EFI_NOT_FOUND},
                          Row{"..\\Dir", EFI_NOT_FOUND}}) {
    EFI_FILE_PROTOCOL *File = nullptr;
    EXPECT_EQ(Open(R, Case.Path, &File), Case.Status) << Case.Path;
    if (File != nullptr) File->Close(File);
  }

  // Relative to an opened directory; a leading backslash goes to the root.
  EFI_FILE_PROTOCOL *Dir = nullptr;
  ASSERT_EQ(Open(R, "Dir", &Dir), EFI_SUCCESS);
  EFI_FILE_PROTOCOL *File = nullptr;
  ASSERT_EQ(Open(Dir, "Sub\\File.txt", &File), EFI_SUCCESS);
  EXPECT_EQ(ReadAll(File, 64), "content");
  EFI_FILE_PROTOCOL *Again = nullptr;
  EXPECT_EQ(Open(Dir, "\\Dir\\Sub\\File.txt", &Again), EFI_SUCCESS);
  EXPECT_EQ(Open(File, "x", &Again), EFI_NOT_FOUND) << "a file is not a directory";
  Again->Close(Again);
  File->Close(File);
  Dir->Close(Dir);
  R->Close(R);
  EXPECT_EQ(Volume.OpenHandles(), 0u);
}

TEST_F(FakeVolumeTest, VolumeIsReadOnly) {
  Volume.AddFile("a.txt", "x");
  EFI_FILE_PROTOCOL *R = Root();
  EFI_FILE_PROTOCOL *File = nullptr;
  EXPECT_EQ(Open(R, "a.txt", &File, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE),
            EFI_WRITE_PROTECTED);
  EXPECT_EQ(Open(R, "a.txt", &File, EFI_FILE_MODE_WRITE), EFI_INVALID_PARAMETER);
  EXPECT_EQ(File, nullptr);
  R->Close(R);
}

TEST_F(FakeVolumeTest, InfoRecordNamesTheFileAndAsksForRoom) {
  Volume.AddFile("Folder\\Settings.ini", std::string(1000, 'x'));
  EFI_FILE_PROTOCOL *R = Root();
  EFI_FILE_PROTOCOL *File = nullptr;
  ASSERT_EQ(Open(R, "folder\\settings.ini", &File), EFI_SUCCESS);

  const UINTN Needed = SIZE_OF_EFI_FILE_INFO + sizeof(u"Settings.ini");
  alignas(EFI_FILE_INFO) UINT8 Buffer[256];
  UINTN Size = Needed - 1;
  EXPECT_EQ(File->GetInfo(File, &gEfiFileInfoGuid, &Size, Buffer), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, Needed);
  Size = sizeof(Buffer);
  ASSERT_EQ(File->GetInfo(File, &gEfiFileInfoGuid, &Size, Buffer), EFI_SUCCESS);
  const auto *Info = reinterpret_cast<const EFI_FILE_INFO *>(Buffer);
  EXPECT_EQ(Size, Needed);
  EXPECT_EQ(Info->Size, Needed);
  EXPECT_EQ(Info->FileSize, 1000u);
  EXPECT_EQ(Info->PhysicalSize, 1024u);
  EXPECT_EQ(Info->Attribute & EFI_FILE_DIRECTORY, 0u);
  EXPECT_EQ(Narrow(Info->FileName), "Settings.ini") << "the stored spelling";

  Volume.ReportFileSize("FOLDER\\SETTINGS.INI", 3);
  ASSERT_EQ(File->GetInfo(File, &gEfiFileInfoGuid, &Size, Buffer), EFI_SUCCESS);
  EXPECT_EQ(Info->FileSize, 3u);
  EFI_GUID Other = EFI_FILE_SYSTEM_INFO_ID;
  EXPECT_EQ(File->GetInfo(File, &Other, &Size, Buffer), EFI_UNSUPPORTED);
  File->Close(File);

  EFI_FILE_PROTOCOL *Dir = nullptr;
  ASSERT_EQ(Open(R, "Folder", &Dir), EFI_SUCCESS);
  Size = sizeof(Buffer);
  ASSERT_EQ(Dir->GetInfo(Dir, &gEfiFileInfoGuid, &Size, Buffer), EFI_SUCCESS);
  EXPECT_NE(Info->Attribute & EFI_FILE_DIRECTORY, 0u);
  Dir->Close(Dir);
  R->Close(R);
}

TEST_F(FakeVolumeTest, ReadsAdvanceAndCanBeShort) {
  Volume.AddFile("f", "0123456789");
  EFI_FILE_PROTOCOL *R = Root();
  EFI_FILE_PROTOCOL *File = nullptr;
  ASSERT_EQ(Open(R, "f", &File), EFI_SUCCESS);
  EXPECT_EQ(ReadAll(File, 4), "0123456789");

  UINT64 Position = 0;
  EXPECT_EQ(File->GetPosition(File, &Position), EFI_SUCCESS);
  EXPECT_EQ(Position, 10u);
  EXPECT_EQ(File->SetPosition(File, 7), EFI_SUCCESS);
  EXPECT_EQ(ReadAll(File, 64), "789");
  EXPECT_EQ(File->SetPosition(File, 2), EFI_SUCCESS);
  Volume.ShortRead(3);
  char Buffer[16];
  UINTN Size = sizeof(Buffer);
  EXPECT_EQ(File->Read(File, &Size, Buffer), EFI_SUCCESS);
  EXPECT_EQ(std::string(Buffer, Size), "234");
  EXPECT_EQ(File->SetPosition(File, ~0ull), EFI_SUCCESS);
  EXPECT_EQ(File->GetPosition(File, &Position), EFI_SUCCESS);
  EXPECT_EQ(Position, 10u);
  EXPECT_EQ(File->Write(File, &Size, Buffer), EFI_UNSUPPORTED);
  File->Close(File);
  R->Close(R);
  EXPECT_EQ(Volume.ReadRequestSizes().front(), 4u);
}

TEST_F(FakeVolumeTest, ScriptedFailuresHitTheNthCallOrEvery) {
  Volume.AddFile("f", "data");
  EFI_FILE_PROTOCOL *R = Root();
  Volume.Fail("Open", EFI_DEVICE_ERROR, 2);
  EFI_FILE_PROTOCOL *First = nullptr;
  EFI_FILE_PROTOCOL *Second = nullptr;
  EFI_FILE_PROTOCOL *Third = nullptr;
  EXPECT_EQ(Open(R, "f", &First), EFI_SUCCESS);
  EXPECT_EQ(Open(R, "f", &Second), EFI_DEVICE_ERROR);
  EXPECT_EQ(Open(R, "f", &Third), EFI_SUCCESS);
  EXPECT_EQ(Volume.Calls("Open"), 3);

  Volume.Fail("Read", EFI_VOLUME_CORRUPTED);
  char Buffer[8];
  for (int Attempt = 0; Attempt < 2; Attempt++) {
    UINTN Size = sizeof(Buffer);
    EXPECT_EQ(First->Read(First, &Size, Buffer), EFI_VOLUME_CORRUPTED);
  }

  // A failed Close still closes, and the order of closes is kept.
  Volume.Fail("Close", EFI_DEVICE_ERROR, 1);
  EXPECT_EQ(Third->Close(Third), EFI_DEVICE_ERROR);
  EXPECT_EQ(First->Close(First), EFI_SUCCESS);
  EXPECT_EQ(R->Close(R), EFI_SUCCESS);
  EXPECT_EQ(Volume.OpenHandles(), 0u);
  ASSERT_EQ(Volume.Closes().size(), 3u);
  EXPECT_EQ(Volume.Closes()[0].Path, "f");
  EXPECT_EQ(Volume.Closes()[2].Path, "");
  EXPECT_TRUE(Volume.Closes()[2].Directory);
  EXPECT_EQ(Volume.Closes()[0].ProtocolOpenCount, 0) << "nobody opened the protocol here";
}

}  // namespace
