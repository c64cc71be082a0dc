#include "core/base/registry_slots.h"

#include <cstring>

namespace {

uint8_t* Slot(uint8_t* registry, int i) { return registry + i * kRegistrySlotBytes; }
const uint8_t* Slot(const uint8_t* registry, int i) { return registry + i * kRegistrySlotBytes; }

int32_t SlotPid(const uint8_t* slot) {
  const uint8_t* p = slot + kRegistryPidOffset;
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                              (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24));
}

void SetSlotPid(uint8_t* slot, int32_t pid) {
  const uint32_t v = static_cast<uint32_t>(pid);
  uint8_t* p = slot + kRegistryPidOffset;
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

int64_t SlotStart(const uint8_t* slot) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | slot[kRegistryStartOffset + i];
  return static_cast<int64_t>(v);
}

void SetSlotStart(uint8_t* slot, int64_t start) {
  const uint64_t v = static_cast<uint64_t>(start);
  for (int i = 0; i < 8; ++i) slot[kRegistryStartOffset + i] = static_cast<uint8_t>(v >> (8 * i));
}

bool SlotLive(const uint8_t* slot, ProcessStartFn startOf, void* context) {
  return SlotOwnerRunning(SlotPid(slot), SlotStart(slot), startOf, context);
}

uint16_t SlotUnit(const uint8_t* slot, int i) { return static_cast<uint16_t>(slot[2 * i] | (slot[2 * i + 1] << 8)); }

void ClearSlot(uint8_t* slot) { std::memset(slot, 0, kRegistrySlotBytes); }

// A serial as UTF-16 units (zero-terminated); the unit count, or -1 when it
// does not fit in 19 units.
int EncodeSerial(const wchar_t* serial, uint16_t (&units)[kRegistrySerialUnits]) {
  int n = 0;
  for (const wchar_t* p = serial; *p; ++p) {
    const uint32_t c = static_cast<uint32_t>(*p);
    if (c >= 0x10000 && c <= 0x10FFFF) {
      if (n + 2 > kRegistrySerialUnits - 1) return -1;
      units[n++] = static_cast<uint16_t>(0xD800 + ((c - 0x10000) >> 10));
      units[n++] = static_cast<uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      if (n + 1 > kRegistrySerialUnits - 1) return -1;
      units[n++] = static_cast<uint16_t>(c > 0x10FFFF ? 0xFFFD : c);
    }
  }
  units[n] = 0;
  return n;
}

// Exact comparison with the slot's serial, reading no further than the slot's
// 20 units (a slot written without terminator by a faulty copy never matches).
bool SlotHoldsSerial(const uint8_t* slot, const uint16_t (&units)[kRegistrySerialUnits], int count) {
  for (int i = 0; i <= count; ++i)
    if (SlotUnit(slot, i) != units[i]) return false;
  return true;
}

void WriteSerial(uint8_t* slot, const uint16_t (&units)[kRegistrySerialUnits], int count) {
  std::memset(slot, 0, kRegistrySerialUnits * 2);
  for (int i = 0; i < count; ++i) {
    slot[2 * i] = static_cast<uint8_t>(units[i] & 0xFF);
    slot[2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
  }
}

// Claims `serial` for ownPid: with `several`, in a slot of its own besides the
// others it holds; without, by moving its one slot (see the header).
ClaimOutcome Claim(uint8_t* registry, const wchar_t* serial, int32_t ownPid, int64_t ownStart, ProcessStartFn startOf,
                   void* context, bool several);

}  // namespace

bool SlotOwnerRunning(int32_t processId, int64_t startTime, ProcessStartFn startOf, void* context) {
  if (processId <= 0) return false;
  if (!startOf) return true;
  const ProcessStart process = startOf(processId, context);
  switch (process.kind) {
    case ProcessStart::NoProcess:
      return false;
    case ProcessStart::Started:
      return process.time == startTime;
    case ProcessStart::Unreadable:
      return true;
  }
  return true;
}

