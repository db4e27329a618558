#include "VirtualBus.h"

#include <pthread.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <queue>
#include <random>
#include <thread>
#include <vector>

namespace kestrum::sim {

namespace {

using Clock = std::chrono::steady_clock;

// Frames one thread may deliver before it hands the rest of the queue to the
// bus thread, so a submitting thread (say a simulated node's timer) is never
// kept busy indefinitely by other ports' traffic.
constexpr int kMaxInlineDeliveries = 256;
constexpr auto kTraceFlushInterval = std::chrono::seconds(1);

// Uniform in [0, 1) from the top 53 bits: the same sequence on every library,
// unlike std::uniform_real_distribution.
double uniform(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * 0x1.0p-53; }

// Arbitration value: a smaller value wins. Built from the bits in the order
// they go on the wire (base identifier, RTR/SRR, IDE, extension, RTR), so a
// standard frame beats an extended one with the same base identifier and a
// data frame beats a remote frame with the same identifier.
std::uint64_t arbitrationKey(const CanFrame& f) {
  const std::uint64_t rtr = f.remote ? 1 : 0;
  if (!f.extended) return (std::uint64_t(f.id & 0x7FF) << 21) | (rtr << 20);
  const std::uint64_t base = (f.id >> 18) & 0x7FF;
  const std::uint64_t ext = f.id & 0x3FFFF;
  return (base << 21) | (1u << 20) | (1u << 19) | (ext << 1) | rtr;
}

// Bits from start of frame to the end of the CRC, the part subject to bit stuffing.
std::vector<bool> stuffableBits(const CanFrame& f) {
  std::vector<bool> bits;
  bits.reserve(128);
  auto put = [&bits](std::uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) bits.push_back(((value >> i) & 1) != 0);
  };
  put(0, 1);  // start of frame
  if (f.extended) {
    put(f.id >> 18, 11);
    put(1, 1);  // SRR
    put(1, 1);  // IDE
    put(f.id & 0x3FFFF, 18);
    put(f.remote ? 1 : 0, 1);
    put(0, 2);  // r1, r0
  } else {
    put(f.id, 11);
    put(f.remote ? 1 : 0, 1);
    put(0, 2);  // IDE, r0
  }
  put(f.dlc, 4);
  if (!f.remote)
    for (int i = 0; i < f.dlc; ++i) put(f.data[i], 8);
  std::uint32_t crc = 0;  // CRC-15/CAN over everything so far
  for (bool b : bits) {
    const bool feedback = b != (((crc >> 14) & 1) != 0);
    crc = (crc << 1) & 0x7FFF;
    if (feedback) crc ^= 0x4599;
  }
  put(crc, 15);
  return bits;
}

}  // namespace

std::uint32_t VirtualBus::frameBits(const CanFrame& frame) {
  CanFrame f = frame;
  f.dlc = std::min<std::uint8_t>(f.dlc, 8);
  // Fixed part of a standard frame: SOF, 11-bit ID, RTR, IDE, r0, DLC, CRC,
  // CRC delimiter, ACK slot + delimiter, EOF and interframe space = 47 bits;
  // an extended identifier adds SRR, 18 identifier bits and r1. Remote frames
  // carry no data bits.
  std::uint32_t bits = 47 + (f.extended ? 20 : 0) + (f.remote ? 0 : 8u * f.dlc);
  // Stuffing is not estimated but counted: the transmitter inserts a
  // complementary bit after five equal ones from SOF to the end of the CRC,
  // so the exact figure follows from the frame's own bits.
  int run = 0;
  bool last = false;
  bool first = true;
  for (bool b : stuffableBits(f)) {
    if (!first && b == last) {
      if (++run == 5) {
        ++bits;
        last = !b;  // the stuff bit starts a new run
        run = 1;
        continue;
      }
    } else {
      run = 1;
      last = b;
    }
    first = false;
  }
  return bits;
}

