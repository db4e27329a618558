// CiA 402 state machine tables: every power state as a statusword shows it,
// and the controlword of every transition of the state diagram.
#include <gtest/gtest.h>

#include "canopen/Cia402.h"

namespace c4 = kestrum::canopen::cia402;
using P = c4::PowerState;

namespace {

TEST(Cia402, StatuswordDecodesEveryPowerState) {
  const struct {
    std::uint16_t statusword;
    P state;
  } cases[] = {
      {0x0000, P::NotReadyToSwitchOn}, {0x0020, P::NotReadyToSwitchOn},
      {0x0040, P::SwitchOnDisabled},   {0x0260, P::SwitchOnDisabled},  // remote, quick stop bit
      {0x0021, P::ReadyToSwitchOn},    {0x0231, P::ReadyToSwitchOn},   // voltage enabled, remote
      {0x0023, P::SwitchedOn},         {0x0633, P::SwitchedOn},        // target reached
      {0x0027, P::OperationEnabled},   {0x1637, P::OperationEnabled},  // set-point acknowledge
      {0x0007, P::QuickStopActive},    {0x0017, P::QuickStopActive},
      {0x000F, P::FaultReactionActive}, {0x002F, P::FaultReactionActive},
      {0x0008, P::Fault},              {0x0218, P::Fault},
      {0x0001, P::Unknown},            {0x0061, P::Unknown},           // switch on disabled with ready
  };
  for (const auto& c : cases) EXPECT_EQ(c4::stateOf(c.statusword), c.state) << std::hex << c.statusword;
  for (P s : {P::NotReadyToSwitchOn, P::SwitchOnDisabled, P::ReadyToSwitchOn, P::SwitchedOn,
              P::OperationEnabled, P::QuickStopActive, P::FaultReactionActive, P::Fault})
    EXPECT_EQ(c4::stateOf(c4::statusBitsOf(s)), s) << c4::stateName(s);
}

TEST(Cia402, ControlwordOfEveryTransition) {
  using C = c4::Command;
  const struct {
    int transition;
    P from, to;
    std::uint16_t controlword;
    C command;  // as the drive reads the same controlword
  } diagram[] = {
      {2, P::SwitchOnDisabled, P::ReadyToSwitchOn, 0x06, C::Shutdown},
      {3, P::ReadyToSwitchOn, P::SwitchedOn, 0x07, C::SwitchOn},
      {4, P::SwitchedOn, P::OperationEnabled, 0x0F, C::EnableOperation},
      {5, P::OperationEnabled, P::SwitchedOn, 0x07, C::SwitchOn},  // disable operation
      {6, P::SwitchedOn, P::ReadyToSwitchOn, 0x06, C::Shutdown},
      {7, P::ReadyToSwitchOn, P::SwitchOnDisabled, 0x00, C::DisableVoltage},
      {8, P::OperationEnabled, P::ReadyToSwitchOn, 0x06, C::Shutdown},
      {9, P::OperationEnabled, P::SwitchOnDisabled, 0x00, C::DisableVoltage},
      {10, P::SwitchedOn, P::SwitchOnDisabled, 0x00, C::DisableVoltage},
      {11, P::OperationEnabled, P::QuickStopActive, 0x02, C::QuickStop},
      {12, P::QuickStopActive, P::SwitchOnDisabled, 0x00, C::DisableVoltage},
      {15, P::Fault, P::SwitchOnDisabled, 0x80, C::FaultReset},
  };
  for (const auto& t : diagram) {
    EXPECT_EQ(c4::nextCommand(t.from, t.to), t.controlword) << "transition " << t.transition;
    EXPECT_EQ(c4::commandOf(t.controlword), t.command) << "transition " << t.transition;
  }
  // Longer ways go one transition at a time, through switch on disabled.
  EXPECT_EQ(c4::nextCommand(P::SwitchOnDisabled, P::OperationEnabled), 0x06);
  EXPECT_EQ(c4::nextCommand(P::Fault, P::OperationEnabled), 0x80);
  EXPECT_EQ(c4::nextCommand(P::QuickStopActive, P::OperationEnabled), 0x00);
  // States no command leads out of, or into.
  EXPECT_FALSE(c4::nextCommand(P::FaultReactionActive, P::SwitchOnDisabled));
  EXPECT_FALSE(c4::nextCommand(P::NotReadyToSwitchOn, P::OperationEnabled));
  EXPECT_FALSE(c4::nextCommand(P::SwitchedOn, P::QuickStopActive));
  EXPECT_FALSE(c4::nextCommand(P::SwitchOnDisabled, P::Fault));
  EXPECT_FALSE(c4::nextCommand(P::OperationEnabled, P::OperationEnabled));
}

TEST(Cia402, ControlwordCommandsByTheirMasks) {
  using C = c4::Command;
  const struct {
    std::uint16_t controlword;
    std::uint16_t previous;
    std::optional<C> command;
  } cases[] = {
      {0x0006, 0, C::Shutdown},        {0x0106, 0, C::Shutdown},  // halt does not change the command
      {0x0007, 0, C::SwitchOn},        {0x000F, 0, C::EnableOperation},
      {0x001F, 0, C::EnableOperation}, {0x0000, 0, C::DisableVoltage},
      {0x0001, 0, C::DisableVoltage},  {0x000D, 0, C::DisableVoltage},
      {0x0002, 0, C::QuickStop},       {0x000B, 0, C::QuickStop},
      {0x0080, 0, C::FaultReset},      {0x008F, 0x000F, C::FaultReset},
      {0x0080, 0x0080, std::nullopt},  // held high: only the edge counts
  };
  for (const auto& c : cases)
    EXPECT_EQ(c4::commandOf(c.controlword, c.previous), c.command) << std::hex << c.controlword;
}

TEST(Cia402, ModeValues) {
  EXPECT_EQ(c4::mode::kProfilePosition, 1);
  EXPECT_EQ(c4::mode::kVelocity, 2);
  EXPECT_EQ(c4::mode::kProfileVelocity, 3);
  EXPECT_EQ(c4::mode::kProfileTorque, 4);
  EXPECT_EQ(c4::mode::kHoming, 6);
  EXPECT_EQ(c4::mode::kInterpolatedPosition, 7);
  EXPECT_EQ(c4::mode::kCyclicSyncTorque, 10);
  EXPECT_EQ(c4::kControlword, 0x6040);
  EXPECT_EQ(c4::kStatusword, 0x6041);
  EXPECT_EQ(c4::kModesOfOperation, 0x6060);
  EXPECT_EQ(c4::kModesDisplay, 0x6061);
}

}  // namespace
