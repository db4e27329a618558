// libpcanbasic.so as Varnex uses it: loaded by file name, bound by name, run
// against a virtual bus named in KESTRUM_BUS.

#include <poll.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "PCANBasic.h"
#include "StandInTestSupport.h"

namespace {

using kestrum::test::eventually;
using kestrum::test::StandIn;
using kestrum::test::TestBus;
using kestrum::test::useBuses;

struct Pcan {
  PFN_CAN_Initialize initialize;
  PFN_CAN_Uninitialize uninitialize;
  PFN_CAN_Read read;
  PFN_CAN_Write write;
  PFN_CAN_GetStatus getStatus;
  PFN_CAN_GetErrorText errorText;
  PFN_CAN_GetValue getValue;
  PFN_CAN_SetValue setValue;
  PFN_CAN_Reset reset;
};

class PcanBasic : public ::testing::Test {
 protected:
  void SetUp() override {
    static StandIn library("libpcanbasic.so");
    ASSERT_TRUE(library.loaded()) << library.error();
    pcan = {library.bind<PFN_CAN_Initialize>("CAN_Initialize"), library.bind<PFN_CAN_Uninitialize>("CAN_Uninitialize"),
            library.bind<PFN_CAN_Read>("CAN_Read"),             library.bind<PFN_CAN_Write>("CAN_Write"),
            library.bind<PFN_CAN_GetStatus>("CAN_GetStatus"),   library.bind<PFN_CAN_GetErrorText>("CAN_GetErrorText"),
            library.bind<PFN_CAN_GetValue>("CAN_GetValue"),     library.bind<PFN_CAN_SetValue>("CAN_SetValue"),
            library.bind<PFN_CAN_Reset>("CAN_Reset")};
    ASSERT_TRUE(pcan.initialize && pcan.uninitialize && pcan.read && pcan.write && pcan.getStatus && pcan.errorText &&
                pcan.getValue && pcan.setValue && pcan.reset);
  }
  void TearDown() override {
    if (pcan.uninitialize) pcan.uninitialize(PCAN_NONEBUS);
  }

  // Polls CAN_Read (which never waits) until a message arrives.
  TPCANStatus readWithin(TPCANHandle channel, TPCANMsg& msg, TPCANTimestamp* ts = nullptr) {
    TPCANStatus status = PCAN_ERROR_QRCVEMPTY;
    // The status says whether a message came; the callers check it.
    static_cast<void>(eventually([&] { return (status = pcan.read(channel, &msg, ts)) != PCAN_ERROR_QRCVEMPTY; }));
    return status;
  }

  // The channel's receive event (a file descriptor), or -1.
  int receiveEvent(TPCANHandle channel) {
    int fd = -1;
    return pcan.getValue(channel, PCAN_RECEIVE_EVENT, &fd, sizeof fd) == PCAN_ERROR_OK ? fd : -1;
  }

  Pcan pcan{};
};

// Whether `fd` is readable within `timeoutMs`.
bool readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
}

TPCANMsg message(DWORD id, TPCANMessageType type, std::initializer_list<BYTE> data, BYTE len = 0xFF) {
  TPCANMsg msg{};
  msg.ID = id;
  msg.MSGTYPE = type;
  msg.LEN = len == 0xFF ? static_cast<BYTE>(data.size()) : len;
  std::copy(data.begin(), data.end(), msg.DATA);
  return msg;
}

