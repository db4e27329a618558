#pragma once
#include <cstdint>

// Identity values of the controller maker, shared by the application (which
// recognises the maker's nodes on a scan) and the simulated controllers
// (which report them in object 0x1018).
namespace kestrum::orvane {

/// CiA vendor ID of the maker (object 0x1018 sub-index 1).
constexpr std::uint32_t kVendorId = 0x00000329u;

}  // namespace kestrum::orvane
