#pragma once
// Transmit PDOs of a simulated node mapped straight into its dictionary, in
// the order a master must follow: COB-ID invalid, no entries, the entries,
// their count, COB-ID valid.

#include "node/NodeHost.h"
#include "node/ObjectDictionary.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace kestrum::bench {

/// Maps `pdos[p]` (entries as 0xIIIISSLL) into transmit PDO p + 1 of node
/// `id`, asynchronous (type 255) with the given event timer (0: sent on
/// change). False, with the refused object on standard error, when the node
/// refuses a write.
inline bool mapTransmitPdos(sim::NodeHost& host, std::uint8_t id, const std::vector<std::vector<std::uint32_t>>& pdos,
                            std::uint16_t eventTimerMs) {
  using namespace kestrum::sim;
  bool ok = true;
  auto write = [&](std::uint16_t index, std::uint8_t sub, int type, std::int64_t value) {
    std::uint32_t abort = 0;
    if (ok && (!host.writeObject(id, index, sub, encodeNumber(type, value), abort) || abort != 0)) {
      std::fprintf(stderr, "node %u: 0x%04X:%u refused (0x%08X)\n", unsigned(id), unsigned(index), unsigned(sub),
                   unsigned(abort));
      ok = false;
    }
  };
  for (std::size_t p = 0; p < pdos.size(); ++p) {
    const auto comm = std::uint16_t(0x1800 + p);
    const auto map = std::uint16_t(0x1A00 + p);
    const std::uint32_t cobId = 0x180u + 0x100u * std::uint32_t(p) + id;
    write(comm, 1, kTypeU32, 0x80000000u | cobId);
    write(comm, 2, kTypeU8, 255);
    write(comm, 3, kTypeU16, 0);
    write(comm, 5, kTypeU16, eventTimerMs);
    write(map, 0, kTypeU8, 0);
    for (std::size_t e = 0; e < pdos[p].size(); ++e) write(map, std::uint8_t(e + 1), kTypeU32, pdos[p][e]);
    write(map, 0, kTypeU8, std::int64_t(pdos[p].size()));
    write(comm, 1, kTypeU32, cobId);
  }
  return ok;
}

}  // namespace kestrum::bench
