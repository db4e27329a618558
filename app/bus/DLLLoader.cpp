#include "DLLLoader.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>

#include "MessageBoxService.h"
#include "VersionReport.h"
#include "layout/InstallLayout.h"
#include "version/VersionReader.h"

const char* const DLLLoader::fileName = "libVarnex.so";

namespace {
// The loader whose forwarder the library calls (the library keeps a plain
// function pointer, so the forwarder finds its loader here).
std::atomic<DLLLoader*> forwardingLoader{nullptr};
}  // namespace

DLLLoader::DLLLoader(const QString& libraryPath) {
  // RTLD_NOW: a library with an unresolved symbol fails here instead of at
  // the first call in the middle of a bus transfer.
  module = dlopen(QFile::encodeName(libraryPath).constData(), RTLD_NOW | RTLD_LOCAL);
  if (!module) return;
  available = true;
  bind();
  registerForwarder();
}

DLLLoader::~DLLLoader() {
  // The library itself stays loaded: its receive thread may still be running.
  if (setGetAllCallback && forwardingLoader.load() == this) setGetAllCallback(nullptr);
  DLLLoader* self = this;
  forwardingLoader.compare_exchange_strong(self, nullptr);
}

void DLLLoader::bind() {
  allFound = true;
  auto look = [this](const char* name, auto& pointer, bool mandatory, const char* tail) {
    pointer = reinterpret_cast<std::remove_reference_t<decltype(pointer)>>(dlsym(module, name));
    if (pointer) return;
    missingText += QStringLiteral("Can't load function \"%1\" from file %2%3")
                       .arg(QLatin1String(name), QLatin1String(fileName), QLatin1String(tail));
    if (mandatory) allFound = false;
  };
  look("get_version", get_version, true, "");
  look("set_timeout", set_timeout, true, "");
  look("get_timeout", get_timeout, true, "");
  look("init_can", init_can, true, "");
  look("terminate_can", terminate_can, true, "");
  look("send_SDO", send_SDO, true, "");
  look("recv_SDO", recv_SDO, true, "");
  look("send_nmt", send_nmt, true, "");
  look("flash_firmware", flash_firmware, true, "");
  look("start_Bootloader", start_Bootloader, true, "");
  look("stop_Bootloader", stop_Bootloader, true, "");
  look("get_device_id", get_device_id, false, "");
  look("select_node", select_node, true, "");
  look("send_PDO", send_PDO, true, "");
  look("setGetAllCallback", setGetAllCallback, true, "");
  look("getPeakDevices", getPeakDevices, false, " \n");
  look("getIXXATDevices", getIXXATDevices, false, " \n");
  // The download's companions are looked up quietly: without them a download
  // still runs, only without progress and cancel.
  flash_cancel = reinterpret_cast<varnex::FlashCancelFn>(dlsym(module, "flash_cancel"));
  flash_progress = reinterpret_cast<varnex::FlashProgressFn>(dlsym(module, "flash_progress"));
  bus_state = reinterpret_cast<varnex::BusStateFn>(dlsym(module, "bus_state"));
  // A C++ function of the library, looked up quietly: older libraries lack it
  // and then every frame counts as a standard data frame.
  currentFrame = reinterpret_cast<decltype(currentFrame)>(
      dlsym(module, "_ZN12VarnexStatus12currentFrameEPjPh"));

  const QString caption = QStringLiteral("Error");
  if (!missingText.isEmpty()) showMessageBox(caption, missingText, QMessageBox::Critical);
  if (!allFound) {
    showMessageBox(caption, QStringLiteral("Program will be shut down."), QMessageBox::Critical);
    std::exit(-10);
  }
}

DLLLoader& DLLLoader::getLoader() {
  // Never destroyed: the library's threads may call the forwarder until the
  // process ends.
  static DLLLoader* loader =
      new DLLLoader(libraryFolder() + QLatin1Char('/') + QLatin1String(fileName));
  loader->available = loader->module != nullptr;
  loader->registerForwarder();
  return *loader;
}

QString DLLLoader::applicationFolder() {
  if (QCoreApplication::instance()) return QCoreApplication::applicationDirPath();
  return QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget()).absolutePath();
}

QString DLLLoader::libraryFolder() {
  const auto folders = kestrum::layout::foldersFor(QFile::encodeName(applicationFolder()).toStdString());
  return folders.installed ? QFile::decodeName(folders.libraries.c_str()) : applicationFolder();
}

QString DLLLoader::dataFolder() {
  const auto folders = kestrum::layout::foldersFor(QFile::encodeName(applicationFolder()).toStdString());
  return folders.installed ? QFile::decodeName(folders.data.c_str()) : applicationFolder();
}

void DLLLoader::registerForwarder() {
  if (!module || !setGetAllCallback) return;
  forwardingLoader.store(this);
  setGetAllCallback(&DLLLoader::forwarder);
}

void DLLLoader::setFrameHandler(FrameHandler handler, void* context) {
  std::lock_guard<std::mutex> lock(handlerMutex_);
  handler_ = handler;
  handlerContext_ = context;
}

void DLLLoader::clearFrameHandler(void* context) {
  std::lock_guard<std::mutex> lock(handlerMutex_);
  if (handlerContext_ != context) return;
  handler_ = nullptr;
  handlerContext_ = nullptr;
}

void DLLLoader::forwarder(std::uint8_t* data, std::uint32_t& time, std::uint16_t& id,
                          std::uint8_t& dlc, bool& transmitted) {
  DLLLoader* loader = forwardingLoader.load();
  if (!loader) return;
  // Held while the handler runs so that clearing the handler also waits for
  // a call in progress; the handler only copies the frame.
  std::lock_guard<std::mutex> lock(loader->handlerMutex_);
  if (!loader->handler_) return;
  std::uint32_t wholeId = id;
  std::uint8_t kind = 0;
  if (!loader->currentFrame || !loader->currentFrame(&wholeId, &kind)) {
    wholeId = id;
    kind = 0;
  }
  loader->handler_(loader->handlerContext_, data, time, id, dlc, transmitted, kind, wholeId);
}

QString DLLLoader::fileVersionText(const QString& path) { return ReadFileVersion(path); }

bool DLLLoader::checkLibraryVersion(const QString& libraryPath, const QString& required) {
  // Compared number by number: joining the digits ("1.0.0.2" -> 1002) would
  // let a version such as 0.99.0.0 pass.
  const auto have = kestrum::version::parseVersion(fileVersionText(libraryPath).toStdString());
  const auto need = kestrum::version::parseVersion(required.toStdString());
  if (have && need && *have >= *need) return true;
  showMessageBox(QStringLiteral("Error"),
                 QStringLiteral("Wrong %1 loaded. Version %2 or higher needed!")
                     .arg(QLatin1String(fileName), required),
                 QMessageBox::Critical);
  return false;
}
