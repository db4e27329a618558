// Files are replaced whole or not at all, and the error file stays bounded.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "FileSizeLimit.h"

#include "transport/AtomicFile.h"
#include "transport/BusReport.h"

namespace fs = std::filesystem;
using kestrum::transport::writeFileAtomically;

namespace {

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct TempDir {
  TempDir() {
    char pattern[] = "/tmp/kestrum-atomic-XXXXXX";
    path = ::mkdtemp(pattern);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  std::size_t entries() const { return std::size_t(std::distance(fs::directory_iterator(path), {})); }
  fs::path path;
};

using kestrum::test::FileSizeLimit;

}  // namespace

TEST(AtomicFile, ReplacesWholeOrLeavesThePreviousFile) {
  struct Case {
    const char* name;
    std::string content;
    rlim_t sizeLimit;  // 0: none
    bool missingFolder;
    bool written;
    const char* reason;
  };
  const Case cases[] = {
      {"replaced", std::string(5000, 'n'), 0, false, true, ""},
      {"emptied", "", 0, false, true, ""},
      {"disk full midway", std::string(5000, 'n'), 1000, false, false, "File too large"},
      {"no such folder", "new", 0, true, false, "No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path target = c.missingFolder ? dir.path / "gone" / "state.txt" : dir.path / "state.txt";
    if (!c.missingFolder) std::ofstream(target) << "old\n";
    std::string error;
    bool ok;
    {
      std::unique_ptr<FileSizeLimit> limit;
      if (c.sizeLimit) limit = std::make_unique<FileSizeLimit>(c.sizeLimit);
      ok = writeFileAtomically(target.string(), c.content, error);
    }
    EXPECT_EQ(ok, c.written) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    if (c.written) {
      EXPECT_EQ(readAll(target), c.content);
      EXPECT_EQ(fs::status(target).permissions() & fs::perms::owner_read, fs::perms::owner_read);
    } else if (!c.missingFolder) {
      EXPECT_EQ(readAll(target), "old\n");
    }
    // Nothing left beside the target: no temporary file, failed or not.
    if (!c.missingFolder) {
      EXPECT_EQ(dir.entries(), 1u);
    }
  }
}

TEST(AtomicFile, ErrorFileKeepsItsNewestLinesPastTheLimit) {
  TempDir state;
  ::setenv("XDG_STATE_HOME", state.path.c_str(), 1);
  const std::string path = kestrum::transport::errorFilePath();
  std::size_t written = 0;
  int n = 0;
  // Lines of varying length, so the cut falls anywhere in a line.
  while (written < 3 * kestrum::transport::kErrorFileLimit) {
    const std::string line = "line " + std::to_string(n) + " " + std::string(std::size_t(n % 97), 'x');
    ++n;
    kestrum::transport::appendErrorLine(line);
    written += line.size() + 1;
    ASSERT_LE(fs::file_size(path), kestrum::transport::kErrorFileLimit + line.size() + 1);
  }
  const std::string text = readAll(path);
  EXPECT_GE(text.size(), kestrum::transport::kErrorFileLimit / 2 - 200);
  // Whole lines only, the newest last, in order.
  ASSERT_EQ(text.rfind("line ", 0), 0u) << text.substr(0, 40);
  std::istringstream lines(text);
  std::string line;
  int previous = -1;
  while (std::getline(lines, line)) {
    const int number = std::stoi(line.substr(5));
    if (previous >= 0) {
      ASSERT_EQ(number, previous + 1);
    }
    previous = number;
  }
  EXPECT_EQ(previous, n - 1);
  ::unsetenv("XDG_STATE_HOME");
}
