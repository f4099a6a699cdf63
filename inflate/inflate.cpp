// The raw Deflate decoder (RFC 1951) for one archive member at a time.
//
// Input comes through CompressedInput, output goes into the 32 KiB window,
// which FlushWindow hands on whenever it is full and once at the end.
//
// Two paths decode the same format. The careful path takes its bits through
// FetchByte exactly as the member's bytes are needed, so refills of the input
// buffer happen when, and only when, the data calls for them. The fast path
// runs while at least 16 input bytes are buffered and a longest match still
// fits in the window before its end: it refills a machine-word bit buffer
// several bytes at a time straight from the buffer and copies matches in
// words. Both leave the same output, flushes, reads and results.
//
// Input that runs out is caught on bits actually used: each end-of-data fetch
// feeds eight 1-bits and remembers them, and once the bits dropped reach into
// them the member is damaged. A valid member may look ahead past its last
// byte, since a lookup asks for a table's full width before it knows the
// code's length, so the fetch alone proves nothing.
#include "inflate/inflate.h"

#include <string.h>

#include "archive/archive.h"
#include "engine/status.h"
#include "inflate/huffman.h"

// The fast path needs a 64-bit bit buffer, on every target.
typedef uint64_t BitBuffer;
const unsigned kBitBufferBits = sizeof(BitBuffer) * 8;

BitBuffer bitBuffer;
unsigned bitsHeld;
// 1-bits fed after the end of the data; dropping into them means truncation.
unsigned pastEndBits;

HuffmanEntry* fixedLiteralTable = nullptr;
HuffmanEntry* fixedDistanceTable = nullptr;
unsigned fixedLiteralBits;
unsigned fixedDistanceBits;

int fastPathBmi2 = 0;

const unsigned kMaxLiteralCodes = 286;
const unsigned kMaxDistanceCodes = 30;
uint8_t codeLengths[kMaxLiteralCodes + kMaxDistanceCodes];

namespace {

const unsigned literalLookupBits = 9;
const unsigned distanceLookupBits = 6;
const unsigned kCodeLengthLookupBits = 7;
const unsigned kFixedLiteralLookupBits = 7;
const unsigned kFixedDistanceLookupBits = 5;
const unsigned kCodeLengthCodes = 19;
const unsigned kFixedLiteralCodes = 288;
const unsigned kMaxMatch = 258;
const unsigned kLastLengthCode = 285 - 257;

// The length and distance tables are derived from their rule when a member
// starts (DeriveCodeTables) rather than carried in the image.
DeflateCodeTables codeTables;
const uint16_t* const kLengthBase = codeTables.lengthBase;
const uint16_t* const kLengthExtra = codeTables.lengthExtra;
const uint16_t* const kDistanceBase = codeTables.distanceBase;
const uint16_t* const kDistanceExtra = codeTables.distanceExtra;
const uint8_t kCodeLengthOrder[kCodeLengthCodes] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                    11, 4,  12, 3, 13, 2, 14, 1, 15};

// Stands in for a table built from all-zero lengths: a 0-bit table whose
// only entry is invalid, so a lookup in an empty code fails like a bad code.
const HuffmanEntry emptyTable[1] = {{kTagInvalid, 0, {0}}};

// Results of one step of symbol decoding, besides kInflateBadData.
const int kSymbolMore = 0;
const int kSymbolEndOfBlock = -1;

inline BitBuffer LowBits(unsigned n) { return bitBuffer & (((BitBuffer)1 << n) - 1); }

inline void Need(unsigned n) {
  while (bitsHeld < n) {
    int byte = FetchByte();
    if (byte == kEndOfData) {
      byte = 0xFF;
      pastEndBits += 8;
    }
    bitBuffer |= (BitBuffer)byte << bitsHeld;
    bitsHeld += 8;
  }
}

inline void Drop(unsigned n) {
  bitBuffer >>= n;
  bitsHeld -= n;
}

inline bool RanPastEnd() { return bitsHeld < pastEndBits; }

inline void PutByte(uint8_t byte) {
  window[windowPos++] = byte;
  if (windowPos == kWindowSize) {
    FlushWindow(kWindowSize);
    windowPos = 0;
  }
}

