// The registry of running copies (the window's and the command line's), in
// named shared memory: which copy uses which tester. Windows only.
#pragma once

// Opens (or makes) the registry; false when it is unavailable. Safe from
// several threads at once.
bool OpenTesterRegistry();
// Records this copy's claim on a tester; true when another running copy uses it
// (the claim is then not made). False as well when the registry is unavailable.
// A copy that uses one tester at a time (the window) has one claim, which moves.
bool ClaimTester(const wchar_t* serial);
// As ClaimTester, for a copy that uses several testers at once (the command
// line): a claim per tester, each given back with ReleaseTesterClaimOf.
bool ClaimOneOfSeveral(const wchar_t* serial);
void ReleaseTesterClaimOf(const wchar_t* serial);
// Gives back this copy's claim (after a failed open, a refused tester or an
// unplug: the copy then uses no tester).
void ReleaseTesterClaim();
// Gives back every claim of this copy and closes the registry.
void ReleaseInstanceRegistry();
