// The fault plan behind FaultHit (see fault.h). Compiled into every build but
// the release stub; with no plan set it only counts calls.
#ifndef ZARVEL_NO_FAULTS

#include "platform/fault.h"

#include <string.h>

FaultPlan faultPlan;

void FaultReset() { memset(&faultPlan, 0, sizeof faultPlan); }

bool FaultHit(FaultKind kind) {
  uint32_t call = ++faultPlan.calls[kind];
  return faultPlan.failAt[kind] != 0 && faultPlan.failAt[kind] == call;
}

uint32_t FaultShortenRead(uint32_t count) {
  if (count <= 1) return count;
  if (faultPlan.shortReadAlways || faultPlan.shortReadAt == faultPlan.calls[kFaultRead]) {
    return count / 2;
  }
  return count;
}

int FaultLeadByte(uint8_t byte) {
  if (faultPlan.leadBytesTo == 0) return -1;
  return byte >= faultPlan.leadBytesFrom && byte <= faultPlan.leadBytesTo ? 1 : 0;
}

bool FaultIsLink(const char* path) {
  return faultPlan.linkPath != nullptr && strcmp(path, faultPlan.linkPath) == 0;
}

#endif