struct VirtualBus::Impl {
  struct Entry {
    BusPort* port;
    bool attached = true;
  };
  struct Pending {
    CanFrame frame;
    BusPort* from = nullptr;
    unsigned fromRate = 0;  ///< the sender's bit rate when it submitted (0 = follows the bus)
  };
  struct Waiting {  // paced: waiting for arbitration
    std::uint64_t key;
    std::uint64_t seq;
    Pending p;
    bool operator<(const Waiting& o) const {  // priority_queue: top = smallest key, then oldest
      return key != o.key ? key > o.key : seq > o.seq;
    }
  };
  struct Held {  // held back by the delay fault
    Clock::time_point due;
    std::uint64_t seq;
    Pending p;
    bool operator<(const Held& o) const { return due != o.due ? due > o.due : seq > o.seq; }
  };

  explicit Impl(unsigned kbit) : bitrate(kbit), epoch(Clock::now()), busFreeAt(epoch) {}

  const unsigned bitrate;
  const Clock::time_point epoch;

  mutable std::mutex m;
  std::condition_variable schedulerCv;
  std::condition_variable callDoneCv;
  std::vector<std::shared_ptr<Entry>> ports;
  std::vector<std::shared_ptr<Entry>> snapshot;  // used only by the current deliverer
  std::uint64_t portsVersion = 0, snapshotVersion = ~0ull;

  std::deque<Pending> queue;                 // unpaced: waiting for the deliverer
  std::priority_queue<Waiting> arbitration;  // paced: waiting for the wire
  Clock::time_point arbitrationSince;        // since when the arbitration queue is non-empty
  Clock::time_point busFreeAt;
  // How long after its end the last frame reached the ports: the bus thread's
  // wake-up latency, which is the simulator's, not the wire's.
  Clock::duration lateBy{0};
  std::priority_queue<Held> held;
  std::uint64_t seq = 0;

  bool delivering = false;
  std::thread::id deliverer;
  BusPort* inCall = nullptr;
  int detachWaiters = 0;

  FaultConfig faults;
  std::mt19937_64 faultRng{1}, foreignRng{1};
  Clock::time_point nextForeign;

  std::FILE* trace = nullptr;
  std::string traceBus;
  bool traceDirty = false;
  Clock::time_point traceFlushDue;

  std::uint64_t onWire = 0;
  bool stopping = false;
  std::thread scheduler;
  std::thread::id schedulerId;