TEST_F(PcanBasic, StatusCodesOfTheChannelLifecycle) {
  TestBus bus;
  useBuses(bus.entry());
  TPCANMsg msg = message(0x123, PCAN_MESSAGE_STANDARD, {1, 2});

  // Nothing initialised yet.
  EXPECT_EQ(pcan.read(PCAN_USBBUS1, &msg, nullptr), PCAN_ERROR_INITIALIZE);
  EXPECT_EQ(pcan.write(PCAN_USBBUS1, &msg), PCAN_ERROR_INITIALIZE);
  EXPECT_EQ(pcan.uninitialize(PCAN_USBBUS1), PCAN_ERROR_INITIALIZE);

  // Probing every channel as an adapter list does: only the configured bus answers.
  const TPCANHandle probed[] = {PCAN_ISABUS1, PCAN_DNGBUS1, PCAN_PCIBUS1, PCAN_USBBUS2, PCAN_PCCBUS2, 0x99};
  for (TPCANHandle h : probed) EXPECT_EQ(pcan.initialize(h, PCAN_BAUD_500K, 0, 0, 0), PCAN_ERROR_ILLHW) << h;
  EXPECT_EQ(pcan.initialize(PCAN_USBBUS1, 0x1234, 0, 0, 0), PCAN_ERROR_ILLPARAMVAL);

  ASSERT_EQ(pcan.initialize(PCAN_USBBUS1, PCAN_BAUD_500K, 0, 0, 0), PCAN_ERROR_OK);
  EXPECT_EQ(pcan.initialize(PCAN_USBBUS1, PCAN_BAUD_500K, 0, 0, 0), PCAN_ERROR_INITIALIZE);
  EXPECT_EQ(pcan.getStatus(PCAN_USBBUS1), PCAN_ERROR_OK);
  EXPECT_EQ(pcan.read(PCAN_USBBUS1, &msg, nullptr), PCAN_ERROR_QRCVEMPTY);
  EXPECT_EQ(pcan.read(PCAN_USBBUS1, nullptr, nullptr), PCAN_ERROR_ILLPARAMVAL);

  TPCANMsg tooLong = message(0x123, PCAN_MESSAGE_STANDARD, {}, 9);
  EXPECT_EQ(pcan.write(PCAN_USBBUS1, &tooLong), PCAN_ERROR_ILLDATA);
  TPCANMsg badId = message(0x800, PCAN_MESSAGE_STANDARD, {});
  EXPECT_EQ(pcan.write(PCAN_USBBUS1, &badId), PCAN_ERROR_ILLPARAMVAL);
  EXPECT_EQ(pcan.write(PCAN_USBBUS1, &msg), PCAN_ERROR_OK);

  char text[256];
  EXPECT_EQ(pcan.errorText(PCAN_ERROR_QRCVEMPTY, 0x09, text), PCAN_ERROR_OK);
  EXPECT_STREQ(text, "Receive queue is empty");

  EXPECT_EQ(pcan.uninitialize(PCAN_USBBUS1), PCAN_ERROR_OK);
  EXPECT_EQ(pcan.read(PCAN_USBBUS1, &msg, nullptr), PCAN_ERROR_INITIALIZE);
  // A channel can be opened again after uninitialising it.
  EXPECT_EQ(pcan.initialize(PCAN_USBBUS1, PCAN_BAUD_1M, 0, 0, 0), PCAN_ERROR_OK);
}

