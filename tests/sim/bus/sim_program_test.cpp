// The kestrum-sim program, started from the application folder (the tests'
// working directory) as a user would start it.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "RawClient.h"

extern char** environ;

namespace {

struct SimProcess {
  explicit SimProcess(std::vector<std::string> args) {
    args.insert(args.begin(), "./kestrum-sim");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    stdoutFd = out[0];
  }
  ~SimProcess() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    ::close(stdoutFd);
  }
  std::string firstLine() {
    std::string line;
    char c;
    pollfd p{stdoutFd, POLLIN, 0};
    while (::poll(&p, 1, 5000) > 0 && ::read(stdoutFd, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  // Exit status, or -1 if it did not end within the time.
  int waitExit(int timeoutMs) {
    int code = -1;
    const bool ended = kestrum::test::eventually(
        [&] {
          int status = 0;
          if (::waitpid(pid, &status, WNOHANG) != pid) return false;
          pid = -1;
          code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          return true;
        },
        std::chrono::milliseconds(timeoutMs));
    return ended ? code : -1;
  }
  pid_t pid = -1;
  int stdoutFd = -1;
};

}  // namespace

TEST(SimProgram, ServesOnAFreePortAndStopsCleanlyOnSigterm) {
  const std::string trace = ::testing::TempDir() + "/kestrum_sim_trace_" + std::to_string(::getpid()) + ".log";
  SimProcess sim({"--listen", "127.0.0.1:0", "--bus", "vbus", "--trace", trace, "--seed", "3"});
  std::smatch m;
  const std::string line = sim.firstLine();
  ASSERT_TRUE(std::regex_match(line, m, std::regex(R"(listening on 127\.0\.0\.1:(\d+))"))) << line;
  const auto port = std::uint16_t(std::stoi(m[1]));
  ASSERT_NE(port, 0);

  RawClient a(port), b(port);
  a.send("< open vbus >< rawmode >");
  b.send("< open vbus >< rawmode >< send 6A5 2 CA FE >");
  ASSERT_TRUE(a.waitFor("< frame 6A5"));
  EXPECT_EQ(a.take(), "< hi >< ok >< ok >< frame 6A5 T CAFE >");

  ::kill(sim.pid, SIGTERM);
  EXPECT_EQ(sim.waitExit(5000), 0);
  EXPECT_TRUE(a.waitClosed(1000));
  std::ifstream in(trace);
  std::stringstream text;
  text << in.rdbuf();
  std::remove(trace.c_str());
  EXPECT_TRUE(std::regex_match(text.str(), std::regex(R"(\(\d{10}\.\d{6}\) vbus 6A5#CAFE\n)"))) << text.str();
}

TEST(SimProgram, BadOptionsExitWithStatus2) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--drop", "1.5"}, {"--bogus"}, {"--listen", "127.0.0.1"}, {"--listen", "127.0.0.1:70000"},
           {"--bitrate", "fast"}, {"--delay", "0.5"}, {"--delay", "0.1:20-5"}, {"--delay", "0.1:5-"}, {"--seed"},
           {"--foreign=-1"}}) {
    SimProcess sim(args);
    EXPECT_EQ(sim.waitExit(5000), 2) << args[0];
  }
  SimProcess help({"--help"});
  EXPECT_NE(help.firstLine().find("usage"), std::string::npos);
  EXPECT_EQ(help.waitExit(5000), 0);
}

TEST(SimProgram, ServesOtherMachinesOnlyWhenAllowed) {
  SimProcess refused({"--listen", "0.0.0.0:0"});
  EXPECT_EQ(refused.waitExit(5000), 1);
  SimProcess allowed({"--listen", "0.0.0.0:0", "--allow-remote"});
  EXPECT_EQ(allowed.firstLine().rfind("listening on 0.0.0.0:", 0), 0u);
  ::kill(allowed.pid, SIGTERM);
  EXPECT_EQ(allowed.waitExit(5000), 0);
}
