#include "PdoEngine.h"

#include <algorithm>
#include <cstring>

#include "SdoServer.h"
#include "canopen/Cia301.h"

namespace kestrum::sim {
namespace {

using canopen::cob::kExtended;
using canopen::cob::kInvalid;
using canopen::cob::kNoRtr;

bool isDummy(std::uint16_t index) { return index >= 1 && index <= 7; }

// Identifiers CiA 301 reserves for NMT, SDO, node guarding and the like; no PDO may use them.
bool restrictedCobId(std::uint32_t id) {
  return id <= 0x07F || (id >= 0x101 && id <= 0x180) || (id >= 0x581 && id <= 0x5FF) ||
         (id >= 0x601 && id <= 0x67F) || (id >= 0x6E0 && id <= 0x6FF) || id >= 0x701;
}

bool isMappingObject(std::uint16_t index) {
  return (index >= 0x1600 && index <= 0x17FF) || index >= 0x1A00;
}

}  // namespace

std::uint32_t PdoEngine::checkMapEntry(const ObjectDictionary& od, std::uint32_t entry, bool transmit) const {
  const auto index = std::uint16_t(entry >> 16);
  const auto sub = std::uint8_t(entry >> 8);
  const auto bits = std::uint8_t(entry);
  if (bits > 64) return sdo_abort::kPdoLength;
  if (isDummy(index)) {
    // Dummy entries stand for a data type and fill gaps in received data;
    // only byte-wide types are supported.
    return index != kTypeBool && bits == dataTypeSize(index) * 8 ? 0 : sdo_abort::kNotMappable;
  }
  const OdEntry* e = od.find(index, sub);
  if (!e) return sdo_abort::kNoObject;
  if (!e->pdoMappable || e->isString() || bits != e->size() * 8) return sdo_abort::kNotMappable;
  if (transmit ? !e->readable() : !e->writable()) return sdo_abort::kNotMappable;
  return 0;
}

std::uint32_t PdoEngine::checkWrite(const ObjectDictionary& od, std::uint16_t index, std::uint8_t sub,
                                    std::int64_t value) const {
  const bool mapping = isMappingObject(index);
  const bool transmit = index >= 0x1800;
  const std::uint16_t comm = mapping ? std::uint16_t(index - 0x200) : index;
  const std::uint32_t cob = od.u32(comm, 1, kInvalid);
  const bool valid = !(cob & kInvalid);
  const auto v = static_cast<std::uint32_t>(value);

  if (!mapping) {
    switch (sub) {
      case 1:
        if (v & kExtended) return sdo_abort::kRange;  // 29-bit identifiers are not supported
        if (!(v & kInvalid)) {
          const std::uint32_t id = v & 0x1FFFFFFFu;
          if (id > 0x7FF || restrictedCobId(id)) return sdo_abort::kRange;
          // The identifier of an existing PDO may only change after it was made invalid.
          if (valid && (cob & 0x1FFFFFFFu) != id) return sdo_abort::kRange;
        }
        return 0;
      case 2:
        if (transmit ? (v > 240 && v < 252) : (v > 240 && v < 254)) return sdo_abort::kRange;
        return 0;
      case 3:  // the inhibit time of an existing transmit PDO is fixed
        return transmit && valid && v != od.u32(comm, 3) ? sdo_abort::kGeneral : 0;
      default:
        return 0;
    }
  }

  const std::uint32_t count = od.u32(index, 0);
  if (sub == 0) {
    if (valid && v != count) return sdo_abort::kGeneral;
    if (v > 8) return sdo_abort::kRange;
    unsigned bits = 0;
    for (std::uint8_t i = 1; i <= v; ++i) {
      if (!od.find(index, i)) return sdo_abort::kRange;
      const std::uint32_t entry = od.u32(index, i);
      if (entry == 0) return sdo_abort::kNotMappable;
      if (std::uint32_t code = checkMapEntry(od, entry, transmit)) return code;
      bits += entry & 0xFF;
    }
    return bits > 64 ? sdo_abort::kPdoLength : 0;
  }
  // Entries change only while the mapping is switched off (sub-index 0 = 0).
  if (count != 0) return sdo_abort::kGeneral;
  return v == 0 ? 0 : checkMapEntry(od, v, transmit);
}

void PdoEngine::configure(const ObjectDictionary& od) {
  std::vector<Channel> fresh;
  for (const auto& [key, e] : od.entries()) {
    const bool rx = e.index >= 0x1400 && e.index <= 0x15FF;
    const bool tx = e.index >= 0x1800 && e.index <= 0x19FF;
    if ((!rx && !tx) || e.subIndex != 1) continue;
    Channel c;
    c.transmit = tx;
    c.commIndex = e.index;
    const std::uint32_t cob = od.u32(e.index, 1, kInvalid);
    c.valid = !(cob & (kInvalid | kExtended));
    c.cobId = std::uint16_t(cob & 0x7FF);
    c.rtrAllowed = !(cob & kNoRtr);
    c.type = std::uint8_t(od.u32(e.index, 2, 255));
    if (tx) {
      c.inhibitUs = std::uint64_t(od.u32(e.index, 3) & 0xFFFF) * 100;
      c.eventUs = std::uint64_t(od.u32(e.index, 5) & 0xFFFF) * 1000;
    }
    const auto mapIndex = std::uint16_t(e.index + 0x200);
    const std::uint32_t count = std::min<std::uint32_t>(od.u32(mapIndex, 0), 8);
    unsigned bits = 0;
    for (std::uint8_t i = 1; i <= count; ++i) {
      const std::uint32_t entry = od.u32(mapIndex, i);
      // A default mapping the device would refuse is left out rather than guessed at.
      if (entry == 0 || checkMapEntry(od, entry, tx) != 0 || bits + (entry & 0xFF) > 64) continue;
      c.map.push_back({std::uint16_t(entry >> 16), std::uint8_t(entry >> 8), std::uint8_t(entry)});
      bits += entry & 0xFF;
    }
    auto old = std::find_if(channels_.begin(), channels_.end(),
                            [&](const Channel& o) { return o.commIndex == c.commIndex; });
    if (old != channels_.end() && old->valid == c.valid && old->cobId == c.cobId && old->type == c.type &&
        old->inhibitUs == c.inhibitUs && old->eventUs == c.eventUs && old->map == c.map &&
        old->rtrAllowed == c.rtrAllowed) {
      c = *old;
    }
    fresh.push_back(c);
  }
  channels_ = std::move(fresh);
}

void PdoEngine::restart() {
  for (Channel& c : channels_) {
    c.sent = false;
    c.syncCount = 0;
    c.syncPending = false;
    c.eventDueUs = kNever;
    c.changeDueUs = kNever;
    c.triggered = false;
  }
}

void PdoEngine::setTriggerOnly(std::uint16_t index) {
  if (std::find(triggerOnly_.begin(), triggerOnly_.end(), index) == triggerOnly_.end()) triggerOnly_.push_back(index);
}

void PdoEngine::trigger(std::uint16_t index, std::uint8_t sub) {
  for (Channel& c : channels_) {
    if (!c.transmit || !c.valid || !eventDriven(c)) continue;
    if (std::any_of(c.map.begin(), c.map.end(), [&](const MapEntry& m) { return m.index == index && m.sub == sub; }))
      c.triggered = true;
  }
}

bool PdoEngine::changedSinceSent(const Channel& c, const std::uint8_t* data, std::uint8_t len) const {
  if (!c.sent || len != c.lastLen) return true;
  if (triggerOnly_.empty()) return std::memcmp(data, c.last, 8) != 0;
  std::size_t offset = 0;
  for (const MapEntry& m : c.map) {
    const std::size_t n = m.bits / 8;
    const bool counts = std::find(triggerOnly_.begin(), triggerOnly_.end(), m.index) == triggerOnly_.end();
    if (counts && std::memcmp(data + offset, c.last + offset, n) != 0) return true;
    offset += n;
  }
  return false;
}

std::uint8_t PdoEngine::pack(const Channel& c, const ObjectDictionary& od, std::uint8_t out[8]) {
  std::uint8_t len = 0;
  std::memset(out, 0, 8);
  for (const MapEntry& m : c.map) {
    const std::uint8_t n = m.bits / 8;
    if (!isDummy(m.index)) {
      if (const OdEntry* e = od.find(m.index, m.sub))
        std::copy_n(e->value.begin(), std::min<std::size_t>(n, e->value.size()), out + len);
    }
    len = std::uint8_t(len + n);
  }
  return len;
}

void PdoEngine::unpack(const Channel& c, const std::uint8_t* data, const Store& store) {
  std::size_t offset = 0;
  for (const MapEntry& m : c.map) {
    const std::size_t n = m.bits / 8;
    if (!isDummy(m.index)) store(m.index, m.sub, Bytes(data + offset, data + offset + n));
    offset += n;
  }
}

void PdoEngine::transmit(Channel& c, const std::uint8_t* data, std::uint8_t len, std::uint64_t nowUs,
                         const Send& send) {
  CanFrame f;
  f.id = c.cobId;
  f.dlc = len;
  std::copy_n(data, len, f.data);
  c.sent = true;
  c.lastTxUs = nowUs;
  c.lastLen = len;
  std::memcpy(c.last, data, 8);
  c.changeDueUs = kNever;
  c.triggered = false;
  send(f);
}

void PdoEngine::onSync(const ObjectDictionary& od, std::uint64_t nowUs, const Send& send, const Store& store) {
  for (Channel& c : channels_) {
    if (!c.valid) continue;
    if (!c.transmit) {
      if (c.syncPending) unpack(c, c.rx, store);
      c.syncPending = false;
      continue;
    }
    if (c.map.empty() || c.type > 240) continue;
    std::uint8_t data[8];
    const std::uint8_t len = pack(c, od, data);
    if (c.type == 0) {  // acyclic: at the SYNC after a change
      if (!c.sent || len != c.lastLen || std::memcmp(data, c.last, 8) != 0) transmit(c, data, len, nowUs, send);
    } else if (++c.syncCount >= c.type) {
      c.syncCount = 0;
      transmit(c, data, len, nowUs, send);
    }
  }
}

void PdoEngine::poll(const ObjectDictionary& od, std::uint64_t nowUs, const Send& send) {
  for (Channel& c : channels_) {
    if (!c.transmit || !c.valid || !eventDriven(c) || c.map.empty()) continue;
    std::uint8_t data[8];
    const std::uint8_t len = pack(c, od, data);
    const bool changed = c.triggered || changedSinceSent(c, data, len);
    const bool timer = c.sent && c.eventUs && nowUs >= c.eventDueUs;
    if (!changed && !timer) {
      c.changeDueUs = kNever;
      continue;
    }
    if (c.sent && c.inhibitUs && nowUs < c.lastTxUs + c.inhibitUs) {
      c.changeDueUs = c.lastTxUs + c.inhibitUs;  // sent once the inhibit time has passed
      continue;
    }
    // A timer-driven transmission schedules the next one from its due time so
    // that late wake-ups do not slow the rate down; only after a long stall
    // (ten periods) does the timer start afresh instead of catching up.
    std::uint64_t next = timer && !changed ? c.eventDueUs + c.eventUs : nowUs + c.eventUs;
    if (next + 10 * c.eventUs <= nowUs) next = nowUs + c.eventUs;
    transmit(c, data, len, nowUs, send);
    c.eventDueUs = c.eventUs ? next : kNever;
  }
}

std::uint64_t PdoEngine::deadlineUs() const {
  std::uint64_t due = kNever;
  for (const Channel& c : channels_) {
    if (!c.transmit || !c.valid || !eventDriven(c) || c.map.empty()) continue;
    // While the inhibit time holds a transmission back, its end is the next deadline.
    due = std::min(due, c.changeDueUs != kNever ? c.changeDueUs : c.eventDueUs);
  }
  return due;
}

bool PdoEngine::onFrame(const CanFrame& frame, const ObjectDictionary& od, std::uint64_t nowUs, const Send& send,
                        const Store& store, bool& lengthError) {
  lengthError = false;
  if (frame.extended || frame.error) return false;
  for (Channel& c : channels_) {
    if (!c.valid || c.cobId != frame.id) continue;
    if (frame.remote) {
      if (!c.transmit || !c.rtrAllowed || c.map.empty()) continue;
      std::uint8_t data[8];
      transmit(c, data, pack(c, od, data), nowUs, send);
      return true;
    }
    if (c.transmit) continue;
    unsigned len = 0;
    for (const MapEntry& m : c.map) len += m.bits / 8;
    if (c.map.empty()) return true;
    if (frame.dlc < len) {
      lengthError = true;
      return true;
    }
    if (c.type <= 240) {
      std::memcpy(c.rx, frame.data, 8);
      c.syncPending = true;
    } else {
      unpack(c, frame.data, store);
    }
    return true;
  }
  return false;
}

}  // namespace kestrum::sim
