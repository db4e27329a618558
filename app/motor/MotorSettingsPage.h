#pragma once
#include <QWidget>

#include <memory>

class MotorHost;
namespace Ui {
class MotorSettingsPage;
}

/// The page "Motor && Drive Settings" (`tabMotorSettings`).
class MotorSettingsPage : public QWidget {
  Q_OBJECT
 public:
  MotorSettingsPage(MotorHost& host, QWidget* parent);
  ~MotorSettingsPage() override;

  /// The window switched to the page.
  void enter();
  /// The libraries are loaded: the motor lists can be filled.
  void librariesLoaded();
  /// The connection identified a controller: BLDC controllers offer the
  /// motor types "BLDC" and "BLDC with Encoder" beside "Stepmotor".
  void setBldcTypes(bool bldc);

 private:
  MotorHost& host_;
  std::unique_ptr<Ui::MotorSettingsPage> ui;
};