// One symbol from a table, through its links; kInflateBadData on a code that
// no symbol owns.
int Lookup(const HuffmanEntry* table, unsigned bits, const HuffmanEntry** found) {
  Need(bits);
  const HuffmanEntry* entry = table + LowBits(bits);
  while (entry->tag > kTagLinkBase) {
    if (entry->tag == kTagInvalid) return kInflateBadData;
    Drop(entry->dropBits);
    unsigned subBits = entry->tag - kTagLinkBase;
    Need(subBits);
    entry = entry->subTable + LowBits(subBits);
  }
  Drop(entry->dropBits);
  *found = entry;
  return kInflateOk;
}

unsigned ReadBits(unsigned n) {
  Need(n);
  unsigned value = (unsigned)LowBits(n);
  Drop(n);
  return value;
}

// Copies a match inside the circular window. Runs are split where either
// reaches the window's end; a run whose source lies behind the destination by
// less than its length is copied bytewise so that it repeats itself.
void CopyMatch(uint32_t distance, uint32_t length) {
  uint32_t source = (windowPos - distance) & (kWindowSize - 1);
  while (length > 0) {
    uint32_t chunk = kWindowSize - (source > windowPos ? source : windowPos);
    if (chunk > length) chunk = length;
    if (windowPos - source >= chunk) {
      memmove(window + windowPos, window + source, chunk);
    } else {
      for (uint32_t i = 0; i < chunk; i++) window[windowPos + i] = window[source + i];
    }
    windowPos += chunk;
    source = (source + chunk) & (kWindowSize - 1);
    length -= chunk;
    if (windowPos == kWindowSize) {
      FlushWindow(kWindowSize);
      windowPos = 0;
    }
  }
}

inline BitBuffer LoadWord(const uint8_t* p) {
  BitBuffer word;
  memcpy(&word, p, sizeof word);
  return word;  // little-endian targets only
}

inline uint64_t Load64(const uint8_t* p) {
  uint64_t word;
  memcpy(&word, p, sizeof word);
  return word;
}

inline void Store64(uint8_t* p, uint64_t word) { memcpy(p, &word, sizeof word); }

// 16 bytes at once: a vector load and store where the target has them.
inline void Copy16(uint8_t* to, const uint8_t* from) {
  uint8_t piece[16];
  memcpy(piece, from, sizeof piece);
  memcpy(to, piece, sizeof piece);
}

// The fast path's own tables: one level, wider than the careful tables'
// roots, four bytes an entry, built from the careful tables at the start of
// every block into static storage. An entry holds in its low byte every bit
// that the symbol takes, extra bits included, so that a length or distance
// is resolved by one lookup and one shift:
//   bits 0..7    code bits plus extra bits
//   bits 8..12   code bits alone
//   bit 13       the code is longer than the table: take the careful tables
//   bit 14       end of block
//   bit 15       literal
//   bits 16..31  the literal, or the base length or distance
typedef uint32_t FastEntry;
const unsigned kFastLiteralBits = 11;
const unsigned kFastDistanceBits = 9;
const FastEntry kFastLonger = 1u << 13;
const FastEntry kFastEndOfBlock = 1u << 14;
const FastEntry kFastLiteral = 1u << 15;
// What the careful tables give for a code that no symbol owns.
const FastEntry kFastInvalid = 0;

FastEntry fastLiterals[1u << kFastLiteralBits];
FastEntry fastDistances[1u << kFastDistanceBits];
// The fixed code never changes, so its fast tables stay valid until a
// dynamic block takes the storage.
bool fastHoldsFixedCode = false;

inline FastEntry MakeFastEntry(unsigned codeBits, unsigned tag, unsigned value) {
  FastEntry entry = ((FastEntry)value << 16) | (codeBits << 8);
  if (tag == kTagLiteral) return entry | kFastLiteral | codeBits;
  if (tag == kTagEndOfBlock) return entry | kFastEndOfBlock | codeBits;
  return entry | (codeBits + tag);
}

