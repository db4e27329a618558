#include "VendorLibrary.h"

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace varnex {

std::string ownFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ownFolder), &info) == 0 || !info.dli_fname) return {};
  std::string path = info.dli_fname;
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void* openVendorLibrary(const char* fileName) {
  const std::string folder = ownFolder();
  if (!folder.empty()) {
    const std::string local = folder + "/" + fileName;
    if (void* handle = dlopen(local.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      debugLog("loaded %s", local.c_str());
      return handle;
    }
  }
  void* handle = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
  if (handle)
    debugLog("loaded %s from the system's library path", fileName);
  else
    debugLog("%s not available: %s", fileName, dlerror());
  return handle;
}

std::vector<std::string> bindFunctions(void* library, const Binding* bindings, std::size_t count) {
  std::vector<std::string> missing;
  for (std::size_t i = 0; i < count; ++i) {
    *bindings[i].slot = library ? dlsym(library, bindings[i].name) : nullptr;
    if (!*bindings[i].slot) {
      missing.emplace_back(bindings[i].name);
      debugLog("function %s missing", bindings[i].name);
    }
  }
  return missing;
}

void debugLog(const char* format, ...) {
  static const bool enabled = std::getenv("VARNEX_DEBUG") != nullptr;
  if (!enabled) return;
  std::va_list args;
  va_start(args, format);
  std::fputs("Varnex: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

}  // namespace varnex
