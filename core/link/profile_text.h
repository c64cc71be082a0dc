// Texts of the source's profiles (the Voltage list rows and their log lines), the
// tester version check, and the voltage sent with a profile request.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/link/pdo.h"

constexpr size_t kProfileTextChars = 128;

// Voltage list row of an entry (name from the profile-name table):
//   programmable entry, hardwareRevision >= 20: "%s %.2fV-%.2fV" (name, min, max)
//   programmable entry, hardwareRevision < 20:  "Unknown profile"
//   any other entry:                            "%s %.2fV" (name, min)
// Voltages are minMv / 1000 and maxMv / 1000.
void FormatProfileListText(const PdoEntry& entry, int hardwareRevision, wchar_t* out, size_t outChars);

// Log line of an entry when the capabilities are logged:
//   programmable, hardwareRevision >= 20: "%s Voltage:%.2fV-%.2fV Max Current:%dmA"
//   programmable, hardwareRevision < 20:  "Unknown profile"
//   any other:                            "%s Voltage:%.2fV Max Current:%dmA"
void FormatProfileDetailText(const PdoEntry& entry, int hardwareRevision, wchar_t* out, size_t outChars);

// Log line of the active entry after a new profile: "Voltage:%.2fV-%.2fV Max
// Current:%dmA" (min, max, current) when the active port profile is
// programmable, else "Voltage:%.2fV Max Current:%dmA" (min, current).
void FormatActiveEntryText(const PdoEntry& entry, bool activeProgrammable, wchar_t* out, size_t outChars);

// Version check of a tester just opened (revisions x 10): null when accepted,
// else the message to show.
//   hw 10: needs fw >= 27, else "Please update the device firmware"
//   hw 20: needs fw >= 30, else "Please update the device firmware"
//   hw above 20: "Please update the test application"
//   hw below 20 and not 10: accepted
const wchar_t* TesterVersionMessage(int hardwareRevision, int firmwareVersion);

// What to send for a profile request of list row `row`: the entry's object
// position, and 5000 mV when the active port profile is PD sub-kind 0 (or, on a
// tester with hardwareRevision >= 20, PD sub-kind 3), else the entry's maxMv.
// False when `row` is not an entry of the list (nothing to request).
bool ProfileRequestFor(const PdoList& list, int row, uint32_t activeKind, uint32_t activeSubKind,
                       int hardwareRevision, uint8_t* objectPosition, uint16_t* voltageMv);

// Why list row `row` may not be requested on this tester, or null: a PD-APDO
// entry on a KT-40 (hardwareRevision 10) gives "PPS profiles are not supported
// by KT-40.".
const wchar_t* ProfileRowRefusal(const PdoList& list, int row, int hardwareRevision);

// A voltage request on the active (programmable) entry: true when minMv <= mv
// <= maxMv; otherwise false with "Please enter a number between %d-%d" (min,
// max) in `message`.
bool VoltageInEntryRange(const PdoEntry& entry, long long mv, wchar_t* message, size_t messageChars);
// "Please enter a number between %d-%d": the refusal of a value out of bounds.
void FormatBoundsMessage(int minimum, int maximum, wchar_t* message, size_t messageChars);

// "KT-40" for hardware revision 10, "KT-60" for 20, else "unknown model".
const char* TesterModelName(int hardwareRevision);
