// The library's message boxes on screen (the device dialog, SelectDialog.cpp,
// is the other part of this Qt corner): QMessageBox when the process has a
// QApplication, on its GUI thread.
#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>

#include "../Boxes.h"

namespace varnex {
namespace {

bool presentWithQt(const char* caption, const char* text, BoxIcon icon) {
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!app) return false;
  const QString title = QString::fromUtf8(caption);
  const QString body = QString::fromUtf8(text);
  const auto qtIcon = icon == BoxIcon::Error ? QMessageBox::Critical : QMessageBox::NoIcon;
  auto show = [&] {
    QMessageBox box(qtIcon, title, body, QMessageBox::Ok);
    box.exec();
  };
  if (QThread::currentThread() == app->thread())
    show();
  else
    QMetaObject::invokeMethod(app, show, Qt::BlockingQueuedConnection);
  return true;
}

struct Installer {
  Installer() { setBoxPresenter(presentWithQt); }
} installer;

}  // namespace
}  // namespace varnex
