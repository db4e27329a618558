#include <gtest/gtest.h>

#include "AdapterChannels.h"

TEST(AdapterChannels, EntriesAndHandlesMapBothWays) {
  EXPECT_EQ(channelCodeForEntry("IXXAT"), 0);
  EXPECT_EQ(channelCodeForEntry("offline"), 0);
  EXPECT_EQ(channelCodeForEntry("PCAN_USBBUS1"), 0x51);
  EXPECT_EQ(channelCodeForEntry("PCAN_USBBUS8"), 0x58);
  EXPECT_EQ(channelCodeForEntry("PCAN_ISABUS3"), 0x23);
  EXPECT_EQ(channelCodeForEntry("PCAN_DNGBUS1"), 0x31);
  EXPECT_EQ(channelCodeForEntry("PCAN_PCCBUS2"), 0x62);
  // Beyond a bus type's channels, or not a channel number at all.
  EXPECT_EQ(channelCodeForEntry("PCAN_PCCBUS3"), 0);
  EXPECT_EQ(channelCodeForEntry("PCAN_USBBUS01"), 0);
  EXPECT_EQ(channelCodeForEntry("PCAN_USBBUS"), 0);

  EXPECT_EQ(entryForChannelHandle(0), "PCAN_NONEBUS");
  EXPECT_EQ(entryForChannelHandle(0x41), "PCAN_PCIBUS1");
  EXPECT_EQ(entryForChannelHandle(0x52), "PCAN_USBBUS2");
  // A handle the table lacks keeps its number through the list.
  EXPECT_EQ(entryForChannelHandle(0x5A), "PCAN_0x5A");
  EXPECT_EQ(channelCodeForEntry(entryForChannelHandle(0x5A)), 0x5A);
  for (int handle : {0x21, 0x28, 0x31, 0x48, 0x51, 0x58, 0x61, 0x62})
    EXPECT_EQ(channelCodeForEntry(entryForChannelHandle(handle)), handle) << handle;
}

TEST(AdapterChannels, PeakEnumerationUsesTheDriversBitRateCodes) {
  EXPECT_EQ(pcanBaudCode(1000), 0x0014);
  EXPECT_EQ(pcanBaudCode(500), 0x001C);
  EXPECT_EQ(pcanBaudCode(20), 0x532F);
  EXPECT_EQ(pcanBaudCode(33), 0x0014);
}