// Resolves the code at the bottom of `bits` through the careful tables
// without consuming anything.
FastEntry ResolveCarefully(const HuffmanEntry* table, unsigned tableBits, BitBuffer bits) {
  unsigned used = 0;
  const HuffmanEntry* entry = table + (bits & (((BitBuffer)1 << tableBits) - 1));
  while (entry->tag > kTagLinkBase) {
    if (entry->tag == kTagInvalid) return kFastInvalid;
    used += entry->dropBits;
    entry = entry->subTable + ((bits >> used) & (((BitBuffer)1 << (entry->tag - kTagLinkBase)) - 1));
  }
  return MakeFastEntry(used + entry->dropBits, entry->tag, entry->value);
}

// Fills `fast` (2^fastBits entries) from a careful table whose index starts
// at code bit `w`, reached under the code bits `prefix`. Codes that do not
// fit, and invalid codes, are sent back to the careful tables.
void FillFastTable(FastEntry* fast, unsigned fastBits, const HuffmanEntry* table, unsigned tableBits,
                   unsigned w, uint32_t prefix) {
  const uint32_t fastSize = 1u << fastBits;
  const unsigned span = w + tableBits;
  if (span > fastBits) {
    // Only the table's first bits are known here: an entry counts when its
    // code ends within them, which its replication makes true at every index
    // with the same low bits.
    for (uint32_t j = 0; j < (1u << (fastBits - w)); j++) {
      const HuffmanEntry* entry = table + j;
      bool fits = entry->tag <= kTagLinkBase && entry->dropBits <= fastBits - w;
      fast[prefix | (j << w)] = fits ? MakeFastEntry(w + entry->dropBits, entry->tag, entry->value) : kFastLonger;
    }
    return;
  }
  for (uint32_t j = 0; j < (1u << tableBits); j++) {
    const HuffmanEntry* entry = table + j;
    uint32_t code = prefix | (j << w);
    if (entry->tag > kTagLinkBase && entry->tag != kTagInvalid) {
      FillFastTable(fast, fastBits, entry->subTable, entry->tag - kTagLinkBase, span, code);
      continue;
    }
    FastEntry made = entry->tag == kTagInvalid ? kFastLonger
                                                : MakeFastEntry(w + entry->dropBits, entry->tag, entry->value);
    for (uint32_t i = code; i < fastSize; i += 1u << span) fast[i] = made;
  }
}

void PrepareFastTables(const HuffmanEntry* literals, unsigned literalBits, const HuffmanEntry* distances,
                       unsigned distanceBits) {
  bool fixed = literals == fixedLiteralTable && literals != nullptr;
  if (fixed && fastHoldsFixedCode) return;
  FillFastTable(fastLiterals, kFastLiteralBits, literals, literalBits, 0, 0);
  FillFastTable(fastDistances, kFastDistanceBits, distances, distanceBits, 0, 0);
  fastHoldsFixedCode = fixed;
}

// Input bytes the fast path wants buffered: one step refills at most twice,
// and a refill loads 8 bytes and takes at most 7 of them.
const int32_t kFastInputMargin = 15;
// Room kept free at the window's end: two literals and a longest match, plus
// the bytes that a copy may overrun.
const uint32_t kFastCopyOverrun = 32;
const uint32_t kFastWindowLimit = kWindowSize - 2 - kMaxMatch - kFastCopyOverrun;
// Bits held after a refill, and the most that a distance takes: a 15-bit
// code and 13 extra bits.
const unsigned kRefilledBits = kBitBufferBits - 8;
const unsigned kMaxDistanceBits = 15 + 13;

// Whether the fast path may take a step here: enough input buffered and
// enough room left in the window.
inline bool FastPathFits() {
  return windowPos < kFastWindowLimit && CompressedInput.nextPos - 1 <= CompressedInput.fill - kFastInputMargin;
}

// The base of a length or distance entry plus the extra bits that follow its
// code bits in `saved`, the bit buffer as it was before the entry's bits
// were dropped.
inline uint32_t EntryValue(BitBuffer saved, FastEntry entry) {
  BitBuffer both = saved & (((BitBuffer)1 << (uint8_t)entry) - 1);
  return (entry >> 16) + (uint32_t)(both >> (uint8_t)(entry >> 8));
}

