// Fault injection for tests: make the n-th call of one kind fail, or make
// reads come back short. The platform implementations ask FaultHit() before
// each call; a release build compiled with ZARVEL_NO_FAULTS folds it away.
//
// A plain process-wide plan rather than a virtual file-system interface: the
// core stays a set of plain functions and the seam costs one counter per call.
#pragma once

#include <stdint.h>

enum FaultKind {
  kFaultOpen,
  kFaultRead,
  kFaultSeek,
  kFaultWrite,
  kFaultMakeDirectory,
  kFaultDelete,
  kFaultRename,
  kFaultKindCount
};

struct FaultPlan {
  uint32_t failAt[kFaultKindCount];  // 1-based call number that fails; 0 = none
  uint32_t calls[kFaultKindCount];   // calls seen so far, per kind
  uint32_t shortReadAt;              // 1-based read that comes back short; 0 = none
  bool shortReadAlways;              // every read of more than one byte comes back short
  // A simulated double-byte code page: when leadBytesTo is set, the bytes
  // leadBytesFrom..leadBytesTo are its lead bytes, whatever the system's is.
  uint8_t leadBytesFrom, leadBytesTo;
  // A simulated link: the platform reports this path as a symbolic link or
  // reparse point, whatever is there (Wine makes neither).
  const char* linkPath;
};

#ifdef ZARVEL_NO_FAULTS
inline bool FaultHit(FaultKind) { return false; }
inline uint32_t FaultShortenRead(uint32_t count) { return count; }
inline int FaultLeadByte(uint8_t) { return -1; }
inline bool FaultIsLink(const char*) { return false; }
#else
extern FaultPlan faultPlan;
// Clears every planned fault and every counter.
void FaultReset();
// Counts a call of this kind; true when it is the one planned to fail.
bool FaultHit(FaultKind kind);
// For the read just counted: the number of bytes it may deliver.
uint32_t FaultShortenRead(uint32_t count);
// For the lead-byte test: 1 or 0 in the simulated code page, -1 without one.
int FaultLeadByte(uint8_t byte);
// For the link test: true for the simulated link's path.
bool FaultIsLink(const char* path);
#endif