ClaimOutcome ClaimTesterSlot(uint8_t* registry, const wchar_t* serial, int32_t ownPid, int64_t ownStart,
                             ProcessStartFn startOf, void* context) {
  return Claim(registry, serial, ownPid, ownStart, startOf, context, false);
}

ClaimOutcome AddTesterSlot(uint8_t* registry, const wchar_t* serial, int32_t ownPid, int64_t ownStart,
                           ProcessStartFn startOf, void* context) {
  return Claim(registry, serial, ownPid, ownStart, startOf, context, true);
}

namespace {

ClaimOutcome Claim(uint8_t* registry, const wchar_t* serial, int32_t ownPid, int64_t ownStart, ProcessStartFn startOf,
                   void* context, bool several) {
  ClaimOutcome out;
  if (!registry || !serial || !*serial) {
    out.result = ClaimResult::SerialEmpty;
    return out;
  }
  uint16_t units[kRegistrySerialUnits];
  const int count = EncodeSerial(serial, units);
  if (count < 0) {
    out.result = ClaimResult::SerialTooLong;
    return out;
  }

  // First pass: decide without changing anything, so that "in use" changes nothing.
  int mine = -1;
  for (int i = 0; i < kRegistrySlots; ++i) {
    const uint8_t* slot = Slot(registry, i);
    const int32_t pid = SlotPid(slot);
    if (pid <= 0) continue;
    if (pid == ownPid) {
      if (several ? SlotHoldsSerial(slot, units, count) : mine < 0) mine = i;
      continue;
    }
    if (!SlotLive(slot, startOf, context)) continue;
    if (SlotHoldsSerial(slot, units, count)) {
      out.result = ClaimResult::InUse;
      return out;
    }
  }

  if (ownPid <= 0) return out;  // not a process ID that can hold a slot

  // Second pass: drop slots of ended copies and duplicates of our own.
  int firstFree = -1;
  for (int i = 0; i < kRegistrySlots; ++i) {
    uint8_t* slot = Slot(registry, i);
    const int32_t pid = SlotPid(slot);
    const bool ended = pid > 0 && pid != ownPid && !SlotLive(slot, startOf, context);
    if (ended || (!several && pid == ownPid && i != mine)) ClearSlot(slot);
    if (firstFree < 0 && SlotPid(slot) <= 0) firstFree = i;
  }

  const int target = mine >= 0 ? mine : firstFree;
  if (target >= 0) {
    uint8_t* slot = Slot(registry, target);
    WriteSerial(slot, units, count);
    SetSlotStart(slot, ownStart);
    SetSlotPid(slot, ownPid);
  }
  out.slot = target;
  return out;
}

}  // namespace

void ReleaseTesterSlots(uint8_t* registry, int32_t ownPid) {
  if (!registry) return;
  for (int i = 0; i < kRegistrySlots; ++i) {
    uint8_t* slot = Slot(registry, i);
    if (SlotPid(slot) == ownPid) ClearSlot(slot);
  }
}

void ReleaseTesterSlot(uint8_t* registry, const wchar_t* serial, int32_t ownPid) {
  uint16_t units[kRegistrySerialUnits];
  const int count = registry && serial ? EncodeSerial(serial, units) : -1;
  if (count < 0) return;
  for (int i = 0; i < kRegistrySlots; ++i) {
    uint8_t* slot = Slot(registry, i);
    if (SlotPid(slot) == ownPid && SlotHoldsSerial(slot, units, count)) ClearSlot(slot);
  }
}

bool ReadRegistrySlot(const uint8_t* registry, int index, int32_t* processId, wchar_t* serial, int64_t* startTime) {
  if (!registry || index < 0 || index >= kRegistrySlots) return false;
  const uint8_t* slot = Slot(registry, index);
  if (processId) *processId = SlotPid(slot);
  if (startTime) *startTime = SlotStart(slot);
  if (serial) {
    int i = 0;
    for (; i < kRegistrySerialUnits - 1; ++i) {
      const uint16_t u = SlotUnit(slot, i);
      if (u == 0) break;
      serial[i] = static_cast<wchar_t>(u);
    }
    serial[i] = 0;
  }
  return true;
}
