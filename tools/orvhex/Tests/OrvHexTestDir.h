// The orvhex tests' fixture: a scratch folder per test, its files, and a run
// of the command that captures standard output and standard error.

#ifndef ORVHEX_TEST_DIR_H_
#define ORVHEX_TEST_DIR_H_

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "OrvHexCommands.h"

class OrvHexTestDir : public ::testing::Test {
 protected:
  explicit OrvHexTestDir(const char *Prefix) : Prefix_(Prefix) {}

  void SetUp() override {
    Dir = std::filesystem::temp_directory_path() /
          (Prefix_ + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }

  std::string PathOf(const std::string &Name) const { return (Dir / Name).string(); }

  void Put(const std::string &Name, const std::string &Bytes) const {
    std::ofstream(PathOf(Name), std::ios::binary) << Bytes;
  }

  std::string Get(const std::string &Name) const {
    std::ifstream In(PathOf(Name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(In), {});
  }

  int Run(std::vector<std::string> Args) {
    Out.str("");
    Err.str("");
    return RunOrvHex(Args, Out, Err);
  }

  std::filesystem::path Dir;
  std::ostringstream Out;
  std::ostringstream Err;

 private:
  std::string Prefix_;
};

#endif
