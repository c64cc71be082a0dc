// The slot table that running copies of the program share so that a tester is
// used by one copy at a time, as plain bytes (the Win32 side maps it from a named
// shared memory object and holds its mutex around these calls).
//
// Layout: 1408 bytes, 32 slots of 44 bytes, slot i at offset 44 x i, no header.
// Within a slot: bytes 0..31 the tester serial as zero-terminated UTF-16
// little-endian (at most 15 characters, the longest serial D2XX gives), bytes
// 32..39 the start time of the holding copy's process as a little-endian int64,
// bytes 40..43 its process ID as a little-endian int32; 0 or below means free.
//
// A slot is live only while the process that wrote it runs: a process with the
// slot's ID must exist and have started at the slot's start time. A process ID
// that the system gave to another process after the writer ended (or crashed)
// does not keep the tester reserved.
#pragma once

#include <cstdint>

constexpr int kRegistrySlots = 32;
constexpr int kRegistrySlotBytes = 44;
constexpr int kRegistryBytes = kRegistrySlots * kRegistrySlotBytes;  // 1408
constexpr int kRegistrySerialUnits = 16;                             // 15 + terminator
constexpr int kRegistryStartOffset = 32;
constexpr int kRegistryPidOffset = 40;

// What the system says of a process ID.
struct ProcessStart {
  enum Kind { NoProcess, Started, Unreadable } kind = NoProcess;
  int64_t time = 0;  // Started: when the process started (the front end's clock)
};
using ProcessStartFn = ProcessStart (*)(int32_t processId, void* context);

// The liveness rule: a slot of (processId, startTime) belongs to a running copy
// when that process exists and started at startTime. A process whose start
// cannot be read is taken as running, so a tester is never shared by mistake.
// Without a lookup (null) every slot counts as live.
bool SlotOwnerRunning(int32_t processId, int64_t startTime, ProcessStartFn startOf, void* context);

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

// Claims `serial` for the copy `ownPid` that started at `ownStart`:
// - in use when a live slot (SlotOwnerRunning) of another process holds
//   exactly the same serial (case-sensitive);
// - otherwise this copy's slot (the one with ownPid) moves to the serial; without
//   one, the first free slot is taken; with none free, nothing is claimed.
// A slot that is not live counts as free: it is cleared, and never reported as
// in use. Extra slots under ownPid (a copy holds at most one) are cleared as
// well. An ownPid of 0 or below claims nothing.
ClaimOutcome ClaimTesterSlot(uint8_t* registry, const wchar_t* serial, int32_t ownPid, int64_t ownStart = 0,
                             ProcessStartFn startOf = nullptr, void* context = nullptr);

// A copy that drives several testers at once (the command line) holds one slot
// per tester: as ClaimTesterSlot, except that the copy's other slots stay as
// they are; its slot that holds `serial` already is kept, else the first free
// one is taken.
ClaimOutcome AddTesterSlot(uint8_t* registry, const wchar_t* serial, int32_t ownPid, int64_t ownStart = 0,
                           ProcessStartFn startOf = nullptr, void* context = nullptr);

// Frees every slot of `ownPid` (process ID 0, empty serial).
void ReleaseTesterSlots(uint8_t* registry, int32_t ownPid);
// Frees the slot of `ownPid` that holds `serial` (its other slots stay).
void ReleaseTesterSlot(uint8_t* registry, const wchar_t* serial, int32_t ownPid);

// Reads slot `index`: its process ID, when `serial` is given (room for
// kRegistrySerialUnits wide characters) its serial, and its start time. False
// for a bad index.
bool ReadRegistrySlot(const uint8_t* registry, int index, int32_t* processId, wchar_t* serial,
                      int64_t* startTime = nullptr);
