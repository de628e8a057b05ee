/** @file
  orvstick: builds and checks OrvUpdate update volumes on the workstation.

    orvstick check [--key PUB.pem]... PATH
                                   PATH: a folder or a FAT image file; the keys
                                   are those the image parser is built with
    orvstick make MANIFEST OUT     OUT: a folder or a FAT image file (new when it ends in .img)

  Exit status: 0 when the volume would run (warnings allowed), 1 when it
  would stop before the first IC or a file could not be used, 2 for a bad
  command line.
**/

#include <CLI/CLI.hpp>

#include <iostream>

#include "Check.h"
#include "Make.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_PROBLEMS = 1;
constexpr int EXIT_USAGE = 2;

}  // namespace

int main(int argc, char **argv) {
  CLI::App App{"orvstick: builds and checks OrvUpdate update volumes"};
  App.require_subcommand(1);

  std::string CheckPath;
  std::vector<std::string> KeyPaths;
  CLI::App *Check = App.add_subcommand("check", "report what a run of OrvUpdate.efi would do with a volume");
  Check->add_option("PATH", CheckPath, "a folder or a FAT image file")->required();
  Check->add_option("--key", KeyPaths,
                    "a public key (PEM) the image parser is built with; with keys, every zone image "
                    "must be signed by one of them");

  std::string ManifestPath;
  std::string Out;
  bool ReplaceScript = false;
  CLI::App *Make = App.add_subcommand("make", "lay out a volume from a manifest, then check it");
  Make->add_option("MANIFEST", ManifestPath, "the manifest (TOML)")->required();
  Make->add_option("OUT", Out, "a folder or a FAT image file (new when it ends in .img)")->required();
  Make->add_flag("--replace-script", ReplaceScript, "replace a startup.nsh that orvstick did not write");

  try {
    App.parse(argc, argv);
  } catch (const CLI::CallForHelp &Help) {
    return App.exit(Help);
  } catch (const CLI::ParseError &Error) {
    App.exit(Error);
    return EXIT_USAGE;
  }

  try {
    CHECK_COUNTS Counts{};
    if (Check->parsed()) {
      Counts = CheckVolume(*VOLUME::Open(CheckPath), ReadTrustedKeys(KeyPaths), std::cout);
    } else {
      Counts = MakeVolume(ReadManifest(ManifestPath), Out, ReplaceScript, std::cout);
    }
    return Counts.Errors == 0 ? EXIT_OK : EXIT_PROBLEMS;
  } catch (const TOOL_FAILURE &Failure) {
    std::cout.flush();
    std::cerr << "orvstick: " << Failure.what() << "\n";
    return EXIT_PROBLEMS;
  }
}
