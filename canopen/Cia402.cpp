#include "canopen/Cia402.h"

namespace kestrum::canopen::cia402 {

std::optional<Command> commandOf(std::uint16_t controlword, std::uint16_t previous) {
  if ((controlword & cw::kFaultReset) && !(previous & cw::kFaultReset)) return Command::FaultReset;
  if ((controlword & 0x82) == 0x00) return Command::DisableVoltage;
  if ((controlword & 0x86) == 0x02) return Command::QuickStop;
  if ((controlword & 0x87) == 0x06) return Command::Shutdown;
  if ((controlword & 0x8F) == 0x07) return Command::SwitchOn;
  if ((controlword & 0x8F) == 0x0F) return Command::EnableOperation;
  return std::nullopt;  // fault reset held high: no new command
}

PowerState stateOf(std::uint16_t s) {
  switch (s & 0x4F) {
    case 0x00: return PowerState::NotReadyToSwitchOn;
    case 0x40: return PowerState::SwitchOnDisabled;
    case 0x0F: return PowerState::FaultReactionActive;
    case 0x08: return PowerState::Fault;
    default: break;
  }
  switch (s & 0x6F) {
    case 0x21: return PowerState::ReadyToSwitchOn;
    case 0x23: return PowerState::SwitchedOn;
    case 0x27: return PowerState::OperationEnabled;
    case 0x07: return PowerState::QuickStopActive;
    default: return PowerState::Unknown;
  }
}

const char* stateName(PowerState state) {
  switch (state) {
    case PowerState::NotReadyToSwitchOn: return "Not ready to switch on";
    case PowerState::SwitchOnDisabled: return "Switch on disabled";
    case PowerState::ReadyToSwitchOn: return "Ready to switch on";
    case PowerState::SwitchedOn: return "Switched on";
    case PowerState::OperationEnabled: return "Operation enabled";
    case PowerState::QuickStopActive: return "Quick stop active";
    case PowerState::FaultReactionActive: return "Fault reaction active";
    case PowerState::Fault: return "Fault";
    case PowerState::Unknown: break;
  }
  return "Unknown";
}

std::uint16_t statusBitsOf(PowerState state) {
  switch (state) {
    case PowerState::NotReadyToSwitchOn: return 0x00;
    case PowerState::SwitchOnDisabled: return 0x40;
    case PowerState::ReadyToSwitchOn: return 0x31;
    case PowerState::SwitchedOn: return 0x33;
    case PowerState::OperationEnabled: return 0x37;
    case PowerState::QuickStopActive: return 0x17;
    case PowerState::FaultReactionActive: return 0x1F;
    case PowerState::Fault: return 0x18;
    case PowerState::Unknown: break;
  }
  return 0;
}

std::optional<std::uint16_t> nextCommand(PowerState from, PowerState to) {
  using P = PowerState;
  if (from == to) return std::nullopt;
  // Leaving every state but the passive ones goes through switch on disabled
  // (disable voltage); fault needs its reset first.
  switch (to) {
    case P::SwitchOnDisabled:
      switch (from) {
        case P::Fault: return cw::kFaultResetCommand;                         // 15
        case P::ReadyToSwitchOn: case P::SwitchedOn: case P::OperationEnabled:
        case P::QuickStopActive: return cw::kDisableVoltage;                  // 7, 10, 9, 12
        default: return std::nullopt;
      }
    case P::ReadyToSwitchOn:
      switch (from) {
        case P::SwitchOnDisabled: case P::SwitchedOn: case P::OperationEnabled:
          return cw::kShutdown;                                               // 2, 6, 8
        default: return nextCommand(from, P::SwitchOnDisabled);
      }
    case P::SwitchedOn:
      switch (from) {
        case P::ReadyToSwitchOn: return cw::kSwitchOnCommand;                 // 3
        case P::OperationEnabled: return cw::kDisableOperation;               // 5
        default: return nextCommand(from, P::ReadyToSwitchOn);
      }
    case P::OperationEnabled:
      switch (from) {
        case P::SwitchedOn: return cw::kEnableOperationCommand;               // 4
        default: return nextCommand(from, P::SwitchedOn);
      }
    case P::QuickStopActive:
      return from == P::OperationEnabled ? std::optional<std::uint16_t>(cw::kQuickStopCommand)  // 11
                                         : std::nullopt;
    default:
      return std::nullopt;
  }
}

}  // namespace kestrum::canopen::cia402
