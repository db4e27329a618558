// The sub-commands of kestrum-cli.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QSaveFile>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <set>
#include <thread>

#include <unistd.h>

#include "SaveFile.h"
#include "CanLogDecoder.h"
#include "Cli.h"
#include "QuickScan.h"
#include "SdoValues.h"
#include "Util.h"
#include "canopen/Cia301.h"
#include "canopen/Orvane.h"

namespace co = kestrum::canopen;

namespace {

std::atomic<bool> stopRequested{false};
void onSignal(int) { stopRequested.store(true); }

QString hex4(int v) { return QStringLiteral("%1").arg(v & 0xFFFF, 4, 16, QLatin1Char('0')).toUpper(); }
QString hex8(std::uint32_t v) { return QStringLiteral("0x") + QStringLiteral("%1").arg(v, 8, 16, QLatin1Char('0')).toUpper(); }

bool parseIndexSub(const QString& text, bool needSub, std::uint16_t& index, std::optional<std::uint8_t>& sub) {
  const QStringList parts = text.split(QLatin1Char(':'));
  if (parts.size() > 2 || (needSub && parts.size() != 2)) return false;
  QString id = parts[0];
  if (id.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) id = id.mid(2);
  bool ok = false;
  const uint i = id.toUInt(&ok, 16);
  if (!ok || id.isEmpty() || id.size() > 4) return false;
  index = std::uint16_t(i);
  sub.reset();
  if (parts.size() == 2) {
    const QString s = parts[1];
    const bool hex = s.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    const uint v = (hex ? s.mid(2) : s).toUInt(&ok, hex ? 16 : 10);
    if (!ok || v > 0xFF) return false;
    sub = std::uint8_t(v);
  }
  return true;
}

}  // namespace

int Cli::run() {
  if (args_.help) {
    std::fputs(qPrintable(cliHelp(args_.command)), stdout);
    return kExitOk;
  }
  const QString& c = args_.command;
  if (c == QLatin1String("adapters")) return adapters();
  if (c == QLatin1String("scan")) return scan();
  if (c == QLatin1String("info")) return info();
  if (c == QLatin1String("read")) return read();
  if (c == QLatin1String("write")) return write();
  if (c == QLatin1String("nmt")) return nmt();
  if (c == QLatin1String("dump")) return dump();
  if (c == QLatin1String("load")) return load();
  if (c == QLatin1String("flash")) return flash();
  if (c == QLatin1String("log")) return log();
  return usage(QStringLiteral("unknown command '%1'").arg(c));
}

int Cli::adapters() {
  if (!args_.positional.isEmpty()) return usage(QStringLiteral("'adapters' takes no arguments"));
  for (const QString& a : adapterList()) out(a, QJsonObject{{"adapter", a}});
  return kExitOk;
}

// ---------------------------------------------------------------------------

int Cli::scan() {
  if (!args_.positional.isEmpty()) return usage(QStringLiteral("'scan' takes no arguments"));
  std::vector<int> rates = args_.bitrates;
  if (rates.empty()) rates = {1000, 500, 250, 125, 50, 20};
  int found = 0;
  for (const int rate : rates) {
    if (const int rc = open(args_.from, rate)) return rc;
    std::vector<int> nodes;
    if (args_.full) {
      // One node after the other, the adapter initialised for each, as the
      // scan window's scan does.
      for (int node = args_.from; node <= args_.to; ++node) {
        connector_->cancelQuery();
        if (node != args_.from && open(node, rate)) return kExitBus;
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 600) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (connector_->readObject(std::uint8_t(node), co::od::kIdentity, 0, TYPE_U8, 200).code == sdo_result::kOk)
          nodes.push_back(node);
      }
    } else {
      // The adapter settles once after its initialisation; boot-up messages
      // sent meanwhile count as answers too.
      quickscan::NodeCollector early(*connector_, args_.from, args_.to);
      QElapsedTimer settle;
      settle.start();
      while (settle.elapsed() < 50) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
      const quickscan::Result r = quickscan::findNodes(*connector_, args_.from, args_.to, rate);
      if (!r.sent) {
        fail(0, std::nullopt, QStringLiteral("the adapter %1 refused to send (bus dead)").arg(args_.adapter));
        return kExitBus;
      }
      std::set<int> all(r.nodes.begin(), r.nodes.end());
      all.insert(early.nodes().begin(), early.nodes().end());
      nodes.assign(all.begin(), all.end());
    }
    for (const int node : nodes) {
      const quickscan::Identity id = quickscan::identify(*connector_, node, [this](int n) {
        return quickscan::readControllerName(*connector_, n, std::uint32_t(args_.timeoutMs));
      });
      const QString firmware = readString(node, co::od::kSoftwareVersion);
      ++found;
      out(QStringLiteral("%1\t%2\t%3\t%4\t%5").arg(node).arg(id.vendor, id.controller, firmware).arg(rate),
          QJsonObject{{"node", node}, {"vendor", id.vendor}, {"controller", id.controller}, {"firmware", firmware},
                      {"bitrate", rate}});
    }
  }
  if (found == 0) {
    fail(0, std::nullopt, QStringLiteral("no node answered at node IDs %1 to %2").arg(args_.from).arg(args_.to));
    return kExitBus;
  }
  return kExitOk;
}

