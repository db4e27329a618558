// A simulated drive in the kestrum-sim executable, driven by a CANopen master
// written apart from the project: drive402_interop.py, python-can over the
// simulator's socketcand server. The script gets the simulator's standard
// input and output as file descriptors 3 and 4, so it can cause a fault.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "Wait.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The script's own waits add up to well under this even on a loaded machine;
// it stays below the CTest time-out so a hang shows the script's output.
const auto kScriptLimit = kestrum::test::scaled(std::chrono::milliseconds(100000));

// A python interpreter with python-can, or empty. A python3 first on PATH
// (a virtual environment, say) may lack the package the system one has.
std::string pythonWithCan() {
  for (const char* python : {"python3", "/usr/bin/python3"}) {
    const std::string probe = std::string(python) + " -c \"import can\" >/dev/null 2>&1";
    if (std::system(probe.c_str()) == 0) return python;
  }
  return {};
}

// A child process with the given descriptors in place of its own (child fd
// -> our fd); everything else of ours is closed for it (O_CLOEXEC).
class Child {
 public:
  Child(std::vector<std::string> args, const std::vector<std::pair<int, int>>& fds) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const auto& [child, ours] : fds) posix_spawn_file_actions_adddup2(&actions, ours, child);
    ok_ = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return ok_; }
  /// Exit code once it ended, -1 while it runs, 128 + signal when killed.
  int poll() {
    int status = 0;
    if (pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  bool ok_ = false;
};

struct Pipe {
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
      // Kept clear of 0..4, which the children get: a dup2 onto the same
      // number would leave the close-on-exec flag set.
      read = ::fcntl(fds[0], F_DUPFD_CLOEXEC, 10);
      write = ::fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
      ::close(fds[0]);
      ::close(fds[1]);
    }
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  void closeRead() {
    if (read >= 0) ::close(read);
    read = -1;
  }
  void closeWrite() {
    if (write >= 0) ::close(write);
    write = -1;
  }
  int read = -1;
  int write = -1;
};

// Appends what `fd` offers within `timeoutMs` to `out`; false at end of file
// or when nothing came.
bool readSome(int fd, std::string& out, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return false;
  char buf[512];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  if (n <= 0) return false;
  out.append(buf, std::size_t(n));
  return true;
}

TEST(SimDriveInterop, PythonCanMasterDrivesTheSimulatedDrive) {
  if (!fs::exists("XML/EDS_Mirelo.xml")) GTEST_SKIP() << "data files not in the working directory";
  const std::string python = pythonWithCan();
  if (python.empty()) GTEST_SKIP() << "python-can is not installed";

  const fs::path state = fs::temp_directory_path() / ("kestrum-sim-interop-" + std::to_string(::getpid()));
  fs::remove_all(state);
  Pipe simIn, simOut;
  ASSERT_GE(simIn.read, 0);
  ASSERT_GE(simOut.read, 0);
  Child sim({"./kestrum-sim", "--listen", "127.0.0.1:0", "--node", "7", "--state-dir", state.string()},
            {{0, simIn.read}, {1, simOut.write}});
  ASSERT_TRUE(sim.started());
  simIn.closeRead();
  simOut.closeWrite();

  // The first line names the address; read byte by byte so nothing after it
  // is taken from the script.
  std::string first;
  const bool listening = kestrum::test::waitUntil(
      [&] {
        char c;
        pollfd p{simOut.read, POLLIN, 0};
        while (::poll(&p, 1, 0) > 0 && ::read(simOut.read, &c, 1) == 1) {
          if (c == '\n') return true;
          first += c;
        }
        return false;
      },
      kestrum::test::kWaitLimit, [] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); });
  ASSERT_TRUE(listening) << first;
  const std::string prefix = "listening on ";
  ASSERT_EQ(first.rfind(prefix, 0), 0u) << first;
  const std::string address = first.substr(prefix.size());
  const std::string host = address.substr(0, address.rfind(':'));
  const std::string port = address.substr(address.rfind(':') + 1);

  Pipe output;
  ASSERT_GE(output.read, 0);
  Child script({python, KESTRUM_DRIVE_INTEROP_SCRIPT, host, port, "can0", "7", "--sim-in", "3", "--sim-out", "4"},
               {{1, output.write}, {2, output.write}, {3, simIn.write}, {4, simOut.read}});
  ASSERT_TRUE(script.started());
  output.closeWrite();

  std::string text;
  int code = -1;
  const auto end = Clock::now() + kScriptLimit;
  while (Clock::now() < end) {
    if (readSome(output.read, text, 100)) continue;
    if ((code = script.poll()) >= 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // output closed, the process still ending
  }
  while (readSome(output.read, text, 0)) {
  }
  std::cout << text;
  EXPECT_NE(code, -1) << "the script did not finish in time";
  EXPECT_EQ(code, 0) << text;
  fs::remove_all(state);
}

}  // namespace