// Decodes symbols while the fast conditions hold. Returns kSymbolMore when
// they stop holding, kSymbolEndOfBlock or kInflateBadData otherwise.
//
// The loop looks the next literal/length entry up before it finishes the
// current symbol (before a refill, before a match copy), so that the table
// load overlaps the work in front of it. The held-bit count is only right in
// its low byte: whole entries are subtracted from it, which leaves the other
// fields' bits above, and every use looks at the low byte alone.
//
// The body is inlined twice: as it is, and on x86 once more for processors
// with BMI2, whose three-operand shifts and bit-field extraction shorten
// every step; FastSymbols picks one at run time.
#if defined(__GNUC__)
#define ZV_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define ZV_ALWAYS_INLINE inline
#endif
ZV_ALWAYS_INLINE int FastSymbolsBody(const HuffmanEntry* literals, unsigned literalBits,
                                     const HuffmanEntry* distances, unsigned distanceBits) {
  if (!FastPathFits()) return kSymbolMore;
  uint8_t* const windowStart = window;
  uint8_t* out = window + windowPos;
  uint8_t* const outLimit = window + kFastWindowLimit;
  const uint8_t* const inputStart = CompressedInput.buffer;
  const uint8_t* in = inputStart + CompressedInput.nextPos - 1;
  const uint8_t* const inputLimit = inputStart + CompressedInput.fill - kFastInputMargin;
  BitBuffer bits = bitBuffer;
  uint32_t held = bitsHeld;
  const BitBuffer literalMask = ((BitBuffer)1 << kFastLiteralBits) - 1;
  const BitBuffer distanceMask = ((BitBuffer)1 << kFastDistanceBits) - 1;
  int result = kSymbolMore;
  FastEntry entry;
  BitBuffer saved;

// Tops the bit buffer up to at least its width minus 8 bits; the bytes
// counted are the whole ones taken, so the bits above stay consistent with
// the input position.
#define ZV_REFILL()                                                          \
  do {                                                                       \
    bits |= LoadWord(in) << (uint8_t)held;                                   \
    in += (kBitBufferBits - 1 - (uint8_t)held) >> 3;                         \
    held |= kRefilledBits;                                                   \
  } while (0)
// Drops the bits of `entry`, keeping the buffer as it was for EntryValue.
#define ZV_CONSUME()                                                         \
  do {                                                                       \
    saved = bits;                                                            \
    bits >>= (uint8_t)entry;                                                 \
    held -= entry;                                                           \
  } while (0)
#define ZV_FAIL_IF_INVALID()                                                 \
  do {                                                                       \
    if (entry == kFastInvalid) {                                             \
      result = kInflateBadData;                                              \
      goto done;                                                             \
    }                                                                        \
  } while (0)

  ZV_REFILL();
  entry = fastLiterals[bits & literalMask];
  do {
    // At least kRefilledBits bits are held here. A code longer than the
    // table has a zero low byte, so consuming its entry drops nothing.
    ZV_CONSUME();
    if (entry & kFastLiteral) {
      // Three literals of at most 11 bits each, then the next lookup, fit
      // in one refill; so do two literals, a length and a distance lookup.
      uint32_t literal = entry >> 16;
      entry = fastLiterals[bits & literalMask];
      ZV_CONSUME();
      *out++ = (uint8_t)literal;
      if (entry & kFastLiteral) {
        literal = entry >> 16;
        entry = fastLiterals[bits & literalMask];
        ZV_CONSUME();
        *out++ = (uint8_t)literal;
        if (entry & kFastLiteral) {
          literal = entry >> 16;
          entry = fastLiterals[bits & literalMask];
          ZV_REFILL();
          *out++ = (uint8_t)literal;
          continue;
        }
      }
    }
    if (entry & (kFastLonger | kFastEndOfBlock)) {
      if (entry & kFastEndOfBlock) {
        result = kSymbolEndOfBlock;
        goto done;
      }
      entry = ResolveCarefully(literals, literalBits, bits);
      ZV_FAIL_IF_INVALID();
      ZV_CONSUME();
      if (entry & kFastLiteral) {
        *out++ = (uint8_t)(entry >> 16);
        ZV_REFILL();
        entry = fastLiterals[bits & literalMask];
        continue;
      }
      if (entry & kFastEndOfBlock) {
        result = kSymbolEndOfBlock;
        goto done;
      }
    }
    uint32_t length = EntryValue(saved, entry);
    // The distance lookup needs only the table's bits, which are held even
    // after two literals and a long length; its code and extra bits may
    // need the refill.
    entry = fastDistances[bits & distanceMask];
    if ((uint8_t)held < kMaxDistanceBits) ZV_REFILL();
    if (entry & kFastLonger) {
      entry = ResolveCarefully(distances, distanceBits, bits);
      ZV_FAIL_IF_INVALID();
    }
    ZV_CONSUME();
    uint32_t distance = EntryValue(saved, entry);
    ZV_REFILL();
    entry = fastLiterals[bits & literalMask];

    const uint8_t* from = out - distance;
    uint8_t* end = out + length;
    if (distance > (uint32_t)(out - windowStart)) {
      // The source lies one window back, ahead of the destination, where a
      // forward word copy is right; only a source run that reaches the
      // window's end needs the careful copy, which splits it.
      from += kWindowSize;
      if ((uint32_t)(from - windowStart) + length + kFastCopyOverrun > kWindowSize) {
        windowPos = (uint32_t)(out - windowStart);
        CopyMatch(distance, length);
        out = windowStart + windowPos;
        continue;
      }
      distance = kWindowSize;
    }
    // Copies go in pieces of 16 bytes, or of 8 for distances below 16, the
    // first 32 bytes or 16 unconditionally, so they may run up to 31 bytes
    // past the match; those bytes are still history for later matches (one
    // window back, or an earlier member's), so they are put back afterwards.
    uint8_t beyond[kFastCopyOverrun];
    memcpy(beyond, end, sizeof beyond);
    if (distance >= 16) {
      Copy16(out, from);
      Copy16(out + 16, from + 16);
      while (length > 32) {
        out += 32;
        from += 32;
        Copy16(out, from);
        Copy16(out + 16, from + 16);
        length -= 32;
      }
    } else if (distance >= 8) {
      Store64(out, Load64(from));
      Store64(out + 8, Load64(from + 8));
      while (length > 16) {
        out += 16;
        from += 16;
        Store64(out, Load64(from));
        Store64(out + 8, Load64(from + 8));
        length -= 16;
      }
    } else if (distance == 1) {
      uint64_t run = 0x0101010101010101ull * *from;
      Store64(out, run);
      Store64(out + 8, run);
      while (length > 16) {
        out += 16;
        Store64(out, run);
        Store64(out + 8, run);
        length -= 16;
      }
    } else {
      // Each word is right in its first `distance` bytes, and the next one
      // starts there, reading what the last one wrote.
      do {
        Store64(out, Load64(from));
        out += distance;
        from += distance;
      } while (out < end);
    }
    memcpy(end, beyond, sizeof beyond);
    out = end;
  } while (in <= inputLimit && out < outLimit);
done:
#undef ZV_REFILL
#undef ZV_CONSUME
#undef ZV_FAIL_IF_INVALID
  bitBuffer = bits;
  bitsHeld = (uint8_t)held;
  CompressedInput.nextPos = (int32_t)(in - inputStart) + 1;
  windowPos = (uint32_t)(out - windowStart);
  return result;
}

