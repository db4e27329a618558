#include "TfrmBrakeInfo.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

const QString TfrmBrakeInfo::kText = QStringLiteral(
    "The external brake can be configured by three parameters:  ta, tb, tc\n"
    "\n"
    "All three values are times in milliseconds (ms) from 0 to 65535.\n"
    "\n"
    "At power-up the brake is active and the drive is without current. Then the drive is set under current "
    "and the controller waits ta ms before it releases the brake. After releasing the brake it waits tb ms "
    "before it accepts drive commands.\n"
    "\n"
    "tc is the time between activating the brake and switching off the drive current.");

namespace {

/// Three signals over time (drive current, brake released, drive commands
/// accepted) with the intervals ta, tb and tc marked between their edges.
class BrakeTimingPicture : public QWidget {
 public:
  explicit BrakeTimingPicture(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("imgBrakeTiming"));
    setFixedSize(440, 240);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), palette().base());
    const int left = 120, right = width() - 10;
    // Edges along the time axis: power on, brake off, operational, brake on, power off.
    const int tPowerOn = left + 20, tBrakeOff = left + 80, tReady = left + 130, tBrakeOn = left + 220,
              tPowerOff = left + 270;
    struct Signal {
      const char* name;
      int rise;
      int fall;
    };
    const Signal traces[] = {
        {"Power", tPowerOn, tPowerOff}, {"Brake off", tBrakeOff, tBrakeOn}, {"Drive commands", tReady, tBrakeOn}};
    const int rowHeight = 50, high = 26;
    for (int i = 0; i < 3; ++i) {
      const int base = 40 + i * rowHeight + high;
      p.setPen(palette().text().color());
      p.drawText(QRect(4, base - high, left - 10, high), Qt::AlignRight | Qt::AlignVCenter,
                 QLatin1String(traces[i].name));
      QPen pen(QColor(0, 90, 170), 2);
      p.setPen(pen);
      const QPoint points[] = {
          {left, base},           {traces[i].rise, base}, {traces[i].rise, base - high}, {traces[i].fall, base - high},
          {traces[i].fall, base}, {right, base}};
      p.drawPolyline(points, 6);
    }
    // The intervals, with dashed guides down from their edges.
    const int arrowY = 40 + 3 * rowHeight + 20;
    QPen guide(Qt::gray, 1, Qt::DashLine);
    for (int x : {tPowerOn, tBrakeOff, tReady, tBrakeOn, tPowerOff}) {
      p.setPen(guide);
      p.drawLine(x, 30, x, arrowY + 4);
    }
    const struct {
      int from, to;
      const char* name;
    } spans[] = {{tPowerOn, tBrakeOff, "ta"}, {tBrakeOff, tReady, "tb"}, {tBrakeOn, tPowerOff, "tc"}};
    p.setPen(QPen(palette().text().color(), 1));
    for (const auto& s : spans) {
      p.drawLine(s.from, arrowY, s.to, arrowY);
      p.drawLine(s.from, arrowY, s.from + 5, arrowY - 3);
      p.drawLine(s.from, arrowY, s.from + 5, arrowY + 3);
      p.drawLine(s.to, arrowY, s.to - 5, arrowY - 3);
      p.drawLine(s.to, arrowY, s.to - 5, arrowY + 3);
      p.drawText(QRect(s.from, arrowY - 20, s.to - s.from, 16), Qt::AlignCenter, QLatin1String(s.name));
    }
  }
};

}  // namespace

TfrmBrakeInfo::TfrmBrakeInfo(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint) {
  setObjectName(QStringLiteral("TfrmBrakeInfo"));
  setWindowTitle(QStringLiteral("Brake Configuration"));
  setAttribute(Qt::WA_DeleteOnClose);
  setModal(false);

  auto* text = new QPlainTextEdit(kText, this);
  text->setObjectName(QStringLiteral("txtBrakeInfo"));
  text->setReadOnly(true);
  text->setFixedSize(400, 240);
  text->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* close = new QPushButton(QStringLiteral("Close"), this);
  close->setObjectName(QStringLiteral("btnClose"));
  connect(close, &QPushButton::clicked, this, &QDialog::close);

  auto* content = new QHBoxLayout;
  content->addWidget(new BrakeTimingPicture(this));
  content->addWidget(text);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(content);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);  // a dialog border: not resizable

  adjustSize();
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}