  bool paced() const { return bitrate != 0; }
  bool rateMatches(unsigned portRate) const { return bitrate == 0 || portRate == 0 || portRate == bitrate; }
  // Two ports hear each other when both run at one rate or either follows
  // the bus; on an unrated bus this alone keeps a 500 kbit/s client from
  // hearing nodes at 1000 kbit/s.
  static bool ratesCompatible(unsigned a, unsigned b) { return a == 0 || b == 0 || a == b; }
  std::uint64_t usAt(Clock::time_point t) const {
    return std::uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(t - epoch).count());
  }
  bool deliveringHere() const { return delivering && deliverer == std::this_thread::get_id(); }
  Clock::duration wireTime(const CanFrame& f) const {
    return std::chrono::nanoseconds(std::uint64_t(frameBits(f)) * 1000000u / bitrate);
  }

  // Paced: when a submitted frame reaches the wire. A port that reacts to a
  // frame (an SDO answer to its request) submits as late as the bus thread
  // woke up to deliver that frame; on a real bus the reaction would have
  // followed the frame's end. That lateness is credited, so it does not add
  // up over a chain of exchanges any more than over a burst. The credit is
  // bounded by the frame's own wire time, so no frame reaches the ports
  // before it was submitted, and transmitNext never starts a frame before the
  // previous one ended, so the wire stays exclusive.
  Clock::time_point wireArrival(const CanFrame& f, Clock::time_point now) const {
    return now - std::min(lateBy, wireTime(f));
  }

  // Returns whether the bus thread has to be woken: only an idle wire needs
  // it, a busy one picks the frame up when the current one is through.
  bool enqueue(const Pending& p, Clock::time_point arrival) {
    if (!paced()) {
      queue.push_back(p);
      return false;
    }
    const bool idle = arbitration.empty();
    if (idle) arbitrationSince = arrival;
    arbitration.push(Waiting{arbitrationKey(p.frame), seq++, p});
    return idle;
  }

  // Runs with the lock held and `delivering` set by the caller; releases the
  // lock around every port call so ports may submit, attach or detach.
  void deliverOne(std::unique_lock<std::mutex>& lk, Pending& p, Clock::time_point at) {
    p.frame.timestampUs = usAt(at);
    ++onWire;
    writeTrace(p.frame, at);
    if (snapshotVersion != portsVersion) {
      snapshot = ports;
      snapshotVersion = portsVersion;
    }
    // Only one thread delivers at a time and deliveries never nest, so the
    // snapshot stays put during this loop even if a port call attaches or
    // detaches ports; a detached entry is skipped by its flag.
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
      Entry& e = *snapshot[i];
      if (!e.attached || e.port == p.from) continue;
      BusPort* port = e.port;
      inCall = port;
      lk.unlock();
      const unsigned rate = port->bitrateKbit();
      if (rateMatches(rate) && ratesCompatible(p.fromRate, rate)) port->deliver(p.frame);
      lk.lock();
      inCall = nullptr;
      if (detachWaiters) callDoneCv.notify_all();
    }
  }

  // Unpaced delivery of everything queued, on the calling thread.
  void drain(std::unique_lock<std::mutex>& lk, bool bounded) {
    delivering = true;
    deliverer = std::this_thread::get_id();
    int count = 0;
    while (!queue.empty() && !stopping) {
      if (bounded && ++count > kMaxInlineDeliveries) {
        schedulerCv.notify_one();  // the bus thread takes over
        break;
      }
      Pending p = queue.front();
      queue.pop_front();
      deliverOne(lk, p, Clock::now());
    }
    delivering = false;
  }

  void writeTrace(const CanFrame& f, Clock::time_point at) {
    if (!trace) return;
    const std::uint64_t us = usAt(at);
    char line[96];
    int n = std::snprintf(line, sizeof line, "(%010llu.%06llu) %s ", static_cast<unsigned long long>(us / 1000000),
                          static_cast<unsigned long long>(us % 1000000), traceBus.c_str());
    if (n < 0 || std::size_t(n) >= sizeof line) return;
    n += std::snprintf(line + n, sizeof line - n, f.extended ? "%08X#" : "%03X#", static_cast<unsigned>(f.id));
    if (f.remote) {
      line[n++] = 'R';
    } else {
      static const char hex[] = "0123456789ABCDEF";
      for (int i = 0; i < f.dlc; ++i) {
        line[n++] = hex[f.data[i] >> 4];
        line[n++] = hex[f.data[i] & 0xF];
      }
    }
    line[n++] = '\n';
    std::fwrite(line, 1, std::size_t(n), trace);
    if (!traceDirty) {
      traceDirty = true;
      traceFlushDue = Clock::now() + kTraceFlushInterval;
      if (std::this_thread::get_id() != schedulerId) schedulerCv.notify_one();  // it computes its next wake-up
    }
  }

  void flushTrace() {
    if (trace) std::fflush(trace);
    traceDirty = false;
  }

  // Applies the configured faults to one submitted frame; returns how many
  // copies (0..2) are in `out`, and for how long they are held back (0: not).
  int applyFaults(const CanFrame& in, CanFrame out[2], unsigned& holdMs) {
    // Every frame draws the same four numbers, so the sequence of decisions
    // depends only on the seed and the order of submissions.
    const double uDrop = uniform(faultRng), uDup = uniform(faultRng);
    const double uCorrupt = uniform(faultRng), uDelay = uniform(faultRng);
    const bool delayed = uDelay < faults.delay && std::max(faults.delayMs, faults.delayMaxMs) > 0;
    holdMs = 0;
    if (delayed) {
      holdMs = faults.delayMs;
      // Drawn only for held-back frames: the sequence stays a function of the seed.
      if (faults.delayMaxMs > faults.delayMs)
        holdMs += unsigned(faultRng() % (faults.delayMaxMs - faults.delayMs + 1));
    }
    if (uDrop < faults.drop) return 0;
    out[0] = in;
    if (uCorrupt < faults.corrupt && !in.remote && in.dlc > 0) {
      const unsigned bit = unsigned(faultRng() % (8u * in.dlc));
      out[0].data[bit / 8] ^= std::uint8_t(1u << (bit % 8));
    }
    if (uDup < faults.duplicate) {
      out[1] = out[0];
      return 2;
    }
    return 1;
  }

  CanFrame foreignFrame() {
    CanFrame f;
    const std::uint64_t r = foreignRng();
    f.id = std::uint32_t(r & 0x7FF);
    f.dlc = std::uint8_t((r >> 11) % 9);
    const std::uint64_t bytes = foreignRng();
    for (int i = 0; i < f.dlc; ++i) f.data[i] = std::uint8_t(bytes >> (8 * i));
    return f;
  }

  void scheduleNextForeign(Clock::time_point from) {
    if (faults.foreignPerSecond <= 0) return;
    const double seconds = -std::log(1.0 - uniform(foreignRng)) / faults.foreignPerSecond;
    nextForeign = from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }

  void run() {
    // Paced frames end every 50 µs and more; the default timer slack (50 µs)
    // would make every delivery that much late.
    if (paced()) ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::unique_lock<std::mutex> lk(m);
    schedulerId = std::this_thread::get_id();
    while (!stopping) {
      const auto now = Clock::now();
      while (!held.empty() && held.top().due <= now) {
        Held h = held.top();
        held.pop();
        enqueue(h.p, h.due);
      }
      if (faults.foreignPerSecond > 0 && nextForeign <= now) {
        enqueue(Pending{foreignFrame(), nullptr}, nextForeign);
        scheduleNextForeign(nextForeign < now - std::chrono::seconds(1) ? now : nextForeign);
      }
      if (traceDirty && traceFlushDue <= now) flushTrace();

      if (!paced() && !queue.empty() && !delivering) {
        drain(lk, false);
        continue;
      }
      if (paced() && !arbitration.empty()) {
        transmitNext(lk);
        continue;
      }

      Clock::time_point wake = Clock::time_point::max();
      if (!held.empty()) wake = std::min(wake, held.top().due);
      if (faults.foreignPerSecond > 0) wake = std::min(wake, nextForeign);
      if (traceDirty) wake = std::min(wake, traceFlushDue);
      if (wake == Clock::time_point::max())
        schedulerCv.wait(lk);
      else
        schedulerCv.wait_until(lk, wake);
    }
  }

  // Paced: the lowest waiting identifier wins the idle wire, occupies it for
  // its bit time and reaches the ports when its last bit has been sent.
  // Times advance from the previous frame's end while frames wait, so sleep
  // overshoot does not add up over a burst.
  void transmitNext(std::unique_lock<std::mutex>& lk) {
    const auto start = std::max(busFreeAt, arbitrationSince);
    Waiting w = arbitration.top();
    arbitration.pop();
    const auto end = start + wireTime(w.p.frame);
    busFreeAt = end;
    arbitrationSince = end;  // frames still waiting compete as soon as the wire is free
    while (!stopping && Clock::now() < end) schedulerCv.wait_until(lk, end);
    if (stopping) return;
    lateBy = Clock::now() - end;
    delivering = true;
    deliverer = std::this_thread::get_id();
    deliverOne(lk, w.p, end);
    delivering = false;
  }
};

