#include "NodeHost.h"
#include "DeviceBehaviours.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>

namespace kestrum::sim {

namespace fs = std::filesystem;

/// The bus side of one node: hands what it receives to the node on the
/// delivering thread. Its bit rate is the node's, copied by the host after
/// the node has acted (the bus asks for it on its own threads).
struct NodeHost::Port : BusPort {
  Port(NodeHost& host, std::uint8_t id, unsigned kbit) : host(host), nodeId(id), rate(kbit) {}
  void deliver(const CanFrame& frame) override { host.receive(this, frame); }
  unsigned bitrateKbit() const override { return rate.load(std::memory_order_relaxed); }
  NodeHost& host;
  const std::uint8_t nodeId;
  std::atomic<unsigned> rate;
};

NodeHost::NodeHost(VirtualBus& bus, std::string dataDir, std::string stateDir)
    : bus_(bus), dataDir_(std::move(dataDir)), stateDir_(std::move(stateDir)),
      epoch_(std::chrono::steady_clock::now()) {
  thread_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "sim-nodes");
    run();
  });
}

NodeHost::~NodeHost() {
  {
    // Detach without holding mutex_: a delivery in progress may be waiting for it.
    std::lock_guard<std::mutex> flush(flushMutex_);
    std::vector<Port*> ports;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto& [id, slot] : nodes_) ports.push_back(slot.port.get());
    }
    for (Port* port : ports) bus_.detach(port);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

std::uint64_t NodeHost::nowUs() const {
  return std::uint64_t(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - epoch_).count());
}

std::string NodeHost::edsPath(const std::string& model) const {
  const fs::path dir = fs::path(dataDir_) / "XML";
  const std::string wanted = "EDS_" + model + ".xml";
  if (fs::exists(dir / wanted)) return (dir / wanted).string();
  auto lower = [](std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
  };
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (lower(entry.path().filename().string()) == lower(wanted)) return entry.path().string();
  }
  return (dir / wanted).string();
}

std::string NodeHost::executableDir() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

std::string NodeHost::defaultStateDir() {
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) return (fs::path(xdg) / "kestrum-sim").string();
  const char* home = std::getenv("HOME");
  return (fs::path(home && *home ? home : ".") / ".local" / "state" / "kestrum-sim").string();
}

bool NodeHost::addNode(std::uint8_t nodeId, const std::string& model, std::string& error, unsigned bitrateKbit) {
  if (nodeId < 1 || nodeId > 127) {
    error = "node ID " + std::to_string(nodeId) + " is outside 1..127";
    return false;
  }
  if (bitrateKbit == 0) bitrateKbit = bus_.bitrateKbit() ? bus_.bitrateKbit() : 1000;
  if (bitRateCode(bitrateKbit) == 0) {
    error = "bit rate " + std::to_string(bitrateKbit) + " kbit/s is none of 1000, 500, 250, 125, 50, 20";
    return false;
  }
  if (model.empty() || !std::all_of(model.begin(), model.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '_' || c == '-';
      })) {
    error = "invalid model name '" + model + "'";
    return false;
  }
  const std::string eds = edsPath(model);
  // The file's own spelling of the model, so that "mirelo" and "Mirelo" share one state file.
  std::string canonical = fs::path(eds).stem().string().substr(4);
  SimNode::Config config;
  config.nodeId = nodeId;
  config.model = canonical;
  config.bitrateKbit = bitrateKbit;
  if (!stateDir_.empty())
    config.statePath = (fs::path(stateDir_) / ("node" + std::to_string(nodeId) + "-" + canonical + ".state")).string();
  auto node = SimNode::fromEds(config, eds, error);
  if (!node) return false;
  addDeviceBehaviours(*node);
  Port* port = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (nodes_.count(nodeId)) {
      error = "node " + std::to_string(nodeId) + " already exists";
      return false;
    }
    Slot& slot = nodes_[nodeId];
    slot.port = std::make_unique<Port>(*this, nodeId, bitrateKbit);
    slot.node = std::move(node);
    port = slot.port.get();
    slot.node->setSink([this, port](const CanFrame& f) { outbox_.emplace_back(port, f); });
  }
  // Attached outside mutex_ (the bus may be delivering to another node), then
  // switched on so that its boot-up message is on the bus.
  bus_.attach(port);
  withNode(nodeId, [](SimNode& n, std::uint64_t now) { n.setPowered(true, now); });
  return true;
}

bool NodeHost::removeNode(std::uint8_t nodeId) {
  std::unique_ptr<Port> port;
  std::unique_ptr<SimNode> node;
  {
    std::lock_guard<std::mutex> flush(flushMutex_);  // no frame of this port is being submitted
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = nodes_.find(nodeId);
    if (it == nodes_.end()) return false;
    port = std::move(it->second.port);
    node = std::move(it->second.node);
    nodes_.erase(it);
    auto mine = [&](const auto& item) { return item.first == port.get(); };
    outbox_.erase(std::remove_if(outbox_.begin(), outbox_.end(), mine), outbox_.end());
    lock.unlock();
    // A delivery into this port that is running now finds no node any more
    // and leaves no frame behind.
    bus_.detach(port.get());
  }
  return true;
}

std::vector<std::uint8_t> NodeHost::nodeIds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::uint8_t> ids;
  for (const auto& [id, slot] : nodes_) ids.push_back(id);
  return ids;
}

