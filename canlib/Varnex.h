#pragma once
// The adapter layer of Varnex: one adapter object hides the two adapter
// families (IXXAT VCI 3 and PEAK PCAN-Basic, loaded by file name at run time)
// behind open / transmit / receive. A receive thread hands every frame to the
// registered callbacks and appends the standard data frames to the receive queue.
//
// Most state is class-wide: the library holds exactly one adapter object.
// The class-wide handles, vendor and timing change only while no receive
// thread runs (the library interface stops it before re-initialising).

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "RxQueue.h"
#include "VarnexExport.h"
#include "WakeSignal.h"

/// Receive callback for data frames and for error/other frames: data (8
/// bytes, a private copy valid during the call), time, identifier, length.
typedef void (*VarnexRecvCallback)(std::uint8_t* data, std::uint32_t& time, std::uint16_t& id,
                                   std::uint8_t& dlc);
/// Callback for every frame: as above, then true for a frame this library
/// transmitted (called on the transmitting thread, time 0), false for a
/// received one (called on the receive thread).
typedef void (*VarnexGetAllCallback)(std::uint8_t* data, std::uint32_t& time, std::uint16_t& id,
                                     std::uint8_t& dlc, bool& transmitted);

class VARNEX_EXPORT Varnex {
 public:
  Varnex();
  explicit Varnex(int family);
  ~Varnex();
  Varnex(const Varnex&) = delete;
  Varnex& operator=(const Varnex&) = delete;

  /// Loads the vendor libraries and counts the IXXAT devices.
  void InitVarnex();
  /// 0 = IXXAT; otherwise PEAK, the low byte being the PCAN-Basic channel.
  static void setCard(int family);
  /// Creates an empty receive queue when there is none.
  void createBuffer();
  /// Selects the bit timing for the current family; false (nothing changed)
  /// for a rate the family does not support. IXXAT: re-initialises an open
  /// controller at once.
  bool setBaudrate(std::uint16_t kbit);
  /// Opens the IXXAT device whose device ID is `id` (when none matches, the
  /// last one enumerated); returns the vendor status (0 when there is no device).
  long SetDevice(int id, int controller);
  /// Automatic (skip) or interactive choice of the device of the current
  /// family. IXXAT: the device dialog for a CAN line (`window`: the caller's
  /// QWidget or null); cancelled, or without a GUI, the automatic choice.
  void SelectDevice(void* window, bool skip);
  /// Device ID and controller of the open IXXAT device.
  bool GetDeviceId(int& id, int& controller);
  /// With 0: IXXAT devices counted at load; otherwise 0.
  int getDeviceCount(int family);
  /// Opens the bus and starts the receive thread; false only when the PEAK
  /// channel cannot be initialised.
  bool initializeController();
  /// Sends one frame; returns 0 when sent, else the vendor status; -1 when the
  /// family's library is not loaded. `length` above 8 is refused with the
  /// family's invalid-argument status.
  long TransmitData(std::uint32_t id, std::uint8_t length, const std::uint8_t* data, bool remote);

  static void set_RecvCallback(VarnexRecvCallback callback);
  static void set_ErrorCallback(VarnexRecvCallback callback);
  static void set_GetAllCallback(VarnexGetAllCallback callback);

  /// Shows the IXXAT text of a non-zero status (-1: the system's last error)
  /// in an error box "Orvane CanOpen dll".
  static void DisplayError(long status);
  static void printCanMsg(const can_data* frame);

  /// Stops reception, closes the adapter and drops the receive queue.
  /// Callbacks stay registered. Repeated calls only touch the queue pointers.
  void terminate();

  static void* ReceiveThread(void* unused);

  /// A cursor on the newest element of the receive queue (empty without queue).
  static varnex::RxCursor takeCursor();
  /// The current receive queue (null after terminate until createBuffer).
  static std::shared_ptr<varnex::RxQueue> queue();
  /// Woken by the receive thread after each received frame.
  static varnex::WakeSignal& frameArrived();

  // Per-object state.
  std::int32_t lDeviceCount = 0;
  std::uint16_t wPeakBtr0Btr1 = 0x0014;
  std::uint8_t bBtr0 = 0x00;
  std::uint8_t bBtr1 = 0x14;
  std::int32_t lSendTimeout = 1000;
  bool bTerminated = false;

  // Class-wide state.
  static std::int32_t vendor;
  static void* hDevice;
  static std::int32_t lCtrlNo;
  static void* hCanCtl;
  static void* hCanChn;
  static std::uint8_t hPeakCanChn;
  static std::atomic<std::int32_t> lMustQuit;
  static std::atomic<std::int32_t> lHasRcvd;
  static std::atomic<std::int32_t> threadReady;
  /// What bus_state() reports: 0 no receive thread, 1 reading, 2 the
  /// adapter's reads fail (the bus connection is lost).
  static std::atomic<std::int32_t> busState;
  static std::atomic<VarnexRecvCallback> my_callback;
  static std::atomic<VarnexRecvCallback> error_callback;
  static std::atomic<VarnexGetAllCallback> get_all_callback;
  static bool bIxxatLoaded;
  static bool bPeakLoaded;

 private:
  static void stopReceiveThread();
  /// Makes `device` the open IXXAT device, closing the one it replaces.
  static void adoptDevice(void* device);
  static void receiveLoop(std::shared_ptr<varnex::RxQueue> rx);
  bool openIxxatController();
  long sendOnce(std::uint32_t id, std::uint8_t length, const std::uint8_t* data, bool remote);
};
