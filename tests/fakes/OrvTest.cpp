// Base fixture for host tests (see OrvTest.h).
#include "OrvTest.h"

#include "OrvInfo.h"
#include "OrvUpdate.h"
#include "RunState.h"

void OrvTest::SetUp() { ResetRunState(Fw.BootServices()); }

void OrvTest::TearDown() {
  EXPECT_EQ(Fw.LivePoolBlocks(), 0u) << "pool memory was not given back";
  EXPECT_EQ(Volume.OpenHandles(), 0u) << "a file or directory handle was left open";
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
