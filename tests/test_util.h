// Shared helpers of the unit tests: a scratch folder per test, a clean run
// state, and small file utilities.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/fake_ui.h"

namespace tw {

using Bytes = std::vector<unsigned char>;

void WriteFileBytes(const std::string& path, const Bytes& data);
void WriteFileText(const std::string& path, const std::string& text);
Bytes ReadFileBytes(const std::string& path);
std::string ReadFileText(const std::string& path);
bool PathExists(const std::string& path);
// Names of the entries of a folder, sorted, without "." and "..".
std::vector<std::string> ListNames(const std::string& folder);
// A path the core built ("\" separators) as the file system takes it.
std::string Native(std::string core_path);
// What runs left in a temp folder: its own entries, and the files in the
// work folders of runs ("tarnwell-x/TRW0.tmp"), their own records left out.
std::vector<std::string> TempLeftovers(const std::string& temp);

// n bytes that look a little like a program: varied, with slow drifts.
Bytes Pattern(size_t n, unsigned seed);

void PutU16(Bytes* out, uint32_t v);
void PutU32(Bytes* out, uint32_t v);

// Builds a carrier: prefix, a 76-byte header, the body, the 8-byte trailer.
Bytes MakeCarrier(const Bytes& body, uint8_t mode = 2, uint8_t flags = 0,
                  uint16_t description_length = 0, uint32_t version = 190,
                  const Bytes& prefix = {});

// Every test gets a fresh RunState, a fresh fake window and its own folder,
// with TempFolder pointing into it.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // The same place written the way the core writes paths.
  std::string CorePath(const std::string& name) const { return dir_ + "\\" + name; }
  std::string dir_;
  std::string temp_;  // the TempFolder of the run, as a POSIX path
};

void ResetRunState();

}  // namespace tw
