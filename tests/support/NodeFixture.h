#pragma once
// Drives one SimNode with frames and a simulated clock, collecting what it sends.
#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "SimFrames.h"
#include "Wait.h"
#include "node/SimNode.h"

namespace kestrum::sim::test {

inline std::string testDataDir() { return KESTRUM_NODE_TEST_DIR; }
inline std::string testEds() { return testDataDir() + "/XML/EDS_Testo.xml"; }

class NodeFixture : public ::testing::Test {
 protected:
  static constexpr std::uint8_t kId = 5;

  void SetUp() override { make(); }

  void make(std::string statePath = "") {
    std::string error;
    SimNode::Config config{kId, "Testo", std::move(statePath)};
    node = SimNode::fromEds(config, testEds(), error);
    ASSERT_TRUE(node) << error;
    node->setSink([this](const CanFrame& f) { out.push_back(f); });
    node->setPowered(true, now);
  }

  void send(std::uint32_t id, std::initializer_list<std::uint8_t> data) { node->receive(frame(id, data), now); }
  void remote(std::uint32_t id) {
    CanFrame f;
    f.id = id;
    f.remote = true;
    node->receive(f, now);
  }
  void nmt(std::uint8_t command, std::uint8_t target = kId) { send(0, {command, target}); }

  /// Lets simulated time pass, polling the node at each deadline.
  void advanceMs(std::uint64_t ms) {
    const std::uint64_t target = now + ms * 1000;
    for (std::uint64_t due = node->nextDeadlineUs(); due <= target; due = node->nextDeadlineUs()) {
      now = std::max(now, due);
      node->poll(now);
    }
    now = target;
  }

  std::vector<CanFrame> framesWithId(std::uint32_t id) const {
    std::vector<CanFrame> r;
    for (const CanFrame& f : out)
      if (f.id == id) r.push_back(f);
    return r;
  }

  /// One SDO request; expects exactly one 8-byte answer and returns its data.
  std::array<std::uint8_t, 8> sdo(std::initializer_list<std::uint8_t> request) {
    out.clear();
    send(0x600 + kId, request);
    std::array<std::uint8_t, 8> a{};
    const auto answers = framesWithId(0x580 + kId);  // PDOs the request set off may come with it
    EXPECT_EQ(answers.size(), 1u);
    if (answers.size() != 1) return a;
    EXPECT_EQ(answers[0].dlc, 8);
    std::copy(answers[0].data, answers[0].data + 8, a.begin());
    return a;
  }
  static std::uint32_t le32(const std::array<std::uint8_t, 8>& a, int at = 4) {
    return a[at] | a[at + 1] << 8 | a[at + 2] << 16 | std::uint32_t(a[at + 3]) << 24;
  }
  static std::uint32_t le32(const CanFrame& f) {
    return f.data[4] | f.data[5] << 8 | f.data[6] << 16 | std::uint32_t(f.data[7]) << 24;
  }
  /// Expedited upload: the value, or the abort code when the node aborted.
  std::uint32_t upload(std::uint16_t index, std::uint8_t sub, bool* aborted = nullptr) {
    auto a = sdo({0x40, std::uint8_t(index), std::uint8_t(index >> 8), sub, 0, 0, 0, 0});
    if (aborted) *aborted = a[0] == 0x80;
    return le32(a);
  }
  /// Expedited download of `size` bytes: 0 on success, else the abort code.
  std::uint32_t download(std::uint16_t index, std::uint8_t sub, std::uint32_t value, int size = 4) {
    auto a = sdo({std::uint8_t(0x23 | (4 - size) << 2), std::uint8_t(index), std::uint8_t(index >> 8), sub,
                  std::uint8_t(value), std::uint8_t(value >> 8), std::uint8_t(value >> 16),
                  std::uint8_t(value >> 24)});
    if (a[0] == 0x60) return 0;
    EXPECT_EQ(a[0], 0x80);
    return le32(a);
  }
  std::int64_t value(std::uint16_t index, std::uint8_t sub) { return node->dictionary().number(index, sub).value_or(-1); }

  std::uint64_t now = 1000000;
  std::vector<CanFrame> out;
  std::unique_ptr<SimNode> node;
};

}  // namespace kestrum::sim::test
