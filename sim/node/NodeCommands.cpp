#include "NodeCommands.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include "Bootloader.h"
#include "Drive402.h"
#include "DriveIo.h"
#include "NodeHost.h"

namespace kestrum::sim {
namespace {

std::optional<std::int64_t> number(const std::string& text) { return parseEdsNumber(text, 0); }

std::string hex(std::uint64_t value, int digits) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return buf;
}

bool onOff(const std::string& word, bool& value) {
  if (word == "on") value = true;
  else if (word == "off") value = false;
  else return false;
  return true;
}

std::string describeAbort(std::uint32_t code) { return "error: abort " + hex(code, 8); }

}  // namespace

const char* nodeCommandHelp() {
  return "Commands on standard input (one per line; numbers decimal or 0x hexadecimal):\n"
         "  node ID input BITS          set the digital inputs (0x60FD), e.g. node 5 input 0x10000\n"
         "  node ID switch home|neg|pos on|off  set or clear the home (bit 2), negative (0) or positive (1)\n"
         "                              limit switch, or the reference switch (ref, input 6, bit 21)\n"
         "  node ID refswitch REVS closer|opener  put the reference switch that the axis actuates at\n"
         "                              REVS output revolutions (default 1, closer); refswitch off removes it\n"
         "  node ID analog CH VALUE     set analog input CH (0x6401, 1..) to VALUE (0..1023)\n"
         "  node ID outputs             show the digital outputs as driven (0x60FE with mask and brake)\n"
         "  node ID emcy CODE [INFO]    raise an emergency, e.g. node 5 emcy 0x3100; CODE 0 resets the error\n"
         "  node ID powercycle          switch the node off and on (stored parameters survive)\n"
         "  node ID power on|off        switch the node's supply\n"
         "  node ID supply on|off       switch the motor supply; off faults the drive (emergency 0x3100)\n"
         "  node ID setup fail          the drive's next closed-loop set-up run fails\n"
         "  node ID block on|off        block the motor mechanically\n"
         "  node ID flash MS            the bootloader takes MS milliseconds to write a block\n"
         "  node ID bootfault drop|corrupt N  the Nth data frame the bootloader receives from now\n"
         "                              is lost or stored with one bit flipped (N 0 clears)\n"
         "  node ID silence on|off      the node keeps running but sends nothing\n"
         "  node ID delay MS            answers (SDO, node guarding) leave MS milliseconds late\n"
         "  node ID read INDEX SUB      show an object's value\n"
         "  node ID write INDEX SUB V   set an object's value directly (text for strings)\n"
         "  node ID state               show the NMT state\n"
         "  nodes                       list the simulated nodes\n";
}

