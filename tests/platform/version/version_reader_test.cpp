#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "version/VersionReader.h"

using kestrum::version::parseVersion;
using kestrum::version::readVersionRecord;

TEST(VersionReader, FindsTheRecordOfABuiltLibrary) {
  auto text = readVersionRecord(FIXTURE_PATH);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, "1, 0, 0, 2");
}

TEST(VersionReader, FilesWithoutARecordReadAsAbsent) {
  EXPECT_FALSE(readVersionRecord("/nonexistent/libnothing.so").has_value());
  // An ELF file of the system that carries no record of ours.
  EXPECT_FALSE(readVersionRecord("/bin/sh").has_value());
  // Not ELF at all, and a truncated ELF header.
  const std::string path = ::testing::TempDir() + "/not_elf.bin";
  { std::ofstream(path) << "plain text, not a library"; }
  EXPECT_FALSE(readVersionRecord(path).has_value());
  { std::ofstream(path, std::ios::binary) << "\x7f" "ELF\x02\x01"; }
  EXPECT_FALSE(readVersionRecord(path).has_value());
  std::remove(path.c_str());
}

TEST(VersionReader, ParsesBothSpellings) {
  EXPECT_EQ(parseVersion("1, 0, 0, 2"), (std::array<unsigned, 4>{1, 0, 0, 2}));
  EXPECT_EQ(parseVersion("1.0.1.0"), (std::array<unsigned, 4>{1, 0, 1, 0}));
  EXPECT_EQ(parseVersion("3"), (std::array<unsigned, 4>{3, 0, 0, 0}));
  EXPECT_FALSE(parseVersion("").has_value());
  EXPECT_FALSE(parseVersion("1, x, 0, 2").has_value());
  EXPECT_FALSE(parseVersion("1, 2, 3, 4, 5").has_value());
  EXPECT_FALSE(parseVersion("99999999").has_value());
}
