#pragma once
// Shared by the connector tests and the connector benchmark: one virtual bus
// per process served over socketcand on a free port, scripted CANopen nodes
// (ScriptedNode.h) on it, and the real libVarnex.so from the application
// folder (the working directory), loaded after KESTRUM_BUS points at the bus.

// The simulator's headers come before Qt's: Qt defines `emit` as a macro.
#include "ScriptedNode.h"
#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"

#include <QApplication>
#include <QDir>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "DLLLoader.h"
#include "MessageFilter.h"
#include "QtTestSupport.h"

namespace bustest {

using kestrum::sim::CanFrame;
using kestrum::sim::SocketcandServer;
using kestrum::sim::VirtualBus;
using kestrum::sim::test::frame;
using kestrum::sim::test::ScriptedNode;
using kestrum::test::processUntil;
using namespace std::chrono_literals;

/// PCAN-Basic handle of the first USB channel: the first KESTRUM_BUS entry.
constexpr int firstBusChannel = 0x51;

/// The process's application object (offscreen), bus, server and library.
/// Built once: the library reads KESTRUM_BUS when it is loaded.
struct BusWorld {
  VirtualBus bus;
  SocketcandServer server{bus};
  DLLLoader* loader = nullptr;

  static BusWorld& get() {
    static BusWorld* world = new BusWorld;  // lives as long as the library's threads
    return *world;
  }

 private:
  BusWorld() {
    application();
    std::string error;
    if (!server.start("127.0.0.1", 0, error)) throw std::runtime_error("bus server: " + error);
    setenv("KESTRUM_BUS", server.entry().c_str(), 1);
    loader = new DLLLoader(QDir::currentPath() + QStringLiteral("/libVarnex.so"));
  }

 public:
  /// A QApplication on the offscreen platform, created on first use.
  static QApplication& application() { return kestrum::test::application(); }
};

/// Records every frame the connector hands on.
class RecordingFilter : public MessageFilter {
 public:
  RecordingFilter() : previous_(install(this)) {}
  ~RecordingFilter() override { install(previous_); }
  void onFrame(const ConnectorFrame& f) override { frames.push_back(f); }
  std::vector<ConnectorFrame> frames;

 private:
  MessageFilter* previous_;
};

}  // namespace bustest
