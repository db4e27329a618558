#pragma once
// What the main window benchmarks share: a paced virtual bus with one
// simulated controller that the library reaches through KESTRUM_BUS, and a
// wait that runs the event loop.

#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"
#include "node/NodeHost.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

namespace kestrum::bench {

/// Runs the event loop until `done` holds or `limit` passes; false on time-out.
template <typename Pred>
bool processUntil(Pred done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
  }
  return true;
}

/// Bus, server and node 1, started before the library is loaded (it reads
/// KESTRUM_BUS when it loads).
struct SimulatedSetup {
  sim::VirtualBus bus;
  sim::SocketcandServer server{bus};
  QTemporaryDir state;
  sim::NodeHost host{bus, QDir::currentPath().toStdString(), state.path().toStdString()};

  explicit SimulatedSetup(unsigned kbit) : bus(kbit) {}

  /// Serves the bus and puts node 1 on it as the first model that loads.
  bool start(std::initializer_list<const char*> models) {
    std::string error;
    if (!server.start("127.0.0.1", 0, error)) {
      std::fprintf(stderr, "bus server: %s\n", error.c_str());
      return false;
    }
    bool added = false;
    for (const char* model : models) {
      if ((added = host.addNode(1, model, error))) break;
    }
    if (!added) {
      std::fprintf(stderr, "simulated node: %s\n", error.c_str());
      return false;
    }
    setenv("KESTRUM_BUS", server.entry().c_str(), 1);
    return true;
  }
};

}  // namespace kestrum::bench
