// The library in processes of its own: unloading it at exit or with dlclose
// while it is open, and loading vendor libraries that lack a function.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "VarnexTestSupport.h"

namespace varnex_test {
namespace {

struct ChildResult {
  int status = -1;
  std::string output;  // standard output and error
  bool exitedCleanly() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

// Runs `program` with `args` and the test's environment plus `state` as
// XDG_STATE_HOME; `alone` drops LD_LIBRARY_PATH so no stand-in is found but
// the ones beside the library.
ChildResult runChild(const std::vector<std::string>& argv, const std::string& state, bool alone) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    if (alone) unsetenv("LD_LIBRARY_PATH");
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(pipeFds[1]);
  ChildResult result;
  char buffer[256];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) result.output.append(buffer, std::size_t(n));
  close(pipeFds[0]);
  waitpid(child, &result.status, 0);
  return result;
}

std::string describe(const ChildResult& r) {
  std::ostringstream s;
  if (WIFSIGNALED(r.status))
    s << "killed by signal " << WTERMSIG(r.status);
  else
    s << "exit status " << WEXITSTATUS(r.status);
  return s.str() + "\n" + r.output;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void copyFile(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary);
  out << in.rdbuf();
}

class VarnexUnload : public ::testing::TestWithParam<const char*> {
 protected:
  World& w = world();
};

// A program that never calls terminate_can (or does, before dlclose) must
// still end with status 0: the library stops its receive thread and frees
// its state at unload in an order that never touches freed memory.
TEST_P(VarnexUnload, ProgramEndsCleanlyWhileTheLibraryIsOpen) {
  Node node(w.busB, [](const CanFrame& f, Node& n) {
    if (f.id == 0x601) n.send(0x581, {0x43, f.data[1], f.data[2], f.data[3], 0x92, 0x01, 0x02, 0x00});
  });
  for (int run = 0; run < 5; ++run) {
    SCOPED_TRACE(run);
    const auto r = runChild({VARNEX_EXIT_PROBE_PATH, "./libVarnex.so", GetParam()}, w.stateDir, false);
    EXPECT_TRUE(r.exitedCleanly()) << describe(r);
  }
  EXPECT_GE(node.framesOn(0x601).size(), 5u);
}

INSTANTIATE_TEST_SUITE_P(Modes, VarnexUnload, ::testing::Values("return", "dlclose", "terminate"),
                         [](const auto& info) { return std::string(info.param); });

// A vendor library without one of the functions the library calls counts as
// absent, and the error file says which function it lacks.
TEST(VarnexVendorLibrary, LackingAFunctionMakesTheLibraryUnavailable) {
  struct Case {
    const char* standIn;  // built beside the tests, lacking `function`
    const char* file;
    const char* function;
  };
  const Case cases[] = {
      {LACKING_CAN_WRITE_PATH, "libpcanbasic.so", "CAN_Write"},
      {LACKING_VCI_ENUM_NEXT_PATH, "libvcinpl.so", "vciEnumDeviceNext"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    char folderTemplate[] = "/tmp/varnex-lacking-XXXXXX";
    const std::string folder = mkdtemp(folderTemplate);
    copyFile("./libVarnex.so", folder + "/libVarnex.so");
    copyFile(c.standIn, folder + "/" + c.file);
    const auto r = runChild({VARNEX_PROBE_PATH, folder + "/libVarnex.so"}, folder, true);
    EXPECT_TRUE(r.exitedCleanly()) << describe(r);
    EXPECT_EQ(r.output, "peak -1 ixxat 0\n");
    const std::string errors = readFile(folder + "/varnex/error.txt");
    EXPECT_NE(errors.find(c.file), std::string::npos) << errors;
    EXPECT_NE(errors.find(c.function), std::string::npos) << errors;
    for (const std::string& f : {folder + "/libVarnex.so", folder + "/" + c.file, folder + "/varnex/error.txt"})
      std::remove(f.c_str());
    rmdir((folder + "/varnex").c_str());
    rmdir(folder.c_str());
  }
}

}  // namespace
}  // namespace varnex_test