// ---------------------------------------------------------------------------

int Cli::info() {
  int node = 0;
  if (args_.positional.size() != 1 || !parseNode(args_.positional[0], node))
    return usage(QStringLiteral("'info' takes one node ID from 1 to 127"));
  if (const int rc = open(node, args_.bitrate())) return rc;
  const auto t = std::uint32_t(args_.timeoutMs);
  const SDOResult vendor = connector_->readObject(std::uint8_t(node), co::od::kIdentity, 1, TYPE_U32, t);
  if (vendor.code != sdo_result::kOk) {
    fail(node, std::make_pair(co::od::kIdentity, std::uint8_t(1)), errorText(vendor), std::uint32_t(vendor.abortCode));
    return kExitBus;
  }
  auto u32 = [&](std::uint8_t sub) {
    const SDOResult r = connector_->readObject(std::uint8_t(node), co::od::kIdentity, sub, TYPE_U32, t);
    return r.code == sdo_result::kOk ? std::uint32_t(r.value) : 0u;
  };
  const std::uint32_t product = u32(2), revision = u32(3), serial = u32(4);
  const QString controller = quickscan::readControllerName(*connector_, node, t);
  const QString firmware = readString(node, co::od::kSoftwareVersion);
  const std::optional<std::uint8_t> state = guardNode(node, std::min(args_.timeoutMs, 500));
  const QString vendorText =
      std::uint32_t(vendor.value) == co::orvane::kVendorId ? QStringLiteral("Orvane") : QStringLiteral("Unkown");
  QString stateText = QStringLiteral("unknown");
  if (state) {
    switch (*state) {
      case co::nmt::kBootUp: stateText = QStringLiteral("boot-up"); break;
      case co::nmt::kStopped: stateText = QStringLiteral("stopped"); break;
      case co::nmt::kOperational: stateText = QStringLiteral("operational"); break;
      case co::nmt::kPreOperational: stateText = QStringLiteral("pre-operational"); break;
      default: stateText = QString::number(*state);
    }
  }
  const QString text = QStringLiteral(
                           "node: %1\nvendor: %2 (%3)\ncontroller: %4\nfirmware: %5\nproduct code: %6\n"
                           "revision: %7\nserial number: %8\nNMT state: %9")
                           .arg(node)
                           .arg(vendorText, hex8(std::uint32_t(vendor.value)), controller, firmware, hex8(product),
                                hex8(revision), hex8(serial), stateText);
  out(text, QJsonObject{{"node", node},
                        {"vendor", vendorText},
                        {"vendorId", hex8(std::uint32_t(vendor.value))},
                        {"controller", controller},
                        {"firmware", firmware},
                        {"productCode", hex8(product)},
                        {"revision", hex8(revision)},
                        {"serialNumber", hex8(serial)},
                        {"nmtState", stateText}});
  return kExitOk;
}

// ---------------------------------------------------------------------------

