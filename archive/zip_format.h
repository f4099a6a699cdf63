// ZIP records as this system reads them, kept as the verbatim bytes of the
// file and read field by field at their ZIP offsets, little-endian, so the
// layout never depends on the host's byte order or structure padding.
#pragma once

#include <stdint.h>

inline uint16_t ReadLe16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline uint32_t ReadLe32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline uint64_t ReadLe64(const uint8_t* p) { return ReadLe32(p) | ((uint64_t)ReadLe32(p + 4) << 32); }
inline void WriteLe16(uint8_t* p, uint16_t v) { p[0] = (uint8_t)v; p[1] = (uint8_t)(v >> 8); }
inline void WriteLe32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v; p[1] = (uint8_t)(v >> 8); p[2] = (uint8_t)(v >> 16); p[3] = (uint8_t)(v >> 24);
}

// Record signatures, as the 32-bit little-endian value of their four bytes.
const uint32_t kLocalHeaderSignature = 0x04034B50;    // 50 4B 03 04
const uint32_t kCentralHeaderSignature = 0x02014B50;  // 50 4B 01 02
const uint32_t kEndRecordSignature = 0x06054B50;      // 50 4B 05 06
const uint32_t kZip64EndRecordSignature = 0x06064B50;  // 50 4B 06 06
const uint32_t kZip64LocatorSignature = 0x07064B50;    // 50 4B 06 07

// Every record starts with its 4-byte signature; the offsets below count
// from the byte after it.
const int kSignatureSize = 4;

// The 18 bytes after the end-record signature.
const int kEndRecordSize = 18;
const int kEndDiskNumber = 0;
const int kEndCentralDisk = 2;
const int kEndEntriesOnDisk = 4;
const int kEndEntriesTotal = 6;
const int kEndCentralSize = 8;
const int kEndCentralOffset = 12;
const int kEndCommentLength = 16;
struct EndRecord {
  uint8_t bytes[kEndRecordSize];
};

// ZIP64: a field of the end record or of a central record that holds its
// largest value (all bits set) has its real value in a ZIP64 record.
const uint16_t kSaturated16 = 0xFFFF;
const uint32_t kSaturated32 = 0xFFFFFFFF;

// The ZIP64 end-of-central-directory locator: the 16 bytes after its
// signature. It stands directly before the end record.
const int kZip64LocatorSize = 16;
const int kLocatorRecordOffset = 4;   // 8 bytes: where the ZIP64 end record begins
const int kLocatorDiskCount = 12;     // 4 bytes: the number of disks

// The fixed part of the ZIP64 end record after its signature.
const int kZip64EndSize = 52;
// (The record's size, two versions and two disk numbers come first.)
const int kZip64EndEntriesOnDisk = 20;  // 8 bytes
const int kZip64EndEntriesTotal = 28;   // 8 bytes
const int kZip64EndCentralSize = 36;    // 8 bytes
const int kZip64EndCentralOffset = 44;  // 8 bytes

// The ZIP64 extended-information extra field: after its 4-byte header (id,
// length), the 64-bit values of the saturated fields among uncompressed
// size, compressed size and local-header offset, in that order.
const uint16_t kZip64ExtraId = 0x0001;
const int kExtraHeaderSize = 4;
const int kWideFieldCount = 3;

// The 42 bytes after a central-directory signature.
const int kCentralHeaderSize = 42;
const int kCentralVersionMadeBy = 0;
const int kCentralVersionNeeded = 2;
const int kCentralFlags = 4;
const int kCentralMethod = 6;
const int kCentralTime = 8;
const int kCentralDate = 10;
const int kCentralCrc = 12;
const int kCentralCompressedSize = 16;
const int kCentralUncompressedSize = 20;
const int kCentralNameLength = 24;
const int kCentralExtraLength = 26;
const int kCentralCommentLength = 28;
const int kCentralExternalAttributes = 34;
const int kCentralLocalHeaderOffset = 38;
struct CentralHeader {
  uint8_t bytes[kCentralHeaderSize];
};

// The 26 bytes after a local-header signature: the central record's fields
// from "version needed" to "extra length", in the same order.
const int kLocalHeaderSize = 26;
const int kLocalVersionNeeded = 0;
const int kLocalFlags = 2;
const int kLocalMethod = 4;
const int kLocalTime = 6;
const int kLocalDate = 8;
const int kLocalCrc = 10;
const int kLocalCompressedSize = 14;
const int kLocalUncompressedSize = 18;
const int kLocalNameLength = 22;
const int kLocalExtraLength = 24;
static_assert(kCentralExtraLength - kCentralVersionNeeded == kLocalExtraLength - kLocalVersionNeeded &&
                  kCentralCrc - kCentralVersionNeeded == kLocalCrc - kLocalVersionNeeded,
              "the local header repeats a stretch of the central record");
struct LocalFileHeader {
  uint8_t bytes[kLocalHeaderSize];
};

// General purpose flag bits.
const uint16_t kFlagEncrypted = 0x0001;
const uint16_t kFlagUtf8Name = 0x0800;

// Version 4.5 introduced ZIP64; it needs nothing else this system lacks.
const uint8_t kVersionZip64 = 45;

const uint16_t kMethodStored = 0;
const uint16_t kMethodDeflated = 8;

inline uint16_t CentralField16(const CentralHeader& h, int offset) { return ReadLe16(h.bytes + offset); }
inline uint32_t CentralField32(const CentralHeader& h, int offset) { return ReadLe32(h.bytes + offset); }
