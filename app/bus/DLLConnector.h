#pragma once
#include <QString>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "ConnectorFrame.h"
#include "FrameRing.h"
#include "canopen/SdoClient.h"

class DLLLoader;
class MessageFilter;
class QObject;
class QTimer;

/// Size codes of typed SDO transfers: byte counts, the same numbers as the
/// length argument of the library's send_SDO.
enum : std::uint8_t {
  TYPE_U8 = kestrum::canopen::sdo_size::kU8,
  TYPE_U16 = kestrum::canopen::sdo_size::kU16,
  TYPE_U32 = kestrum::canopen::sdo_size::kU32,
  TYPE_STRING = kestrum::canopen::sdo_size::kString
};

/// The result codes of readObject / writeObject (SDOResult::code).
namespace sdo_result = kestrum::canopen::sdo_result;

/// Result of readObject / writeObject.
struct SDOResult {
  std::int32_t code = 0;       ///< 0 success, else an error code (see getErrorText)
  std::int32_t abortCode = 0;  ///< the node's abort code when code is 3
  std::int32_t size = 0;       ///< size class of the answer (1, 2, 4, 6); 0 for writes
  std::int32_t value = 0;      ///< value read; the string length for a string read
};

/// The application's access to the CAN bus. Every page reaches the bus
/// through the one connector object of the main window.
///
/// The online connector forwards the library wrappers (the ...W operations)
/// to libVarnex.so and adds its own SDO client with detailed result codes and
/// segmented string upload. It receives every bus frame from the library on
/// the library's thread, buffers it in a ring and hands it, on the
/// user-interface thread, to the message filter.
///
/// One SDO exchange may be pending at a time; waits let the event loop run
/// (timers fire, the window stays responsive), so code started meanwhile
/// gets 516 "last query not finished". Errors are returned, never shown.
///
/// All operations except the frame intake run on the user-interface thread.
class DLLConnector {
 public:
  /// Connects through `loader` (the process-wide loader by default). The
  /// ring size is the number of frames buffered between two drains.
  explicit DLLConnector(DLLLoader* loader = nullptr,
                        std::size_t ringCapacity = FrameRing::defaultCapacity);

  // The virtual operations, in their fixed order.
  virtual double getLevel();
  virtual bool init_canW(std::uint8_t node, int kbit, int ixxatDevice, int ixxatController,
                         bool skipDialog, int vendor, void* ownerWindow);
  virtual void terminate_canW();
  virtual bool send_sdoW(std::uint16_t index, std::uint8_t subIndex, std::uint8_t type,
                         std::int32_t value);
  virtual bool recv_sdoW(std::uint16_t index, std::uint8_t subIndex, std::uint8_t& type,
                         std::int32_t& value);
  virtual void send_nmtW(std::uint8_t command);
  virtual int flash_firmwareW(const QString& hexPath);
  virtual bool start_BootloaderW();
  virtual bool stop_BootloaderW();
  virtual bool get_device_idW(int& deviceId, int& controller);
  virtual void select_nodeW(int node);
  virtual bool send_PDOW(std::int32_t cobId, std::uint8_t* data, bool remote);
  virtual void setGetAllCallbackW(void (*callback)(std::uint8_t*, std::uint32_t&, std::uint16_t&,
                                                   std::uint8_t&, bool&));
  virtual int getPeakDevicesW(int* channels, int bitrateCode);
  virtual int getIXXATDevicesW();
  virtual int get_versionW();
  virtual void setMessageFilter(MessageFilter* filter);
  virtual MessageFilter* getMessageFilter();
  virtual void cancelQuery();
  virtual SDOResult readObject(std::uint8_t node, std::uint16_t index, std::uint8_t subIndex,
                               std::uint8_t type, std::uint32_t timeoutMs);
  virtual SDOResult writeObject(std::uint8_t node, std::uint16_t index, std::uint8_t subIndex,
                                std::uint8_t type, std::uint32_t timeoutMs, std::int32_t value);
  virtual QString getErrorText(const SDOResult& result);
  virtual bool isQueryPending();
  virtual QString getClassName();

  /// Detaches from the library and terminates it (with the library's
  /// settling pauses of 500 ms before and after).
  virtual ~DLLConnector();