int Cli::read() {
  int node = 0;
  if (args_.positional.size() < 2 || !parseNode(args_.positional[0], node))
    return usage(QStringLiteral("'read' takes a node ID from 1 to 127 and at least one object"));
  struct Want {
    std::uint16_t index;
    std::optional<std::uint8_t> sub;
  };
  std::vector<Want> wants;
  for (int i = 1; i < args_.positional.size(); ++i) {
    Want w{};
    if (!parseIndexSub(args_.positional[i], false, w.index, w.sub))
      return usage(QStringLiteral("'%1' is not an object (INDEX[:SUB], e.g. 6041 or 1018:1)").arg(args_.positional[i]));
    wants.push_back(w);
  }
  if (const int rc = open(node, args_.bitrate())) return rc;
  if (const int rc = loadDictionary(node)) return rc;
  int status = kExitOk;
  for (const Want& w : wants) {
    std::vector<std::pair<std::uint8_t, Row*>> targets;
    if (w.sub) {
      targets.push_back({*w.sub, findRow(w.index, *w.sub)});
    } else {
      for (Row* r : rowsOf(w.index)) targets.push_back({r->sub, r});
      if (targets.empty()) targets.push_back({0, nullptr});
    }
    for (const auto& [sub, row] : targets) {
      const ReadValue v = readValue(node, w.index, sub, row);
      if (v.result.code != sdo_result::kOk) {
        fail(node, std::make_pair(w.index, sub), errorText(v.result), std::uint32_t(v.result.abortCode));
        status = kExitBus;
        continue;
      }
      const QString description = row ? row->definition->parameterName : QString();
      out(QStringLiteral("%1\t%2\t%3\t%4\t%5").arg(hex4(w.index)).arg(sub).arg(v.type, v.value, description),
          QJsonObject{{"node", node},
                      {"index", hex4(w.index)},
                      {"sub", sub},
                      {"type", v.type},
                      {"value", v.value},
                      {"description", description}});
    }
  }
  return status;
}

int Cli::write() {
  int node = 0;
  if (args_.positional.size() < 3 || args_.positional.size() % 2 == 0 || !parseNode(args_.positional[0], node))
    return usage(QStringLiteral("'write' takes a node ID from 1 to 127 and pairs of INDEX:SUB VALUE"));
  struct Want {
    std::uint16_t index;
    std::uint8_t sub;
    QString value;
  };
  std::vector<Want> wants;
  for (int i = 1; i + 1 < args_.positional.size(); i += 2) {
    std::uint16_t index = 0;
    std::optional<std::uint8_t> sub;
    if (!parseIndexSub(args_.positional[i], true, index, sub))
      return usage(QStringLiteral("'%1' is not an object with subindex (INDEX:SUB, e.g. 6060:0)").arg(args_.positional[i]));
    wants.push_back({index, *sub, args_.positional[i + 1]});
  }
  if (const int rc = open(node, args_.bitrate())) return rc;
  if (const int rc = loadDictionary(node)) return rc;
  // Every value is checked against its object before the first write, so a
  // mistyped value never leaves a half-written set behind.
  std::vector<std::pair<Want, sdovalues::Encoded>> writes;
  for (const Want& w : wants) {
    const Row* row = findRow(w.index, w.sub);
    const auto object = std::make_pair(w.index, w.sub);
    if (!row) {
      fail(node, object, QStringLiteral("not in the dictionary of %1, so its type is unknown")
                             .arg(controller_.isEmpty() ? QStringLiteral("the default controller") : controller_));
      return kExitUsage;
    }
    const QString problem = sdovalues::rangeProblem(row->type(), w.value);
    if (!problem.isEmpty()) {
      fail(node, object, problem);
      return kExitUsage;
    }
    writes.push_back({w, *sdovalues::encodeWrite(row->type(), w.value)});
  }
  int status = kExitOk;
  for (const auto& [w, e] : writes) {
    const SDOResult r = connector_->writeObject(std::uint8_t(node), w.index, w.sub, e.size,
                                                std::uint32_t(args_.timeoutMs), e.value);
    if (r.code != sdo_result::kOk) {
      fail(node, std::make_pair(w.index, w.sub), errorText(r), std::uint32_t(r.abortCode));
      status = kExitBus;
      continue;
    }
    const QString type = findRow(w.index, w.sub)->type();
    const QString value = sdovalues::formatRead(type, e.value);
    out(QStringLiteral("%1\t%2\t%3\t%4\tWRITE OK").arg(hex4(w.index)).arg(w.sub).arg(type, value),
        QJsonObject{{"node", node}, {"index", hex4(w.index)}, {"sub", w.sub}, {"type", type}, {"value", value},
                    {"result", "WRITE OK"}});
  }
  return status;
}

// ---------------------------------------------------------------------------