int FastSymbolsPlain(const HuffmanEntry* literals, unsigned literalBits, const HuffmanEntry* distances,
                     unsigned distanceBits) {
  return FastSymbolsBody(literals, literalBits, distances, distanceBits);
}

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__) && !defined(ZARVEL_ONE_FAST_LOOP)
__attribute__((target("bmi2"))) int FastSymbolsBmi2(const HuffmanEntry* literals, unsigned literalBits,
                                                    const HuffmanEntry* distances, unsigned distanceBits) {
  return FastSymbolsBody(literals, literalBits, distances, distanceBits);
}


int FastSymbols(const HuffmanEntry* literals, unsigned literalBits, const HuffmanEntry* distances,
                unsigned distanceBits) {
  if (fastPathBmi2 == 0) {
    __builtin_cpu_init();
    fastPathBmi2 = __builtin_cpu_supports("bmi2") ? 1 : -1;
  }
  if (fastPathBmi2 > 0) return FastSymbolsBmi2(literals, literalBits, distances, distanceBits);
  return FastSymbolsPlain(literals, literalBits, distances, distanceBits);
}
#else
int FastSymbols(const HuffmanEntry* literals, unsigned literalBits, const HuffmanEntry* distances,
                unsigned distanceBits) {
  return FastSymbolsPlain(literals, literalBits, distances, distanceBits);
}
#endif