  DLLConnector(const DLLConnector&) = delete;
  DLLConnector& operator=(const DLLConnector&) = delete;

  /// Asks a download that flash_firmwareW runs on another thread to stop
  /// (it returns -6, the node left in its bootloader). Any thread; no effect
  /// when no download runs or the library lacks the function.
  void flash_cancelW();
  /// Blocks the running (or last) download has taken, 0 to 85; any thread.
  /// -1 when the library cannot tell.
  int flash_progressW() const;
  /// Whether the adapter reports the connection to the bus lost (unplugged,
  /// its network connection cut). False when the library cannot tell.
  bool busLostW() const;

  /// Stops the drain and the time-out countdown (the main window does this
  /// when it closes); SDO requests then fail with 517.
  void stopTimers();
  /// Whether the library is loaded.
  bool isOnline() const { return online_; }

  /// The library's settling pause before and after terminate_can when a
  /// connector goes (500 ms each). Tests that build many connectors against
  /// an in-process bus shorten it; the application never changes it.
  static void setShutdownPause(std::chrono::milliseconds pause) { shutdownPause_ = pause; }

  /// Set when the main window closes: pending and new reads return at once.
  static bool appClosing;
  /// The text of the most recent string read.
  static QString lastSdoString;

  /// The text of an SDO abort code, empty when unknown.
  static QString abortText(std::uint32_t abortCode);

 protected:
  /// Hands the frames received since the last call to the SDO answer check
  /// and the message filter; runs every 10 ms and when an expected answer
  /// arrives.
  void drain();

  DLLLoader* loader_ = nullptr;
  bool online_ = false;

 private:
  static void frameIntake(void* self, const std::uint8_t* data, std::uint32_t time,
                          std::uint16_t id, std::uint8_t dlc, bool transmitted, std::uint8_t kind,
                          std::uint32_t wholeId);
  void dispatch(const ConnectorFrame& frame);
  void countdown();
  /// Arms the single pending query for the answer of `node`.
  /// Why a query may not start now (514 to 517, checked in that order), or 0.
  std::int32_t queryRefusal(std::uint8_t node, std::uint32_t timeoutMs) const;
  void armQuery(std::uint8_t node, std::uint32_t timeoutMs);
  /// Sends one SDO request to 0x600 + node; on failure the query is dropped.
  bool sendRequest(std::uint8_t node, const std::array<std::uint8_t, 8>& request);
  enum class Wait { TicksOnly, WallClock };
  /// Waits until the query is done; false when appClosing ended the wait.
  bool waitForAnswer(Wait mode, std::uint32_t timeoutMs, bool honourAppClosing);
  /// Runs the client's exchange from its first request to its result, one
  /// query per request; nullopt when appClosing ended a wait.
  std::optional<kestrum::canopen::SdoClient::Result> exchange(kestrum::canopen::SdoClient& client,
                                                              kestrum::canopen::SdoClient::Step step,
                                                              std::uint8_t node,
                                                              std::uint32_t timeoutMs, Wait mode,
                                                              bool honourAppClosing);

  static inline std::chrono::milliseconds shutdownPause_{500};

  int wakeFd_ = -1;                   ///< eventfd the intake signals when the answer arrives
  std::unique_ptr<QObject> context_;  ///< owns the timers and the wake-up notifier
  QTimer* timeoutTimer_ = nullptr;    ///< 5 ms time-out countdown
  QTimer* receiveTimer_ = nullptr;    ///< 10 ms drain
  MessageFilter* filter_ = nullptr;

  FrameRing ring_;
  std::vector<ConnectorFrame> batch_;  ///< frames taken from the ring, not yet dispatched
  std::size_t batchPos_ = 0;
  std::atomic<bool> wakePosted_{false};

  // The single pending query. queryPending and expectedId are also read by
  // the intake on the library's thread to wake the drain early.
  std::atomic<bool> queryPending_{false};
  std::atomic<std::uint16_t> expectedId_{0};
  bool queryDone_ = true;
  int ticksLeft_ = -1;
  std::uint8_t answer_[8] = {};
  std::uint8_t answerLength_ = 0;
};
