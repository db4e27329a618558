// Every file the application writes goes through savefile::write: replaced
// whole, or left as it was with a reason to show the user.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <memory>

#include "SaveFile.h"
#include "FileSizeLimit.h"

namespace {

using kestrum::test::FileSizeLimit;

QByteArray readAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

}  // namespace

TEST(SaveFile, ReplacesWholeOrKeepsThePreviousFile) {
  struct Case {
    const char* name;
    QByteArray content;
    bool streamed;       // written through the fill function, in blocks
    bool fillFails;      // the fill function gives up
    rlim_t sizeLimit;    // 0: none
    bool written;
  };
  const QByteArray big(200000, 'n');
  const Case cases[] = {
      {"whole", big, false, false, 0, true},
      {"streamed", big, true, false, 0, true},
      {"disk full", big, false, false, 4096, false},
      {"disk full while streaming", big, true, false, 4096, false},
      {"writer gives up", big, true, true, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("values.txt"));
    {
      QFile old(path);
      ASSERT_TRUE(old.open(QIODevice::WriteOnly));
      old.write("old\r\n");
    }
    QString error;
    bool ok;
    {
      std::unique_ptr<FileSizeLimit> limit;
      if (c.sizeLimit) limit = std::make_unique<FileSizeLimit>(c.sizeLimit);
      if (c.streamed) {
        ok = savefile::write(
            path,
            [&](QIODevice& out) {
              for (int at = 0; at < c.content.size(); at += 1000)
                if (out.write(c.content.mid(at, 1000)) != qMin(1000, int(c.content.size()) - at)) return false;
              return !c.fillFails;
            },
            &error);
      } else {
        ok = savefile::write(path, c.content, &error);
      }
    }
    EXPECT_EQ(ok, c.written) << error.toStdString();
    EXPECT_EQ(readAll(path), c.written ? c.content : QByteArray("old\r\n"));
    EXPECT_EQ(error.isEmpty(), c.written) << error.toStdString();
    // No temporary file stays behind.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("values.txt")});
  }
}
