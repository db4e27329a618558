#pragma once
#include <vector>

class QCheckBox;
class QTimer;
class QWidget;

/// The auto refreshes that share the window's 500 ms refresh timer: the I/O
/// page's three groups and the velocity page's current speed. Each page runs
/// its own refreshes on a tick; the end of the tick is the same for all.
namespace auto_refresh {

/// More failed transfers in a row than this end the auto refreshes.
constexpr int kFailureLimit = 10;

/// The boxes of the auto refreshes on the shared timer found in `window`.
std::vector<QCheckBox*> boxes(QWidget* window);

/// The end of a tick: stops the timer when no box asks for it any more. After
/// a refresh of this tick failed (`failed`), or after more failed transfers in
/// a row than the limit, unticks every box, stops the timer and says so in one
/// log line: a node that stopped answering is told once, not on every tick.
void endTick(QTimer* timer, QWidget* window, bool failed);

}  // namespace auto_refresh
