#pragma once
// Loading the vendor driver libraries by file name and binding their
// functions by name, one table of function pointers per vendor.

#include <string>
#include <vector>

namespace varnex {

/// Folder of libVarnex.so itself (found from one of its own symbols).
std::string ownFolder();

/// Opens `fileName` from the library's own folder first, then through the
/// system's library search path. Null when neither has it.
void* openVendorLibrary(const char* fileName);

/// One function of a binding table: its exported name and where the pointer goes.
struct Binding {
  const char* name;
  void** slot;
};

/// Looks every function up in `library`; a missing one leaves its slot null.
/// Returns the names that were missing (also printed when VARNEX_DEBUG is set).
std::vector<std::string> bindFunctions(void* library, const Binding* bindings, std::size_t count);

/// Debug output on standard error, enabled by the environment variable VARNEX_DEBUG.
void debugLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace varnex
