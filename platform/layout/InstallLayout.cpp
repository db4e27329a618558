#include "layout/InstallLayout.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace kestrum::layout {

std::string executableFolder() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

Folders foldersFor(const std::string& executableFolder) {
  std::error_code ec;
  const fs::path bin(executableFolder);
  const fs::path prefix = bin.parent_path();
  const fs::path share = prefix / "share" / "kestrum";
  // The data beside the executable wins: a build tree keeps working even if
  // something was installed next to it.
  if (!fs::is_directory(bin / "XML", ec) && fs::is_directory(share, ec)) {
    return {true, (prefix / "lib" / "kestrum").lexically_normal().string(), share.lexically_normal().string()};
  }
  return {false, executableFolder, executableFolder};
}

Folders folders() { return foldersFor(executableFolder()); }

}  // namespace kestrum::layout
