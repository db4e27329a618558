#pragma once
#include <array>
#include <optional>
#include <string>

namespace kestrum::version {

/// The version text embedded with KESTRUM_VERSION_RECORD in an ELF file
/// ("1, 0, 0, 2"), read from the file's section table without loading it.
/// Empty when the file is missing, not ELF, or carries no record.
std::optional<std::string> readVersionRecord(const std::string& path);

/// Splits "1, 0, 0, 2" (or "1.0.0.2") into its four numbers; missing trailing
/// numbers read as 0. Empty when the text holds no number or a bad one.
std::optional<std::array<unsigned, 4>> parseVersion(const std::string& text);

/// "1.0.0.2" from four numbers.
std::string dottedVersion(const std::array<unsigned, 4>& v);

}  // namespace kestrum::version
