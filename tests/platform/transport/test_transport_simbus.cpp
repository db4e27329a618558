#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>

#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"
#include "transport/SocketcandTransport.h"

using namespace kestrum::transport;
using kestrum::sim::SocketcandServer;
using kestrum::sim::VirtualBus;

namespace {

struct SimBus {
  VirtualBus bus;
  SocketcandServer server{bus};
  SimBus() {
    std::string error;
    EXPECT_TRUE(server.start("127.0.0.1", 0, error)) << error;
  }
  std::unique_ptr<SocketcandTransport> client() {
    auto t = std::make_unique<SocketcandTransport>("127.0.0.1", server.port(), "can0");
    std::string error;
    EXPECT_TRUE(t->open(error)) << error;
    return t;
  }
};

}  // namespace

TEST(SocketcandTransportOnVirtualBus, FramesReachOtherClientsButNotTheSender) {
  SimBus sim;
  auto a = sim.client();
  auto b = sim.client();
  ASSERT_TRUE(a->remoteFramesSupported());

  CanFrame f;
  f.id = 0x601;
  f.dlc = 8;
  for (int i = 0; i < 8; ++i) f.data[i] = static_cast<std::uint8_t>(0xA0 + i);
  std::string error;
  ASSERT_TRUE(a->send(f, error)) << error;
  CanFrame got;
  ASSERT_EQ(b->read(got, 2000), ReadStatus::Frame);
  EXPECT_EQ(got.id, 0x601u);
  EXPECT_EQ(got.dlc, 8);
  EXPECT_EQ(0, std::memcmp(got.data, f.data, 8));
  EXPECT_EQ(a->read(got, 100), ReadStatus::Timeout);

  CanFrame guard;
  guard.id = 0x705;
  guard.remote = true;
  guard.dlc = 1;
  ASSERT_TRUE(b->send(guard, error)) << error;
  ASSERT_EQ(a->read(got, 2000), ReadStatus::Frame);
  EXPECT_TRUE(got.remote);
  EXPECT_EQ(got.id, 0x705u);
  EXPECT_EQ(got.dlc, 1);

  CanFrame ext;
  ext.id = 0x18FF0001;
  ext.extended = true;
  ASSERT_TRUE(a->send(ext, error)) << error;
  ASSERT_EQ(b->read(got, 2000), ReadStatus::Frame);
  EXPECT_TRUE(got.extended);
  EXPECT_EQ(got.id, 0x18FF0001u);
  EXPECT_EQ(got.dlc, 0);
}

TEST(SocketcandTransportOnVirtualBus, ServerStopEndsTheConnection) {
  SimBus sim;
  auto a = sim.client();
  sim.server.stop();
  CanFrame got;
  EXPECT_EQ(a->read(got, 3000), ReadStatus::Failed);
  EXPECT_NE(a->lastError().find("lost"), std::string::npos) << a->lastError();
}
