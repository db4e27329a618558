// Binding libVarnex.so: purpose-built libraries with functions left out and
// with different version records, plus the real library.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>

#include "DLLConnector.h"
#include "DLLLoader.h"
#include "MessageBoxService.h"

namespace {

// The purpose-built libraries live beside the tests, the real one in the
// application folder (the working directory).
QString lib(const char* name) {
  const QString fake = QStringLiteral(FAKE_VARNEX_DIR "/") + QLatin1String(name);
  if (QFile::exists(fake)) return fake;
  return QDir::currentPath() + QLatin1Char('/') + QLatin1String(name);
}

/// Writes each box to stderr, where a death test can read it.
class PrintingBoxes : public MessageBoxService {
 public:
  PrintingBoxes() : previous_(install(this)) {}
  ~PrintingBoxes() override { install(previous_); }
  QMessageBox::StandardButton show(const QString& caption, const QString& text, QMessageBox::Icon icon,
                                   QMessageBox::StandardButtons, QMessageBox::StandardButton) override {
    QString flat = text;
    flat.replace(QLatin1Char('\n'), QStringLiteral("<LF>"));
    std::fprintf(stderr, "BOX{%s|%d|%s}\n", qPrintable(caption), int(icon), qPrintable(flat));
    return QMessageBox::Ok;
  }

 private:
  MessageBoxService* previous_;
};

TEST(DLLLoaderDeathTest, MissingMandatoryFunctionShowsAllMissingAndEndsWithMinus10) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The exit status carries the low byte of -10.
  EXPECT_EXIT(
      {
        PrintingBoxes boxes;
        DLLLoader loader(lib("libfakevarnex_nopdo_noixxat.so"));
      },
      ::testing::ExitedWithCode(-10 & 0xFF),
      "BOX\\{Error\\|3\\|Can't load function \"send_PDO\" from file libVarnex\\.so"
      "Can't load function \"getIXXATDevices\" from file libVarnex\\.so <LF>\\}\n"
      "BOX\\{Error\\|3\\|Program will be shut down\\.\\}");
}

TEST(DLLLoader, MissingOptionalFunctionShowsBoxAndContinues) {
  RecordingMessageBoxService boxes;
  DLLLoader loader(lib("libfakevarnex_nopeak.so"));
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].caption, "Error");
  EXPECT_EQ(boxes.boxes()[0].text,
            "Can't load function \"getPeakDevices\" from file libVarnex.so \n");
  EXPECT_TRUE(loader.allFound);
  EXPECT_TRUE(loader.available);
  EXPECT_EQ(loader.getPeakDevices, nullptr);
  ASSERT_NE(loader.getIXXATDevices, nullptr);
  EXPECT_EQ(loader.get_version(), 16);

  // The connector reports the missing enumeration like a missing driver.
  int argc = 1;
  char name[] = "t";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  DLLConnector connector(&loader);
  int channels[27];
  EXPECT_EQ(connector.getPeakDevicesW(channels, 0x14), -1);
}

TEST(DLLLoader, UnloadableLibraryIsSilentlyUnavailable) {
  RecordingMessageBoxService boxes;
  DLLLoader loader(lib("no-such-library.so"));
  EXPECT_FALSE(loader.available);
  EXPECT_EQ(loader.module, nullptr);
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST(DLLLoader, VersionCheckAgainstMinimum) {
  struct Case {
    const char* file;
    bool passes;
    const char* text;
  } cases[] = {
      {"libfakevarnex_v1001.so", false, "1.0.0.1"},
      {"libfakevarnex_nopeak.so", true, "1.0.0.2"},
      {"libfakevarnex_v1010.so", true, "1.0.1.0"},
      {"libfakevarnex_norecord.so", false, "file not found"},
      {"libVarnex.so", true, "1.0.0.2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    RecordingMessageBoxService boxes;
    EXPECT_EQ(DLLLoader::fileVersionText(lib(c.file)), c.text);
    EXPECT_EQ(DLLLoader::checkLibraryVersion(lib(c.file)), c.passes);
    if (c.passes) {
      EXPECT_TRUE(boxes.boxes().empty());
    } else {
      ASSERT_EQ(boxes.boxes().size(), 1u);
      EXPECT_EQ(boxes.boxes()[0].caption, "Error");
      EXPECT_EQ(boxes.boxes()[0].icon, QMessageBox::Critical);
      EXPECT_EQ(boxes.boxes()[0].text, "Wrong libVarnex.so loaded. Version 1.0.0.2 or higher needed!");
    }
  }
}

}  // namespace