TEST_F(PcanBasic, TwoChannelsOnOneBusExchangeDataAndRemoteFrames) {
  TestBus bus;
  useBuses(bus.entry() + "," + bus.entry());  // USBBUS1 and USBBUS2, same bus
  ASSERT_EQ(pcan.initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_OK);
  ASSERT_EQ(pcan.initialize(PCAN_USBBUS2, PCAN_BAUD_250K, 0, 0, 0), PCAN_ERROR_OK);

  TPCANMsg sent = message(0x181, PCAN_MESSAGE_STANDARD, {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x11, 0x22, 0x33});
  ASSERT_EQ(pcan.write(PCAN_USBBUS1, &sent), PCAN_ERROR_OK);
  TPCANMsg got{};
  TPCANTimestamp ts{0xFFFFFFFF, 0xFFFF, 0xFFFF};
  ASSERT_EQ(readWithin(PCAN_USBBUS2, got, &ts), PCAN_ERROR_OK);
  EXPECT_EQ(got.ID, 0x181u);
  EXPECT_EQ(got.MSGTYPE, PCAN_MESSAGE_STANDARD);
  ASSERT_EQ(got.LEN, 8);
  EXPECT_EQ(std::memcmp(got.DATA, sent.DATA, 8), 0);
  EXPECT_LT(ts.micros, 1000);  // microseconds within the millisecond
  EXPECT_EQ(ts.millis_overflow, 0);
  // The sender does not hear its own frame.
  EXPECT_EQ(pcan.read(PCAN_USBBUS1, &got, nullptr), PCAN_ERROR_QRCVEMPTY);

  // Node guarding: a remote request and its answer.
  TPCANMsg request = message(0x705, PCAN_MESSAGE_RTR, {}, 1);
  ASSERT_EQ(pcan.write(PCAN_USBBUS1, &request), PCAN_ERROR_OK);
  ASSERT_EQ(readWithin(PCAN_USBBUS2, got), PCAN_ERROR_OK);
  EXPECT_EQ(got.ID, 0x705u);
  EXPECT_EQ(got.MSGTYPE, PCAN_MESSAGE_RTR);
  EXPECT_EQ(got.LEN, 1);
  TPCANMsg answer = message(0x705, PCAN_MESSAGE_STANDARD, {0x85});
  ASSERT_EQ(pcan.write(PCAN_USBBUS2, &answer), PCAN_ERROR_OK);
  ASSERT_EQ(readWithin(PCAN_USBBUS1, got), PCAN_ERROR_OK);
  EXPECT_EQ(got.MSGTYPE, PCAN_MESSAGE_STANDARD);
  EXPECT_EQ(got.DATA[0], 0x85);

  TPCANMsg extended = message(0x18FF0001, PCAN_MESSAGE_EXTENDED, {7});
  ASSERT_EQ(pcan.write(PCAN_USBBUS2, &extended), PCAN_ERROR_OK);
  ASSERT_EQ(readWithin(PCAN_USBBUS1, got), PCAN_ERROR_OK);
  EXPECT_EQ(got.ID, 0x18FF0001u);
  EXPECT_EQ(got.MSGTYPE, PCAN_MESSAGE_EXTENDED);
}

TEST_F(PcanBasic, LostBusGivesHardwareErrorsNotACrash) {
  auto bus = std::make_unique<TestBus>();
  useBuses(bus->entry());
  ASSERT_EQ(pcan.initialize(PCAN_USBBUS1, PCAN_BAUD_125K, 0, 0, 0), PCAN_ERROR_OK);
  const int event = receiveEvent(PCAN_USBBUS1);
  ASSERT_GE(event, 0);
  bus->stop();

  // A waiter learns of the loss through the receive event, which stays readable.
  EXPECT_TRUE(readable(event, 5000));
  TPCANMsg msg{};
  EXPECT_EQ(pcan.read(PCAN_USBBUS1, &msg, nullptr), PCAN_ERROR_ILLHW);
  EXPECT_TRUE(readable(event, 0));
  EXPECT_TRUE(eventually([&] { return pcan.read(PCAN_USBBUS1, &msg, nullptr) == PCAN_ERROR_ILLHW; }));
  TPCANMsg frame = message(0x100, PCAN_MESSAGE_STANDARD, {1});
  EXPECT_EQ(pcan.write(PCAN_USBBUS1, &frame), PCAN_ERROR_ILLHW);
  EXPECT_EQ(pcan.getStatus(PCAN_USBBUS1), PCAN_ERROR_ILLHW);
  EXPECT_EQ(pcan.uninitialize(PCAN_USBBUS1), PCAN_ERROR_OK);
  // With the server gone, the channel is absent hardware.
  EXPECT_EQ(pcan.initialize(PCAN_USBBUS1, PCAN_BAUD_125K, 0, 0, 0), PCAN_ERROR_ILLHW);
}

