#include "canopen/SdoAbort.h"

namespace kestrum::canopen::sdo_abort {

// The texts are the ones the application has always shown, so logs and list
// files stay comparable across versions.
const Entry kTable[31] = {
    {kToggle, "Toggle bit not alternated.", false},
    {kTimeout, "SDO protocol timed out.", false},
    {kUnknownCommand, "Client/server command specifier not valid or unknown.", false},
    {kBlockSize, "Invalid block size (block mode only).", false},
    {kSequence, "Invalid sequence number (block mode only).", false},
    {kCrc, "CRC error (block mode only).", false},
    {kOutOfMemory, "Out of memory.", false},
    {kUnsupportedAccess, "Unsupported access to an object.", false},
    {kWriteOnly, "Attempt to read a write only object.", false},
    {kReadOnly, "Attempt to write a read only object.", false},
    {kNoObject, "Object does not exist in the object dictionary.", false},
    {kNotMappable, "Object cannot be mapped to the PDO.", false},
    {kPdoLength, "The number and length of the objects to be mapped would exceed PDO length.", false},
    {kParameterIncompatible, "General parameter incompatibility reason.", false},
    {kInternalIncompatible, "General internal incompatibility in the device.", false},
    {kHardware, "Access failed due to an hardware error.", false},
    {kLength, "Data type does not match, length of service parameter does not match", false},
    {kTooLong, "Data type does not match, length of service parameter too high", false},
    {kTooShort, "Data type does not match, length of service parameter too low", false},
    {kNoSubIndex, "Sub-index does not exist.", false},
    {kRange, "Value range of parameter exceeded (only for write access).", false},
    {kTooHigh, "Value of parameter written too high.", false},
    {kTooLow, "Value of parameter written too low.", false},
    {kMaxBelowMin, "Maximum value is less than minimum value.", false},
    {kNoConnection, "Resource not available: SDO connection.", true},
    {kGeneral, "general error", false},
    {kStore, "Data cannot be transferred or stored to the application.", false},
    {kLocalControl, "Data cannot be transferred or stored to the application because of local control.",
     false},
    {kDeviceState,
     "Data cannot be transferred or stored to the application because of the present device state.",
     false},
    {kNoDictionary,
     "Object dictionary dynamic generation fails or no object dictionary is present (e.g. object "
     "dictionary is generated from file and generation fails because of an file error).",
     false},
    {kNoData, "No data available.", true},
};

const char* meaning(std::uint32_t code, bool with42) {
  for (const Entry& e : kTable)
    if (e.code == code) return e.since42 && !with42 ? nullptr : e.meaning;
  return nullptr;
}

}  // namespace kestrum::canopen::sdo_abort
