#pragma once
#include <QWidget>

#include <memory>

class MotorHost;
namespace Ui {
class ClosedLoopPage;
}

/// The page "Closed Loop" (`tabClosedLoop`).
class ClosedLoopPage : public QWidget {
  Q_OBJECT
 public:
  ClosedLoopPage(MotorHost& host, QWidget* parent);
  ~ClosedLoopPage() override;

  /// The window switched to the page.
  void enter();
  /// The libraries are loaded: the default-series list can be filled.
  void librariesLoaded();

 private:
  MotorHost& host_;
  std::unique_ptr<Ui::ClosedLoopPage> ui;
};