// The node reacts on the thread that delivered the frame, as a controller
// reacts to a frame it has just received: a hand-off to the host's thread
// would add a thread switch to every SDO answer, a delay no real node has.
void NodeHost::receive(Port* port, const CanFrame& frame) {
  bool wakeHost = false;
  bool output = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = nodes_.find(port->nodeId);
    if (it == nodes_.end() || it->second.port.get() != port) return;  // removed meanwhile
    SimNode& node = *it->second.node;
    const std::uint64_t now = nowUs();
    node.receive(frame, now);
    if (node.nextDeadlineUs() <= now) node.poll(now);
    port->rate.store(node.bitrateKbit(), std::memory_order_relaxed);
    // The host's thread sleeps until the earliest deadline it knew of; while
    // it runs (0) it may have looked at this node already.
    const std::uint64_t next = node.nextDeadlineUs();
    if (next != kNever && (sleepingUntil_ == 0 || next < sleepingUntil_)) {
      rescan_ = true;
      wakeHost = sleepingUntil_ != 0;
    }
    output = !outbox_.empty();
  }
  if (wakeHost) wake_.notify_one();
  if (!output) return;
  // removeNode and the destructor hold flushMutex_ while they wait for the
  // bus to finish delivering into a port, so a delivery must not wait for
  // it: when it is taken, whoever holds it or the host's thread sends the
  // frames, in the order the nodes produced them.
  std::unique_lock<std::mutex> flushing(flushMutex_, std::try_to_lock);
  if (flushing.owns_lock()) {
    sendOutbox();
  } else {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      rescan_ = true;
    }
    wake_.notify_one();
  }
}

void NodeHost::flush() {
  std::lock_guard<std::mutex> flush(flushMutex_);
  sendOutbox();
}

void NodeHost::sendOutbox() {
  std::vector<std::pair<Port*, CanFrame>> out;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    out.swap(outbox_);
  }
  for (const auto& [port, frame] : out) bus_.submit(port, frame);
}

bool NodeHost::withNode(std::uint8_t nodeId, const std::function<void(SimNode&, std::uint64_t)>& fn) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = nodes_.find(nodeId);
    if (it == nodes_.end()) return false;
    const std::uint64_t now = nowUs();
    fn(*it->second.node, now);
    it->second.node->poll(now);
    it->second.port->rate.store(it->second.node->bitrateKbit(), std::memory_order_relaxed);
    rescan_ = true;
  }
  flush();
  wake_.notify_all();  // deadlines may have moved
  return true;
}

bool NodeHost::setDigitalInputs(std::uint8_t nodeId, std::uint32_t bits) {
  bool ok = false;
  return withNode(nodeId, [&](SimNode& n, std::uint64_t now) { ok = n.setDigitalInputs(bits, now); }) && ok;
}

bool NodeHost::raiseEmergency(std::uint8_t nodeId, std::uint16_t code, std::uint16_t info) {
  return withNode(nodeId, [&](SimNode& n, std::uint64_t now) { n.raiseEmergency(code, now, info); });
}

bool NodeHost::powerCycle(std::uint8_t nodeId) {
  return withNode(nodeId, [](SimNode& n, std::uint64_t now) { n.powerCycle(now); });
}

bool NodeHost::setPowered(std::uint8_t nodeId, bool on) {
  return withNode(nodeId, [on](SimNode& n, std::uint64_t now) { n.setPowered(on, now); });
}

bool NodeHost::setSilent(std::uint8_t nodeId, bool silent) {
  return withNode(nodeId, [silent](SimNode& n, std::uint64_t) { n.setSilent(silent); });
}

bool NodeHost::setAnswerDelayMs(std::uint8_t nodeId, unsigned ms) {
  return withNode(nodeId, [ms](SimNode& n, std::uint64_t) { n.setAnswerDelayUs(std::uint64_t(ms) * 1000); });
}

bool NodeHost::readObject(std::uint8_t nodeId, std::uint16_t index, std::uint8_t sub, Bytes& value,
                          std::uint32_t& abortCode) {
  return withNode(nodeId, [&](SimNode& n, std::uint64_t) { abortCode = n.readObject(index, sub, value); });
}

bool NodeHost::writeObject(std::uint8_t nodeId, std::uint16_t index, std::uint8_t sub, const Bytes& value,
                           std::uint32_t& abortCode) {
  return withNode(nodeId, [&](SimNode& n, std::uint64_t) { abortCode = n.writeObject(index, sub, value); });
}

void NodeHost::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    rescan_ = false;
    const std::uint64_t now = nowUs();
    std::uint64_t due = kNever;
    for (auto& [id, slot] : nodes_) {
      if (slot.node->nextDeadlineUs() <= now) slot.node->poll(now);
      due = std::min(due, slot.node->nextDeadlineUs());
      // A reset may have moved the node to another bit rate; its frames
      // (the boot-up first) go out at the new one.
      slot.port->rate.store(slot.node->bitrateKbit(), std::memory_order_relaxed);
    }
    if (!outbox_.empty()) {
      lock.unlock();
      flush();
      lock.lock();
    }
    auto ready = [this] { return stop_ || rescan_; };
    if (ready()) continue;
    sleepingUntil_ = due;
    if (due == kNever) wake_.wait(lock, ready);
    else wake_.wait_until(lock, epoch_ + std::chrono::microseconds(due), ready);
    sleepingUntil_ = 0;  // awake: it looks at every node before it sleeps again
  }
}

}  // namespace kestrum::sim
