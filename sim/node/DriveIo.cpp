#include "DriveIo.h"

#include <cstdlib>

#include "canopen/Cia402.h"

namespace kestrum::sim {
namespace {

namespace cia402 = canopen::cia402;

constexpr std::uint16_t kOutputs = 0x60FE;
constexpr std::uint16_t kAnalogInput = 0x6401;
constexpr std::uint16_t kInterruptEnable = 0x6423;
constexpr std::uint16_t kUpperLimit = 0x6424;
constexpr std::uint16_t kLowerLimit = 0x6425;
constexpr std::uint16_t kDelta = 0x6426;
constexpr std::uint16_t kNegativeDelta = 0x6427;
constexpr std::uint16_t kPositiveDelta = 0x6428;
constexpr std::uint16_t kBrakeTiming = 0x2007;

}  // namespace

bool DriveIo::fits(const SimNode& node) {
  return node.dictionary().find(kOutputs, 1) || node.dictionary().find(kAnalogInput, 1);
}

DriveIo::DriveIo(SimNode& node) : brake_(node.dictionary().hasObject(kBrakeTiming)) {
  for (unsigned ch = 1; ch < 0xFF && node.dictionary().find(kAnalogInput, std::uint8_t(ch)); ++ch) analog_.push_back(0);
  reported_ = analog_;
  // A changing analog value would otherwise send its PDOs all the time; the
  // interrupt settings decide when they go out.
  if (!analog_.empty()) node.setTriggerOnly(kAnalogInput);
}

void DriveIo::reset(SimNode& node, ResetKind /*kind*/, std::uint64_t /*nowUs*/) {
  // The dictionary went back to its defaults; the signals at the terminals did not.
  for (std::size_t i = 0; i < analog_.size(); ++i)
    node.dictionary().setNumber(kAnalogInput, std::uint8_t(i + 1), analog_[i]);
  reported_ = analog_;
  driveFirmwareOutputs(node);
  node.touched();
}

void DriveIo::written(SimNode& node, std::uint16_t index, std::uint8_t /*sub*/, std::uint64_t /*nowUs*/) {
  // Interrupts compare with the values at the moment they were switched on.
  if (index == kInterruptEnable) reported_ = analog_;
  // Any write may have switched the power stage (controlword) or overwritten the
  // firmware's outputs.
  driveFirmwareOutputs(node);
}

std::uint64_t DriveIo::tick(SimNode& node, std::uint64_t nowUs) {
  if (!brake_) return kNever;
  // The drive also changes state on its own (a fault); the brake follows
  // within a few milliseconds, as the firmware's I/O task does.
  driveFirmwareOutputs(node);
  return nowUs + 10000;
}

bool DriveIo::persistent(std::uint16_t index, std::uint8_t sub) const {
  return !(index == kOutputs && sub == 1);  // a process value; the mask is a setting
}

void DriveIo::driveFirmwareOutputs(SimNode& node) {
  ObjectDictionary& od = node.dictionary();
  if (!brake_ || !od.find(kOutputs, 1)) return;
  const bool released = od.u32(cia402::kStatusword, 0) & cia402::sw::kOperationEnabled;
  const std::uint32_t current = od.u32(kOutputs, 1);
  const std::uint32_t wanted = (current & ~firmwareOutputMask()) | (released ? 1u : 0u);
  if (wanted == current) return;
  od.setNumber(kOutputs, 1, wanted);
  node.touched();
}

std::uint32_t DriveIo::outputs(const SimNode& node) const {
  const std::uint32_t requested = node.dictionary().u32(kOutputs, 1);
  const std::uint32_t mask = node.dictionary().u32(kOutputs, 2);
  const std::uint32_t firmware = firmwareOutputMask();
  // Outputs the mask gives to the firmware stay off in the simulation (it has
  // no use for them), except those it drives itself.
  return (requested & ~mask & ~firmware) | (requested & firmware);
}

bool DriveIo::setAnalogInput(SimNode& node, unsigned channel, int value) {
  if (channel < 1 || channel > analog_.size() || value < 0 || value > kAnalogMax) return false;
  const int previous = analog_[channel - 1];
  analog_[channel - 1] = value;
  const auto sub = std::uint8_t(channel);
  node.dictionary().setNumber(kAnalogInput, sub, value);
  node.touched();
  if (node.dictionary().u32(kInterruptEnable, 0) == 1 && interrupt(node, channel, previous, value)) {
    reported_[channel - 1] = value;
    node.triggerPdos(kAnalogInput, sub);
  }
  return true;
}

bool DriveIo::interrupt(const SimNode& node, unsigned channel, int previous, int value) const {
  if (value == previous) return false;
  const ObjectDictionary& od = node.dictionary();
  const auto sub = std::uint8_t(channel);
  const std::int64_t upper = od.number(kUpperLimit, sub).value_or(kAnalogMax);
  const std::int64_t lower = od.number(kLowerLimit, sub).value_or(0);
  const std::int64_t delta = od.u32(kDelta, sub);
  const std::int64_t negative = od.u32(kNegativeDelta, sub);
  const std::int64_t positive = od.u32(kPositiveDelta, sub);
  if (!delta && !negative && !positive && upper >= kAnalogMax && lower <= 0) return true;
  const std::int64_t moved = std::int64_t(value) - reported_[channel - 1];
  return value > upper || value < lower || (delta && std::llabs(moved) >= delta) || (negative && -moved >= negative) ||
         (positive && moved >= positive);
}

// --- settings -----------------------------------------------------------------

bool DriveSettings::fits(const SimNode& node) {
  const ObjectDictionary& od = node.dictionary();
  return od.hasObject(cia402::kStatusword) || od.hasObject(0x6091) || od.hasObject(0x6092);
}

std::uint32_t DriveSettings::checkWrite(SimNode& node, std::uint16_t index, std::uint8_t sub, const Bytes& value) {
  const ObjectDictionary& od = node.dictionary();
  const OdEntry* e = od.find(index, sub);
  if (!e || e->isString()) return 0;
  // The position unit is a quotient of these: a zero on either side has no meaning.
  if ((index == 0x6091 || index == 0x6092) && (sub == 1 || sub == 2) && decodeNumber(e->dataType, value) == 0)
    return sdo_abort::kRange;
  // The maker's motor record (with its motor type) marks the firmware whose
  // motor and encoder settings are read when the power stage switches on.
  const bool motorSetting = (index == 0x2004 && sub == 7) || index == 0x2006 || index == 0x2011 || index == 0x608F ||
                            index == 0x200D || index == 0x2001;
  if (motorSetting && od.find(0x2004, 7)) {
    const std::uint32_t sw = od.u32(cia402::kStatusword, 0);
    if (sw & (cia402::sw::kSwitchedOn | cia402::sw::kOperationEnabled)) return sdo_abort::kDeviceState;
  }
  return 0;
}

}  // namespace kestrum::sim
