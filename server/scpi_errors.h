// The standard SCPI error numbers and texts the instrument reports, the
// error/event queue of one connection, and the IEEE 488.2 status bits an
// error sets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace scpi {

enum Error : int {
  kNoError = 0,
  // Command errors: the message itself is wrong.
  kCommandError = -100,
  kInvalidCharacter = -101,
  kSyntaxError = -102,
  kInvalidSeparator = -103,
  kDataTypeError = -104,
  kParameterNotAllowed = -108,
  kMissingParameter = -109,
  kMnemonicTooLong = -112,
  kUndefinedHeader = -113,
  kHeaderSuffixOutOfRange = -114,
  kInvalidCharacterInNumber = -121,
  kExponentTooLarge = -123,
  kTooManyDigits = -124,
  kInvalidSuffix = -131,
  kSuffixNotAllowed = -138,
  kCharacterDataTooLong = -144,
  kInvalidStringData = -151,
  kBlockDataNotAllowed = -168,
  // Execution errors: a well-formed command the tester cannot carry out now.
  kExecutionError = -200,
  kSettingsConflict = -221,
  kDataOutOfRange = -222,
  kIllegalParameterValue = -224,
  kHardwareError = -240,
  // Device-specific errors.
  kQueueOverflow = -350,
  kInputBufferOverrun = -363,
  // This instrument's own events (positive numbers are the device's).
  kWatchdogExpired = 101,
  kSourceDetached = 102,
};

// "Undefined header" for -113; "Unknown error" for a number not in the table.
const char* ErrorText(int code);

// IEEE 488.2 standard event status register bits.
enum EventBit : uint8_t {
  kOperationComplete = 1,
  kQueryErrorBit = 4,
  kDeviceErrorBit = 8,
  kExecutionErrorBit = 16,
  kCommandErrorBit = 32,
};
// The event bit an error sets: -1xx command, -2xx execution, -4xx query, any other device-dependent.
uint8_t EventBitOf(int code);

// The error/event queue: first in, first out, at most kCapacity entries; when
// full, the newest entry is replaced by "Queue overflow".
class ErrorQueue {
 public:
  static constexpr size_t kCapacity = 20;

  // `detail` (the tester's reason, the value refused) follows the text after ';'.
  void Push(int code, std::string_view detail = {});
  // The oldest entry as the reply to SYSTem:ERRor? gives it: -113,"Undefined header;FOO",
  // or 0,"No error" when empty.
  std::string Next();
  size_t Count() const { return entries_.size(); }
  void Clear() { entries_.clear(); }

 private:
  std::deque<std::string> entries_;
};

}  // namespace scpi
