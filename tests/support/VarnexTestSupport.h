#pragma once
// What the Varnex tests share: scripted CANopen nodes (ScriptedNode.h) on
// in-process virtual buses served over socketcand, and libVarnex.so loaded
// from the application folder with dlopen and bound by name, as the
// application does.
//
// Per process: two buses A and B (KESTRUM_BUS lists A first, so A is PEAK
// channel 0x51 and the first IXXAT device, B is 0x52 and the last one), a
// private state folder for the transmit-error file, and the library with its
// message boxes and callbacks routed into recorders here. The library's state
// is created when it loads, so all of this is set up before the dlopen.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "ScriptedNode.h"
#include "VarnexApi.h"
#include "VarnexStatus.h"
#include "Wait.h"
#include "bus/SocketcandServer.h"

namespace varnex_test {

using kestrum::sim::CanFrame;
using kestrum::sim::SocketcandServer;
using kestrum::sim::VirtualBus;
using kestrum::sim::test::bytesOf;
using kestrum::sim::test::frame;
using kestrum::test::eventually;
using Node = kestrum::sim::test::ScriptedNode;
using namespace std::chrono_literals;

// Every function of the C interface, bound by name into Api.
#define VARNEX_FUNCTIONS(X)                                                                              \
  X(init_can) X(terminate_can) X(select_node) X(set_timeout) X(get_timeout) X(send_SDO) X(recv_SDO)       \
  X(send_PDO) X(send_nmt) X(get_version) X(get_device_id) X(setRecvCallback) X(setErrorCallback)         \
  X(setGetAllCallback) X(getPeakDevices) X(getIXXATDevices) X(start_Bootloader) X(stop_Bootloader)       \
  X(flash_firmware) X(flash_firmware_parsed) X(waitBootup)

struct Api {
  void* handle = nullptr;
#define VARNEX_FIELD(name) PFN_##name name = nullptr;
  VARNEX_FUNCTIONS(VARNEX_FIELD)
#undef VARNEX_FIELD

  /// A C++ member of the library's exported classes, by its symbol.
  template <typename T>
  T* symbol(const char* mangled) const {
    return static_cast<T*>(dlsym(handle, mangled));
  }
};

struct Box {
  std::string caption, text;
  int icon;
};

/// A frame as the all-frames callback reported it.
struct Reported {
  std::uint8_t data[8];
  std::uint32_t time;
  std::uint16_t id;
  std::uint8_t dlc;
  bool transmitted;
};

/// Everything the library reported to the test: boxes and callbacks.
class Recorder {
 public:
  static Recorder& instance() {
    static Recorder r;
    return r;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex);
    state_ = {};
  }
  std::vector<Box> boxesSeen() { return snapshot().boxes; }
  std::vector<Reported> allSeen() { return snapshot().all; }
  std::vector<std::uint16_t> receivedIds() { return snapshot().received; }
  std::vector<std::uint16_t> errorIds() { return snapshot().errors; }

  static void onBox(const char* caption, const char* text, int icon) {
    record([&](State& s) { s.boxes.push_back({caption, text, icon}); });
  }
  static void onAll(std::uint8_t* data, std::uint32_t& time, std::uint16_t& id, std::uint8_t& dlc, bool& tx) {
    Reported rep{{}, time, id, dlc, tx};
    std::memcpy(rep.data, data, 8);
    record([&](State& s) { s.all.push_back(rep); });
  }
  static void onReceived(std::uint8_t*, std::uint32_t&, std::uint16_t& id, std::uint8_t&) {
    record([&](State& s) { s.received.push_back(id); });
  }
  static void onError(std::uint8_t*, std::uint32_t&, std::uint16_t& id, std::uint8_t&) {
    record([&](State& s) { s.errors.push_back(id); });
  }

 private:
  struct State {
    std::vector<Box> boxes;
    std::vector<Reported> all;
    std::vector<std::uint16_t> received, errors;
  };
  State snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return state_;
  }
  template <typename F>
  static void record(F change) {
    Recorder& r = instance();
    std::lock_guard<std::mutex> lock(r.mutex);
    change(r.state_);
  }
  std::mutex mutex;
  State state_;
};

struct World {
  VirtualBus busA, busB;
  SocketcandServer serverA{busA}, serverB{busB};
  std::string stateDir;
  Api api;
};

/// The process's buses and loaded library; never torn down (the library,
/// like a driver, stays loaded until the process ends).
inline World& world() {
  static World* w = [] {
    auto* w = new World;
    std::string error;
    if (!w->serverA.start("127.0.0.1", 0, error) || !w->serverB.start("127.0.0.1", 0, error))
      ADD_FAILURE() << "virtual bus server: " << error;
    const std::string buses = w->serverA.entry() + "," + w->serverB.entry();
    setenv("KESTRUM_BUS", buses.c_str(), 1);
    char stateTemplate[] = "/tmp/varnex-state-XXXXXX";
    w->stateDir = mkdtemp(stateTemplate);
    setenv("XDG_STATE_HOME", w->stateDir.c_str(), 1);

    Api& a = w->api;
    a.handle = dlopen("./libVarnex.so", RTLD_NOW | RTLD_LOCAL);
    if (!a.handle) {
      ADD_FAILURE() << dlerror();
      return w;
    }
#define VARNEX_BIND(name) a.name = reinterpret_cast<PFN_##name>(dlsym(a.handle, #name));
    VARNEX_FUNCTIONS(VARNEX_BIND)
#undef VARNEX_BIND
    if (auto* hook = a.symbol<std::atomic<VarnexBoxHook>>(VarnexStatus::kBoxHookSymbol))
      hook->store(&Recorder::onBox);
    else
      ADD_FAILURE() << "box hook not exported";
    return w;
  }();
  return *w;
}

/// A test of the C interface: the process's library, callbacks detached and
/// the adapter closed after each test.
class VarnexInterface : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(api.init_can, nullptr) << "libVarnex.so not loaded";
    Recorder::instance().clear();
    api.set_timeout(100);
  }
  void TearDown() override {
    api.setGetAllCallback(nullptr);
    api.setRecvCallback(nullptr);
    api.setErrorCallback(nullptr);
    api.terminate_can();
  }
  /// IXXAT with the automatic device choice: the last device, bus B.
  bool openIxxat(int node) { return api.init_can(node, 1000, -1, -1, true, 0, nullptr); }

  World& w = world();
  Api& api = w.api;
  Recorder& recorder = Recorder::instance();
};

}  // namespace varnex_test
