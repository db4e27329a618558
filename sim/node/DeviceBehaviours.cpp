#include "DeviceBehaviours.h"

#include "Bootloader.h"
#include "Drive402.h"
#include "DriveIo.h"

namespace kestrum::sim {

void addDeviceBehaviours(SimNode& node) {
  node.addBehaviour(std::make_unique<Bootloader>(Bootloader::imagePathFor(node.statePath())));
  if (Drive402::fits(node)) node.addBehaviour(std::make_unique<Drive402>());
  // After the drive: the firmware's outputs follow the state the drive has just taken.
  if (DriveIo::fits(node)) node.addBehaviour(std::make_unique<DriveIo>(node));
  if (DriveSettings::fits(node)) node.addBehaviour(std::make_unique<DriveSettings>());
}

}  // namespace kestrum::sim
