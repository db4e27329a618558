#include "DeviceBehaviours.h"

#include "Bootloader.h"

namespace kestrum::sim {

void addDeviceBehaviours(SimNode& node) {
  node.addBehaviour(std::make_unique<Bootloader>(Bootloader::imagePathFor(node.statePath())));
}

}  // namespace kestrum::sim