int Cli::nmt() {
  int node = 0;
  struct Command {
    const char* name;
    std::uint8_t code;
    std::uint8_t state;  ///< the state the node reports afterwards; kBootUp: it boots
  };
  static const Command kCommands[] = {
      {"start", co::nmt::kStart, co::nmt::kOperational},
      {"stop", co::nmt::kStop, co::nmt::kStopped},
      {"preop", co::nmt::kEnterPreOperational, co::nmt::kPreOperational},
      {"reset", co::nmt::kResetNode, co::nmt::kBootUp},
      {"reset-comm", co::nmt::kResetCommunication, co::nmt::kBootUp},
  };
  const Command* command = nullptr;
  if (args_.positional.size() == 2)
    for (const Command& c : kCommands)
      if (args_.positional[1] == QLatin1String(c.name)) command = &c;
  if (!command || !parseNode(args_.positional[0], node))
    return usage(QStringLiteral("'nmt' takes a node ID from 1 to 127 and start, stop, preop, reset or reset-comm"));
  if (const int rc = open(node, args_.bitrate())) return rc;
  const std::uint16_t id = co::cob::errorControl(std::uint8_t(node));
  bool confirmed = false;
  if (command->state == co::nmt::kBootUp) {
    // The boot-up message of the node ends a reset; it is listened for
    // before the command goes out so it cannot be missed.
    bool booted = false;
    FrameTap tap(*connector_, [&](const ConnectorFrame& f) {
      booted = booted || (!f.isTx && f.id == id && f.dlc >= 1 && f.data[0] == co::nmt::kBootUp);
    });
    connector_->send_nmtW(command->code);
    QElapsedTimer clock;
    clock.start();
    while (!booted && clock.elapsed() < args_.timeoutMs) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    confirmed = booted;
  } else {
    connector_->send_nmtW(command->code);
    const std::optional<std::uint8_t> state = guardNode(node, args_.timeoutMs);
    confirmed = state && *state == command->state;
  }
  if (!confirmed) {
    fail(node, std::nullopt, QStringLiteral("no confirmation of NMT %1 within %2 ms").arg(QLatin1String(command->name)).arg(args_.timeoutMs));
    return kExitBus;
  }
  out(QStringLiteral("node %1: %2 done").arg(node).arg(QLatin1String(command->name)),
      QJsonObject{{"node", node}, {"nmt", QLatin1String(command->name)}, {"result", "ok"}});
  return kExitOk;
}

// ---------------------------------------------------------------------------

int Cli::dump() {
  int node = 0;
  if (args_.positional.size() != 2 || !parseNode(args_.positional[0], node))
    return usage(QStringLiteral("'dump' takes a node ID from 1 to 127 and a file name"));
  const QString path = args_.positional[1];
  if (const int rc = open(node, args_.bitrate())) return rc;
  if (const int rc = loadDictionary(node)) return rc;
  // "Read All": every row in order; a row the node refuses keeps its value,
  // string rows are not read, and the third failed transfer ends the run.
  int failures = 0;
  int read = 0;
  QElapsedTimer clock;
  clock.start();
  for (Row& row : rows_) {
    const QString type = row.type();
    if (type == QLatin1String("string")) continue;
    const std::uint8_t size = sdovalues::transferSize(type);
    SDOResult r;
    if (size) r = connector_->readObject(std::uint8_t(node), row.index, row.sub, size, std::uint32_t(args_.timeoutMs));
    if (size && r.code == sdo_result::kOk) {
      row.definition->value = sdovalues::formatRead(type, r.value);
      ++read;
      continue;
    }
    if (size && r.code == sdo_result::kAborted) continue;
    fail(node, std::make_pair(row.index, row.sub),
         size ? errorText(r) : QStringLiteral("Error: unknown data type for SD0 ") + row.definition->id,
         std::uint32_t(r.abortCode));
    if (++failures == 3) {
      fail(node, std::nullopt, QStringLiteral("Reading all failed; %1 not written").arg(path));
      return kExitBus;
    }
  }
  const qint64 readNs = clock.nsecsElapsed();
  QByteArray content;
  for (const Row& row : rows_)
    content += sdovalues::listFileLine(row.definition->id, QString::number(row.sub), row.definition->value,
                                       row.definition->parameterName);
  QString error;
  if (!savefile::write(path, content, &error)) {
    fail(node, std::nullopt, QStringLiteral("%1: %2").arg(path, error));
    return kExitUsage;
  }
  out(QStringLiteral("node %1: %2 objects read, %3 rows written to %4").arg(node).arg(read).arg(rows_.size()).arg(path),
      QJsonObject{{"node", node}, {"file", path}, {"read", read}, {"rows", int(rows_.size())},
                  {"controller", controller_}, {"readMs", double(readNs) / 1e6}});
  return failures ? kExitBus : kExitOk;
}