VirtualBus::VirtualBus(unsigned bitrateKbit) : d(std::make_unique<Impl>(bitrateKbit)) {
  d->scheduler = std::thread([this] {
    pthread_setname_np(pthread_self(), "sim-bus");
    d->run();
  });
}

VirtualBus::~VirtualBus() {
  {
    std::lock_guard<std::mutex> lk(d->m);
    d->stopping = true;
  }
  d->schedulerCv.notify_all();
  d->scheduler.join();
  std::lock_guard<std::mutex> lk(d->m);
  if (d->trace) std::fclose(d->trace);
}

void VirtualBus::attach(BusPort* port) {
  if (!port) return;
  std::lock_guard<std::mutex> lk(d->m);
  for (auto& e : d->ports)
    if (e->port == port) return;
  d->ports.push_back(std::make_shared<Impl::Entry>(Impl::Entry{port}));
  ++d->portsVersion;
}

void VirtualBus::detach(BusPort* port) {
  std::unique_lock<std::mutex> lk(d->m);
  auto it = std::find_if(d->ports.begin(), d->ports.end(), [port](auto& e) { return e->port == port; });
  if (it == d->ports.end()) return;
  (*it)->attached = false;
  d->ports.erase(it);
  ++d->portsVersion;
  // A call into this port on another thread may still be running; wait for
  // it. A port detaching itself (or another) from inside deliver() runs on
  // the delivering thread and must not wait for itself.
  if (d->deliveringHere()) return;
  while (d->inCall == port) {
    ++d->detachWaiters;
    d->callDoneCv.wait(lk);
    --d->detachWaiters;
  }
}

