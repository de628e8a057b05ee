// Base fixture for host tests (see OrvTest.h).
#include "OrvTest.h"

#include "OrvCheck.h"
#include "OrvInfo.h"
#include "OrvUpdate.h"
#include "RunState.h"

OrvTest::OrvTest(const std::string &FlashConfig) : Flash(FlashConfig) {
  Flash.Journal = Image.Journal = Path.Journal = &Journal;
}

void OrvTest::SetUp() { ResetRunState(Fw.BootServices()); }

void OrvTest::TearDown() {
  EXPECT_EQ(Fw.LivePoolBlocks(), 0u) << "pool memory was not given back";
  EXPECT_EQ(Volume.OpenHandles(), 0u) << "a file or directory handle was left open";
  EXPECT_EQ(Flash.TakeRefusals(), std::vector<FlashCall>{}) << "the flash refused these calls";
  for (UINT8 Ic = 0; Ic < Flash.IcCount(); Ic++) {
    EXPECT_FALSE(Flash.PassOpen(Ic)) << "IC " << int(Ic) << ": a pass was left open";
  }
  ResetRunState(Fw.BootServices());
}

void OrvTest::BindFakes() {
  pOrvImageProtocol = &Image.Protocol;
  pOrvFlashProtocol = &Flash.Protocol;
  pOrvPathProtocolInterface = &Path.Protocol;
}

void OrvTest::InstallFakes() {
  ImageParserHandle = Fw.NewHandle();
  Fw.InstallProtocol(ImageParserHandle, gOrvImageProtocolGuid, &Image.Protocol);
  FlashHandle = Fw.NewHandle();
  Fw.InstallProtocol(FlashHandle, gOrvFlashProtocolGuid, &Flash.Protocol);
  PathHandle = Fw.NewHandle();
  Fw.InstallProtocol(PathHandle, gOrvPathProtocolGuid, &Path.Protocol);
}

EFI_STATUS OrvTest::Run(const std::vector<std::string> &Arguments) {
  Fw.SetArguments(Arguments);
  return OrvUpdateMain(Fw.ImageHandle(), Fw.SystemTable());
}

EFI_STATUS OrvTest::RunInfo(const std::vector<std::string> &Arguments) {
  Fw.SetArguments(Arguments);
  return OrvInfoMain(Fw.ImageHandle(), Fw.SystemTable());
}

EFI_STATUS OrvTest::RunCheck(const std::vector<std::string> &Arguments) {
  Fw.SetArguments(Arguments);
  return OrvCheckMain(Fw.ImageHandle(), Fw.SystemTable());
}

void OrvTest::Fail(SIM_OP Op, EFI_STATUS Status, FaultWhere Where) {
  if (Op >= SIM_OP::LoadImageFile && Op <= SIM_OP::FreeImage) {
    Image.Fail(Op, Status, Where.Call);
  } else if (Op == SIM_OP::PathInit || Op == SIM_OP::PathDeinit) {
    Path.Fail(Op, Status, Where.Call);
  } else {
    Flash.Fail(Op, Status, Where);
  }
}

void OrvTest::ReleaseZoneImages() {
  for (ORV_IMAGE_HANDLE *H : {&OcmImage, &CustomerImage}) {
    if (*H != 0) Image.FreeImage(*H);
    *H = 0;
  }
}

std::vector<std::string> Lines(const std::string &Text) {
  std::vector<std::string> Out;
  size_t Start = 0;
  while (Start < Text.size()) {
    size_t End = Text.find('\n', Start);
    if (End == std::string::npos) {
      Out.push_back(Text.substr(Start));
      break;
    }
    Out.push_back(Text.substr(Start, End - Start));
    Start = End + 1;
  }
  return Out;
}
