#pragma once
#include <QString>

/// The adapter list's entries and the channel codes passed to the library:
/// "IXXAT" is code 0, PEAK channels carry their PCAN-Basic channel handle
/// ("PCAN_USBBUS1" is 0x51). "offline" and unknown texts give 0.
int channelCodeForEntry(const QString& entry);

/// The entry text of a PCAN-Basic channel handle: the table read backwards,
/// "PCAN_NONEBUS" for 0, and "PCAN_0x" + hex for a handle the table lacks
/// (which channelCodeForEntry maps back to the same handle).
QString entryForChannelHandle(int handle);

/// The PCAN-Basic bit-rate code of a bit rate in kbit/s (the code of
/// 1000 kbit/s for a rate the adapter list does not offer). The PEAK
/// enumeration opens each channel briefly with it, so it must be a rate the
/// driver accepts and the bus runs at.
int pcanBaudCode(int kbit);