void VirtualBus::submit(BusPort* from, const CanFrame& frame) {
  if (frame.error) return;  // controller error reports are not bus traffic
  // A node at the wrong bit rate only produces error frames: nobody hears it.
  const unsigned fromRate = from ? from->bitrateKbit() : 0;
  if (!d->rateMatches(fromRate)) return;
  CanFrame f = frame;
  f.dlc = std::min<std::uint8_t>(f.dlc, 8);
  f.id &= f.extended ? 0x1FFFFFFFu : 0x7FFu;
  for (int i = f.remote ? 0 : f.dlc; i < 8; ++i) f.data[i] = 0;

  std::unique_lock<std::mutex> lk(d->m);
  if (d->stopping) return;
  CanFrame copies[2];
  unsigned holdMs = 0;
  const int n = d->applyFaults(f, copies, holdMs);
  const bool delayed = holdMs > 0;
  if (n == 0) {
    ++d->onWire;  // lost on the wire: counted, but nobody receives it
    return;
  }
  const auto now = Clock::now();
  bool wake = false;
  for (int i = 0; i < n; ++i) {
    if (delayed) {
      const auto due = now + std::chrono::milliseconds(holdMs);
      wake = wake || d->held.empty() || due < d->held.top().due;  // a new earliest deadline
      d->held.push(Impl::Held{due, d->seq++, {copies[i], from, fromRate}});
    } else {
      const auto arrival = d->paced() ? d->wireArrival(copies[i], now) : now;
      wake = d->enqueue({copies[i], from, fromRate}, arrival) || wake;
    }
  }
  if (wake) d->schedulerCv.notify_one();
  if (delayed || d->paced()) return;
  if (d->delivering) return;  // the current deliverer picks it up after its frame
  d->drain(lk, true);
}

unsigned VirtualBus::bitrateKbit() const { return d->bitrate; }

void VirtualBus::setFaults(const FaultConfig& faults) {
  auto clamp = [](double p) { return std::isfinite(p) ? std::clamp(p, 0.0, 1.0) : 0.0; };
  std::lock_guard<std::mutex> lk(d->m);
  d->faults = faults;
  d->faults.drop = clamp(faults.drop);
  d->faults.duplicate = clamp(faults.duplicate);
  d->faults.corrupt = clamp(faults.corrupt);
  d->faults.delay = clamp(faults.delay);
  if (!std::isfinite(faults.foreignPerSecond) || faults.foreignPerSecond < 0) d->faults.foreignPerSecond = 0;
  d->faultRng.seed(faults.seed);
  // A separate generator: foreign frames are timed by the clock, and must not
  // shift the fault decisions for submitted frames.
  d->foreignRng.seed(faults.seed ^ 0x9E3779B97F4A7C15ull);
  d->scheduleNextForeign(Clock::now());
  d->schedulerCv.notify_one();
}

bool VirtualBus::setTrace(const std::string& path, const std::string& busName, std::string& error) {
  std::FILE* file = nullptr;
  if (!path.empty()) {
    file = std::fopen(path.c_str(), "w");
    if (!file) {
      error = path + ": " + std::strerror(errno);
      return false;
    }
    std::setvbuf(file, nullptr, _IOFBF, 1 << 16);
  }
  std::lock_guard<std::mutex> lk(d->m);
  if (d->trace) std::fclose(d->trace);
  d->trace = file;
  d->traceBus = busName;
  d->traceDirty = false;
  return true;
}

std::uint64_t VirtualBus::nowUs() const { return d->usAt(Clock::now()); }

std::uint64_t VirtualBus::framesOnWire() const {
  std::lock_guard<std::mutex> lk(d->m);
  return d->onWire;
}

}  // namespace kestrum::sim
