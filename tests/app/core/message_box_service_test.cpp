#include <gtest/gtest.h>

#include <QCoreApplication>

#include "MessageBoxService.h"

namespace {

TEST(MessageBoxService, ConsoleProcessGetsTheBoxOnStderrWithoutBlocking) {
  int argc = 1;
  char name[] = "t";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  testing::internal::CaptureStderr();
  EXPECT_EQ(showMessageBox(QStringLiteral("Warning"), QStringLiteral("Overwrite?"), QMessageBox::Warning,
                           QMessageBox::Yes | QMessageBox::No, QMessageBox::No),
            QMessageBox::No);
  EXPECT_EQ(showMessageBox(QStringLiteral("Question"), QStringLiteral("Go on?"), QMessageBox::Question,
                           QMessageBox::Yes | QMessageBox::No),
            QMessageBox::Yes);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Warning: Overwrite?"), std::string::npos);
  EXPECT_NE(err.find("Question: Go on?"), std::string::npos);
}

TEST(MessageBoxService, RecordersNestAndAnswerInOrder) {
  RecordingMessageBoxService outer;
  {
    RecordingMessageBoxService inner;
    inner.answerNext(QMessageBox::Cancel);
    EXPECT_EQ(showMessageBox(QStringLiteral("Error"), QStringLiteral("a"), QMessageBox::Critical,
                             QMessageBox::Ok | QMessageBox::Cancel),
              QMessageBox::Cancel);
    EXPECT_EQ(showMessageBox(QStringLiteral("Error"), QStringLiteral("b")), QMessageBox::Ok);
    ASSERT_EQ(inner.boxes().size(), 2u);
    EXPECT_EQ(inner.boxes()[0].icon, QMessageBox::Critical);
    EXPECT_EQ(inner.boxes()[0].buttons, QMessageBox::Ok | QMessageBox::Cancel);
  }
  showMessageBox(QStringLiteral("Notification"), QStringLiteral("c"));
  ASSERT_EQ(outer.boxes().size(), 1u);
  EXPECT_EQ(outer.boxes()[0].text, "c");
}

}  // namespace
