#pragma once
#include "ConnectorFrame.h"

/// The single receiver of all CAN frames in the application: the connector
/// hands it every frame that passes the bus (received and transmitted), in
/// arrival order, on the user-interface thread, and enables it each time the
/// adapter and node have been initialised.
///
/// This base does nothing with the frames; the routing filter (emergencies,
/// heartbeats, CAN log, transmit PDOs) replaces it by installing itself.
class MessageFilter {
 public:
  virtual ~MessageFilter() = default;

  /// Routes one frame. Called by the connector's drain.
  virtual void onFrame(const ConnectorFrame& frame) { (void)frame; }
  /// Starts handling frames. Called after every successful initialisation.
  virtual void enable() { enabled_ = true; }
  bool isEnabled() const { return enabled_; }

  /// The process-wide filter: the installed one, else a do-nothing default.
  static MessageFilter* instance() {
    MessageFilter* f = installed();
    return f ? f : &fallback();
  }
  /// Installs `filter` (not owned; null restores the default) and returns
  /// the previously installed one.
  static MessageFilter* install(MessageFilter* filter) {
    MessageFilter* previous = installed();
    installed() = filter;
    return previous;
  }

 protected:
  bool enabled_ = false;

 private:
  static MessageFilter*& installed() {
    static MessageFilter* filter = nullptr;
    return filter;
  }
  static MessageFilter& fallback() {
    static MessageFilter filter;
    return filter;
  }
};
