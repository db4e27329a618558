// The per-user data folder of an installed Kestrum: what an update copies,
// what it keeps, and that failures lose nothing.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "UserDataFolder.h"

namespace {

void write(const QString& path, const QByteArray& content) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
  file.write(content);
}

QByteArray read(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

struct Folders {
  QTemporaryDir root;
  QString shipped = root.filePath(QStringLiteral("share/kestrum"));
  QString user = root.filePath(QStringLiteral("home/kestrum"));
};

// One start after an upgrade, from the user's side: what the user's copy was
// before (missing, as shipped last time, changed, already the new version)
// and what the update must leave there. "v1" was shipped and copied on the
// first start; "v2" is shipped now.
TEST(UserDataFolder, UpgradeTakesNewVersionsOnlyWhereTheUserChangedNothing) {
  struct Case {
    const char* file;
    const char* userBefore;  // nullptr: the user deleted it
    const char* expected;
    bool copied;
    bool reportedKept;
  };
  const Case cases[] = {
      {"MotorType.xml", "v1", "v2", true, false},             // untouched: updated
      {"XML/EDS_Mirelo.xml", "v1", "v2", true, false},        // also in a subfolder
      {"Configuration.xml", "mine", "mine", false, true},     // changed by the user: kept
      {"Presets/Status only.ppf", nullptr, "v2", true, false},  // deleted: shipped again
      {"ClosedLoop.xml", "v2", "v2", false, false},            // already equal to the new one
  };
  Folders f;
  for (const Case& c : cases) write(f.shipped + '/' + c.file, "v1");
  ASSERT_TRUE(updateUserDataFolder(f.shipped, f.user).errors.isEmpty());

  for (const Case& c : cases) {
    write(f.shipped + '/' + c.file, "v2");
    const QString mine = f.user + '/' + c.file;
    if (c.userBefore)
      write(mine, c.userBefore);
    else
      QFile::remove(mine);
  }
  const UserDataUpdate update = updateUserDataFolder(f.shipped, f.user);
  EXPECT_TRUE(update.usable);
  EXPECT_TRUE(update.errors.isEmpty()) << update.errors.join('\n').toStdString();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(read(f.user + '/' + c.file), QByteArray(c.expected));
    EXPECT_EQ(update.copied.contains(QLatin1String(c.file)), c.copied);
    EXPECT_EQ(update.keptUserChanges.contains(QLatin1String(c.file)), c.reportedKept);
  }

  // The user's change stays theirs on every later start, also after the next
  // upgrade; the files that followed the shipped ones keep following.
  write(f.shipped + "/Configuration.xml", "v3");
  write(f.shipped + "/MotorType.xml", "v3");
  const UserDataUpdate next = updateUserDataFolder(f.shipped, f.user);
  EXPECT_EQ(read(f.user + "/Configuration.xml"), QByteArray("mine"));
  EXPECT_EQ(read(f.user + "/MotorType.xml"), QByteArray("v3"));
  EXPECT_EQ(next.copied, QStringList{QStringLiteral("MotorType.xml")});
}

// Files found in the folder before Kestrum ever wrote a manifest there, or
// with a damaged manifest, cannot be told apart from user changes: kept.
TEST(UserDataFolder, WithoutAValidManifestEntryADifferentFileIsKept) {
  Folders f;
  write(f.shipped + "/MotorType.xml", "shipped");
  write(f.shipped + "/Configuration.xml", "shipped");
  write(f.user + "/MotorType.xml", "older, unknown origin");
  EXPECT_EQ(updateUserDataFolder(f.shipped, f.user).keptUserChanges, QStringList{"MotorType.xml"});
  EXPECT_EQ(read(f.user + "/MotorType.xml"), QByteArray("older, unknown origin"));

  write(f.user + '/' + kUserDataManifest, "garbage\nnot a checksum  Configuration.xml\n");
  write(f.user + "/Configuration.xml", "mine");
  write(f.shipped + "/Configuration.xml", "shipped, newer");
  updateUserDataFolder(f.shipped, f.user);
  EXPECT_EQ(read(f.user + "/Configuration.xml"), QByteArray("mine"));
}

// Failures: each is reported, the files of the user stay as they were, the
// rest of the update goes on, and a file that could not be copied is tried
// again on the next start.
TEST(UserDataFolder, FailuresAreReportedAndLoseNothing) {
  {
    Folders f;
    write(f.shipped + "/MotorType.xml", "shipped");
    write(f.root.filePath("home"), "a file where the folder should be");
    const UserDataUpdate update = updateUserDataFolder(f.shipped, f.user);
    EXPECT_FALSE(update.usable);
    ASSERT_EQ(update.errors.size(), 1);
    EXPECT_TRUE(update.errors[0].startsWith("Cannot create the folder")) << update.errors[0].toStdString();
  }
  {
    Folders f;
    write(f.shipped + "/MotorType.xml", "shipped");
    write(f.shipped + "/XML/EDS_Mirelo.xml", "shipped");
    write(f.user + "/XML", "a file where the folder should be");
    const UserDataUpdate first = updateUserDataFolder(f.shipped, f.user);
    EXPECT_TRUE(first.usable);
    ASSERT_EQ(first.errors.size(), 1);
    EXPECT_TRUE(first.errors[0].startsWith("Cannot copy XML/EDS_Mirelo.xml")) << first.errors[0].toStdString();
    EXPECT_EQ(read(f.user + "/XML"), QByteArray("a file where the folder should be"));
    EXPECT_EQ(read(f.user + "/MotorType.xml"), QByteArray("shipped"));

    QFile::remove(f.user + "/XML");
    const UserDataUpdate second = updateUserDataFolder(f.shipped, f.user);
    EXPECT_TRUE(second.errors.isEmpty());
    EXPECT_EQ(second.copied, QStringList{"XML/EDS_Mirelo.xml"});
  }
  {
    Folders f;
    write(f.shipped + "/MotorType.xml", "shipped");
    QDir().mkpath(f.user + '/' + kUserDataManifest);  // the manifest cannot be written
    const UserDataUpdate update = updateUserDataFolder(f.shipped, f.user);
    ASSERT_EQ(update.errors.size(), 1);
    EXPECT_TRUE(update.errors[0].startsWith("Cannot write")) << update.errors[0].toStdString();
    EXPECT_EQ(read(f.user + "/MotorType.xml"), QByteArray("shipped"));
  }
}

}  // namespace
