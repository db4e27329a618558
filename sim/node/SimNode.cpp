#include "SimNode.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "canopen/Orvane.h"
#include "canopen/Cia301.h"
#include "canopen/Orvane.h"
#include "transport/AtomicFile.h"

namespace kestrum::sim {
namespace {

namespace cob = canopen::cob;
namespace nmt = canopen::nmt;
using canopen::od::kLoadSignature;
using canopen::od::kSaveSignature;
using cob::kExtended;
using cob::kInvalid;

std::uint32_t le32(const Bytes& v) {
  std::uint32_t r = 0;
  for (std::size_t i = 0; i < std::min<std::size_t>(4, v.size()); ++i) r |= std::uint32_t(v[i]) << (8 * i);
  return r;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Objects "store parameters" never keeps: commands and logs rather than settings.
bool volatileObject(std::uint16_t index) {
  return index == 0x1003 || index == 0x1010 || index == 0x1011 || index == 0x6040;
}

}  // namespace

const char* nmtStateName(NmtState state) {
  switch (state) {
    case NmtState::Initialising: return "Initialising";
    case NmtState::Stopped: return "Stopped";
    case NmtState::Operational: return "Operational";
    case NmtState::PreOperational: return "Pre-operational";
  }
  return "?";
}

std::uint32_t SimNode::serialNumber(const std::string& model, std::uint8_t nodeId) {
  std::uint32_t h = 2166136261u;  // FNV-1a: stable across runs and platforms
  for (char c : model) h = (h ^ std::uint8_t(std::tolower(static_cast<unsigned char>(c)))) * 16777619u;
  return 0x10000000u | ((h & 0xFFFFu) << 8) | nodeId;
}

SimNode::SimNode(Config config, ObjectDictionary od)
    : config_(std::move(config)), od_(std::move(od)), busId_(config_.nodeId), bitrate_(config_.bitrateKbit) {
  auto fix = [this](std::uint16_t index, std::uint8_t sub, std::uint32_t value) {
    if (OdEntry* e = od_.find(index, sub); e && !e->isString()) e->defaultValue = e->value = encodeNumber(e->dataType, value);
  };
  fix(0x1018, 1, canopen::orvane::kVendorId);
  fix(0x1018, 4, serialNumber(config_.model, config_.nodeId));
  // The maker's node ID and bit-rate objects read the settings the node was
  // made with until they are changed, stored and the node restarts.
  fix(0x2009, 0, config_.nodeId);
  if (const std::uint8_t code = bitRateCode(config_.bitrateKbit)) fix(canopen::orvane::kBitRateObject, 0, code);
  // CiA 301 makes these writable whatever a data sheet says: the history is
  // cleared through its count, store and restore are commands.
  if (OdEntry* e = od_.find(0x1003, 0)) e->access = Access::ReadWrite;
  for (std::uint16_t index : {std::uint16_t(0x1010), std::uint16_t(0x1011)}) {
    for (std::uint8_t sub = 1; sub < 0x80; ++sub) {
      if (OdEntry* e = od_.find(index, sub)) e->access = Access::ReadWrite;
    }
  }
  // This model reports its name as an array of characters with the count in
  // sub-index 0 rather than as a visible string.
  if (equalsIgnoreCase(config_.model, "Torvik")) {
    if (const OdEntry* name = od_.find(0x1009, 0); name && name->isString() && !od_.find(0x1009, 1)) {
      const Bytes text = name->value;
      OdEntry count = *name;
      count.dataType = kTypeU8;
      count.access = Access::ReadOnly;
      count.defaultValue = count.value = encodeNumber(kTypeU8, std::int64_t(std::min<std::size_t>(text.size(), 254)));
      od_.insert(count);
      for (std::size_t i = 0; i < text.size() && i < 254; ++i) {
        OdEntry ch = count;
        ch.subIndex = std::uint8_t(i + 1);
        ch.defaultValue = ch.value = Bytes{text[i]};
        od_.insert(ch);
      }
    }
  }
}

std::unique_ptr<SimNode> SimNode::fromEds(Config config, const std::string& edsPath, std::string& error) {
  ObjectDictionary od;
  if (!loadEds(edsPath, config.nodeId, od, error)) return nullptr;
  return std::make_unique<SimNode>(std::move(config), std::move(od));
}

void SimNode::addBehaviour(std::unique_ptr<NodeBehaviour> behaviour) {
  behaviours_.push_back(std::move(behaviour));
  behaviourDue_.push_back(powered_ ? nowUs_ : kNever);
}

void SimNode::wake(const NodeBehaviour& behaviour, std::uint64_t atUs) {
  if (!powered_) return;
  for (std::size_t i = 0; i < behaviours_.size(); ++i)
    if (behaviours_[i].get() == &behaviour) behaviourDue_[i] = std::min(behaviourDue_[i], atUs);
}

// --- power, NMT ---------------------------------------------------------------

void SimNode::setPowered(bool on, std::uint64_t nowUs) {
  nowUs_ = nowUs;
  if (on == powered_) return;
  powered_ = on;
  if (!on) {
    state_ = NmtState::Initialising;
    sdo_.reset();
    delayed_.clear();
    heartbeatDueUs_ = lifeDueUs_ = kNever;
    std::fill(behaviourDue_.begin(), behaviourDue_.end(), kNever);
    return;
  }
  reset(ResetKind::PowerOn);
  bootUp();
}

void SimNode::powerCycle(std::uint64_t nowUs) {
  setPowered(false, nowUs);
  setPowered(true, nowUs);
}

void SimNode::restart(std::uint64_t nowUs) {
  nowUs_ = nowUs;
  if (!powered_) return;
  reset(ResetKind::Node);
  bootUp();
}

void SimNode::reset(ResetKind kind) {
  state_ = NmtState::Initialising;
  sdo_.reset();
  delayed_.clear();
  if (kind == ResetKind::PowerOn) loadStored();
  auto inRange = [kind](std::uint16_t index) {
    return kind != ResetKind::Communication || (index >= 0x1000 && index <= 0x1FFF);
  };
  auto restoreValues = [&] {
    od_.resetValues(inRange);
    for (const auto& [key, value] : stored_) {
      OdEntry* e = od_.find(std::uint16_t(key >> 8), std::uint8_t(key));
      if (!e || !inRange(e->index)) continue;
      // A stored value that no longer fits the object (changed data sheet) is skipped.
      if ((e->size() && value.size() != e->size()) || (!e->size() && value.size() > kMaxStringBytes)) continue;
      if (checkValue(*e, value) == 0) e->value = value;
    }
  };
  restoreValues();
  // The application (power-on, reset node) starts with the node ID and bit
  // rate its settings objects now hold; a new node ID moves the defaults
  // of the predefined connection set, so the values are set up once more.
  if (kind != ResetKind::Communication && applyNodeSettings()) restoreValues();
  // The inputs kept their level through the reset: nothing is left to debounce.
  settledInputs_ = inputs_;
  inputsDueUs_ = kNever;
  if (inputsSet_) publishInputs();
  guardToggle_ = 0;
  lifeDueUs_ = kNever;
  lifeGuardingLost_ = false;
  heartbeatDueUs_ = kNever;
  pdo_.configure(od_);
  pdo_.restart();
  dirty_ = true;
  for (auto& b : behaviours_) b->reset(*this, kind, nowUs_);
  std::fill(behaviourDue_.begin(), behaviourDue_.end(), nowUs_);
}

bool SimNode::applyNodeSettings() {
  if (const unsigned rate = bitRateOfCode(od_.number(0x2005, 0).value_or(0))) bitrate_ = rate;
  const std::int64_t id = od_.number(0x2009, 0).value_or(0);
  if (id < 1 || id > 127 || id == busId_) return false;
  const std::int64_t shift = id - busId_;
  for (const auto& [key, entry] : od_.entries()) {
    if (!entry.nodeIdRelative) continue;
    OdEntry* e = od_.find(entry.index, entry.subIndex);
    e->defaultValue = encodeNumber(e->dataType, decodeNumber(e->dataType, e->defaultValue) + shift);
  }
  busId_ = std::uint8_t(id);
  return true;
}

void SimNode::bootUp() {
  CanFrame f;
  f.id = cob::errorControl(busId_);
  f.dlc = 1;
  emit(f);
  enter(NmtState::PreOperational);
  const std::uint64_t period = od_.u32(0x1017, 0) & 0xFFFF;
  heartbeatDueUs_ = period ? nowUs_ + period * 1000 : kNever;
}

void SimNode::enter(NmtState state) {
  if (state == state_) return;
  state_ = state;
  if (state == NmtState::Operational) pdo_.restart();  // event-driven PDOs go out once on entry
  if (state == NmtState::Stopped) sdo_.reset();
  dirty_ = true;
  for (auto& b : behaviours_) b->nmtChanged(*this, state);
}

void SimNode::handleNmt(const CanFrame& frame) {
  if (frame.dlc < 2) return;
  if (frame.data[1] != 0 && frame.data[1] != busId_) return;
  switch (frame.data[0]) {
    case nmt::kStart: enter(NmtState::Operational); break;
    case nmt::kStop: enter(NmtState::Stopped); break;
    case nmt::kEnterPreOperational: enter(NmtState::PreOperational); break;
    case nmt::kResetNode: reset(ResetKind::Node); bootUp(); break;
    case nmt::kResetCommunication: reset(ResetKind::Communication); bootUp(); break;
    default: break;  // unknown commands are not answered
  }
}

// --- frames and time ----------------------------------------------------------

void SimNode::receive(const CanFrame& frame, std::uint64_t nowUs) {
  nowUs_ = nowUs;
  if (!powered_ || frame.error) return;
  for (auto& b : behaviours_) {
    if (b->receive(*this, frame, nowUs)) return poll(nowUs);
  }
  if (frame.extended) return;
  const std::uint32_t id = frame.id;
  if (id == cob::kNmt && !frame.remote) {
    handleNmt(frame);
  } else if (frame.remote) {
    if (id == cob::errorControl(busId_)) {
      answerGuarding();
    } else if (state_ == NmtState::Operational) {
      bool lengthError = false;
      pdo_.onFrame(frame, od_, nowUs, [this](const CanFrame& f) { emit(f); }, {}, lengthError);
    }
  } else if (state_ == NmtState::PreOperational || state_ == NmtState::Operational) {
    if (id == (od_.u32(0x1005, 0, cob::kSync) & cob::kId11Mask)) {
      onSync();
    } else if (id == cob::sdoRequest(busId_)) {
      std::uint8_t answer[8];
      if (sdo_.handle(frame.data, frame.dlc, nowUs, answer)) emitAnswer(sdoFrame(answer));
    } else if (state_ == NmtState::Operational) {
      bool lengthError = false;
      pdo_.onFrame(frame, od_, nowUs, [this](const CanFrame& f) { emit(f); },
                   [this](std::uint16_t i, std::uint8_t s, const Bytes& v) { busWrite(i, s, v); }, lengthError);
      if (lengthError) raiseEmergency(0x8210, nowUs);  // PDO not processed: length error
    }
  }
  poll(nowUs);
}

void SimNode::onSync() {
  if (state_ != NmtState::Operational) return;
  pdo_.onSync(od_, nowUs_, [this](const CanFrame& f) { emit(f); },
              [this](std::uint16_t i, std::uint8_t s, const Bytes& v) { busWrite(i, s, v); });
  for (auto& b : behaviours_) b->sync(*this, nowUs_);
}

void SimNode::answerGuarding() {
  if (state_ == NmtState::Initialising) return;
  CanFrame f;
  f.id = cob::errorControl(busId_);
  f.dlc = 1;
  f.data[0] = nmt::encodeErrorControl(std::uint8_t(state_), guardToggle_);
  guardToggle_ ^= 1;
  emitAnswer(f);
  const std::uint64_t lifeMs = std::uint64_t(od_.u32(0x100C, 0) & 0xFFFF) * (od_.u32(0x100D, 0) & 0xFF);
  lifeDueUs_ = lifeMs ? nowUs_ + lifeMs * 1000 : kNever;
  lifeGuardingLost_ = false;
}

void SimNode::checkLifeGuarding() {
  if (nowUs_ < lifeDueUs_) return;
  lifeDueUs_ = kNever;
  lifeGuardingLost_ = true;
  raiseEmergency(0x8130, nowUs_);  // life guard error: the master stopped guarding us
}

void SimNode::pollBehaviours() {
  for (std::size_t i = 0; i < behaviours_.size(); ++i) {
    if (behaviourDue_[i] <= nowUs_) behaviourDue_[i] = behaviours_[i]->tick(*this, nowUs_);
  }
}

void SimNode::poll(std::uint64_t nowUs) {
  nowUs_ = nowUs;
  if (!powered_) return;
  while (!delayed_.empty() && delayed_.front().first <= nowUs) {
    CanFrame f = delayed_.front().second;
    delayed_.pop_front();
    emit(f);
  }
  std::uint8_t answer[8];
  if (sdo_.poll(nowUs, answer)) emit(sdoFrame(answer));
  if (heartbeatDueUs_ <= nowUs) {
    CanFrame f;
    f.id = cob::errorControl(busId_);
    f.dlc = 1;
    f.data[0] = nmt::encodeErrorControl(std::uint8_t(state_), false);
    emit(f);
    const std::uint64_t period = std::uint64_t(od_.u32(0x1017, 0) & 0xFFFF) * 1000;
    heartbeatDueUs_ = period ? std::max(heartbeatDueUs_ + period, nowUs + 1) : kNever;
  }
  checkLifeGuarding();
  if (inputsDueUs_ <= nowUs) settleInputs();
  pollBehaviours();
  // Transmit PDOs look at the dictionary only when it changed or one is due:
  // most received frames (other nodes' traffic) change nothing here.
  if (state_ == NmtState::Operational && (dirty_ || pdo_.deadlineUs() <= nowUs))
    pdo_.poll(od_, nowUs, [this](const CanFrame& f) { emit(f); });
  dirty_ = false;
}

std::uint64_t SimNode::nextDeadlineUs() const {
  if (!powered_) return kNever;
  if (dirty_) return nowUs_;
  std::uint64_t due = std::min({sdo_.deadlineUs(), heartbeatDueUs_, lifeDueUs_, inputsDueUs_});
  if (!delayed_.empty()) due = std::min(due, delayed_.front().first);
  for (std::uint64_t d : behaviourDue_) due = std::min(due, d);
  if (state_ == NmtState::Operational) due = std::min(due, pdo_.deadlineUs());
  return due;
}

void SimNode::emit(const CanFrame& frame) {
  if (!powered_ || silent_ || !sink_) return;
  sink_(frame);
}

void SimNode::emitAnswer(const CanFrame& frame) {
  if (answerDelayUs_ == 0) return emit(frame);
  delayed_.emplace_back(nowUs_ + answerDelayUs_, frame);
}

CanFrame SimNode::sdoFrame(const std::uint8_t data[8]) const {
  CanFrame f;
  f.id = cob::sdoAnswer(busId_);
  f.dlc = 8;
  std::copy_n(data, 8, f.data);
  return f;
}

// --- emergencies and inputs ---------------------------------------------------

void SimNode::raiseEmergency(std::uint16_t code, std::uint64_t nowUs, std::uint16_t info) {
  nowUs_ = nowUs;
  std::uint8_t reg = 0;
  if (code != 0) {
    reg = std::uint8_t(od_.u32(0x1001, 0) | canopen::emcy::kGenericError | canopen::emcy::registerBitOf(code));
    od_.setNumber(0x603F, 0, code);
    // Newest entry first; the oldest falls off when the history is full.
    std::uint8_t capacity = 0;
    while (capacity < 0xFE && od_.find(0x1003, std::uint8_t(capacity + 1))) ++capacity;
    if (capacity > 0) {
      const std::uint8_t count = std::uint8_t(std::min<std::uint32_t>(od_.u32(0x1003, 0), capacity));
      const std::uint8_t newCount = std::uint8_t(std::min<int>(count + 1, capacity));
      for (std::uint8_t i = newCount; i > 1; --i) od_.setNumber(0x1003, i, od_.u32(0x1003, std::uint8_t(i - 1)));
      od_.setNumber(0x1003, 1, std::uint32_t(code) | std::uint32_t(info) << 16);
      od_.setNumber(0x1003, 0, newCount);
    }
  }
  od_.setNumber(0x1001, 0, reg);
  dirty_ = true;
  const std::uint32_t cobId = od_.u32(0x1014, 0, cob::emcy(busId_));
  if ((cobId & kInvalid) || (state_ != NmtState::PreOperational && state_ != NmtState::Operational)) return;
  CanFrame f;
  f.id = cobId & cob::kId11Mask;
  f.dlc = 8;
  f.data[0] = std::uint8_t(code);
  f.data[1] = std::uint8_t(code >> 8);
  f.data[2] = reg;
  f.data[3] = std::uint8_t(info);
  f.data[4] = std::uint8_t(info >> 8);
  emit(f);
}

bool SimNode::setDigitalInputs(std::uint32_t bits, std::uint64_t nowUs) {
  nowUs_ = nowUs;
  if (!od_.find(0x60FD, 0)) return false;
  for (unsigned b = 0; b < 32; ++b) {
    if ((bits ^ inputs_) >> b & 1u) inputChangedUs_[b] = nowUs;
  }
  inputs_ = bits;
  inputsSet_ = true;
  settleInputs();
  return true;
}

void SimNode::setSwitchInputs(std::uint32_t bits, std::uint64_t nowUs) {
  nowUs_ = nowUs;
  if (!od_.find(0x60FD, 0)) return;
  switchInputs_ = bits;
  inputsSet_ = true;
  publishInputs();
}

void SimNode::settleInputs() {
  // Each input has its own debounce: a contact that bounces holds back only itself.
  const std::uint64_t debounceUs = std::uint64_t(od_.u32(0x2008, 0)) * 1000;
  inputsDueUs_ = kNever;
  for (unsigned b = 0; b < 32; ++b) {
    const std::uint32_t bit = 1u << b;
    if (!((inputs_ ^ settledInputs_) & bit)) continue;
    const std::uint64_t stableAt = inputChangedUs_[b] + debounceUs;
    if (stableAt <= nowUs_) settledInputs_ ^= bit;
    else inputsDueUs_ = std::min(inputsDueUs_, stableAt);
  }
  publishInputs();
}

void SimNode::publishInputs() {
  const std::uint32_t value = settledInputs_ | switchInputs_;
  if (od_.u32(0x60FD, 0) == value) return;
  od_.setNumber(0x60FD, 0, value);
  dirty_ = true;
}

void SimNode::triggerPdos(std::uint16_t index, std::uint8_t sub) {
  pdo_.trigger(index, sub);
  dirty_ = true;
}

// --- object access ------------------------------------------------------------

std::uint32_t SimNode::readObject(std::uint16_t index, std::uint8_t sub, Bytes& value) const {
  const OdEntry* e = od_.find(index, sub);
  if (!e) return od_.hasObject(index) ? sdo_abort::kNoSubIndex : sdo_abort::kNoObject;
  value = e->value;
  return 0;
}

std::uint32_t SimNode::writeObject(std::uint16_t index, std::uint8_t sub, const Bytes& value) {
  OdEntry* e = od_.find(index, sub);
  if (!e) return od_.hasObject(index) ? sdo_abort::kNoSubIndex : sdo_abort::kNoObject;
  if (e->size() && value.size() != e->size())
    return value.size() > e->size() ? sdo_abort::kTooLong : sdo_abort::kTooShort;
  if (!e->size() && value.size() > kMaxStringBytes) return sdo_abort::kTooLong;
  if (std::uint32_t code = checkValue(*e, value)) return code;
  e->value = value;
  dirty_ = true;
  if (PdoEngine::isPdoParameter(index)) pdo_.configure(od_);
  if (index == 0x1017) {
    const std::uint64_t period = od_.u32(0x1017, 0) & 0xFFFF;
    heartbeatDueUs_ = period && powered_ ? nowUs_ + period * 1000 : kNever;
  }
  return 0;
}

std::uint32_t SimNode::checkValue(const OdEntry& e, const Bytes& value) const {
  if (e.isString()) return 0;
  const std::int64_t v = decodeNumber(e.dataType, value);
  if (e.dataType == kTypeBool && v > 1) return sdo_abort::kRange;
  if ((e.lowLimit && v < *e.lowLimit) || (e.highLimit && v > *e.highLimit)) return sdo_abort::kRange;
  return 0;
}

std::uint32_t SimNode::sdoRead(std::uint16_t index, std::uint8_t sub, Bytes& value, bool& segmented) {
  const OdEntry* e = od_.find(index, sub);
  if (!e) return od_.hasObject(index) ? sdo_abort::kNoSubIndex : sdo_abort::kNoObject;
  if (!e->readable()) return sdo_abort::kWriteOnly;
  value = e->value;
  segmented = e->isString();
  return 0;
}

std::uint32_t SimNode::sdoCheckWrite(std::uint16_t index, std::uint8_t sub, std::size_t& fixedSize,
                                     std::size_t& maxSize) {
  const OdEntry* e = od_.find(index, sub);
  if (!e) return od_.hasObject(index) ? sdo_abort::kNoSubIndex : sdo_abort::kNoObject;
  if (!e->writable()) return sdo_abort::kReadOnly;
  fixedSize = e->size();
  maxSize = fixedSize ? fixedSize : kMaxStringBytes;
  return 0;
}

std::uint32_t SimNode::sdoWrite(std::uint16_t index, std::uint8_t sub, const Bytes& value) {
  return busWrite(index, sub, value);
}

std::uint32_t SimNode::busWrite(std::uint16_t index, std::uint8_t sub, const Bytes& value) {
  OdEntry* e = od_.find(index, sub);
  if (!e) return sdo_abort::kNoObject;
  if (std::uint32_t code = checkValue(*e, value)) return code;
  if ((index == 0x1010 || index == 0x1011) && sub >= 1) return storeOrRestore(index, sub, value);
  const std::int64_t number = decodeNumber(e->dataType, value);
  std::uint32_t code = 0;
  if (index == 0x1003) code = sub == 0 ? writeErrorHistory(value) : sdo_abort::kReadOnly;
  else if (PdoEngine::isPdoParameter(index)) code = pdo_.checkWrite(od_, index, sub, number);
  else if (index == 0x1014 || index == 0x1005) code = checkCobIdChange(index, std::uint32_t(number));
  for (std::size_t i = 0; i < behaviours_.size() && code == 0; ++i) code = behaviours_[i]->checkWrite(*this, index, sub, value);
  if (code) return code;
  if (index != 0x1003) writeObject(index, sub, value);
  for (auto& b : behaviours_) b->written(*this, index, sub, nowUs_);
  return 0;
}

std::uint32_t SimNode::writeErrorHistory(const Bytes& value) {
  // Only "0 entries" may be written, and it empties the history.
  if (decodeNumber(kTypeU8, value) != 0) return sdo_abort::kRange;
  for (std::uint8_t sub = 1; od_.find(0x1003, sub) && sub < 0xFF; ++sub) od_.setNumber(0x1003, sub, 0);
  od_.setNumber(0x1003, 0, 0);
  dirty_ = true;
  return 0;
}

std::uint32_t SimNode::checkCobIdChange(std::uint16_t index, std::uint32_t value) const {
  if (index == 0x1005) {
    // This node consumes SYNC; it cannot become the producer.
    // (bit 30 here means "produces SYNC")
    return (value & (cob::kNoRtr | kExtended)) || (value & cob::kId29Mask) > cob::kId11Mask ? sdo_abort::kRange : 0;
  }
  const std::uint32_t current = od_.u32(0x1014, 0, cob::emcy(busId_));
  if (value & kExtended) return sdo_abort::kRange;
  if (value & kInvalid) return 0;
  if ((value & cob::kId29Mask) > cob::kId11Mask) return sdo_abort::kRange;
  // As with PDOs, the identifier changes only while the object is invalid.
  return !(current & kInvalid) && (current & cob::kId29Mask) != (value & cob::kId29Mask) ? sdo_abort::kRange : 0;
}

// --- store and restore --------------------------------------------------------

bool SimNode::inStoreRange(std::uint8_t storeSub, std::uint16_t index) {
  switch (storeSub) {
    case 2: return index >= 0x1000 && index <= 0x1FFF;  // communication parameters
    case 3: return index >= 0x6000 && index <= 0x9FFF;  // standardised application parameters
    case 4: return index >= 0x2000 && index <= 0x5FFF;  // manufacturer parameters
    default: return true;                               // 1 (and beyond): all parameters
  }
}

std::uint32_t SimNode::storeOrRestore(std::uint16_t index, std::uint8_t sub, const Bytes& value) {
  const bool save = index == 0x1010;
  if (value.size() != 4 || le32(value) != (save ? kSaveSignature : kLoadSignature)) return sdo_abort::kStore;
  auto previous = stored_;
  for (auto it = stored_.begin(); it != stored_.end();) {
    it = inStoreRange(sub, std::uint16_t(it->first >> 8)) ? stored_.erase(it) : std::next(it);
  }
  if (save) {
    for (const auto& [key, e] : od_.entries()) {
      if (!inStoreRange(sub, e.index) || !e.writable() || volatileObject(e.index)) continue;
      // A COB-ID still at its "$NODEID" default is kept as such: it follows a
      // later change of the node ID instead of pinning the old one.
      if (e.nodeIdRelative && e.value == e.defaultValue) continue;
      if (std::any_of(behaviours_.begin(), behaviours_.end(),
                      [&](const auto& b) { return !b->persistent(e.index, e.subIndex); }))
        continue;
      stored_[key] = e.value;
    }
  }
  // Restored defaults take effect at the next reset, as CiA 301 specifies.
  std::string error;
  if (!saveStored(error)) {
    stored_ = std::move(previous);
    std::fprintf(stderr, "kestrum-sim: node %u: %s\n", unsigned(config_.nodeId), error.c_str());
    return sdo_abort::kStore;
  }
  return 0;
}

void SimNode::loadStored() {
  if (config_.statePath.empty()) return;  // values live in memory only
  stored_.clear();
  std::ifstream in(config_.statePath);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string index, sub, hex;
    fields >> index >> sub >> hex;
    auto i = parseEdsNumber("0x" + index, 0);
    auto s = parseEdsNumber("0x" + sub, 0);
    if (!i || !s || *i < 0 || *i > 0xFFFF || *s < 0 || *s > 0xFF) continue;
    if (hex == "-") hex.clear();  // an empty string value
    Bytes value;
    bool ok = hex.size() % 2 == 0;
    for (std::size_t p = 0; ok && p < hex.size(); p += 2) {
      auto b = parseEdsNumber("0x" + hex.substr(p, 2), 0);
      ok = b.has_value();
      if (ok) value.push_back(std::uint8_t(*b));
    }
    if (ok) stored_[ObjectDictionary::key(std::uint16_t(*i), std::uint8_t(*s))] = value;
  }
}

bool SimNode::saveStored(std::string& error) const {
  if (config_.statePath.empty()) return true;
  namespace fs = std::filesystem;
  const fs::path path(config_.statePath);
  std::error_code ec;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  std::string text = "# stored parameters of node " + std::to_string(config_.nodeId) + " (" + config_.model +
                     "): index sub-index value bytes\n";
  char buf[16];
  for (const auto& [key, value] : stored_) {
    std::snprintf(buf, sizeof buf, "%04X %02X ", unsigned(key >> 8), unsigned(key & 0xFF));
    text += buf;
    if (value.empty()) text += '-';
    for (std::uint8_t b : value) {
      std::snprintf(buf, sizeof buf, "%02X", b);
      text += buf;
    }
    text += '\n';
  }
  // A crash or a full disk leaves the previously stored parameters.
  if (!transport::writeFileAtomically(path.string(), text, error)) return false;
  return true;
}

}  // namespace kestrum::sim
