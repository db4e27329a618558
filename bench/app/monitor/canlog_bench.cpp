// CAN log under a fully loaded bus: 500,000 frames as about 8,000 frames/s
// deliver them over a minute, handed over as the connector's 10 ms drains do
// (through the routing filter), with the 200 ms auto-scroll tick drawing the
// last page. Reports the memory retained per logged frame, the time to
// append a frame, the time of a tick with its page draw, the share of the
// bus time the log costs the user-interface thread, and the time to save the
// whole log in both formats.
#include "BenchReport.h"
#include <QApplication>
#include <QScrollBar>
#include <QTemporaryDir>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <vector>

#include "DLLConnector.h"
#include "DLLLoader.h"
#include "RoutingMessageFilter.h"
#include "StringGridSDODataSource.h"
#include "TfrmCANLog.h"

namespace {

using kestrum::bench::metric;
using kestrum::bench::percentile;

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::size_t heapInUse() { return mallinfo2().uordblks; }

/// The traffic of a commissioning session on a busy bus: SYNC, the node's
/// transmit PDOs, our receive PDO, SDO requests and answers, heartbeats.
ConnectorFrame nextFrame(std::uint32_t n, std::uint32_t timeUs) {
  ConnectorFrame f;
  f.seq = n + 1;
  f.time = timeUs;
  f.dlc = 8;
  switch (n % 10) {
    case 0: f.id = 0x080; f.dlc = 0; break;
    case 1: case 2: case 3:
      f.id = 0x181;
      f.data[0] = 0x37; f.data[1] = 0x06; f.data[4] = std::uint8_t(n);
      f.dlc = 6;
      break;
    case 4: f.id = 0x281; f.data[0] = std::uint8_t(n); f.data[1] = std::uint8_t(n >> 8); break;
    case 5: f.id = 0x201; f.isTx = 1; f.time = 0; f.data[0] = 0x0F; f.dlc = 2; break;
    case 6: f.id = 0x601; f.isTx = 1; f.time = 0; f.data[0] = 0x40; f.data[1] = 0x41; f.data[2] = 0x60; break;
    case 7: f.id = 0x581; f.data[0] = 0x4B; f.data[1] = 0x41; f.data[2] = 0x60; f.data[4] = 0x37; f.data[5] = 0x06; break;
    case 8: f.id = 0x601; f.isTx = 1; f.time = 0; f.data[0] = 0x2B; f.data[1] = 0x40; f.data[2] = 0x60; f.data[4] = 0x0F; break;
    default: f.id = 0x701; f.data[0] = 0x05; f.dlc = 1; break;
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  QTemporaryDir dir;
  const QString eds = dir.filePath(QStringLiteral("EDS_Bench.xml"));
  std::ofstream(eds.toStdString()) << R"(<EDS>
  <SDO><ID>1014</ID><ParameterName>COB-ID EMCY</ParameterName><DataType>7</DataType><AccessType>rw</AccessType><DefaultValue>0x81</DefaultValue></SDO>
  <SDO><ID>1800</ID><DataType>8</DataType><SubNumber>2</SubNumber><subnodes>
    <sub0><DataType>5</DataType><AccessType>ro</AccessType><DefaultValue>1</DefaultValue></sub0>
    <sub1><DataType>7</DataType><AccessType>rw</AccessType><DefaultValue>0x181</DefaultValue></sub1></subnodes></SDO>
  <SDO><ID>1A00</ID><DataType>8</DataType><SubNumber>3</SubNumber><subnodes>
    <sub0><DataType>5</DataType><AccessType>rw</AccessType><DefaultValue>2</DefaultValue></sub0>
    <sub1><DataType>7</DataType><AccessType>rw</AccessType><DefaultValue>0x60410010</DefaultValue></sub1>
    <sub2><DataType>7</DataType><AccessType>rw</AccessType><DefaultValue>0x60FD0020</DefaultValue></sub2></subnodes></SDO>
  <SDO><ID>6040</ID><ParameterName>Controlword</ParameterName><DataType>6</DataType><AccessType>rw</AccessType><DefaultValue>0</DefaultValue></SDO>
  <SDO><ID>6041</ID><ParameterName>Statusword</ParameterName><DataType>6</DataType><AccessType>ro</AccessType><DefaultValue>0</DefaultValue></SDO>
</EDS>)";
  EDSDatabase db;
  db.loadFile(eds);
  DLLLoader noLibrary(QStringLiteral("/nonexistent/libVarnex.so"));
  DLLConnector connector(&noLibrary);
  StringGridSDODataSource list(nullptr, &db, &connector);
  RoutingMessageFilter& filter = RoutingMessageFilter::routing();
  filter.enable();

  TfrmCANLog log;
  log.resize(900, 460);
  log.show();
  app.processEvents();

  constexpr std::uint32_t kFrames = 500000;
  constexpr std::uint32_t kFramesPerDrain = 80;   // 10 ms at 8,000 frames/s
  constexpr std::uint32_t kDrainsPerTick = 20;    // the 200 ms auto-scroll tick
  constexpr std::uint32_t kFramePeriodUs = 125;

  malloc_trim(0);
  const std::size_t heapBefore = heapInUse();
  std::vector<double> tickMs;
  Clock::duration appendTime{};
  const auto start = Clock::now();
  std::uint32_t n = 0;
  for (std::uint32_t drain = 0; n < kFrames; ++drain) {
    const auto t0 = Clock::now();
    for (std::uint32_t i = 0; i < kFramesPerDrain && n < kFrames; ++i, ++n)
      filter.onFrame(nextFrame(n, 1000000 + n * kFramePeriodUs));
    appendTime += Clock::now() - t0;
    if ((drain + 1) % kDrainsPerTick == 0 || n == kFrames) {
      const auto t1 = Clock::now();
      log.tmrFillLogTimer();
      app.processEvents();  // the page is painted
      tickMs.push_back(seconds(Clock::now() - t1) * 1e3);
    }
  }
  const double total = seconds(Clock::now() - start);
  const std::size_t heapAfter = heapInUse();
  const double busSeconds = double(kFrames) * kFramePeriodUs / 1e6;

  metric("canlog_frames", double(log.recordCount()), "frames");
  metric("canlog_bytes_retained_per_frame", double(heapAfter - heapBefore) / kFrames, "bytes");
  metric("canlog_kept_texts", double(log.keptTextCount()), "lines");
  metric("canlog_append_per_frame", seconds(appendTime) / kFrames * 1e9, "ns");
  metric("canlog_tick_draw_p50", percentile(tickMs, 0.5), "ms");
  metric("canlog_tick_draw_p99", percentile(tickMs, 0.99), "ms");
  metric("canlog_tick_draw_max", *std::max_element(tickMs.begin(), tickMs.end()), "ms");
  metric("canlog_bus_time_baseline", busSeconds, "s");
  metric("canlog_ui_time_for_bus_minute", total, "s");
  metric("canlog_ui_share_of_bus_time", total / busSeconds * 100, "%");

  auto t = Clock::now();
  const bool textOk = log.saveLog(dir.filePath(QStringLiteral("bench.log")), TfrmCANLog::LogFormat::Text);
  metric("canlog_save_text", seconds(Clock::now() - t), "s");
  t = Clock::now();
  const bool dumpOk = log.saveLog(dir.filePath(QStringLiteral("bench.candump")), TfrmCANLog::LogFormat::Candump);
  metric("canlog_save_candump", seconds(Clock::now() - t), "s");
  return textOk && dumpOk && log.recordCount() == kFrames ? 0 : 1;
}
