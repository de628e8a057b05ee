// Component binding and the component loader: search, load from the
// component folder, search again, open on the first handle, path init and
// the reduce-flash mask.
#include <gtest/gtest.h>

#include "Components.h"
#include "OrvTest.h"
#include "RunState.h"
#include "SettingsText.h"

namespace {

const std::string SETTINGS =
    "[default]\n"
    "target = ChipA\n"
    "[ChipA]\n"
    "ImageParser = Image.efi\n"
    "FlashInterface = Flash.efi\n"
    "DevicePath = Path.efi\n";

class ComponentBindingTest : public OrvTest {
 protected:
  EFI_STATUS Bind(const std::string &Text = SETTINGS) {
    SettingsText Settings(Text);
    SETTINGS_SECTION Section = Settings.Section("ChipA");
    return BindComponents(Fw.ImageHandle(), Fw.DeviceHandle(), Settings.File(), &Section,
                          &Session);
  }
  /// The path session a binding opens; held to the end of the test.
  PathSessionGuard Session;
  // Driver files that install the fakes' protocols when started.
  void AddDrivers(const std::string &Except = "") {
    auto Add = [&](const std::string &Name, const EFI_GUID &Guid, void *Interface) {
      if (Name == Except) return;
      Fw.AddDriverFile("OrvUpdateComponent\\" + Name, [this, &Guid, Interface](EFI_HANDLE Driver) {
        Fw.InstallProtocol(Driver, Guid, Interface);
        return EFI_SUCCESS;
      });
    };
    Add("Image.efi", gOrvImageProtocolGuid, &Image.Protocol);
    Add("Flash.efi", gOrvFlashProtocolGuid, &Flash.Protocol);
    Add("Path.efi", gOrvPathProtocolGuid, &Path.Protocol);
  }
  void ExpectBound() {
    EXPECT_EQ(pOrvImageProtocol, &Image.Protocol);
    EXPECT_EQ(pOrvFlashProtocol, &Flash.Protocol);
    EXPECT_EQ(pOrvPathProtocolInterface, &Path.Protocol);
  }
};

TEST_F(ComponentBindingTest, InstalledProtocolsAreBoundWithoutLoadingOrReadingKeys) {
  InstallFakes();
  ReduceFlashMask = 0;
  EXPECT_EQ(Bind("[ChipA]\nOCM = x\n"), EFI_SUCCESS);
  ExpectBound();
  EXPECT_TRUE(Fw.LoadImageRequests().empty());
  EXPECT_EQ(Path.Calls, std::vector<std::string>{"PathInit"});
  EXPECT_EQ(Flash.Calls, MaskHandedOver(0)) << "a zero mask is still handed over";
  EXPECT_EQ(Fw.Console(), "");
  EXPECT_EQ(Fw.LastOpenAttributes(FlashHandle, gOrvFlashProtocolGuid),
            EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  EXPECT_EQ(Fw.OpenCount(FlashHandle, gOrvFlashProtocolGuid), 1) << "component protocols stay open";
}

TEST_F(ComponentBindingTest, MissingProtocolsAreLoadedFromTheComponentFolder) {
  AddDrivers();
  ReduceFlashMask = 0xD;
  EXPECT_EQ(Bind(), EFI_SUCCESS);
  ExpectBound();
  EXPECT_EQ(Fw.LoadImageRequests(),
            (std::vector<std::string>{"OrvUpdateComponent\\Image.efi", "OrvUpdateComponent\\Flash.efi",
                                      "OrvUpdateComponent\\Path.efi"}));
  EXPECT_EQ(Fw.StartImageCalls(), 3);
  EXPECT_EQ(Flash.Calls, MaskHandedOver(0xD));
  EXPECT_EQ(Fw.Console(), "");
}

TEST_F(ComponentBindingTest, MissingKeyStopsBeforeLaterComponents) {
  EXPECT_EQ(Bind("[ChipA]\nFlashInterface = Flash.efi\n"), EFI_NOT_FOUND);
  EXPECT_EQ(Fw.Console(), "Load ImageParser error, E\n");
  EXPECT_EQ(Fw.LocateHandleBufferCalls(gOrvFlashProtocolGuid), 0);
  EXPECT_EQ(Fw.LocateHandleBufferCalls(gOrvPathProtocolGuid), 0);
  EXPECT_EQ(pOrvImageProtocol, nullptr);
}

TEST_F(ComponentBindingTest, MissingDriverFileReportsPathAndThenTheSecondSearch) {
  AddDrivers("Flash.efi");
  EXPECT_EQ(Bind(), EFI_NOT_FOUND);
  EXPECT_EQ(Fw.Console(),
            "Component OrvUpdateComponent\\Flash.efi not found! Path FS0:OrvUpdateComponent\\Flash.efi \n"
            "LocateHandleBuffer gOrvFlashProtocolGuid after load ERROR E\n");
  EXPECT_EQ(Fw.DevicePathToTextFlags(), (std::vector<std::pair<bool, bool>>{{true, true}}));
  EXPECT_EQ(pOrvImageProtocol, &Image.Protocol) << "components bound before stay bound";
  EXPECT_EQ(pOrvPathProtocolInterface, nullptr);
}

TEST_F(ComponentBindingTest, DriverThatInstallsNothingFailsTheSecondSearchSilently) {
  AddDrivers();
  Fw.AddDriverFile("OrvUpdateComponent\\Path.efi", [](EFI_HANDLE) { return EFI_SUCCESS; });
  EXPECT_EQ(Bind(), EFI_NOT_FOUND);
  EXPECT_EQ(Fw.Console(), "LocateHandleBuffer gOrvPathProtocolGuid after load ERROR E\n");
  EXPECT_TRUE(Path.Calls.empty());
}

TEST_F(ComponentBindingTest, FailedStartIsReportedWithTheFullDevicePath) {
  AddDrivers();
  Fw.AddDriverFile("OrvUpdateComponent\\Image.efi", [](EFI_HANDLE) { return EFI_ABORTED; });
  EXPECT_EQ(Bind(), EFI_NOT_FOUND);
  EXPECT_EQ(Fw.Console(),
            "Component OrvUpdateComponent\\Image.efi Load fail! Path VenHw(FAKE)/OrvUpdateComponent\\Image.efi\n"
            "LocateHandleBuffer gOrvImageProtocolGuid after load ERROR E\n");
  EXPECT_EQ(Fw.DevicePathToTextFlags(), (std::vector<std::pair<bool, bool>>{{false, false}}));
}

TEST_F(ComponentBindingTest, WithoutTheFirmwareTextProtocolTheLibraryFormsThePathText) {
  AddDrivers("Image.efi");
  Fw.RemoveDevicePathToText();
  Fw.AddUnloadableFile("OrvUpdateComponent\\Image.efi");
  EXPECT_EQ(Bind(), EFI_NOT_FOUND);
  std::string Console = Fw.Console();
  EXPECT_EQ(Console.rfind("Component OrvUpdateComponent\\Image.efi not found! Path ", 0), 0u) << Console;
  EXPECT_NE(Console.find("OrvUpdateComponent\\Image.efi \n"), std::string::npos) << Console;
}

TEST_F(ComponentBindingTest, FirstHandleOfSeveralIsUsed) {
  ORV_FLASH_PROTOCOL Other = Flash.Protocol;
  EFI_HANDLE First = Fw.NewHandle();
  Fw.InstallProtocol(First, gOrvFlashProtocolGuid, &Other);
  InstallFakes();
  EXPECT_EQ(Bind(), EFI_SUCCESS);
  EXPECT_EQ(pOrvFlashProtocol, &Other);
}

TEST_F(ComponentBindingTest, NullReduceFlagsSlotIsSkipped) {
  Flash.Protocol.SetReduceFlags = nullptr;
  InstallFakes();
  ReduceFlashMask = 1;
  EXPECT_EQ(Bind(), EFI_SUCCESS);
  EXPECT_TRUE(Flash.Calls.empty());
  EXPECT_EQ(Fw.Console(), "");
}

TEST_F(ComponentBindingTest, PathInitFailureStopsWithItsStatus) {
  InstallFakes();
  Path.Fail(SIM_OP::PathInit, EFI_DEVICE_ERROR);
  EXPECT_EQ(Bind(), EFI_DEVICE_ERROR);
  EXPECT_EQ(Fw.Console(), "pOrvPathProtocolInterface init ERROR 7\n");
  EXPECT_EQ(pOrvImageProtocol, &Image.Protocol);
  EXPECT_EQ(pOrvFlashProtocol, &Flash.Protocol);
  EXPECT_TRUE(Flash.Calls.empty()) << "the mask follows a successful PathInit only";
}

TEST_F(ComponentBindingTest, DriverNameOf106CharactersLoads) {
  std::string Name(102, 'f');
  Name += ".efi";
  ASSERT_EQ(Name.size(), 106u);
  AddDrivers("Flash.efi");
  Fw.AddDriverFile("OrvUpdateComponent\\" + Name, [this](EFI_HANDLE Driver) {
    Fw.InstallProtocol(Driver, gOrvFlashProtocolGuid, &Flash.Protocol);
    return EFI_SUCCESS;
  });
  EXPECT_EQ(Bind("[ChipA]\nImageParser = Image.efi\nFlashInterface = " + Name +
                 "\nDevicePath = Path.efi\n"),
            EFI_SUCCESS);
  EXPECT_EQ(Fw.LoadImageRequests()[1], "OrvUpdateComponent\\" + Name);
  ExpectBound();
}

TEST_F(ComponentBindingTest, DriverNameOf107CharactersIsRefusedSilentlyByTheLoader) {
  std::string Name(103, 'f');
  Name += ".efi";
  AddDrivers();
  EXPECT_EQ(Bind("[ChipA]\nImageParser = Image.efi\nFlashInterface = " + Name + "\n"),
            EFI_NOT_FOUND);
  EXPECT_EQ(Fw.Console(), "Load FlashInterface error, E\n");
  EXPECT_EQ(Fw.LoadImageRequests().size(), 1u);
}

struct BindingFault {
  const char *Name;
  const EFI_GUID *Guid;
  int Kind;  // 0 first search, 1 search after load, 2 open
  std::string Line;
};

class ComponentBindingFaults : public ComponentBindingTest,
                               public ::testing::WithParamInterface<BindingFault> {};

TEST_P(ComponentBindingFaults, EachFailurePrintsItsLineAndStatus) {
  const BindingFault &Fault = GetParam();
  AddDrivers();
  if (Fault.Kind == 0) Fw.FailLocateHandleBuffer(*Fault.Guid, EFI_OUT_OF_RESOURCES, 1);
  if (Fault.Kind == 1) Fw.FailLocateHandleBuffer(*Fault.Guid, EFI_OUT_OF_RESOURCES, 2);
  if (Fault.Kind == 2) Fw.FailOpenProtocol(*Fault.Guid, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Bind(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Fw.Console(), Fault.Line);
  EXPECT_TRUE(Path.Calls.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ComponentBindingFaults,
    ::testing::Values(
        BindingFault{"ImageSearch", &gOrvImageProtocolGuid, 0,
                     "LocateHandleBuffer gOrvImageProtocolGuid ERROR 9\n"},
        BindingFault{"ImageSearchAfterLoad", &gOrvImageProtocolGuid, 1,
                     "LocateHandleBuffer gOrvImageProtocolGuid after load ERROR 9\n"},
        BindingFault{"ImageOpen", &gOrvImageProtocolGuid, 2,
                     "LocateProtocol gOrvImageProtocolGuid ERROR 9\n"},
        BindingFault{"FlashSearch", &gOrvFlashProtocolGuid, 0,
                     "LocateHandleBuffer gOrvFlashProtocolGuid ERROR 9\n"},
        BindingFault{"FlashSearchAfterLoad", &gOrvFlashProtocolGuid, 1,
                     "LocateHandleBuffer gOrvFlashProtocolGuid after load ERROR 9\n"},
        BindingFault{"FlashOpen", &gOrvFlashProtocolGuid, 2,
                     "LocateProtocol pOrvFlashProtocol ERROR 9\n"},
        BindingFault{"PathSearch", &gOrvPathProtocolGuid, 0,
                     "LocateHandleBuffer gOrvPathProtocolGuid ERROR 9\n"},
        BindingFault{"PathSearchAfterLoad", &gOrvPathProtocolGuid, 1,
                     "LocateHandleBuffer gOrvPathProtocolGuid after load ERROR 9\n"},
        BindingFault{"PathOpen", &gOrvPathProtocolGuid, 2,
                     "LocateProtocol pOrvPathProtocolInterface ERROR 9\n"}),
    [](const auto &Info) { return std::string(Info.param.Name); });

}  // namespace
