#pragma once
#include <QString>

#include <cstdint>
#include <mutex>

/// The library's C interface as the application calls it. The application
/// never links against libVarnex.so; these are the signatures it binds by name.
namespace varnex {
/// All-frames callback: data (8 bytes), time, identifier, length, and true for
/// a frame the library transmitted. Runs on the library's receive thread and
/// on whichever thread transmits.
using AllFramesCallback = void (*)(std::uint8_t* data, std::uint32_t& time, std::uint16_t& id,
                                   std::uint8_t& dlc, bool& transmitted);
using GetVersionFn = std::int32_t (*)();
using SetTimeoutFn = void (*)(double ms);
using GetTimeoutFn = double (*)();
using InitCanFn = bool (*)(int node, int kbit, int ixxatDevice, int ixxatController,
                           bool skipDialog, int vendor, void* ownerWindow);
using TerminateCanFn = void (*)();
using SendSdoFn = bool (*)(std::uint16_t index, std::uint8_t subIndex, std::uint8_t length,
                           std::int32_t value);
using RecvSdoFn = bool (*)(std::uint16_t index, std::uint8_t subIndex, std::uint8_t* length,
                           std::int32_t* value);
using SendNmtFn = void (*)(std::uint8_t command);
using FlashFirmwareFn = int (*)(const char* hexPath);
using BootloaderFn = bool (*)();
using FlashCancelFn = void (*)();
using FlashProgressFn = std::int32_t (*)();
using BusStateFn = std::int32_t (*)();
using GetDeviceIdFn = bool (*)(int* deviceId, int* controller);
using SelectNodeFn = void (*)(int node);
using SendPdoFn = bool (*)(std::int32_t cobId, std::uint8_t* data, bool remote);
using SetGetAllCallbackFn = void (*)(AllFramesCallback callback);
using GetPeakDevicesFn = int (*)(int* channels, int bitrateCode);
using GetIxxatDevicesFn = int (*)();
}  // namespace varnex

/// Loads libVarnex.so and binds its functions by name, once per process.
///
/// A missing mandatory function is fatal: after one error box listing every
/// missing function and the box "Program will be shut down." the process ends
/// with exit code -10. A library that cannot be loaded at all is not an
/// error: `available` stays false and the application works offline.
///
/// The loader also owns the frame forwarder, the library's all-frames
/// callback, which passes each frame to the application's frame handler (the
/// online connector's ring writer).
class DLLLoader {
 public:
  /// Receives every frame the library reports (see varnex::AllFramesCallback).
  /// `kind` holds kFrameExtended / kFrameRemote (ConnectorFrame.h) and
  /// `wholeId` the whole identifier, where the library tells them; a library
  /// that does not reports every frame as a standard data frame.
  using FrameHandler = void (*)(void* context, const std::uint8_t* data, std::uint32_t time,
                                std::uint16_t id, std::uint8_t dlc, bool transmitted,
                                std::uint8_t kind, std::uint32_t wholeId);

  /// The file name the application loads from its own folder.
  static const char* const fileName;

  /// Loads the library at `libraryPath` (tests load purpose-built libraries).
  explicit DLLLoader(const QString& libraryPath);
  ~DLLLoader();
  DLLLoader(const DLLLoader&) = delete;
  DLLLoader& operator=(const DLLLoader&) = delete;

  /// The process-wide loader for libVarnex.so in libraryFolder(),
  /// created on the first call. Every call refreshes `available` and
  /// registers the frame forwarder with the library again.
  static DLLLoader& getLoader();
  /// The folder of the running executable.
  static QString applicationFolder();
  /// Where libVarnex.so and the adapter stand-ins are: the application
  /// folder in a build tree, <prefix>/lib/kestrum when installed.
  static QString libraryFolder();
  /// Where the shipped data files are (XML/, the library XML files, Presets/):
  /// the application folder in a build tree, <prefix>/share/kestrum when installed.
  static QString dataFolder();

  /// Sets (or clears, with null) the handler the forwarder calls. When this
  /// returns, no call of the previous handler is running or will start.
  void setFrameHandler(FrameHandler handler, void* context);
  /// Clears the handler only if it still belongs to `context`.
  void clearFrameHandler(void* context);
  /// Registers the frame forwarder with the library (if loaded).
  void registerForwarder();

  /// Version check of the library file against `required` ("1.0.0.2"):
  /// shows "Wrong libVarnex.so loaded. Version <required> or higher
  /// needed!" when the file's version record is lower or missing. Returns
  /// whether the file passes.
  static bool checkLibraryVersion(const QString& libraryPath,
                                  const QString& required = QStringLiteral("1.0.0.2"));
  /// The file's version as "1.0.0.2", or "file not found" when the file has
  /// no version record (ReadFileVersion of the version report).
  static QString fileVersionText(const QString& path);

  varnex::GetVersionFn get_version = nullptr;
  varnex::SetTimeoutFn set_timeout = nullptr;
  varnex::GetTimeoutFn get_timeout = nullptr;
  varnex::InitCanFn init_can = nullptr;
  varnex::TerminateCanFn terminate_can = nullptr;
  varnex::SendSdoFn send_SDO = nullptr;
  varnex::RecvSdoFn recv_SDO = nullptr;
  varnex::SendNmtFn send_nmt = nullptr;
  varnex::FlashFirmwareFn flash_firmware = nullptr;
  varnex::BootloaderFn start_Bootloader = nullptr;
  varnex::BootloaderFn stop_Bootloader = nullptr;
  varnex::GetDeviceIdFn get_device_id = nullptr;
  varnex::SelectNodeFn select_node = nullptr;
  varnex::SendPdoFn send_PDO = nullptr;
  varnex::SetGetAllCallbackFn setGetAllCallback = nullptr;
  varnex::GetPeakDevicesFn getPeakDevices = nullptr;
  varnex::GetIxxatDevicesFn getIXXATDevices = nullptr;
  /// Optional, callable from any thread while flash_firmware runs on
  /// another: stops the running download (it then returns -6), and the blocks
  /// it has taken so far (0 to 85). Older libraries lack them.
  varnex::FlashCancelFn flash_cancel = nullptr;
  varnex::FlashProgressFn flash_progress = nullptr;
  /// Optional: 0 no bus open, 1 reading, 2 the adapter reports the bus
  /// connection lost. Older libraries lack it.
  varnex::BusStateFn bus_state = nullptr;
  /// Optional: inside the library's callbacks, the whole identifier and kind
  /// of the frame being reported.
  bool (*currentFrame)(std::uint32_t* id, std::uint8_t* kind) = nullptr;

  void* module = nullptr;  ///< dlopen handle, null if loading failed
  bool allFound = false;   ///< every mandatory function was found
  bool available = false;  ///< the library is loaded; connectors work online
  /// The collected missing-function messages (empty when all were found).
  QString missingText;

 private:
  static void forwarder(std::uint8_t* data, std::uint32_t& time, std::uint16_t& id,
                        std::uint8_t& dlc, bool& transmitted);
  void bind();

  std::mutex handlerMutex_;
  FrameHandler handler_ = nullptr;
  void* handlerContext_ = nullptr;
};
