#include "SocketCanTransport.h"

#include <linux/can/error.h>
#include <linux/can/netlink.h>
#include <linux/can/raw.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrum::transport {

using detail::errnoText;
using detail::WaitResult;

// ---------------------------------------------------------------------------
// Frame conversion

CanFrame fromSocketCan(const can_frame& in, std::uint64_t timestampUs) {
  CanFrame f;
  f.timestampUs = timestampUs;
  f.dlc = std::min<std::uint8_t>(in.can_dlc, 8);
  if (in.can_id & CAN_ERR_FLAG) {
    f.error = true;
    f.id = in.can_id & CAN_ERR_MASK;
    f.dlc = CAN_ERR_DLC;  // the kernel always fills all eight detail bytes
    std::memcpy(f.data, in.data, CAN_ERR_DLC);
    return f;
  }
  f.extended = (in.can_id & CAN_EFF_FLAG) != 0;
  f.id = in.can_id & (f.extended ? CAN_EFF_MASK : CAN_SFF_MASK);
  f.remote = (in.can_id & CAN_RTR_FLAG) != 0;
  if (!f.remote) std::memcpy(f.data, in.data, f.dlc);
  return f;
}

bool toSocketCan(const CanFrame& in, can_frame& out, std::string& error) {
  error = detail::sendProblem(in);
  if (!error.empty()) return false;
  out = can_frame{};
  out.can_id = in.id;
  if (in.extended) out.can_id |= CAN_EFF_FLAG;
  if (in.remote) out.can_id |= CAN_RTR_FLAG;
  out.can_dlc = in.dlc;
  if (!in.remote) std::memcpy(out.data, in.data, in.dlc);
  return true;
}

// ---------------------------------------------------------------------------
// rtnetlink: bit timing of a CAN interface

namespace {

struct LinkRequest {
  nlmsghdr header;
  ifinfomsg info;
  char attributes[256];
};

rtattr* addAttribute(LinkRequest& req, unsigned short type, const void* data, std::size_t size) {
  auto* attr = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&req) + NLMSG_ALIGN(req.header.nlmsg_len));
  attr->rta_type = type;
  attr->rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
  if (size) std::memcpy(RTA_DATA(attr), data, size);
  req.header.nlmsg_len = NLMSG_ALIGN(req.header.nlmsg_len) + RTA_ALIGN(attr->rta_len);
  return attr;
}

void endNest(LinkRequest& req, rtattr* nest) {
  nest->rta_len = static_cast<unsigned short>(reinterpret_cast<char*>(&req) + req.header.nlmsg_len -
                                              reinterpret_cast<char*>(nest));
}

// Sends one request and receives the reply into `reply`; false with a reason.
bool netlinkExchange(LinkRequest& req, std::string& reply, std::string& error) {
  int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) {
    error = "cannot open rtnetlink: " + errnoText(errno);
    return false;
  }
  timeval tv{1, 0};  // the kernel answers at once; never hang on a broken stack
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  bool ok = ::send(fd, &req, req.header.nlmsg_len, 0) == static_cast<ssize_t>(req.header.nlmsg_len);
  if (!ok) error = "rtnetlink request failed: " + errnoText(errno);
  if (ok) {
    reply.resize(16384);
    ssize_t n = ::recv(fd, reply.data(), reply.size(), 0);
    ok = n > 0;
    if (ok) reply.resize(static_cast<std::size_t>(n));
    else error = "no rtnetlink answer: " + errnoText(errno);
  }
  ::close(fd);
  return ok;
}

LinkRequest linkRequest(int ifindex, unsigned short type, unsigned short flags) {
  LinkRequest req{};
  req.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
  req.header.nlmsg_type = type;
  req.header.nlmsg_flags = static_cast<unsigned short>(NLM_F_REQUEST | flags);
  req.header.nlmsg_seq = 1;
  req.info.ifi_family = AF_UNSPEC;
  req.info.ifi_index = ifindex;
  return req;
}

const rtattr* findAttribute(const void* data, int length, unsigned short type) {
  for (auto* a = static_cast<const rtattr*>(data); RTA_OK(a, length); a = RTA_NEXT(a, length))
    if ((a->rta_type & NLA_TYPE_MASK) == type) return a;
  return nullptr;
}

