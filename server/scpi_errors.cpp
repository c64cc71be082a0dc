#include "server/scpi_errors.h"

namespace scpi {

namespace {

struct Known {
  int code;
  const char* text;
};

constexpr Known kTexts[] = {
    {kNoError, "No error"},
    {kCommandError, "Command error"},
    {kInvalidCharacter, "Invalid character"},
    {kSyntaxError, "Syntax error"},
    {kInvalidSeparator, "Invalid separator"},
    {kDataTypeError, "Data type error"},
    {kParameterNotAllowed, "Parameter not allowed"},
    {kMissingParameter, "Missing parameter"},
    {kMnemonicTooLong, "Program mnemonic too long"},
    {kUndefinedHeader, "Undefined header"},
    {kHeaderSuffixOutOfRange, "Header suffix out of range"},
    {kInvalidCharacterInNumber, "Invalid character in number"},
    {kExponentTooLarge, "Exponent too large"},
    {kTooManyDigits, "Too many digits"},
    {kInvalidSuffix, "Invalid suffix"},
    {kSuffixNotAllowed, "Suffix not allowed"},
    {kCharacterDataTooLong, "Character data too long"},
    {kInvalidStringData, "Invalid string data"},
    {kBlockDataNotAllowed, "Block data not allowed"},
    {kExecutionError, "Execution error"},
    {kSettingsConflict, "Settings conflict"},
    {kDataOutOfRange, "Data out of range"},
    {kIllegalParameterValue, "Illegal parameter value"},
    {kHardwareError, "Hardware error"},
    {kQueueOverflow, "Queue overflow"},
    {kInputBufferOverrun, "Input buffer overrun"},
    {kWatchdogExpired, "Watchdog expired"},
    {kSourceDetached, "Source detached"},
};

// A reply string may hold any printable ASCII; a double quote is doubled.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"') {
      out += "\"\"";
    } else if (u >= 0x20 && u < 0x7F) {
      out += c;
    } else {
      out += '?';
    }
  }
  return out + "\"";
}

}  // namespace

const char* ErrorText(int code) {
  for (const Known& k : kTexts) {
    if (k.code == code) return k.text;
  }
  return "Unknown error";
}

uint8_t EventBitOf(int code) {
  if (code <= -100 && code > -200) return kCommandErrorBit;
  if (code <= -200 && code > -300) return kExecutionErrorBit;
  if (code <= -400 && code > -500) return kQueryErrorBit;
  return kDeviceErrorBit;
}

void ErrorQueue::Push(int code, std::string_view detail) {
  std::string text = ErrorText(code);
  if (!detail.empty()) text += ";" + std::string(detail.substr(0, 200));
  std::string entry = std::to_string(code) + "," + Quoted(text);
  if (entries_.size() >= kCapacity) {
    entries_.back() = std::to_string(kQueueOverflow) + "," + Quoted(ErrorText(kQueueOverflow));
    return;
  }
  entries_.push_back(std::move(entry));
}

std::string ErrorQueue::Next() {
  if (entries_.empty()) return "0," + Quoted(ErrorText(kNoError));
  std::string entry = std::move(entries_.front());
  entries_.pop_front();
  return entry;
}

}  // namespace scpi