// One symbol on the careful path.
int SlowSymbol(const HuffmanEntry* literals, unsigned literalBits, const HuffmanEntry* distances,
               unsigned distanceBits) {
  const HuffmanEntry* entry;
  if (Lookup(literals, literalBits, &entry) != kInflateOk) return kInflateBadData;
  // A found entry is a literal (16), the end of block (15) or a length (0..13).
  if (entry->tag >= kTagEndOfBlock) {
    if (RanPastEnd()) return kInflateBadData;
    if (entry->tag == kTagEndOfBlock) return kSymbolEndOfBlock;
    PutByte((uint8_t)entry->value);
    return kSymbolMore;
  }
  uint32_t length = entry->value + ReadBits(entry->tag);
  if (Lookup(distances, distanceBits, &entry) != kInflateOk) return kInflateBadData;
  uint32_t distance = entry->value + ReadBits(entry->tag);
  if (RanPastEnd()) return kInflateBadData;
  CopyMatch(distance, length);
  return kSymbolMore;
}

int DecodeSymbols(const HuffmanEntry* literals, unsigned literalBits,
                  const HuffmanEntry* distances, unsigned distanceBits) {
  if (literals == nullptr) {
    literals = emptyTable;
    literalBits = 0;
  }
  if (distances == nullptr) {
    distances = emptyTable;
    distanceBits = 0;
  }
  PrepareFastTables(literals, literalBits, distances, distanceBits);
  for (;;) {
    // Near the end of the input buffer or of the window the careful path
    // takes one symbol at a time, until the fast path fits again.
    int result = FastPathFits() ? FastSymbols(literals, literalBits, distances, distanceBits) : kSymbolMore;
    if (result == kSymbolMore) result = SlowSymbol(literals, literalBits, distances, distanceBits);
    if (result == kSymbolEndOfBlock) return kInflateOk;
    if (result != kSymbolMore) return kInflateBadData;
  }
}

int CopyStoredBlock() {
  Drop(bitsHeld & 7);
  uint32_t length = ReadBits(16);
  uint32_t complement = ReadBits(16);
  if (RanPastEnd() || complement != (~length & 0xFFFFu)) return kInflateBadData;
  // Whole bytes already in the bit buffer come first.
  while (length > 0 && bitsHeld >= 8) {
    PutByte((uint8_t)bitBuffer);
    Drop(8);
    length--;
  }
  if (length == 0) return kInflateOk;
  // The bit buffer is empty now; what it held above was a look at the bytes
  // that are about to be copied straight from the input.
  bitBuffer = 0;
  CompressedInputState& in = CompressedInput;
  while (length > 0) {
    int32_t available = in.fill - in.nextPos + 1;
    if (available <= 0) {
      int byte = FetchByte();
      if (byte == kEndOfData) return kInflateBadData;
      PutByte((uint8_t)byte);
      length--;
      continue;
    }
    uint32_t chunk = length;
    if (chunk > (uint32_t)available) chunk = (uint32_t)available;
    if (chunk > kWindowSize - windowPos) chunk = kWindowSize - windowPos;
    memcpy(window + windowPos, in.buffer + in.nextPos - 1, chunk);
    in.nextPos += (int32_t)chunk;
    windowPos += chunk;
    length -= chunk;
    if (windowPos == kWindowSize) {
      FlushWindow(kWindowSize);
      windowPos = 0;
    }
  }
  return kInflateOk;
}

