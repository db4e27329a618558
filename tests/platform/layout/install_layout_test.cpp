// Which layout a program sees from its own folder: the build tree's
// application folder, or an installation under some prefix.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "layout/InstallLayout.h"

namespace fs = std::filesystem;
using kestrum::layout::foldersFor;

namespace {

TEST(InstallLayout, DataBesideTheProgramWinsOverAnInstalledTreeAroundIt) {
  struct Case {
    const char* name;
    bool dataBeside;      // <root>/bin/XML exists
    bool installedShare;  // <root>/share/kestrum exists
    bool installed;
  };
  const Case cases[] = {
      {"build tree", true, false, false},
      {"build tree inside a prefix", true, true, false},
      {"installed", false, true, true},
      {"neither: the program's folder as before", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char pattern[] = "/tmp/layout_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path root(pattern);
    fs::create_directories(root / "bin");
    if (c.dataBeside) fs::create_directories(root / "bin" / "XML");
    if (c.installedShare) fs::create_directories(root / "share" / "kestrum");

    const auto folders = foldersFor((root / "bin").string());
    EXPECT_EQ(folders.installed, c.installed);
    if (c.installed) {
      EXPECT_EQ(folders.libraries, (root / "lib" / "kestrum").string());
      EXPECT_EQ(folders.data, (root / "share" / "kestrum").string());
    } else {
      EXPECT_EQ(folders.libraries, (root / "bin").string());
      EXPECT_EQ(folders.data, (root / "bin").string());
    }
    fs::remove_all(root);
  }
}

}  // namespace