std::string runNodeCommand(NodeHost& host, const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string word; in >> word;) w.push_back(word);
  if (w.empty() || w[0][0] == '#') return {};
  if (w[0] == "help") return nodeCommandHelp();
  if (w[0] == "nodes") {
    std::string out;
    for (std::uint8_t id : host.nodeIds()) {
      host.withNode(id, [&](SimNode& n, std::uint64_t) {
        out += "node " + std::to_string(id) + " " + n.model() + " " + nmtStateName(n.nmtState()) + " " +
               std::to_string(n.bitrateKbit()) + " kbit/s" +
               (n.busNodeId() != id ? " (on the bus as node " + std::to_string(n.busNodeId()) + ")" : "") +
               (n.powered() ? "" : " (off)") + (n.silent() ? " (silent)" : "") + "\n";
      });
    }
    return out.empty() ? "no nodes\n" : out;
  }
  if (w[0] != "node" || w.size() < 3) return "error: unknown command (try help)\n";
  const auto id = number(w[1]);
  if (!id || *id < 1 || *id > 127) return "error: bad node ID '" + w[1] + "'\n";
  const auto node = std::uint8_t(*id);
  const std::string& verb = w[2];
  auto arg = [&](std::size_t i) { return i < w.size() ? number(w[i]) : std::nullopt; };
  bool found = false;
  std::string reply = "ok\n";

  if (verb == "input") {
    auto bits = arg(3);
    if (!bits || *bits < 0 || *bits > 0xFFFFFFFFLL) return "error: usage: node ID input BITS\n";
    found = host.withNode(node, [&](SimNode& n, std::uint64_t now) {
      if (!n.setDigitalInputs(std::uint32_t(*bits), now)) reply = "error: this model has no digital inputs\n";
    });
  } else if (verb == "switch") {
    // CiA 402 places the negative and positive limit switch and the home switch at bits 0, 1 and 2.
    static const std::pair<const char*, std::uint32_t> kSwitches[] = {
        {"neg", 1u << 0}, {"pos", 1u << 1}, {"home", 1u << 2}, {"ref", Drive402::kReferenceInput}};
    std::uint32_t bit = 0;
    for (const auto& [name, b] : kSwitches)
      if (w.size() > 3 && w[3] == name) bit = b;
    bool on = false;
    if (!bit || w.size() < 5 || !onOff(w[4], on)) return "error: usage: node ID switch home|neg|pos|ref on|off\n";
    found = host.withNode(node, [&](SimNode& n, std::uint64_t now) {
      const std::uint32_t bits = on ? n.digitalInputs() | bit : n.digitalInputs() & ~bit;
      if (!n.setDigitalInputs(bits, now)) reply = "error: this model has no digital inputs\n";
    });
  } else if (verb == "refswitch") {
    // Where the reference switch on input 6 sits, in output revolutions
    // (feed units), and how it is wired.
    double at = 0.0;
    bool valid = w.size() == 5 && (w[4] == "closer" || w[4] == "opener");
    if (valid) {
      char* end = nullptr;
      at = std::strtod(w[3].c_str(), &end);
      valid = end && *end == '\0' && std::isfinite(at) && std::fabs(at) <= 1e6;
    }
    const bool off = w.size() == 4 && w[3] == "off";
    if (!valid && !off) return "error: usage: node ID refswitch REVS closer|opener, or node ID refswitch off\n";
    found = host.withNode(node, [&](SimNode& n, std::uint64_t) {
      auto* drive = n.behaviour<Drive402>();
      if (!drive) reply = "error: node " + std::to_string(node) + " has no drive\n";
      else if (off) drive->removeReferenceSwitch(n);
      else drive->setReferenceSwitch(n, at, 0.05, w[4] == "opener");
    });
  } else if (verb == "analog") {
    auto channel = arg(3);
    auto value = arg(4);
    if (!channel || !value || *channel < 1 || *channel > 254 || *value < 0 || *value > DriveIo::kAnalogMax)
      return "error: usage: node ID analog CH VALUE (0..1023)\n";
    found = host.withNode(node, [&](SimNode& n, std::uint64_t) {
      auto* io = n.behaviour<DriveIo>();
      if (!io || io->analogInputs() == 0) reply = "error: this model has no analog inputs\n";
      else if (!io->setAnalogInput(n, unsigned(*channel), int(*value)))
        reply = "error: this model has analog inputs 1.." + std::to_string(io->analogInputs()) + "\n";
    });
  } else if (verb == "outputs") {
    found = host.withNode(node, [&](SimNode& n, std::uint64_t) {
      auto* io = n.behaviour<DriveIo>();
      reply = io && n.dictionary().find(0x60FE, 1) ? hex(io->outputs(n), 8) + "\n"
                                                   : "error: this model has no digital outputs\n";
    });
  } else if (verb == "supply" || verb == "block" || verb == "setup") {
    bool on = false;
    if (verb == "setup" ? w.size() < 4 || w[3] != "fail" : w.size() < 4 || !onOff(w[3], on))
      return "error: usage: node ID " + verb + (verb == "setup" ? " fail\n" : " on|off\n");
    found = host.withNode(node, [&](SimNode& n, std::uint64_t now) {
      auto* drive = n.behaviour<Drive402>();
      if (!drive) reply = "error: node " + std::to_string(node) + " has no drive\n";
      else if (verb == "supply") drive->setSupply(n, on, now);
      else if (verb == "block") drive->setBlocked(on);
      else drive->failNextSetup();
    });
  } else if (verb == "flash") {
    auto ms = arg(3);
    if (!ms || *ms < 0 || *ms > 60000) return "error: usage: node ID flash MS (0..60000)\n";
    found = host.withNode(node, [&](SimNode& n, std::uint64_t) {
      if (auto* loader = n.behaviour<Bootloader>()) loader->setFlashUsPerBlock(std::uint64_t(*ms) * 1000);
      else reply = "error: node " + std::to_string(node) + " has no bootloader\n";
    });
  } else if (verb == "bootfault") {
    auto nth = arg(4);
    const bool drop = w.size() > 3 && w[3] == "drop";
    if ((!drop && (w.size() < 4 || w[3] != "corrupt")) || !nth || *nth < 0 || *nth > 1000000)
      return "error: usage: node ID bootfault drop|corrupt N\n";
    found = host.withNode(node, [&](SimNode& n, std::uint64_t) {
      if (auto* loader = n.behaviour<Bootloader>())
        loader->injectDataFault(drop ? Bootloader::DataFault::Drop : Bootloader::DataFault::Corrupt, unsigned(*nth));
      else reply = "error: node " + std::to_string(node) + " has no bootloader\n";
    });
  } else if (verb == "emcy") {
    auto code = arg(3);
    auto info = w.size() > 4 ? arg(4) : std::optional<std::int64_t>(0);
    if (!code || !info || *code < 0 || *code > 0xFFFF || *info < 0 || *info > 0xFFFF)
      return "error: usage: node ID emcy CODE [INFO]\n";
    found = host.raiseEmergency(node, std::uint16_t(*code), std::uint16_t(*info));
  } else if (verb == "powercycle") {
    found = host.powerCycle(node);
  } else if (verb == "power" || verb == "silence") {
    bool on = false;
    if (w.size() < 4 || !onOff(w[3], on)) return "error: usage: node ID " + verb + " on|off\n";
    found = verb == "power" ? host.setPowered(node, on) : host.setSilent(node, on);
  } else if (verb == "delay") {
    auto ms = arg(3);
    if (!ms || *ms < 0 || *ms > 60000) return "error: usage: node ID delay MS (0..60000)\n";
    found = host.setAnswerDelayMs(node, unsigned(*ms));
  } else if (verb == "state") {
    found = host.withNode(node, [&](SimNode& n, std::uint64_t) {
      reply = std::string(nmtStateName(n.nmtState())) + (n.powered() ? "" : " (off)") + "\n";
    });
  } else if (verb == "read" || verb == "write") {
    auto index = arg(3);
    auto sub = arg(4);
    if (!index || !sub || *index < 0 || *index > 0xFFFF || *sub < 0 || *sub > 0xFF ||
        (verb == "write" && w.size() < 6))
      return "error: usage: node ID " + verb + " INDEX SUB" + (verb == "write" ? " VALUE" : "") + "\n";
    const auto idx = std::uint16_t(*index);
    const auto s = std::uint8_t(*sub);
    found = host.withNode(node, [&](SimNode& n, std::uint64_t) {
      const OdEntry* e = n.dictionary().find(idx, s);
      if (!e) {
        reply = describeAbort(n.dictionary().hasObject(idx) ? sdo_abort::kNoSubIndex : sdo_abort::kNoObject) + "\n";
        return;
      }
      const std::string name = hex(idx, 4) + ":" + std::to_string(s);
      if (verb == "read") {
        if (e->isString()) {
          reply = name + " = \"" + std::string(e->value.begin(), e->value.end()) + "\"\n";
        } else {
          const std::int64_t v = decodeNumber(e->dataType, e->value);
          const std::uint64_t mask = e->size() >= 8 ? ~0ull : (1ull << (8 * e->size())) - 1;
          reply = name + " = " + hex(std::uint64_t(v) & mask, int(e->size() * 2)) + " (" + std::to_string(v) + ")\n";
        }
        return;
      }
      Bytes value;
      if (e->isString()) {
        // The rest of the line after the sub-index, as typed.
        std::string text = line.substr(line.find(w[4], line.find(w[3]) + w[3].size()) + w[4].size());
        text.erase(0, text.find_first_not_of(' '));
        value.assign(text.begin(), text.end());
      } else {
        auto v = number(w[5]);
        if (!v) {
          reply = "error: '" + w[5] + "' is not a number\n";
          return;
        }
        value = encodeNumber(e->dataType, *v);
      }
      if (std::uint32_t code = n.writeObject(idx, s, value)) reply = describeAbort(code) + "\n";
    });
  } else {
    return "error: unknown command '" + verb + "' (try help)\n";
  }
  return found ? reply : "error: no node " + std::to_string(node) + "\n";
}

}  // namespace kestrum::sim