int BuildFixedTables() {
  uint8_t lengths[kFixedLiteralCodes];
  unsigned s = 0;
  for (; s < 144; s++) lengths[s] = 8;
  for (; s < 256; s++) lengths[s] = 9;
  for (; s < 280; s++) lengths[s] = 7;
  for (; s < kFixedLiteralCodes; s++) lengths[s] = 8;
  fixedLiteralBits = kFixedLiteralLookupBits;
  int result = BuildHuffmanTable(lengths, kFixedLiteralCodes, 257, kLengthBase, kLengthExtra,
                                 &fixedLiteralTable, &fixedLiteralBits);
  if (result != kHuffmanComplete) {
    ReleaseHuffmanTable(fixedLiteralTable);
    fixedLiteralTable = nullptr;
    return result;
  }
  for (s = 0; s < kMaxDistanceCodes; s++) lengths[s] = 5;
  fixedDistanceBits = kFixedDistanceLookupBits;
  // Codes 30 and 31 are left unused: the incomplete result is expected.
  result = BuildHuffmanTable(lengths, kMaxDistanceCodes, 0, kDistanceBase, kDistanceExtra,
                             &fixedDistanceTable, &fixedDistanceBits);
  if (result > kHuffmanIncomplete) {
    ReleaseHuffmanTable(fixedLiteralTable);
    fixedLiteralTable = nullptr;
    fixedDistanceTable = nullptr;
    return result;
  }
  return kInflateOk;
}

int DecodeFixedBlock() {
  if (fixedLiteralTable == nullptr) {
    int result = BuildFixedTables();
    if (result != kInflateOk) return result;
  }
  return DecodeSymbols(fixedLiteralTable, fixedLiteralBits, fixedDistanceTable, fixedDistanceBits) ==
                 kInflateOk
             ? kInflateOk
             : kInflateBadData;
}

// Reads the literal/length and distance code lengths as one run, so that a
// repeat may carry over from the one into the other.
int ReadCodeLengths(const HuffmanEntry* table, unsigned bits, unsigned total) {
  if (table == nullptr) {
    table = emptyTable;
    bits = 0;
  }
  unsigned previous = 0;
  unsigned done = 0;
  while (done < total) {
    const HuffmanEntry* entry;
    // The only invalid entry here is the unused code of a one-code
    // code-length code, which only damaged data can send.
    if (Lookup(table, bits, &entry) != kInflateOk) return kInflateBadData;
    unsigned symbol = entry->value;
    if (symbol < 16) {
      if (RanPastEnd()) return kInflateBadData;
      codeLengths[done++] = (uint8_t)symbol;
      previous = symbol;
      continue;
    }
    unsigned repeat;
    unsigned length = 0;
    if (symbol == 16) {
      repeat = 3 + ReadBits(2);
      length = previous;
    } else if (symbol == 17) {
      repeat = 3 + ReadBits(3);
    } else {
      repeat = 11 + ReadBits(7);
    }
    if (RanPastEnd() || done + repeat > total) return kInflateBadData;
    memset(codeLengths + done, (int)length, repeat);
    done += repeat;
    previous = length;
  }
  return kInflateOk;
}

