// Kestrum connected while the bus runs at full load with the CAN log on.
//
// The simulator paces its bus at 1000 kbit/s; a flood port keeps the wire
// busy with 8-byte frames of the lowest priority (each carries a running
// number), about 8,000 frames/s, while the main window (offscreen) is
// connected to a simulated controller and its CAN log window is shown.
// Reported:
//  - frames sent, frames the CAN log holds, frames its bound dropped (the
//    oldest, on a long run), frames lost and numbers out of order (target:
//    none lost);
//  - the lateness of a 10 ms timer on the user-interface thread while the
//    load runs, p50/p99/max (target p99 < 50 ms);
//  - heap growth of the whole process per logged frame (target <= 64 bytes);
//  - the bus-limited baseline: the frame rate the wire allows;
//  - resident memory at the start of the load, at its middle and at its end,
//    sampled every 10 s: on a long run the growth of the second half must
//    fall well below that of the first (it levels off), not go on climbing.
//
// Usage: bench_full_load [SECONDS]     (default 60; a few seconds for a quick run)
//        bench_full_load --minutes M   (the long run, e.g. 10)
// Run from the application folder (bench/run.sh does).

#include "BenchReport.h"
#include "SimulatedSetup.h"
#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"
#include "node/NodeHost.h"

#include "ConnectedWindow.h"

#include <malloc.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "DLLLoader.h"
#include "KestrumApplication.h"
#include "Logging.h"
#include "MessageBoxService.h"
#include "TMainForm.h"
#include "TfrmCANLog.h"

namespace {

using kestrum::bench::metric;
using kestrum::bench::percentile;
using kestrum::bench::processUntil;

using Clock = std::chrono::steady_clock;
using kestrum::sim::CanFrame;
using kestrum::sim::VirtualBus;

constexpr unsigned kBitrate = 1000;
constexpr std::uint32_t kFloodId = 0x7F0;  // loses every arbitration: the application's frames go first

std::size_t heapInUse() { return mallinfo2().uordblks; }

double residentMiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

/// Keeps the wire busy: tops the bus's arbitration queue up every
/// millisecond, so the paced wire never idles and the queue stays short.
/// Counts its frames as they leave the wire (through a witness port,
/// since a port does not hear itself) and their bits.
class Flood : public kestrum::sim::BusPort {
 public:
  explicit Flood(VirtualBus& bus) : bus_(bus), witness_(*this) {
    bus_.attach(this);
    bus_.attach(&witness_);
  }
  ~Flood() override {
    stop();
    bus_.detach(&witness_);
    bus_.detach(this);
  }
  void deliver(const CanFrame&) override {}
  unsigned bitrateKbit() const override { return kBitrate; }

  void start() {
    running_ = true;
    thread_ = std::thread([this] { run(); });
  }
  void stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }
  std::uint64_t sent() const { return onWire_.load(); }
  std::uint64_t bits() const { return bits_.load(); }
  std::uint64_t submitted() const { return submitted_; }

 private:
  struct Witness : kestrum::sim::BusPort {
    explicit Witness(Flood& f) : flood(f) {}
    void deliver(const CanFrame& frame) override {
      if (frame.id != kFloodId) return;
      flood.onWire_.fetch_add(1);
      flood.bits_.fetch_add(VirtualBus::frameBits(frame));
    }
    Flood& flood;
  };

  // About 8 ms of wire time: the wire stays busy through a late wake-up of
  // this thread on a loaded machine.
  static constexpr std::uint64_t kQueued = 64;

