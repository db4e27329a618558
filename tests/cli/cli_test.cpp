// kestrum-cli run as a process against simulated controllers on a bus of this
// test process: what each sub-command prints and its exit status, the
// dump -> change -> load --verify round trip, nodes that do not answer,
// objects that do not exist, values out of range, usage errors, and the quick
// scan at two bit rates, at the edges of the node range and with heartbeats.

// The simulator's headers come before Qt's: Qt defines `emit` as a macro.
#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"
#include "node/NodeHost.h"
#include "node/SimNode.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "QtTestSupport.h"

namespace {

using kestrum::sim::NmtState;
using kestrum::sim::NodeHost;
using kestrum::sim::SocketcandServer;
using kestrum::sim::VirtualBus;
using namespace std::chrono_literals;

struct CliRun {
  int code = -1;
  QString out;
  QString err;
};

/// A bus with simulated controllers, served over socketcand; the program
/// reaches it through KESTRUM_BUS as it would a network bus.
class CliTest : public ::testing::Test {
 protected:
  void SetUp() override { kestrum::test::application<QCoreApplication>(); }

  /// Builds the bus (paced at `kbit`, 0 unpaced) with controllers at
  /// `nodes` (model Mirelo unless given, at the bus's rate unless given).
  struct NodeSpec {
    std::uint8_t id;
    std::string model = "Mirelo";
    unsigned kbit = 0;
  };
  void startBus(std::initializer_list<NodeSpec> nodes, unsigned kbit = 0) {
    bus = std::make_unique<VirtualBus>(kbit);
    server = std::make_unique<SocketcandServer>(*bus);
    std::string error;
    ASSERT_TRUE(server->start("127.0.0.1", 0, error)) << error;
    host = std::make_unique<NodeHost>(*bus, QDir::currentPath().toStdString(), stateDir.path().toStdString());
    for (const NodeSpec& n : nodes) ASSERT_TRUE(host->addNode(n.id, n.model, error, n.kbit)) << error;
  }
  void TearDown() override {
    host.reset();
    server.reset();
    bus.reset();
  }

  CliRun cli(const QStringList& arguments, int timeoutMs = 60000) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (server) env.insert(QStringLiteral("KESTRUM_BUS"), QString::fromStdString(server->entry()));
    else env.remove(QStringLiteral("KESTRUM_BUS"));
    p.setProcessEnvironment(env);
    p.start(QDir::currentPath() + QStringLiteral("/kestrum-cli"), arguments);
    CliRun r;
    if (!p.waitForFinished(timeoutMs)) {
      p.kill();
      p.waitForFinished();
      ADD_FAILURE() << "kestrum-cli " << arguments.join(' ').toStdString() << " did not end";
      return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
  }

  /// The node's value of an object as the simulator holds it (little-endian).
  std::int64_t nodeValue(std::uint8_t node, std::uint16_t index, std::uint8_t sub) {
    kestrum::sim::Bytes bytes;
    std::uint32_t abortCode = 0;
    if (!host->readObject(node, index, sub, bytes, abortCode) || abortCode) return -1;
    std::int64_t v = 0;
    for (std::size_t i = 0; i < bytes.size() && i < 8; ++i) v |= std::int64_t(bytes[i]) << (8 * i);
    return v;
  }
  void setNodeValue(std::uint8_t node, std::uint16_t index, std::uint8_t sub, std::uint32_t value, int bytes) {
    kestrum::sim::Bytes b;
    for (int i = 0; i < bytes; ++i) b.push_back(std::uint8_t(value >> (8 * i)));
    std::uint32_t abortCode = 0;
    ASSERT_TRUE(host->writeObject(node, index, sub, b, abortCode));
    ASSERT_EQ(abortCode, 0u);
  }
  NmtState nmtState(std::uint8_t node) {
    NmtState state{};
    host->withNode(node, [&](kestrum::sim::SimNode& n, std::uint64_t) { state = n.nmtState(); });
    return state;
  }
  static QStringList lines(const QString& text) { return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }

  QTemporaryDir stateDir;
  QTemporaryDir files;
  std::unique_ptr<VirtualBus> bus;
  std::unique_ptr<SocketcandServer> server;
  std::unique_ptr<NodeHost> host;
};

TEST_F(CliTest, UsageErrorsExitWithTwoAndNameTheMistake) {
  struct Case {
    QStringList args;
    const char* says;
  };
  const Case cases[] = {
      {{}, "no command given"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"read", "1", "6041", "--bogus"}, "unknown option --bogus"},
      {{"read", "1", "6041", "--verify"}, "'read' does not take the option --verify"},
      {{"read", "0", "6041"}, "node ID from 1 to 127"},
      {{"info", "128"}, "node ID from 1 to 127"},
      {{"read", "1", "60411"}, "'60411' is not an object"},
      {{"read", "1", "6041:256"}, "'6041:256' is not an object"},
      {{"write", "1", "6060:0"}, "pairs of INDEX:SUB VALUE"},
      {{"write", "1", "6060", "3"}, "'6060' is not an object with subindex"},
      {{"nmt", "1", "jump"}, "start, stop, preop, reset or reset-comm"},
      {{"scan", "--bitrate", "300"}, "--bitrate: expected 1000, 500, 250, 125, 50 or 20, got '300'"},
      {{"scan", "--from", "10", "--to", "5"}, "--from 10 is above --to 5"},
      {{"read", "1", "6041", "--timeout", "20000"}, "a time-out of 1 to 10000 ms"},
      {{"log", "--seconds"}, "option --seconds needs a value"},
      {{"dump", "1"}, "a node ID from 1 to 127 and a file name"},
  };
  for (const Case& c : cases) {
    const CliRun r = cli(c.args);
    EXPECT_EQ(r.code, 2) << c.args.join(' ').toStdString();
    EXPECT_TRUE(r.err.contains(QLatin1String(c.says))) << c.args.join(' ').toStdString() << ": " << r.err.toStdString();
    EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
  }
  // Every sub-command describes itself.
  for (const char* command : {"adapters", "scan", "info", "read", "write", "nmt", "dump", "load", "flash", "log"}) {
    const CliRun r = cli({QLatin1String(command), QStringLiteral("--help")});
    EXPECT_EQ(r.code, 0) << command;
    EXPECT_TRUE(r.out.startsWith(QStringLiteral("usage: kestrum-cli ") + QLatin1String(command))) << r.out.toStdString();
  }
}