TEST_F(PcanBasic, UninitializeWhileAnotherThreadReadsAndWrites) {
  TestBus bus;
  useBuses(bus.entry());
  ASSERT_EQ(pcan.initialize(PCAN_USBBUS1, PCAN_BAUD_500K, 0, 0, 0), PCAN_ERROR_OK);
  std::atomic<bool> stop{false};
  std::thread traffic([&] {
    TPCANMsg msg = message(0x200, PCAN_MESSAGE_STANDARD, {1, 2, 3});
    while (!stop) {
      pcan.write(PCAN_USBBUS1, &msg);
      TPCANMsg in{};
      const TPCANStatus status = pcan.read(PCAN_USBBUS1, &in, nullptr);
      if (status == PCAN_ERROR_INITIALIZE) break;  // the channel is gone: what a reader must see
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(pcan.uninitialize(PCAN_USBBUS1), PCAN_ERROR_OK);
  EXPECT_TRUE(eventually([&] {
    TPCANMsg in{};
    return pcan.read(PCAN_USBBUS1, &in, nullptr) == PCAN_ERROR_INITIALIZE;
  }));
  stop = true;
  traffic.join();
}

TEST_F(PcanBasic, ReceiveEventIsReadableExactlyWhileMessagesWait) {
  TestBus bus;
  useBuses(bus.entry() + "," + bus.entry());  // USBBUS1 and USBBUS2, same bus
  int fd = -1;
  EXPECT_EQ(pcan.getValue(PCAN_USBBUS2, PCAN_RECEIVE_EVENT, &fd, sizeof fd), PCAN_ERROR_INITIALIZE);
  ASSERT_EQ(pcan.initialize(PCAN_USBBUS1, PCAN_BAUD_500K, 0, 0, 0), PCAN_ERROR_OK);
  ASSERT_EQ(pcan.initialize(PCAN_USBBUS2, PCAN_BAUD_500K, 0, 0, 0), PCAN_ERROR_OK);

  const TPCANParameter otherParameter = 0x05;
  EXPECT_EQ(pcan.getValue(PCAN_USBBUS2, otherParameter, &fd, sizeof fd), PCAN_ERROR_ILLPARAMTYPE);
  EXPECT_EQ(pcan.getValue(PCAN_USBBUS2, PCAN_RECEIVE_EVENT, nullptr, sizeof fd), PCAN_ERROR_ILLPARAMVAL);
  EXPECT_EQ(pcan.getValue(PCAN_USBBUS2, PCAN_RECEIVE_EVENT, &fd, 1), PCAN_ERROR_ILLPARAMVAL);
  EXPECT_EQ(pcan.setValue(PCAN_USBBUS2, PCAN_RECEIVE_EVENT, &fd, sizeof fd), PCAN_ERROR_ILLPARAMTYPE);
  fd = receiveEvent(PCAN_USBBUS2);
  ASSERT_GE(fd, 0);
  EXPECT_NE(fd, receiveEvent(PCAN_USBBUS1));
  EXPECT_FALSE(readable(fd, 0));

  // A burst arrives in pieces while it is read: whenever the event says
  // readable, CAN_Read has the next message in order; once all are read the
  // event is quiet again.
  constexpr int kFrames = 300;
  for (int i = 0; i < kFrames; ++i) {
    TPCANMsg m = message(0x180 + (i % 16), PCAN_MESSAGE_STANDARD, {static_cast<BYTE>(i), static_cast<BYTE>(i >> 8)});
    ASSERT_EQ(pcan.write(PCAN_USBBUS1, &m), PCAN_ERROR_OK);
  }
  int received = 0;
  while (received < kFrames && readable(fd, 5000)) {
    TPCANMsg got{};
    ASSERT_EQ(pcan.read(PCAN_USBBUS2, &got, nullptr), PCAN_ERROR_OK) << "event readable, queue empty after " << received;
    EXPECT_EQ(got.DATA[0] | got.DATA[1] << 8, received);
    ++received;
  }
  EXPECT_EQ(received, kFrames);
  TPCANMsg got{};
  EXPECT_FALSE(readable(fd, 0));
  EXPECT_EQ(pcan.read(PCAN_USBBUS2, &got, nullptr), PCAN_ERROR_QRCVEMPTY);

  // CAN_Reset discards the waiting messages and with them the event.
  TPCANMsg m = message(0x181, PCAN_MESSAGE_STANDARD, {1});
  ASSERT_EQ(pcan.write(PCAN_USBBUS1, &m), PCAN_ERROR_OK);
  ASSERT_TRUE(readable(fd, 5000));
  EXPECT_EQ(pcan.reset(PCAN_USBBUS2), PCAN_ERROR_OK);
  EXPECT_FALSE(readable(fd, 0));
  EXPECT_EQ(pcan.read(PCAN_USBBUS2, &got, nullptr), PCAN_ERROR_QRCVEMPTY);
}

TEST_F(PcanBasic, UninitializeWakesAThreadWaitingOnTheReceiveEvent) {
  TestBus bus;
  useBuses(bus.entry());
  ASSERT_EQ(pcan.initialize(PCAN_USBBUS1, PCAN_BAUD_500K, 0, 0, 0), PCAN_ERROR_OK);
  const int fd = receiveEvent(PCAN_USBBUS1);
  ASSERT_GE(fd, 0);
  std::atomic<bool> waiting{false};
  int polled = -1;
  std::thread waiter([&] {
    pollfd p{fd, POLLIN, 0};
    waiting = true;
    polled = ::poll(&p, 1, 20000);
  });
  ASSERT_TRUE(eventually([&] { return waiting.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // into poll()
  EXPECT_EQ(pcan.uninitialize(PCAN_USBBUS1), PCAN_ERROR_OK);
  waiter.join();
  EXPECT_EQ(polled, 1);  // woken, not timed out
}

TEST_F(PcanBasic, FullReceiveQueueKeepsTheOldestMessagesAndReportsTheOverrun) {
  TestBus bus;
  useBuses(bus.entry() + "," + bus.entry());
  ASSERT_EQ(pcan.initialize(PCAN_USBBUS1, PCAN_BAUD_1M, 0, 0, 0), PCAN_ERROR_OK);
  ASSERT_EQ(pcan.initialize(PCAN_USBBUS2, PCAN_BAUD_1M, 0, 0, 0), PCAN_ERROR_OK);
  constexpr int kCapacity = 32768, kSent = kCapacity + 100;
  for (int i = 0; i < kSent; ++i) {
    TPCANMsg m = message(0x281, PCAN_MESSAGE_STANDARD, {static_cast<BYTE>(i), static_cast<BYTE>(i >> 8)});
    ASSERT_EQ(pcan.write(PCAN_USBBUS1, &m), PCAN_ERROR_OK);
  }
  EXPECT_TRUE(eventually([&] { return pcan.getStatus(PCAN_USBBUS2) == PCAN_ERROR_QOVERRUN; },
                         std::chrono::seconds(30)));
  // The queue was full when the overrun was flagged: it holds the oldest
  // messages in order, and the one that met the full queue is gone. (Messages
  // still on their way may be queued again once reading makes room.)
  int count = 0, inOrder = 0, firstLater = -1;
  TPCANMsg got{};
  while (pcan.read(PCAN_USBBUS2, &got, nullptr) == PCAN_ERROR_OK) {
    const int index = got.DATA[0] | got.DATA[1] << 8;
    if (count < kCapacity) {
      inOrder += index == count;
    } else if (firstLater < 0) {
      firstLater = index;
    }
    ++count;
  }
  EXPECT_EQ(inOrder, kCapacity);
  EXPECT_LT(count, kSent);
  if (firstLater >= 0) {
    EXPECT_GT(firstLater, kCapacity);
  }
  EXPECT_EQ(pcan.getStatus(PCAN_USBBUS2), PCAN_ERROR_QOVERRUN);  // until reset
  EXPECT_EQ(pcan.reset(PCAN_USBBUS2), PCAN_ERROR_OK);
  EXPECT_EQ(pcan.getStatus(PCAN_USBBUS2), PCAN_ERROR_OK);
}

}  // namespace
