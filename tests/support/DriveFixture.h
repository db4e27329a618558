#pragma once
// A simulated node with its CiA 402 drive, driven through SDO as a client
// drives it, on the simulated clock of NodeFixture.
#include <gtest/gtest.h>

#include "NodeFixture.h"
#include "canopen/Cia402.h"
#include "node/Drive402.h"

namespace kestrum::sim::test {

class DriveFixture : public NodeFixture {
 protected:
  void SetUp() override {}

  /// A node of `model` from `edsPath` with a drive, powered and settled.
  void makeDrive(const std::string& model, const std::string& edsPath) {
    std::string error;
    node = SimNode::fromEds(SimNode::Config{kId, model, ""}, edsPath, error);
    ASSERT_TRUE(node) << error;
    node->setSink([this](const CanFrame& f) { out.push_back(f); });
    auto behaviour = std::make_unique<Drive402>();
    drive = behaviour.get();
    node->addBehaviour(std::move(behaviour));
    node->setPowered(true, now);
    advanceMs(1);
  }

  std::uint16_t statusword() { return std::uint16_t(upload(0x6041, 0)); }
  canopen::cia402::PowerState state() { return canopen::cia402::stateOf(statusword()); }
  void control(std::uint16_t cw) { ASSERT_EQ(download(0x6040, 0, cw, 2), 0u); }
  void set(std::uint16_t index, std::int64_t v, int size = 4, std::uint8_t sub = 0) {
    ASSERT_EQ(download(index, sub, std::uint32_t(v), size), 0u) << std::hex << index << ":" << int(sub);
  }
  void enable() {
    control(0x06);
    control(0x07);
    control(0x0F);
    ASSERT_EQ(state(), canopen::cia402::PowerState::OperationEnabled);
  }
  std::int32_t position() { return std::int32_t(upload(0x6064, 0)); }
  std::int32_t velocity() { return std::int32_t(upload(0x606C, 0)); }
  /// Steps 1 ms at a time until the statusword has `bits`; the time it took, or -1.
  long waitFor(std::uint16_t bits, long limitMs) {
    for (long ms = 0; ms <= limitMs; ++ms) {
      if ((statusword() & bits) == bits) return ms;
      advanceMs(1);
    }
    return -1;
  }
  /// A profile position set-point with the full handshake.
  void setPoint(std::int32_t target, std::uint16_t extra = 0) {
    set(0x607A, target);
    control(0x1F | extra);
    EXPECT_TRUE(statusword() & canopen::cia402::sw::kSetPointAcknowledge);
    control(0x0F | extra);
    EXPECT_FALSE(statusword() & canopen::cia402::sw::kSetPointAcknowledge);
  }
  void profile(std::uint32_t velocity, std::uint32_t accel, std::uint32_t decel) {
    set(0x6081, velocity);
    set(0x6083, accel);
    set(0x6084, decel);
  }

  Drive402* drive = nullptr;
};

}  // namespace kestrum::sim::test