TEST_F(CliTest, AdaptersAreTheMainWindowsListAndAnUnknownOneIsAUsageError) {
  startBus({{1}});
  CliRun r = cli({"adapters"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(lines(r.out), (QStringList{"IXXAT", "PCAN_USBBUS1", "offline"}));
  r = cli({"adapters", "--json"});
  EXPECT_EQ(lines(r.out).first(), "{\"adapter\":\"IXXAT\"}");

  r = cli({"info", "1", "--adapter", "PCAN_USBBUS7"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(r.err.contains("adapter 'PCAN_USBBUS7' is not in the adapter list (IXXAT, PCAN_USBBUS1, offline)"))
      << r.err.toStdString();
  // Both vendors' entries reach the same bus.
  for (const char* adapter : {"IXXAT", "PCAN_USBBUS1"}) {
    r = cli({"read", "1", "1018:1", "--adapter", adapter});
    EXPECT_EQ(r.code, 0) << adapter << r.err.toStdString();
    EXPECT_EQ(r.out, "1018\t1\tu32\t809\tVendor ID\n");
  }
}

TEST_F(CliTest, InfoShowsIdentityVersionsAndStateAndASilentNodeFails) {
  startBus({{5, "Torvik"}, {7}});
  CliRun r = cli({"info", "5"});
  ASSERT_EQ(r.code, 0) << r.err.toStdString();
  const QStringList l = lines(r.out);
  EXPECT_EQ(l.value(0), "node: 5");
  EXPECT_EQ(l.value(1), "vendor: Orvane (0x00000329)");
  // Torvik keeps its name as an array of characters.
  EXPECT_EQ(l.value(2), "controller: Torvik");
  EXPECT_TRUE(l.value(3).startsWith("firmware: V")) << l.value(3).toStdString();
  EXPECT_EQ(l.value(7), "NMT state: pre-operational");

  host->setSilent(7, true);
  for (const char* node : {"7", "9"}) {  // silenced, and not on the bus at all
    r = cli({"info", node, "--timeout", "300"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, QStringLiteral("kestrum-cli: node %1, object 0x1018:01: protocol: no answer within timeout\n")
                         .arg(QLatin1String(node)));
    EXPECT_TRUE(r.out.isEmpty());
  }
  r = cli({"info", "9", "--timeout", "300", "--json"});
  EXPECT_EQ(QJsonDocument::fromJson(r.out.toUtf8()).object().value("error").toString(),
            "protocol: no answer within timeout");
}

TEST_F(CliTest, ReadAndWriteAreTypedByTheDictionaryAndFailuresNameNodeObjectAndReason) {
  startBus({{1}});
  // Typed reads: an unsigned 16-bit word, a signed byte, every subindex of a record.
  CliRun r = cli({"read", "1", "6041", "0x6060:0", "1018"});
  ASSERT_EQ(r.code, 0) << r.err.toStdString();
  const QStringList l = lines(r.out);
  ASSERT_EQ(l.size(), 7);
  EXPECT_TRUE(l[0].startsWith("6041\t0\tu16\t")) << l[0].toStdString();
  EXPECT_TRUE(l[1].startsWith("6060\t0\ts8\t")) << l[1].toStdString();
  EXPECT_EQ(l[2], "1018\t0\tu8\t4\tNumber of Entries");

  setNodeValue(1, 0x607A, 0, 0xFFFFFFF6u, 4);  // -10 in a signed 32-bit object
  r = cli({"read", "1", "607A:0", "--json"});
  const QJsonObject j = QJsonDocument::fromJson(r.out.toUtf8()).object();
  EXPECT_EQ(j.value("type").toString(), "s32");
  EXPECT_EQ(j.value("value").toString(), "-10");

  // Writes go through in order and read back as written.
  r = cli({"write", "1", "6081:0", "0x1F4", "607A:0", "-2000"});
  ASSERT_EQ(r.code, 0) << r.err.toStdString();
  EXPECT_EQ(lines(r.out), (QStringList{"6081\t0\tu32\t500\tWRITE OK", "607A\t0\ts32\t-2000\tWRITE OK"}));
  EXPECT_EQ(nodeValue(1, 0x6081, 0), 500);
  EXPECT_EQ(nodeValue(1, 0x607A, 0), 0xFFFFF830);

  struct Failure {
    QStringList args;
    int code;
    const char* err;
  };
  const Failure failures[] = {
      {{"read", "1", "2000:0"}, 1,
       "kestrum-cli: node 1, object 0x2000:00: slave reported error: Object does not exist in the object dictionary.\n"},
      {{"write", "1", "1018:1", "5"}, 1,
       "kestrum-cli: node 1, object 0x1018:01: slave reported error: Attempt to write a read only object.\n"},
      // Refused before anything is sent: the first pair would have been valid.
      {{"write", "1", "6081:0", "700", "6060:0", "300"}, 2,
       "kestrum-cli: node 1, object 0x6060:00: 300 is out of range for s8 (-128 to 127)\n"},
      {{"write", "1", "6081:0", "-1"}, 2,
       "kestrum-cli: node 1, object 0x6081:00: -1 is out of range for u32 (0 to 4294967295)\n"},
      {{"write", "1", "6081:0", "12a"}, 2, "kestrum-cli: node 1, object 0x6081:00: 12a is not a valid integer value!\n"},
      {{"write", "1", "2000:0", "1"}, 2,
       "kestrum-cli: node 1, object 0x2000:00: not in the dictionary of Mirelo, so its type is unknown\n"},
  };
  for (const Failure& f : failures) {
    r = cli(f.args);
    EXPECT_EQ(r.code, f.code) << f.args.join(' ').toStdString();
    EXPECT_EQ(r.err, QLatin1String(f.err)) << f.args.join(' ').toStdString();
  }
  EXPECT_EQ(nodeValue(1, 0x6081, 0), 500) << "a refused set wrote its first value";

  // A read of several objects reports each failure and goes on.
  r = cli({"read", "1", "2000:0", "6081:0", "--json"});
  EXPECT_EQ(r.code, 1);
  const QStringList j2 = lines(r.out);
  ASSERT_EQ(j2.size(), 2);
  EXPECT_EQ(QJsonDocument::fromJson(j2[0].toUtf8()).object().value("abortCode").toString(), "0x06020000");
  EXPECT_EQ(QJsonDocument::fromJson(j2[1].toUtf8()).object().value("value").toString(), "500");
}

TEST_F(CliTest, NmtCommandsReachTheNodeAndWaitForItsAnswer) {
  startBus({{3}});
  struct Case {
    const char* command;
    NmtState after;
  };
  const Case cases[] = {{"start", NmtState::Operational},
                        {"stop", NmtState::Stopped},
                        {"preop", NmtState::PreOperational},
                        {"start", NmtState::Operational},
                        {"reset-comm", NmtState::PreOperational},
                        {"start", NmtState::Operational},
                        {"reset", NmtState::PreOperational}};
  for (const Case& c : cases) {
    const CliRun r = cli({"nmt", "3", QLatin1String(c.command)});
    EXPECT_EQ(r.code, 0) << c.command << r.err.toStdString();
    EXPECT_EQ(r.out, QStringLiteral("node 3: %1 done\n").arg(QLatin1String(c.command)));
    EXPECT_EQ(nmtState(3), c.after) << c.command;
  }
  const CliRun r = cli({"nmt", "4", "start", "--timeout", "300"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "kestrum-cli: node 4: no confirmation of NMT start within 300 ms\n");
}

TEST_F(CliTest, DumpChangeLoadVerifyRoundTrip) {
  startBus({{2}});
  setNodeValue(2, 0x6098, 0, 35, 1);  // a homing method the drive accepts, so every row can be written back
  const QString path = files.filePath("node2.log");
  CliRun r = cli({"dump", "2", path});
  ASSERT_EQ(r.code, 0) << r.err.toStdString();
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  QByteArray content = file.readAll();
  file.close();
  // The list-file format of "Save to File": tab and "|" between fields, CR LF.
  EXPECT_TRUE(content.startsWith("1000\t|0\t|")) << content.left(40).toStdString();
  EXPECT_TRUE(content.contains("6083\t|0\t|" + QByteArray::number(nodeValue(2, 0x6083, 0)) + "\t|Profile Acceleration\r\n"));

  // Change one value in the file and another in the node.
  const QByteArray accel = "6083\t|0\t|" + QByteArray::number(nodeValue(2, 0x6083, 0));
  content.replace(accel, "6083\t|0\t|4321");
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(content);
  file.close();
  const std::int64_t velocity = nodeValue(2, 0x6081, 0);
  setNodeValue(2, 0x6081, 0, 777, 4);

  r = cli({"load", "2", path, "--verify"});
  EXPECT_EQ(r.code, 0) << r.err.toStdString();
  EXPECT_TRUE(r.out.contains(", 0 differences")) << r.out.toStdString();
  EXPECT_EQ(nodeValue(2, 0x6083, 0), 4321);
  EXPECT_EQ(nodeValue(2, 0x6081, 0), velocity);
  EXPECT_EQ(nmtState(2), NmtState::PreOperational);

  // A file with a value that does not fit is refused whole, before any write.
  setNodeValue(2, 0x6083, 0, 1000, 4);
  QFile bad(files.filePath("bad.log"));
  ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
  bad.write("6083\t|0\t|2222\t|Profile Acceleration\r\n6060\t|0\t|300\t|Modes of Operation\r\n");
  bad.close();
  r = cli({"load", "2", bad.fileName()});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(r.err.contains("object 0x6060:00: " + bad.fileName() + ": 300 is out of range for s8")) << r.err.toStdString();
  EXPECT_EQ(nodeValue(2, 0x6083, 0), 1000);
  r = cli({"load", "2", files.filePath("missing.log")});
  EXPECT_EQ(r.code, 2);

  // The node in operational state is written pre-operational and returns to it.
  ASSERT_EQ(cli({"nmt", "2", "start"}).code, 0);
  r = cli({"load", "2", path});
  EXPECT_EQ(r.code, 0) << r.err.toStdString();
  EXPECT_EQ(nmtState(2), NmtState::Operational);
}

TEST_F(CliTest, FlashReportsTheLibrarysResultAndRefusesAnUnreadableFile) {
  startBus({{1}});
  CliRun r = cli({"flash", "1", files.filePath("none.hex")});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(r.err.contains("none.hex cannot be read")) << r.err.toStdString();

  const QStringList hex = QDir(QStringLiteral("Firmware")).entryList({"*.hex"});
  ASSERT_FALSE(hex.isEmpty());
  r = cli({"flash", "1", QStringLiteral("Firmware/") + hex.first(), "--json"});
  // Either the download ran to its end, or the library said why not; the
  // library's own messages never mix into the results.
  if (r.code == 0) {
    EXPECT_TRUE(lines(r.out).last().contains("\"result\":1")) << r.out.toStdString();
  } else {
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("(library result -")) << r.err.toStdString();
  }
  for (const QString& line : lines(r.out))
    EXPECT_FALSE(QJsonDocument::fromJson(line.toUtf8()).isNull()) << line.toStdString();
}

TEST_F(CliTest, LogDecodesTheBusOrWritesCandump) {
  startBus({{6}});
  auto capture = [&](const QStringList& args) {
    // The node's boot-up after a power cycle is the frame to see.
    std::thread cycle([&] {
      std::this_thread::sleep_for(1200ms);
      host->powerCycle(6);
    });
    const CliRun r = cli(args);
    cycle.join();
    return r;
  };
  CliRun r = capture({"log", "--seconds", "2.5"});
  EXPECT_EQ(r.code, 0) << r.err.toStdString();
  EXPECT_TRUE(r.out.contains(QRegularExpression(" -> \t[0-9 ]+\t0x706\t  00 00 00 00 00 00 00 00 \t\n")))
      << r.out.toStdString();

  const QString path = files.filePath("bus.candump");
  r = capture({"log", "--seconds", "2.5", "--candump", path});
  EXPECT_EQ(r.code, 0) << r.err.toStdString();
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_TRUE(QString::fromUtf8(file.readAll()).contains(QRegularExpression("^\\([0-9]{10}\\.[0-9]{6}\\) can0 706#00$",
                                                                              QRegularExpression::MultilineOption)));
}

TEST_F(CliTest, QuickScanFindsNodesAtTwoRatesAndTheEdgesOfTheRangeOnce) {
  startBus({{1}, {127, "Brelan"}, {64, "Torvik", 500}});
  // Node 1 sends heartbeats every 5 ms as well as its SDO answer.
  ASSERT_EQ(cli({"write", "1", "1017:0", "5"}).code, 0);
  CliRun r = cli({"scan", "--bitrate", "1000", "--bitrate", "500"});
  ASSERT_EQ(r.code, 0) << r.err.toStdString();
  const QStringList l = lines(r.out);
  ASSERT_EQ(l.size(), 3) << r.out.toStdString();
  EXPECT_TRUE(l[0].startsWith("1\tOrvane\tMirelo\tV")) << l[0].toStdString();
  EXPECT_TRUE(l[0].endsWith("\t1000"));
  EXPECT_TRUE(l[1].startsWith("127\tOrvane\tBrelan\tV")) << l[1].toStdString();
  EXPECT_TRUE(l[2].startsWith("64\tOrvane\tTorvik\tV")) << l[2].toStdString();
  EXPECT_TRUE(l[2].endsWith("\t500"));

  // A range that leaves the nodes out finds nothing; one that ends at them finds them.
  r = cli({"scan", "--bitrate", "1000", "--from", "2", "--to", "126"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "kestrum-cli: no node answered at node IDs 2 to 126\n");
  r = cli({"scan", "--bitrate", "1000", "--from", "127", "--to", "127", "--json"});
  EXPECT_EQ(QJsonDocument::fromJson(r.out.toUtf8()).object().value("node").toInt(), 127);
  // The node-by-node scan finds the same.
  r = cli({"scan", "--full", "--bitrate", "1000", "--from", "126", "--to", "127"});
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(r.out.startsWith("127\tOrvane\tBrelan\t")) << r.out.toStdString();
}

}  // namespace
