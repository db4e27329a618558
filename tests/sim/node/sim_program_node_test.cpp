// kestrum-sim with simulated nodes, started from the application folder and
// driven over TCP and its standard input as a user would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <thread>

#include "RawClient.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    args.insert(args.begin(), "./kestrum-sim");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int in[2], out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(stdin_);
    ::close(stdout_);
  }
  void command(const std::string& line) { ASSERT_EQ(::write(stdin_, line.data(), line.size()), ssize_t(line.size())); }
  std::string readLine(int timeoutMs = 5000) {
    std::string line;
    char c;
    pollfd p{stdout_, POLLIN, 0};
    while (::poll(&p, 1, timeoutMs) > 0 && ::read(stdout_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  int stop() {
    ::kill(pid_, SIGTERM);
    int code = -1;
    const bool ended = kestrum::test::eventually([&] {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
      pid_ = -1;
      code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return true;
    });
    return ended ? code : -1;
  }
  int exitCode() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
};

TEST(SimProgramNodes, NodesAnswerOverTcpAndFollowStdinCommands) {
  if (!fs::exists("XML/EDS_Mirelo.xml")) GTEST_SKIP() << "data files not in the working directory";
  const fs::path state = fs::temp_directory_path() / ("kestrum-sim-nodes-" + std::to_string(::getpid()));
  fs::remove_all(state);
  Program sim({"--listen", "127.0.0.1:0", "--node", "5", "--node", "6:Torvik", "--state-dir", state.string()});
  const std::string first = sim.readLine();
  ASSERT_EQ(first.rfind("listening on 127.0.0.1:", 0), 0u) << first;
  RawClient client(std::uint16_t(std::stoi(first.substr(first.rfind(':') + 1))));
  ASSERT_TRUE(client.connected());
  client.send("< open can0 >< rawmode >");
  ASSERT_TRUE(client.waitFor("< ok >< ok >"));
  client.take();

  client.send("< send 605 8 40 09 10 00 00 00 00 00 >");  // node 5 is a Mirelo: name by segmented upload
  EXPECT_TRUE(client.waitFor("< frame 585 ")) << client.raw();
  EXPECT_EQ(client.take(), "< frame 585 T 4109100006000000 >");

  sim.command("node 5 emcy 0x3100\n");
  EXPECT_EQ(sim.readLine(), "ok");
  ASSERT_TRUE(client.waitFor("< frame 085 "));
  EXPECT_EQ(client.take(), "< frame 085 T 0031050000000000 >");

  client.send("< send 606 8 23 10 10 01 73 61 76 65 >");  // node 6 stores its parameters
  ASSERT_TRUE(client.waitFor("< frame 586 "));
  EXPECT_EQ(client.take(), "< frame 586 T 6010100100000000 >");
  EXPECT_TRUE(fs::exists(state / "node6-Torvik.state"));

  sim.command("node 6 state\n");
  EXPECT_EQ(sim.readLine(), "Pre-operational");
  sim.command("node 9 state\n");
  EXPECT_EQ(sim.readLine(), "error: no node 9");
  EXPECT_EQ(sim.stop(), 0);
  fs::remove_all(state);
}

TEST(SimProgramNodes, UnknownModelStopsTheStart) {
  Program sim({"--listen", "127.0.0.1:0", "--node", "5:NoSuchModel", "--state-dir", "/nonexistent"});
  EXPECT_EQ(sim.exitCode(), 1);
}

}  // namespace