bool writeInterfaceBitrate(int ifindex, std::uint32_t bitrate, std::string& error) {
  LinkRequest req = linkRequest(ifindex, RTM_NEWLINK, NLM_F_ACK);
  rtattr* linkinfo = addAttribute(req, IFLA_LINKINFO, nullptr, 0);
  addAttribute(req, IFLA_INFO_KIND, "can", 3);
  rtattr* infodata = addAttribute(req, IFLA_INFO_DATA, nullptr, 0);
  can_bittiming timing{};
  timing.bitrate = bitrate;
  addAttribute(req, IFLA_CAN_BITTIMING, &timing, sizeof timing);
  endNest(req, infodata);
  endNest(req, linkinfo);
  std::string reply;
  if (!netlinkExchange(req, reply, error)) return false;
  auto* h = reinterpret_cast<const nlmsghdr*>(reply.data());
  if (reply.size() < NLMSG_LENGTH(sizeof(nlmsgerr)) || h->nlmsg_type != NLMSG_ERROR) {
    error = "unexpected rtnetlink answer";
    return false;
  }
  const int code = static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
  if (code != 0) error = errnoText(-code);
  return code == 0;
}

}  // namespace

bool readInterfaceBitrate(const std::string& ifname, std::uint32_t& bitrate, bool& isCan, std::string& error) {
  const int ifindex = static_cast<int>(::if_nametoindex(ifname.c_str()));
  if (ifindex == 0) {
    error = "no network interface " + ifname;
    return false;
  }
  LinkRequest req = linkRequest(ifindex, RTM_GETLINK, 0);
  std::string reply;
  if (!netlinkExchange(req, reply, error)) return false;
  auto* h = reinterpret_cast<const nlmsghdr*>(reply.data());
  if (!NLMSG_OK(h, reply.size()) || h->nlmsg_type != RTM_NEWLINK) {
    error = "cannot read the settings of " + ifname;
    return false;
  }
  bitrate = 0;
  isCan = false;
  auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(h));
  const int attrLength = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *info));
  const rtattr* linkinfo = findAttribute(IFLA_RTA(info), attrLength, IFLA_LINKINFO);
  if (!linkinfo) return true;
  const rtattr* kind = findAttribute(RTA_DATA(linkinfo), RTA_PAYLOAD(linkinfo), IFLA_INFO_KIND);
  isCan = kind && std::strncmp(static_cast<const char*>(RTA_DATA(kind)), "can", RTA_PAYLOAD(kind)) == 0;
  const rtattr* data = findAttribute(RTA_DATA(linkinfo), RTA_PAYLOAD(linkinfo), IFLA_INFO_DATA);
  const rtattr* timing = data ? findAttribute(RTA_DATA(data), RTA_PAYLOAD(data), IFLA_CAN_BITTIMING) : nullptr;
  if (timing && RTA_PAYLOAD(timing) >= sizeof(can_bittiming)) {
    can_bittiming t;
    std::memcpy(&t, RTA_DATA(timing), sizeof t);
    bitrate = t.bitrate;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Transport

SocketCanTransport::SocketCanTransport(std::string ifname) : ifname_(std::move(ifname)) {}

SocketCanTransport::~SocketCanTransport() { close(); }

std::string SocketCanTransport::description() const { return "socketcan:" + ifname_; }

void SocketCanTransport::setError(const std::string& text) {
  std::lock_guard<std::mutex> lock(errorMutex_);
  lastError_ = text;
}

std::string SocketCanTransport::lastError() const {
  std::lock_guard<std::mutex> lock(errorMutex_);
  return lastError_;
}

bool SocketCanTransport::isOpen() const { return open_ && !lost_; }

bool SocketCanTransport::open(std::string& error) {
  if (isOpen()) return true;
  if (open_) close();
  std::lock_guard<std::mutex> readLock(readMutex_);
  lost_ = false;
  auto fail = [&](const std::string& text, int fd) {
    if (fd >= 0) ::close(fd);
    wake_.destroy();
    error = text;
    setError(text);
    return false;
  };
  int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, CAN_RAW);
  if (fd < 0) {
    const int err = errno;
    if (err == EAFNOSUPPORT || err == EPROTONOSUPPORT || err == EINVAL)
      return fail("CAN sockets not supported by this kernel (" + errnoText(err) + ")", -1);
    return fail("cannot open a CAN socket: " + errnoText(err), -1);
  }
  const unsigned ifindex = ::if_nametoindex(ifname_.c_str());
  if (ifindex == 0) return fail("no CAN interface " + ifname_, fd);
  // Bus errors arrive as error frames so the stand-ins can report bus-off and the like.
  can_err_mask_t errMask = CAN_ERR_MASK;
  ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errMask, sizeof errMask);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &one, sizeof one);
  sockaddr_can addr{};
  addr.can_family = AF_CAN;
  addr.can_ifindex = static_cast<int>(ifindex);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return fail("cannot bind to " + ifname_ + ": " + errnoText(errno), fd);
  if (!wake_.create(error)) return fail(error, fd);
  fd_ = fd;
  open_ = true;
  setError({});
  return true;
}

