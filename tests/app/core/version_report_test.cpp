// The "Info" page's version lines: records read from files in the
// executable's folder and on the library search path, "file not found" for
// files that are missing or carry no record.
#include <gtest/gtest.h>

#include "QtTestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

#include "VersionReport.h"

namespace {

const QString kFixture = QStringLiteral(FIXTURE_PATH);  // record "2, 1, 0, 12"

TEST(VersionReport, FileVersionFromTheEmbeddedRecord) {
  EXPECT_EQ(ReadFileVersion(kFixture), "2.1.0.12");
  EXPECT_EQ(ReadFileVersion(QStringLiteral("/nonexistent/libVarnex.so")), "file not found");
  QTemporaryDir dir;
  const QString text = dir.filePath(QStringLiteral("notes.txt"));
  QFile f(text);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("1, 0, 0, 2");
  f.close();
  EXPECT_EQ(ReadFileVersion(text), "file not found");
}

TEST(VersionReport, LinesForTheApplicationFolderAndTheSearchPath) {
  QTemporaryDir appDir, pathDir;
  ASSERT_TRUE(appDir.isValid() && pathDir.isValid());
  const QString exe = appDir.filePath(QStringLiteral("kestrum"));
  ASSERT_TRUE(QFile::copy(kFixture, exe));
  ASSERT_TRUE(QFile::copy(kFixture, appDir.filePath(QStringLiteral("libVarnex.so"))));
  ASSERT_TRUE(QFile::copy(kFixture, appDir.filePath(QStringLiteral("libvcinpl.so"))));  // the stand-in
  ASSERT_TRUE(QFile::copy(kFixture, pathDir.filePath(QStringLiteral("libvciccl.so"))));
  // libpcanbasic.so is missing; libvciapi.so and libvcilva.so are nowhere.
  const QByteArray saved = qgetenv("LD_LIBRARY_PATH");
  qputenv("LD_LIBRARY_PATH", pathDir.path().toLocal8Bit());
  const QStringList lines = versionReportLines(exe, true);
  qputenv("LD_LIBRARY_PATH", saved);

  const QStringList expected = {
      "",
      "",
      "  Software Version: 2.1.0.12",
      "",
      "  libVarnex.so Version: 2.1.0.12",
      "",
      "  High Resolution Performance Counter: available.",
      "",
      "",
      "",
      "  Version: file not found",
      "  PCAN-Basic API Library",
      "",
      "  VCI Application Programming Interface ",
      "  Version: file not found",
      "",
      "  VCI CCL Wrapper ",
      "  Version: 2.1.0.12",
      "",
      "  VCI - LabVIEW Adapter ",
      "  Version:file not found",
      "",
      "  Native VCI Programming Library ",
      "  Version: 2.1.0.12",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(versionReportLines(exe, false)[6], "  High Resolution Performance Counter: not available.");
  // The application folder wins over the search path.
  EXPECT_EQ(findLibrary(QStringLiteral("libvcinpl.so"), appDir.path()), appDir.filePath(QStringLiteral("libvcinpl.so")));
  EXPECT_EQ(findLibrary(QStringLiteral("libvcilva.so"), appDir.path()), "libvcilva.so");
}

}  // namespace
