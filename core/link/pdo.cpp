#include "core/link/pdo.h"

namespace {

const char* const kProfileNames[24] = {
    "LEGACY",    "UNKNOWN", "UNKNOWN", "UNKNOWN",  // kind 0
    "PTY",       "UNKNOWN", "UNKNOWN", "UNKNOWN",  // kind 1
    "BC-SDP",    "BC-CDP",  "BC-DCP",  "UNKNOWN",  // kind 2
    "QC1",       "QC2",     "QC3",     "UNKNOWN",  // kind 3
    "USBC-1.5A", "USBC-3A", "UNKNOWN", "UNKNOWN",  // kind 4
    "PD-FIX",    "PD-BAT",  "PD-VAR",  "PD-APDO",  // kind 5
};
const wchar_t* const kProfileNamesW[24] = {
    L"LEGACY",    L"UNKNOWN", L"UNKNOWN", L"UNKNOWN", L"PTY",     L"UNKNOWN", L"UNKNOWN", L"UNKNOWN",
    L"BC-SDP",    L"BC-CDP",  L"BC-DCP",  L"UNKNOWN", L"QC1",     L"QC2",     L"QC3",     L"UNKNOWN",
    L"USBC-1.5A", L"USBC-3A", L"UNKNOWN", L"UNKNOWN", L"PD-FIX",  L"PD-BAT",  L"PD-VAR",  L"PD-APDO",
};

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>(v >> 8);
}

int NameIndex(uint32_t kind, uint32_t subKind) {
  if (kind > 5 || subKind > 3) return -1;
  return static_cast<int>(kind * 4 + subKind);
}

}  // namespace

const char* ProfileName(uint32_t kind, uint32_t subKind) {
  const int i = NameIndex(kind, subKind);
  return i < 0 ? "UNKNOWN" : kProfileNames[i];
}

const wchar_t* ProfileNameW(uint32_t kind, uint32_t subKind) {
  const int i = NameIndex(kind, subKind);
  return i < 0 ? L"UNKNOWN" : kProfileNamesW[i];
}

PdoList DecodePdoList(const uint8_t* b) {
  PdoList list;
  list.count = b[0] > kMaxPdoEntries ? kMaxPdoEntries : b[0];
  list.reserved = b[1];
  for (int i = 0; i < kMaxPdoEntries; ++i) {
    const uint8_t* e = b + 2 + 8 * i;
    list.entries[i].typeWord = LittleU16(e);
    list.entries[i].minMv = LittleU16(e + 2);
    list.entries[i].maxMv = LittleU16(e + 4);
    list.entries[i].maxCurrentMa = LittleU16(e + 6);
  }
  return list;
}

void EncodePdoList(const PdoList& list, uint8_t* b) {
  b[0] = list.count;
  b[1] = list.reserved;
  for (int i = 0; i < kMaxPdoEntries; ++i) {
    uint8_t* e = b + 2 + 8 * i;
    PutU16(e, list.entries[i].typeWord);
    PutU16(e + 2, list.entries[i].minMv);
    PutU16(e + 4, list.entries[i].maxMv);
    PutU16(e + 6, list.entries[i].maxCurrentMa);
  }
}