int Cli::load() {
  int node = 0;
  if (args_.positional.size() != 2 || !parseNode(args_.positional[0], node))
    return usage(QStringLiteral("'load' takes a node ID from 1 to 127 and a file name"));
  const QString path = args_.positional[1];
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    fail(0, std::nullopt, QStringLiteral("%1: %2").arg(path, file.errorString()));
    return kExitUsage;
  }
  const std::vector<sdovalues::ListFileEntry> lines = sdovalues::parseListFile(file.readAll());
  if (const int rc = open(node, args_.bitrate())) return rc;
  if (const int rc = loadDictionary(node)) return rc;

  // The whole file is checked before the first write.
  struct Planned {
    Row* row;
    QString value;
    sdovalues::Encoded encoded;
  };
  std::vector<Planned> plan;
  std::set<Row*> inFile;
  for (const sdovalues::ListFileEntry& line : lines) {
    std::int32_t sub = 0;
    try {
      sub = Util::ToInt(line.subindex);
    } catch (const ConversionError& e) {
      fail(0, std::nullopt, QStringLiteral("%1:%2: %3").arg(path).arg(line.line).arg(e.text()));
      return kExitUsage;
    }
    bool ok = false;
    const uint index = line.id.toUInt(&ok, 16);
    Row* row = ok && index <= 0xFFFF && sub >= 0 && sub <= 0xFF ? findRow(std::uint16_t(index), std::uint8_t(sub)) : nullptr;
    if (!row) {
      std::fprintf(stderr, "kestrum-cli: %s:%d: Entry for %s:%d not found\n", qPrintable(path), line.line,
                   qPrintable(line.id), sub);
      continue;
    }
    row->definition->value = line.value;
    inFile.insert(row);
  }
  for (Row& row : rows_) {
    if (!inFile.count(&row) || !row.definition->isWritable()) continue;
    if (sdovalues::saveAllRule(row.index, row.definition->value) != sdovalues::SaveAllRule::Write) continue;
    const QString problem = sdovalues::rangeProblem(row.type(), row.definition->value);
    if (!problem.isEmpty()) {
      fail(node, std::make_pair(row.index, row.sub), QStringLiteral("%1: %2").arg(path, problem));
      return kExitUsage;
    }
    plan.push_back({&row, row.definition->value, *sdovalues::encodeWrite(row.type(), row.definition->value)});
  }

  // Motor and drive settings are refused while the drive is switched on;
  // switching it off is the user's decision, not a side effect of a load.
  const SDOResult status = connector_->readObject(std::uint8_t(node), 0x6041, 0, TYPE_U16, std::uint32_t(args_.timeoutMs));
  if (status.code == sdo_result::kNoAnswer || status.code == sdo_result::kBusDead) {
    fail(node, std::make_pair(std::uint16_t(0x6041), std::uint8_t(0)), errorText(status));
    return kExitBus;
  }
  if (status.code == sdo_result::kOk && (status.value & 0x0006)) {
    fail(node, std::nullopt,
         QStringLiteral("the drive is switched on (statusword %1); switch it off before loading a configuration")
             .arg(QStringLiteral("0x%1").arg(status.value & 0xFFFF, 4, 16, QLatin1Char('0'))));
    return kExitBus;
  }

  // As "Save All": written pre-operational, then back to the state before.
  const std::optional<std::uint8_t> before = guardNode(node, std::min(args_.timeoutMs, 500));
  if (!before || *before != co::nmt::kPreOperational) connector_->send_nmtW(co::nmt::kEnterPreOperational);
  int status_ = kExitOk;
  int written = 0;
  std::vector<const Planned*> done;
  for (const Planned& p : plan) {
    const SDOResult r = connector_->writeObject(std::uint8_t(node), p.row->index, p.row->sub, p.encoded.size, 2500,
                                                p.encoded.value);
    if (r.code != sdo_result::kOk) {
      fail(node, std::make_pair(p.row->index, p.row->sub),
           QStringLiteral("write on %1#%2 failed: %3").arg(p.row->definition->id).arg(p.row->sub).arg(errorText(r)),
           std::uint32_t(r.abortCode));
      status_ = kExitBus;
      continue;
    }
    ++written;
    done.push_back(&p);
  }
  if (before && *before == co::nmt::kOperational) connector_->send_nmtW(co::nmt::kStart);
  if (before && *before == co::nmt::kStopped) connector_->send_nmtW(co::nmt::kStop);

  int differences = 0;
  if (args_.verify) {
    for (const Planned* p : done) {
      // A write-only object (the bootloader's command, say) cannot be read back.
      if (!p->row->definition->accessType.contains(QLatin1Char('r'))) continue;
      const ReadValue v = readValue(node, p->row->index, p->row->sub, p->row);
      const QString expected = sdovalues::formatRead(p->row->type(), p->encoded.value);
      if (v.result.code == sdo_result::kOk && v.value == expected) continue;
      ++differences;
      const QString reason = v.result.code == sdo_result::kOk
                                 ? QStringLiteral("wrote %1, reads %2").arg(expected, v.value)
                                 : QStringLiteral("wrote %1, read back failed: %2").arg(expected, errorText(v.result));
      fail(node, std::make_pair(p->row->index, p->row->sub), reason, std::uint32_t(v.result.abortCode));
    }
    if (differences) status_ = kExitBus;
  }
  bool stored = false;
  if (args_.store && status_ == kExitOk) {
    const SDOResult r = connector_->writeObject(std::uint8_t(node), co::od::kStoreParameters, 1, TYPE_U32, 2500,
                                                std::int32_t(co::od::kSaveSignature));
    stored = r.code == sdo_result::kOk;
    if (!stored) {
      fail(node, std::make_pair(co::od::kStoreParameters, std::uint8_t(1)), errorText(r), std::uint32_t(r.abortCode));
      status_ = kExitBus;
    }
  }
  out(QStringLiteral("node %1: %2 of %3 objects written%4%5")
          .arg(node)
          .arg(written)
          .arg(plan.size())
          .arg(args_.verify ? QStringLiteral(", %1 differences").arg(differences) : QString())
          .arg(stored ? QStringLiteral(", stored") : QString()),
      QJsonObject{{"node", node}, {"file", path}, {"written", written}, {"planned", int(plan.size())},
                  {"differences", differences}, {"verified", args_.verify}, {"stored", stored}});
  return status_;
}