  void run() {
    while (running_) {
      while (submitted_ - onWire_.load() < kQueued) {
        CanFrame f;
        f.id = kFloodId;
        f.dlc = 8;
        const std::uint64_t n = submitted_++;
        for (int i = 0; i < 8; ++i) f.data[i] = std::uint8_t(n >> (8 * (i % 4)));
        bus_.submit(this, f);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  VirtualBus& bus_;
  Witness witness_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::uint64_t submitted_ = 0;  // flood thread only (read after it stopped)
  std::atomic<std::uint64_t> onWire_{0};
  std::atomic<std::uint64_t> bits_{0};
};

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  const std::string first = argc > 1 ? argv[1] : "";
  if (first == "--minutes" && argc > 2) {
    seconds = std::atoi(argv[2]) * 60;
  } else if (argc > 1) {
    seconds = std::atoi(argv[1]);
  }
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: %s [SECONDS] | --minutes M  (duration of the load, default 60 s)\n", argv[0]);
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int qtArgc = 1;
  KestrumApplication app(qtArgc, argv);
  RecordingMessageBoxService boxes;  // no box may block a benchmark

  kestrum::bench::SimulatedSetup sim(kBitrate);
  if (!sim.start({"Mirelo"})) return 1;
  const QString libraryPath = QDir::currentPath() + QStringLiteral("/libVarnex.so");
  DLLLoader loader(libraryPath);

  TMainForm form(&loader, libraryPath);
  if (!kestrum::bench::showConnected(form)) return 1;
  form.findChild<QPushButton*>(QStringLiteral("btnShowBusLog"))->click();
  TfrmCANLog* canLog = form.canLog();
  // Let the connection's own traffic settle before counting.
  processUntil([] { return false; }, std::chrono::milliseconds(500));

  const std::size_t recordsBefore = canLog->recordCount();
  const std::size_t heapBefore = heapInUse();
  kestrum::bench::LatenessProbe probe;

  std::vector<double> residentSamples{residentMiB()};
  QTimer memoryProbe;
  memoryProbe.setInterval(10000);
  QObject::connect(&memoryProbe, &QTimer::timeout, [&] { residentSamples.push_back(residentMiB()); });

  Flood flood(sim.bus);
  const auto loadStart = Clock::now();
  memoryProbe.start();
  flood.start();
  probe.start();
  processUntil([] { return false; }, std::chrono::seconds(seconds));
  probe.stop();
  memoryProbe.stop();
  residentSamples.push_back(residentMiB());
  flood.stop();
  const double loadSeconds = std::chrono::duration<double>(Clock::now() - loadStart).count();
  // Every frame still on its way (wire, socket, ring) reaches the log.
  const std::uint64_t submitted = flood.submitted();
  processUntil([&] { return flood.sent() == submitted; }, std::chrono::seconds(5));
  processUntil([] { return false; }, std::chrono::milliseconds(500));
  const std::size_t heapAfter = heapInUse();
  // Frames taken by the log, including those its bound dropped again.
  const std::size_t logged = canLog->recordCount() + std::size_t(canLog->droppedCount()) - recordsBefore;

  // The flood's frames in the log, with their running numbers.
  QTemporaryDir out;
  const QString path = out.filePath(QStringLiteral("load.log"));
  // A long run outgrows the log's bound: it holds the newest frames, so the
  // count starts at the first flood frame still held.
  std::uint64_t floodLogged = 0, outOfOrder = 0;
  std::int64_t firstHeld = -1;
  if (canLog->saveLog(path, TfrmCANLog::LogFormat::Candump)) {
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
      std::int64_t expected = 0;
      const QByteArray tag = QByteArrayLiteral(" 7F0#");
      while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        const int at = line.indexOf(tag);
        if (at < 0) continue;
        ++floodLogged;
        bool ok = false;
        const QByteArray hex = line.mid(at + tag.size(), 8);
        const std::uint32_t le = hex.toUInt(&ok, 16);
        const std::int64_t n = std::int64_t(((le & 0xFF) << 24) | ((le & 0xFF00) << 8) | ((le >> 8) & 0xFF00) | (le >> 24));
        if (firstHeld < 0 && ok) firstHeld = expected = n;
        if (!ok || n != expected) ++outOfOrder;
        expected = n + 1;
      }
    }
  }
  const std::uint64_t sent = flood.sent();
  const double busLimitedRate = flood.bits() ? double(sent) / (double(flood.bits()) / (kBitrate * 1000.0)) : 0;

  metric("full_load_seconds", loadSeconds, "s");
  metric("full_load_frames_sent", double(sent), "frames");
  metric("full_load_frame_rate", double(sent) / loadSeconds, "frames/s");
  metric("full_load_bus_limited_frame_rate", busLimitedRate, "frames/s");
  const std::uint64_t dropped = firstHeld > 0 ? std::uint64_t(firstHeld) : 0;
  metric("full_load_frames_logged", double(floodLogged), "frames");
  metric("full_load_frames_dropped_by_log_bound", double(dropped), "frames");
  metric("full_load_frames_lost", double(sent > floodLogged + dropped ? sent - floodLogged - dropped : 0), "frames");
  metric("full_load_frames_out_of_order", double(outOfOrder), "frames");
  probe.report("full_load");
  metric("full_load_heap_bytes_per_logged_frame", logged ? double(heapAfter) / double(logged) - double(heapBefore) / double(logged) : 0,
         "bytes");
  const double rssStart = residentSamples.front(), rssEnd = residentSamples.back();
  const double rssMiddle = residentSamples[residentSamples.size() / 2];
  metric("full_load_resident_start", rssStart, "MiB");
  metric("full_load_resident_middle", rssMiddle, "MiB");
  metric("full_load_resident_end", rssEnd, "MiB");
  metric("full_load_resident_max", *std::max_element(residentSamples.begin(), residentSamples.end()), "MiB");
  metric("full_load_resident_growth_first_half", rssMiddle - rssStart, "MiB");
  metric("full_load_resident_growth_second_half", rssEnd - rssMiddle, "MiB");
  metric("full_load_log_kept_texts", double(canLog->keptTextCount()), "lines");
  form.close();
  return 0;
}
