#pragma once
// Where the running program finds its libraries and data files.
//
// In a build tree every executable, libVarnex.so, the adapter stand-ins and
// the data files (XML/, Presets/, the library XML files, Firmware/) share one
// folder, the application folder. Installed, the programs are in <prefix>/bin,
// the libraries in <prefix>/lib/kestrum and the data in <prefix>/share/kestrum;
// both are found relative to the executable, so an installation unpacked into
// any root works.

#include <string>

namespace kestrum::layout {

/// Folders of one program's installation.
struct Folders {
  bool installed = false;  ///< true for the <prefix>/bin, lib/kestrum, share/kestrum layout
  std::string libraries;   ///< libVarnex.so and the adapter stand-ins
  std::string data;        ///< XML/, Presets/, the library XML files, Firmware/
};

/// Folder of the running executable (from /proc/self/exe); "." if unknown.
std::string executableFolder();

/// The layout seen from an executable in `executableFolder`: installed when
/// the folder has no data beside it (no XML/ folder) but ../share/kestrum
/// exists; otherwise the build tree's application folder serves as both.
Folders foldersFor(const std::string& executableFolder);

/// foldersFor(executableFolder()).
Folders folders();

}  // namespace kestrum::layout
