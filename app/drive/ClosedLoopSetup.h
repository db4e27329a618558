#pragma once
#include <QString>

#include <cstdint>

class DriveControl;

/// The closed-loop motor set-up runs of the homing page: the controller
/// measures the encoder offset (both runs) and the load angles (the long run,
/// mode -1) while it moves the motor by itself.
///
/// The controlword goes out through the connector's direct SDO path, each
/// write followed by a pause that keeps the window alive. The drive is
/// enabled with halt set; the one word that releases halt and starts the run
/// is sent only once the drive shows the set-up mode. Afterwards the page
/// waits for the drive to report the run's end, a fault, a Stop or Power Off,
/// or a time limit. Whatever the outcome, the drive is switched off at the
/// end and the log says so, unless the window is closing (then nothing more
/// goes to the bus).
class ClosedLoopSetup {
 public:
  enum class Kind { Full, Short };
  enum class Result { Done, Failed, Stopped, TimedOut, Refused, Closing };

  explicit ClosedLoopSetup(DriveControl& control) : control_(control) {}

  /// Runs the set-up; `enableMode` is written to 0x2001 (skipped when < 0).
  Result run(Kind kind, int enableMode);

  /// How long a run may take before the wait gives up. The simulated runs
  /// take 3 s and 1 s; real ones depend on the motor.
  static int timeLimitMs(Kind kind);
  /// Tests shorten the limit; 0 restores the defaults.
  static void setTimeLimitMs(int ms) { timeLimitOverrideMs_ = ms; }

 private:
  struct Step {
    std::uint16_t index;
    std::uint8_t type;
    std::int32_t value;
    QString failure;
    /// A failed mode or controlword write ends the run: what follows would
    /// act on a drive in an unknown state.
    bool essential;
  };
  enum class WaitEnd { Done, Fault, Stopped, LeftEnabled, TimedOut, Closing };

  WaitEnd waitForEnd(Kind kind);
  /// The power-off path of the drive pages, then a check of what the drive shows.
  void leaveSwitchedOff();
  /// Reads the results into the SDO list and logs them.
  void showResults(Kind kind);
  void pause(int ms) const;

  DriveControl& control_;
  static int timeLimitOverrideMs_;
};
