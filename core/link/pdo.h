// The source's capability list as the tester reports it (58 bytes).
#pragma once

#include <cstdint>

// A 16-bit value as the tester sends it, low byte first.
inline uint16_t LittleU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// A profile is programmable when it is PD-APDO (kind 5, sub-kind 3) or any
// Quick Charge level (kind 3).
inline bool IsProgrammableProfile(uint32_t kind, uint32_t subKind) { return (kind == 5 && subKind == 3) || kind == 3; }

struct PdoEntry {
  uint16_t typeWord = 0;  // bits 0-3 object position, 4-7 kind, 8-10 sub-kind
  uint16_t minMv = 0;
  uint16_t maxMv = 0;
  uint16_t maxCurrentMa = 0;

  int ObjectPosition() const { return typeWord & 0x0F; }
  int Kind() const { return (typeWord >> 4) & 0x0F; }
  int SubKind() const { return (typeWord >> 8) & 0x07; }
  bool IsProgrammable() const { return IsProgrammableProfile(Kind(), SubKind()); }
};

constexpr int kMaxPdoEntries = 7;
constexpr int kPdoListBytes = 58;

struct PdoList {
  uint8_t count = 0;  // valid entries, 0..7
  uint8_t reserved = 0;
  PdoEntry entries[kMaxPdoEntries];

  // Entry `index`, or entry 0 when the index lies outside the list's storage.
  const PdoEntry& EntryAt(int index) const { return entries[index >= 0 && index < kMaxPdoEntries ? index : 0]; }
};

// Decodes the 58 bytes of a capability reply (little-endian fields); a count
// above 7 is limited to 7.
PdoList DecodePdoList(const uint8_t* bytes58);
// Encodes a list into its 58-byte wire form.
void EncodePdoList(const PdoList& list, uint8_t* bytes58);

inline uint16_t MakeTypeWord(int objectPosition, int kind, int subKind) {
  return static_cast<uint16_t>((objectPosition & 0x0F) | ((kind & 0x0F) << 4) | ((subKind & 0x07) << 8));
}

// "LEGACY", "PTY", "BC-SDP", ... indexed by kind * 4 + sub-kind; "UNKNOWN" for
// anything outside the table.
const char* ProfileName(uint32_t kind, uint32_t subKind);
const wchar_t* ProfileNameW(uint32_t kind, uint32_t subKind);
