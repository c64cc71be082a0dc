// The slot table that running copies of the program share so that a tester is
// used by one copy at a time, as plain bytes (the Win32 side maps it from a named
// shared memory object and holds its mutex around these calls).
//
// Layout: 1408 bytes, 32 slots of 44 bytes, slot i at offset 44 x i, no header.
// Within a slot: bytes 0..39 the tester serial as zero-terminated UTF-16
// little-endian (at most 19 characters), bytes 40..43 the process ID of the
// holding copy as a little-endian int32; 0 or below means free.
#pragma once

#include <cstdint>

constexpr int kRegistrySlots = 32;
constexpr int kRegistrySlotBytes = 44;
constexpr int kRegistryBytes = kRegistrySlots * kRegistrySlotBytes;  // 1408
constexpr int kRegistrySerialUnits = 20;                             // 19 + terminator
constexpr int kRegistryPidOffset = 40;

// Answers whether a process still runs. Null means "every process runs".
using ProcessAliveFn = bool (*)(int32_t processId, void* context);

enum class ClaimResult {
  NotInUse,       // no other running copy holds the serial; see ClaimOutcome::slot
  InUse,          // another running copy holds it: nothing changed
  SerialTooLong,  // more than 19 UTF-16 units: nothing claimed or changed
  SerialEmpty,    // empty serial: nothing claimed or changed
};

struct ClaimOutcome {
  ClaimResult result = ClaimResult::NotInUse;
  int slot = -1;  // slot now holding this copy's claim; -1 when all 32 are held by others
};

// Claims `serial` for the copy `ownPid`:
// - in use when a slot of another copy that is still running holds exactly the
//   same serial (case-sensitive);
// - otherwise this copy's slot (the one with ownPid) moves to the serial; without
//   one, the first free slot is taken; with none free, nothing is claimed.
// A slot whose process has ended (isProcessAlive false) counts as free: it is
// cleared, and never reported as in use. Extra slots under ownPid (a copy holds
// at most one) are cleared as well. An ownPid of 0 or below claims nothing.
ClaimOutcome ClaimTesterSlot(uint8_t* registry, const wchar_t* serial, int32_t ownPid,
                             ProcessAliveFn isProcessAlive = nullptr, void* context = nullptr);

// Frees every slot of `ownPid` (process ID 0, empty serial).
void ReleaseTesterSlots(uint8_t* registry, int32_t ownPid);

// Reads slot `index`: its process ID and, when `serial` is given (room for
// kRegistrySerialUnits wide characters), its serial. False for a bad index.
bool ReadRegistrySlot(const uint8_t* registry, int index, int32_t* processId, wchar_t* serial);