void SocketCanTransport::close() {
  open_ = false;
  wake_.signal();
  std::lock_guard<std::mutex> readLock(readMutex_);
  std::lock_guard<std::mutex> sendLock(sendMutex_);
  if (int fd = fd_.exchange(-1); fd >= 0) ::close(fd);
  wake_.destroy();
}

bool SocketCanTransport::send(const CanFrame& frame, std::string& error) {
  can_frame out;
  if (!toSocketCan(frame, out, error)) return false;
  if (!open_) {
    error = description() + " is not open";
    return false;
  }
  std::lock_guard<std::mutex> lock(sendMutex_);
  const int fd = fd_;
  for (int attempt = 0;; ++attempt) {
    ssize_t n = ::write(fd, &out, sizeof out);
    if (n == static_cast<ssize_t>(sizeof out)) return true;
    const int err = n < 0 ? errno : EIO;
    if (err == EINTR) continue;
    // A full transmit queue drains at the bus rate: wait a little, at most
    // about 200 ms in all. CAN reports ENOBUFS without ever signalling POLLOUT,
    // so then only the wake-up or the short time-out ends the wait.
    if ((err == EAGAIN || err == ENOBUFS) && attempt < 100) {
      const short events = err == EAGAIN ? POLLOUT : 0;
      if (detail::waitFd(fd, events, wake_, 2) == WaitResult::Woken) {
        error = description() + " was closed";
        return false;
      }
      continue;
    }
    error = "sending on " + description() + " failed: " + errnoText(err);
    if (err == ENETDOWN || err == ENODEV) error = description() + " is down";
    setError(error);
    return false;
  }
}

ReadStatus SocketCanTransport::read(CanFrame& frame, int timeoutMs) {
  std::lock_guard<std::mutex> lock(readMutex_);
  if (!open_) {
    if (lastError().empty()) setError(description() + " is not open");
    return ReadStatus::Failed;
  }
  const bool unlimited = timeoutMs < 0;
  const auto deadline = detail::Clock::now() + std::chrono::milliseconds(unlimited ? 0 : timeoutMs);
  for (;;) {
    const int fd = fd_;
    switch (detail::waitFd(fd, POLLIN, wake_, detail::msLeft(deadline, unlimited))) {
      case WaitResult::Woken:
        setError(description() + " was closed");
        return ReadStatus::Failed;
      case WaitResult::Timeout: return ReadStatus::Timeout;
      case WaitResult::Error:
        setError("waiting on " + description() + " failed: " + errnoText(errno));
        return ReadStatus::Failed;
      case WaitResult::Ready: break;
    }
    can_frame in{};
    iovec iov{&in, sizeof in};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(fd, &msg, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      lost_ = true;
      setError(errno == ENETDOWN ? description() + " is down"
                                 : "reading " + description() + " failed: " + errnoText(errno));
      return ReadStatus::Failed;
    }
    if (static_cast<std::size_t>(n) < sizeof in) continue;  // not a classic frame
    std::uint64_t stampUs = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMP) {
        timeval tv;
        std::memcpy(&tv, CMSG_DATA(c), sizeof tv);
        stampUs = static_cast<std::uint64_t>(tv.tv_sec) * 1000000u + static_cast<std::uint64_t>(tv.tv_usec);
      }
    }
    if (stampUs == 0) {
      timeval now;
      ::gettimeofday(&now, nullptr);
      stampUs = static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_usec);
    }
    frame = fromSocketCan(in, stampUs);
    return ReadStatus::Frame;
  }
}

bool SocketCanTransport::setBitrate(unsigned kbit, std::string& error) {
  if (kbit == 0 || kbit > 1000) {
    error = "bit rate " + std::to_string(kbit) + " kbit/s is not possible on a CAN bus (1 to 1000)";
    return false;
  }
  const std::uint32_t wanted = kbit * 1000u;
  std::uint32_t current = 0;
  bool isCan = false;
  if (!readInterfaceBitrate(ifname_, current, isCan, error)) return false;
  if (!isCan || current == wanted) return true;  // virtual interfaces run at any rate
  std::string why;
  const int ifindex = static_cast<int>(::if_nametoindex(ifname_.c_str()));
  if (writeInterfaceBitrate(ifindex, wanted, why)) return true;
  const std::string how = " (setting it needs root and the interface down: ip link set " + ifname_ +
                          " down type can bitrate " + std::to_string(wanted) + ")";
  if (current == 0)
    error = description() + " has no bit rate configured and it cannot be set: " + why + how;
  else
    error = description() + " runs at " + std::to_string(current / 1000) + " kbit/s, not " + std::to_string(kbit) +
            " kbit/s; it cannot be changed: " + why + how;
  return false;
}

}  // namespace kestrum::transport
