#include "VendorLibrary.h"

#include <dlfcn.h>
#include <link.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace varnex {

std::string ownFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ownFolder), &info) == 0 || !info.dli_fname) return {};
  std::string path = info.dli_fname;
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

AdapterSource adapterSource() {
  const char* value = std::getenv("KESTRUM_ADAPTER_LIBS");
  if (!value || !*value || std::strcmp(value, "private") == 0) return AdapterSource::Private;
  if (std::strcmp(value, "system") == 0) return AdapterSource::System;
  static std::atomic<bool> warned{false};
  if (!warned.exchange(true)) {
    std::fprintf(stderr, "Varnex: KESTRUM_ADAPTER_LIBS=%s not understood (use 'system' or 'private'); "
                 "using the adapter libraries installed with Kestrum\n", value);
  }
  return AdapterSource::Private;
}

namespace {
/// The file the loader actually opened for `handle` (the name itself if unknown).
std::string loadedPath(void* handle, const char* fileName) {
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name) return map->l_name;
  return fileName;
}
}  // namespace

void* openVendorLibrary(const char* fileName) {
  const bool system = adapterSource() == AdapterSource::System;
  const std::string folder = system ? std::string() : ownFolder();
  if (!folder.empty()) {
    const std::string local = folder + "/" + fileName;
    if (void* handle = dlopen(local.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      debugLog("loaded %s", local.c_str());
      return handle;
    }
  }
  void* handle = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
  // With the vendor's own library chosen, the user is always told which file
  // drives the adapter, so a stand-in found on the search path by mistake is noticed.
  if (system) {
    if (handle)
      std::fprintf(stderr, "Varnex: KESTRUM_ADAPTER_LIBS=system: loaded %s\n", loadedPath(handle, fileName).c_str());
    else
      std::fprintf(stderr, "Varnex: KESTRUM_ADAPTER_LIBS=system: %s not found on the system's library path: %s\n",
                   fileName, dlerror());
  } else if (handle) {
    debugLog("loaded %s from the system's library path", loadedPath(handle, fileName).c_str());
  } else {
    debugLog("%s not available: %s", fileName, dlerror());
  }
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
