#pragma once
// What the stand-in tests share: the library loaded from the application
// folder and bound by name as a real user does, and a virtual bus served on a
// free loopback port that the tests point KESTRUM_BUS at; waits by Wait.h.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "Wait.h"
#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"

namespace kestrum::test {

/// A stand-in loaded once per process from the working directory (the
/// application folder); never unloaded, like a driver library.
class StandIn {
 public:
  explicit StandIn(const char* file) {
    const std::string path = std::string("./") + file;
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) error_ = ::dlerror();
  }
  bool loaded() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }

  template <class Fn>
  Fn bind(const char* name) const {
    return handle_ ? reinterpret_cast<Fn>(::dlsym(handle_, name)) : nullptr;
  }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

/// A virtual bus behind a socketcand server on 127.0.0.1; `restart` brings a
/// stopped server back on the same port, as a bus that returns.
class TestBus {
 public:
  explicit TestBus(unsigned bitrateKbit = 0, const std::string& busName = "can0")
      : bus_(bitrateKbit), server_(std::make_unique<sim::SocketcandServer>(bus_, busName)), name_(busName) {
    std::string error;
    if (!server_->start("127.0.0.1", 0, error)) ADD_FAILURE() << error;
    port_ = server_->port();
  }
  std::uint16_t port() const { return port_; }
  /// The KESTRUM_BUS entry of this bus.
  std::string entry() const { return server_->entry(); }
  void stop() { server_->stop(); }
  bool restart() {
    server_ = std::make_unique<sim::SocketcandServer>(bus_, name_);
    std::string error;
    bool ok = server_->start("127.0.0.1", port_, error);
    if (!ok) ADD_FAILURE() << error;
    return ok;
  }

 private:
  sim::VirtualBus bus_;
  std::unique_ptr<sim::SocketcandServer> server_;
  std::string name_;
  std::uint16_t port_ = 0;
};

/// Points the stand-ins at the given buses (they read it at every discovery).
inline void useBuses(const std::string& entries) { ::setenv("KESTRUM_BUS", entries.c_str(), 1); }

}  // namespace kestrum::test
