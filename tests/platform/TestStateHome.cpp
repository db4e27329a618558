// Linked into the stand-in tests: the adapter libraries write what they report
// to the error file under $XDG_STATE_HOME, which must not be the user's own.
// Set before main, while the process has one thread; removed at exit.

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace {

struct TestStateHome {
  TestStateHome() {
    char pattern[] = "/tmp/kestrum-state-XXXXXX";
    if (const char* dir = ::mkdtemp(pattern)) {
      path = dir;
      ::setenv("XDG_STATE_HOME", dir, 1);
    }
  }
  ~TestStateHome() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

const TestStateHome stateHome;

}  // namespace
