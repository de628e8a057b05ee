/** @file
  orvstick: builds and checks OrvUpdate update volumes on the workstation.

    orvstick check [--key KEY.pem]... [--board BOARD] [--json] [-q] PATH
    orvstick make [--replace-script] [-q] MANIFEST OUT

  Exit status: 0 when the volume would run (warnings allowed), 1 when it
  would stop before the first IC, an IC would refuse an image, or a file
  could not be used, 2 for a bad command line. --help and --version print
  to standard output and exit 0.
**/

#include <CLI/CLI.hpp>

#include <iostream>

#include "Check.h"
#include "Make.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_PROBLEMS = 1;
constexpr int EXIT_USAGE = 2;

REPORT_STYLE Style(bool Json, bool Quiet) {
  if (Json) return REPORT_STYLE::Json;
  return Quiet ? REPORT_STYLE::Quiet : REPORT_STYLE::Text;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App App{"orvstick: builds and checks OrvUpdate update volumes"};
  App.set_version_flag("--version", std::string("orvstick ") + ORV_TOOLS_VERSION);
  App.require_subcommand(1);
  bool Quiet = false;
  App.add_flag("-q,--quiet", Quiet, "print only warnings, errors and the result line");

  std::string CheckPath;
  std::vector<std::string> KeyPaths;
  std::string BoardPath;
  bool Json = false;
  CLI::App *Check = App.add_subcommand("check", "report what a run of OrvUpdate.efi would do with a volume");
  Check->add_option("PATH", CheckPath, "a folder or a FAT image file")->required();
  Check->add_option("--key", KeyPaths,
                    "a key (PEM, public or private: its public half) the image parser should hold; the keys "
                    "built into the volume's OrvHexImage.efi decide");
  Check->add_option("--board", BoardPath,
                    "the board: its description (a FlashSim.ini file, or a folder holding one) or its board disk "
                    "(a folder or FAT image holding OrvBoard\\FlashSim.ini)");
  Check->add_flag("--json", Json, "one JSON document instead of text (fields: docs/json-output.md)");
  Check->add_flag("-q,--quiet", Quiet, "print only warnings, errors and the result line");

  std::string ManifestPath;
  std::string Out;
  bool ReplaceScript = false;
  CLI::App *Make = App.add_subcommand("make", "lay out a volume from a manifest, then check it");
  Make->add_option("MANIFEST", ManifestPath, "the manifest (TOML)")->required();
  Make->add_option("OUT", Out, "a folder or a FAT image file (new when it ends in .img)")->required();
  Make->add_flag("--replace-script", ReplaceScript, "replace a startup.nsh that orvstick did not write");
  Make->add_flag("-q,--quiet", Quiet, "print only warnings, errors and the result line");

  try {
    App.parse(argc, argv);
  } catch (const CLI::CallForHelp &Help) {
    return App.exit(Help);
  } catch (const CLI::CallForVersion &Version) {
    return App.exit(Version);
  } catch (const CLI::ParseError &Error) {
    App.exit(Error);
    return EXIT_USAGE;
  }

  try {
    CHECK_COUNTS Counts{};
    if (Check->parsed()) {
      CHECK_OPTIONS Options;
      Options.ExpectedKeys = ReadExpectedKeys(KeyPaths);
      if (!BoardPath.empty()) Options.Board = OpenBoardSource(BoardPath);
      Options.Style = Style(Json, Quiet);
      Counts = CheckVolume(*VOLUME::Open(CheckPath), Options, std::cout);
    } else {
      Counts = MakeVolume(ReadManifest(ManifestPath), Out, ReplaceScript, Style(false, Quiet), std::cout);
    }
    return Counts.Errors == 0 ? EXIT_OK : EXIT_PROBLEMS;
  } catch (const TOOL_FAILURE &Failure) {
    std::cout.flush();
    std::cerr << "orvstick: " << Failure.what() << "\n";
    return EXIT_PROBLEMS;
  }
}