// ---------------------------------------------------------------------------

int Cli::flash() {
  int node = 0;
  if (args_.positional.size() != 2 || !parseNode(args_.positional[0], node))
    return usage(QStringLiteral("'flash' takes a node ID from 1 to 127 and a HEX file"));
  const QString path = QFileInfo(args_.positional[1]).absoluteFilePath();
  if (!QFileInfo(path).isReadable() || !QFileInfo(path).isFile()) {
    fail(node, std::nullopt, QStringLiteral("%1 cannot be read").arg(args_.positional[1]));
    return kExitUsage;
  }
  if (const int rc = open(node, args_.bitrate())) return rc;
  // The download runs on a worker thread inside the library while this
  // thread keeps draining the bus; its progress shows in the bootloader's
  // status answers (0x3000:3, byte 5), as in the window's progress bar.
  int progress = -1;
  QElapsedTimer shown;
  FrameTap tap(*connector_, [&](const ConnectorFrame& f) {
    if (!CanLogDecoder::isSdoRange(f.id) || f.data[1] != (co::orvane::bootloader::kObject & 0xFF) ||
        f.data[2] != (co::orvane::bootloader::kObject >> 8) || f.data[3] != 3 || f.data[5] <= progress)
      return;
    progress = f.data[5];
    // Four lines a second at most: a download reports every block.
    if (shown.isValid() && shown.elapsed() < 250) return;
    shown.start();
    std::fprintf(stderr, "flash: node %d: block %d\n", node, progress);
    if (args_.json) out({}, QJsonObject{{"node", node}, {"block", progress}});
  });
  std::atomic<bool> finished{false};
  int result = 0;
  DLLConnector* connector = connector_.get();
  // The library reports its reading of the file on standard output, which
  // belongs to this program's results: it goes to standard error meanwhile.
  std::fflush(stdout);
  outFd_ = ::dup(STDOUT_FILENO);
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  std::thread worker([&] {
    result = connector->flash_firmwareW(path);
    finished.store(true);
  });
  while (!finished.load()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  worker.join();
  std::fflush(stdout);
  std::fputc('\n', stderr);
  ::dup2(outFd_, STDOUT_FILENO);
  ::close(outFd_);
  outFd_ = STDOUT_FILENO;
  if (progress >= 0) std::fprintf(stderr, "flash: node %d: block %d\n", node, progress);
  // The library's result codes (flash_firmware).
  static const std::map<int, const char*> kResults = {
      {-1, "the library is not initialised"},
      {-2, "the bootloader did not start"},
      {-3, "the firmware download failed"},
      {-4, "leaving the bootloader failed"},
      {-5, "the file could not be read"},
  };
  if (result != 1) {
    const auto it = kResults.find(result);
    fail(node, std::nullopt, QStringLiteral("flash %1: %2 (library result %3)")
                                 .arg(args_.positional[1], it != kResults.end() ? QLatin1String(it->second) : QLatin1String("unknown result"))
                                 .arg(result));
    return kExitBus;
  }
  out(QStringLiteral("node %1: firmware %2 downloaded").arg(node).arg(args_.positional[1]),
      QJsonObject{{"node", node}, {"file", args_.positional[1]}, {"result", result}});
  return kExitOk;
}

// ---------------------------------------------------------------------------

int Cli::log() {
  if (!args_.positional.isEmpty()) return usage(QStringLiteral("'log' takes no arguments"));
  // Streamed into a temporary file beside the target that replaces it when
  // the log ends (the streaming form of savefile::write): a failed or killed
  // run leaves an earlier log under that name as it was, and a long log never
  // has to fit in memory.
  std::unique_ptr<QSaveFile> candump;
  if (!args_.candump.isEmpty()) {
    candump = std::make_unique<QSaveFile>(args_.candump);
    if (!candump->open(QIODevice::WriteOnly)) {
      fail(0, std::nullopt, QStringLiteral("%1: %2").arg(args_.candump, candump->errorString()));
      return kExitUsage;
    }
  }
  if (const int rc = open(1, args_.bitrate())) return rc;
  if (const int rc = loadDictionary(0)) return rc;
  auto find = [this](const QString& id, std::int32_t sub) -> Row* {
    bool ok = false;
    const uint index = id.toUInt(&ok, 16);
    return ok && sub >= 0 && sub <= 0xFF ? findRow(std::uint16_t(index), std::uint8_t(sub)) : nullptr;
  };
  struct Lookup : CanLogLookup {
    std::function<Row*(const QString&, std::int32_t)> find;
    QString description(const QString& id, std::int32_t sub) override {
      const Row* r = find(id, sub);
      return r ? r->definition->parameterName : QString();
    }
    std::optional<QString> value(const QString& id, std::int32_t sub) override {
      const Row* r = find(id, sub);
      if (!r) return std::nullopt;
      return r->definition->value;
    }
  } lookup;
  lookup.find = find;
  CanLogDecoder decoder(&lookup);
  int frames = 0;
  FrameTap tap(*connector_, [&](const ConnectorFrame& f) {
    ++frames;
    if (candump) {
      const auto now = std::chrono::system_clock::now().time_since_epoch();
      const auto us = std::uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
      candump->write(CanLogDecoder::candumpLine(f, false, us, "can0") + '\n');
      return;
    }
    const QString line = decoder.decodeFrame(f);
    out(line, QJsonObject{{"id", QStringLiteral("0x%1").arg(f.id, 3, 16, QLatin1Char('0')).toUpper().replace(QLatin1String("0X"), QLatin1String("0x"))},
                          {"tx", bool(f.isTx)},
                          {"time", qint64(f.time)},
                          {"dlc", f.dlc},
                          {"data", QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(f.data), std::min<int>(f.dlc, 8)).toHex(' ').toUpper())},
                          {"text", line}});
  });
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  QElapsedTimer clock;
  clock.start();
  const qint64 limit = args_.seconds > 0 ? qint64(args_.seconds * 1000) : -1;
  while (!stopRequested.load() && (limit < 0 || clock.elapsed() < limit))
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  if (candump) {
    // A write that failed on the way (a full disk) makes the commit fail.
    if (!candump->commit()) {
      fail(0, std::nullopt, QStringLiteral("%1: %2").arg(args_.candump, candump->errorString()));
      return kExitUsage;
    }
    std::fprintf(stderr, "kestrum-cli: %d frames written to %s\n", frames, qPrintable(args_.candump));
  }
  return kExitOk;
}
