#include "DeviceBehaviours.h"

#include "Bootloader.h"
#include "Drive402.h"

namespace kestrum::sim {

void addDeviceBehaviours(SimNode& node) {
  node.addBehaviour(std::make_unique<Bootloader>(Bootloader::imagePathFor(node.statePath())));
  if (Drive402::fits(node)) node.addBehaviour(std::make_unique<Drive402>());
}

}  // namespace kestrum::sim