int DecodeDynamicBlock() {
  unsigned literalCount = 257 + ReadBits(5);
  unsigned distanceCount = 1 + ReadBits(5);
  unsigned lengthCodeCount = 4 + ReadBits(4);
  if (literalCount > kMaxLiteralCodes || distanceCount > kMaxDistanceCodes) return kInflateBadData;

  uint8_t lengthCodeLengths[kCodeLengthCodes];
  memset(lengthCodeLengths, 0, sizeof lengthCodeLengths);
  for (unsigned i = 0; i < lengthCodeCount; i++) lengthCodeLengths[kCodeLengthOrder[i]] = (uint8_t)ReadBits(3);
  if (RanPastEnd()) return kInflateBadData;

  HuffmanEntry* lengthTable;
  unsigned lengthBits = kCodeLengthLookupBits;
  int result = BuildHuffmanTable(lengthCodeLengths, kCodeLengthCodes, kCodeLengthCodes, nullptr,
                                 nullptr, &lengthTable, &lengthBits);
  if (result != kHuffmanComplete) {
    if (result == kHuffmanIncomplete) ReleaseHuffmanTable(lengthTable);
    return result;
  }
  result = ReadCodeLengths(lengthTable, lengthBits, literalCount + distanceCount);
  ReleaseHuffmanTable(lengthTable);
  if (result != kInflateOk) return result;

  HuffmanEntry* literalTable;
  unsigned literalBits = literalLookupBits;
  result = BuildHuffmanTable(codeLengths, literalCount, 257, kLengthBase, kLengthExtra,
                             &literalTable, &literalBits);
  if (result != kHuffmanComplete) {
    if (result == kHuffmanIncomplete) ReleaseHuffmanTable(literalTable);
    return result;
  }
  HuffmanEntry* distanceTable;
  unsigned distanceBits = distanceLookupBits;
  result = BuildHuffmanTable(codeLengths + literalCount, distanceCount, 0, kDistanceBase,
                             kDistanceExtra, &distanceTable, &distanceBits);
  if (result != kHuffmanComplete) {
    if (result == kHuffmanIncomplete) ReleaseHuffmanTable(distanceTable);
    ReleaseHuffmanTable(literalTable);
    return result;
  }
  result = DecodeSymbols(literalTable, literalBits, distanceTable, distanceBits);
  ReleaseHuffmanTable(literalTable);
  ReleaseHuffmanTable(distanceTable);
  return result == kInflateOk ? kInflateOk : kInflateBadData;
}

int DecodeBlock(bool* lastBlock) {
  *lastBlock = ReadBits(1) != 0;
  unsigned type = ReadBits(2);
  if (RanPastEnd()) return kInflateBadData;
  switch (type) {
    case 0: return CopyStoredBlock();
    case 1: return DecodeFixedBlock();
    case 2: return DecodeDynamicBlock();
    default: return kInflateBadCode;
  }
}

}  // namespace

void DeriveCodeTables(DeflateCodeTables* tables) {
  // After the first eight length codes (four distance codes), every four
  // lengths (two distances) take one extra bit more, and each base follows
  // the previous one by the span of its extra bits.
  unsigned length = 3;
  unsigned distance = 1;
  for (unsigned i = 0; i < kMaxDistanceCodes; i++) {
    unsigned extra = ((i < 4 ? 4 : i) - 4) / 4;
    tables->lengthBase[i] = (uint16_t)length;
    tables->lengthExtra[i] = (uint16_t)extra;
    length += 1u << extra;
    extra = ((i < 2 ? 2 : i) - 2) / 2;
    tables->distanceBase[i] = (uint16_t)distance;
    tables->distanceExtra[i] = (uint16_t)extra;
    distance += 1u << extra;
  }
  // Code 285 breaks the rule: the longest match, with no extra bits. Codes
  // 286 and 287 have base 0 and the invalid tag.
  tables->lengthBase[kLastLengthCode] = kMaxMatch;
  tables->lengthExtra[kLastLengthCode] = 0;
  tables->lengthBase[kLastLengthCode + 1] = 0;
  tables->lengthBase[kLastLengthCode + 2] = 0;
  tables->lengthExtra[kLastLengthCode + 1] = kTagInvalid;
  tables->lengthExtra[kLastLengthCode + 2] = kTagInvalid;
}

int InflateMember() {
  DeriveCodeTables(&codeTables);
  windowPos = 0;
  bitBuffer = 0;
  bitsHeld = 0;
  pastEndBits = 0;
  bool lastBlock = false;
  do {
    int result = DecodeBlock(&lastBlock);
    if (result != kInflateOk) {
      // A status already set (a failed read or write, a cancel, output past
      // the recorded size) is what ended the data: it stays.
      if (errorCode == kStatusOk) errorCode = kStatusDamaged;
      return result;
    }
  } while (!lastBlock);
  FlushWindow(windowPos);
  return kInflateOk;
}

int ReleaseFixedTables() {
  if (fixedLiteralTable != nullptr) {
    ReleaseHuffmanTable(fixedLiteralTable);
    ReleaseHuffmanTable(fixedDistanceTable);
    fixedLiteralTable = nullptr;
    fixedDistanceTable = nullptr;
  }
  return 0;
}

void InflateEntry() {
  InflateMember();
  ReleaseFixedTables();
}
