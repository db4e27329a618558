#pragma once
// Loading the vendor driver libraries by file name and binding their
// functions by name, one table of function pointers per vendor.

#include <string>
#include <vector>

namespace varnex {

/// Folder of libVarnex.so itself (found from one of its own symbols).
std::string ownFolder();

/// Where the adapter libraries come from, chosen with the environment
/// variable KESTRUM_ADAPTER_LIBS: unset, empty or "private" = the library's own
/// folder first (the stand-ins installed with Kestrum), then the system's
/// library search path; "system" = the system's library search path only, for
/// a vendor's library installed system-wide. Another value is reported once on
/// standard error and counts as "private".
enum class AdapterSource { Private, System };
AdapterSource adapterSource();

/// Opens `fileName` as adapterSource() says. Null when it is not found. The
/// file opened is printed on standard error with KESTRUM_ADAPTER_LIBS=system
/// (and with VARNEX_DEBUG otherwise).
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
