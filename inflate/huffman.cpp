// Builds the multi-level decoding tables of huffman.h from a list of code
// lengths, and releases them.
//
// The canonical codes are handed out in order of length, and by symbol within
// a length, as RFC 1951 defines them. The builder walks them in that order
// with the code kept bit-reversed (first code bit at bit 0, as the bit buffer
// delivers it), opening a sub-table whenever a code outgrows the tables
// already open. Unused codes of an incomplete code are placed after the real
// ones as invalid entries, so every table is completely filled and a lookup
// never meets an empty slot.
//
// There are two builders of the same tables. The full build keeps the one
// that sorts the symbols first and carries each level's code prefix; the
// stub, where every byte of code travels with each archive, uses the compact
// one, which finds the symbols of each length by scanning the lengths again,
// records each new table in the chain through the link it last wrote, and
// notices that a level is done from the code bit its increment set. The
// tests build both and compare the tables.
#include "inflate/huffman.h"

#include <stdlib.h>

namespace {

const int kMaxLevels = 16;

HuffmanEntry* AllocateTable(unsigned indexBits) {
  HuffmanEntry* block = (HuffmanEntry*)malloc(((size_t)1 + ((size_t)1 << indexBits)) * sizeof(HuffmanEntry));
  if (block == nullptr) return nullptr;
  block[0].tag = 0;
  block[0].dropBits = 0;
  block[0].subTable = nullptr;  // the chain link, hidden in front of the entries
  return block + 1;
}

}  // namespace

int ReleaseHuffmanTable(HuffmanEntry* table) {
  while (table != nullptr) {
    HuffmanEntry* next = table[-1].subTable;
    free(table - 1);
    table = next;
  }
  return 0;
}

// What both builders learn of a code before they build its tables.
enum CodeMeasure { kCodeEmpty, kCodeOversubscribed, kCodeUsable };

// Counts the codes of each length, finds the shortest and longest in use
// and checks the Kraft sum, one length at a time: what is left of the code
// space after each length, doubled for the next. What remains after the
// longest are the unused codes of an incomplete code; they are counted as
// codes of the longest length, which the builders make invalid entries.
// An empty code (every length 0) builds no table.
static inline CodeMeasure MeasureCode(const uint8_t* lengths, unsigned count, unsigned* codesOfLength,
                                      unsigned* shortest, unsigned* longest, unsigned* unused) {
  for (unsigned len = 0; len <= kMaxCodeBits; len++) codesOfLength[len] = 0;
  for (unsigned s = 0; s < count; s++) codesOfLength[lengths[s]]++;
  if (codesOfLength[0] == count) return kCodeEmpty;
  unsigned low = 1;
  while (codesOfLength[low] == 0) low++;
  unsigned high = kMaxCodeBits;
  while (codesOfLength[high] == 0) high--;
  int left = 1;
  for (unsigned len = 1; len <= high; len++) {
    left = 2 * left - (int)codesOfLength[len];
    if (left < 0) return kCodeOversubscribed;
  }
  codesOfLength[high] += (unsigned)left;
  *shortest = low;
  *longest = high;
  *unused = (unsigned)left;
  return kCodeUsable;
}

// The root table's width: the width asked for, but no narrower than the
// shortest code and no wider than the longest.
static inline unsigned RootBits(unsigned requested, unsigned shortest, unsigned longest) {
  if (requested < shortest) return shortest;
  return requested > longest ? longest : requested;
}

#ifdef ZARVEL_COMPACT_TABLES

int BuildHuffmanTable(const uint8_t* lengths, unsigned count, unsigned simpleCount,
                      const uint16_t* bases, const uint16_t* extraBits, HuffmanEntry** table,
                      unsigned* lookupBits) {
  return BuildCompactHuffmanTable(lengths, count, simpleCount, bases, extraBits, table, lookupBits);
}

#else

int BuildHuffmanTable(const uint8_t* lengths, unsigned count, unsigned simpleCount,
                      const uint16_t* bases, const uint16_t* extraBits, HuffmanEntry** table,
                      unsigned* lookupBits) {
  *table = nullptr;
  // A sub-table never reaches past the end-of-block code's length, which
  // keeps the end of a block resolvable from the root in the common case.
  unsigned endOfBlockBits = count > 256 ? lengths[256] : kMaxCodeBits;

  unsigned codesOfLength[kMaxCodeBits + 1];
  unsigned shortest, longest, unusedCodes;
  CodeMeasure measure = MeasureCode(lengths, count, codesOfLength, &shortest, &longest, &unusedCodes);
  if (measure == kCodeOversubscribed) return kHuffmanOversubscribed;
  if (measure == kCodeEmpty) {
    *lookupBits = 0;
    return kHuffmanComplete;
  }
  unsigned rootBits = RootBits(*lookupBits, shortest, longest);

  // Symbols in canonical order.
  uint16_t sorted[kMaxSymbols];
  unsigned offset[kMaxCodeBits + 2];
  offset[1] = 0;
  for (unsigned len = 1; len <= kMaxCodeBits; len++) offset[len + 1] = offset[len] + codesOfLength[len];
  for (unsigned s = 0; s < count; s++) {
    if (lengths[s] != 0) sorted[offset[lengths[s]]++] = (uint16_t)s;
  }
  unsigned realCodes = count - codesOfLength[0];

  HuffmanEntry* levelTable[kMaxLevels];
  unsigned levelBits[kMaxLevels];
  unsigned levelPrefix[kMaxLevels];
  int depth = -1;
  unsigned covered = 0;  // code bits consumed by the tables above the current one
  unsigned currentBits = 0;
  HuffmanEntry* lastTable = nullptr;
  unsigned code = 0;  // bit-reversed

  unsigned placed = 0;
  for (unsigned len = shortest; len <= longest; len++) {
    for (unsigned left = codesOfLength[len]; left > 0; left--, placed++) {
      while (len > covered + currentBits) {
        covered += currentBits;
        unsigned limit = longest - covered < rootBits ? longest - covered : rootBits;
        unsigned bits = len - covered;
        unsigned spare = 1u << bits;
        if (spare > left) {
          // Grow while the longer codes do not fill the space on their own.
          spare -= left;
          unsigned longer = len;
          if (bits < limit) {
            while (++bits < limit) {
              spare <<= 1;
              if (spare <= codesOfLength[++longer]) break;
              spare -= codesOfLength[longer];
            }
          }
        }
        if (covered < endOfBlockBits && covered + bits > endOfBlockBits) bits = endOfBlockBits - covered;

        HuffmanEntry* made = AllocateTable(bits);
        if (made == nullptr) {
          ReleaseHuffmanTable(*table);
          *table = nullptr;
          return kHuffmanNoMemory;
        }
        if (lastTable == nullptr) {
          *table = made;
        } else {
          lastTable[-1].subTable = made;
        }
        lastTable = made;
        depth++;
        levelTable[depth] = made;
        levelBits[depth] = bits;
        levelPrefix[depth] = code & ((1u << covered) - 1);
        if (depth > 0) {
          unsigned aboveBits = levelBits[depth - 1];
          HuffmanEntry& link = levelTable[depth - 1][(code >> (covered - aboveBits)) & ((1u << aboveBits) - 1)];
          link.tag = (uint8_t)(kTagLinkBase + bits);
          link.dropBits = (uint8_t)aboveBits;
          link.subTable = made;
        }
        currentBits = bits;
      }

      HuffmanEntry entry;
      entry.dropBits = (uint8_t)(len - covered);
      entry.subTable = nullptr;
      if (placed >= realCodes) {
        entry.tag = kTagInvalid;
      } else {
        unsigned symbol = sorted[placed];
        if (symbol < simpleCount) {
          entry.tag = symbol < 256 ? kTagLiteral : kTagEndOfBlock;
          entry.value = (uint16_t)symbol;
        } else {
          entry.tag = (uint8_t)extraBits[symbol - simpleCount];
          entry.value = bases[symbol - simpleCount];
        }
      }
      HuffmanEntry* current = levelTable[depth];
      unsigned step = 1u << (len - covered);
      for (unsigned index = code >> covered; index < (1u << currentBits); index += step) current[index] = entry;

      unsigned bit = 1u << (len - 1);
      while (code & bit) {
        code ^= bit;
        bit >>= 1;
      }
      code ^= bit;

      while ((code & ((1u << covered) - 1)) != levelPrefix[depth]) {
        depth--;
        covered -= levelBits[depth];
        currentBits = levelBits[depth];
      }
    }
  }

  *lookupBits = levelBits[0];
  return (unusedCodes != 0 && longest > 1) ? kHuffmanIncomplete : kHuffmanComplete;
}

#endif  // ZARVEL_COMPACT_TABLES

int BuildCompactHuffmanTable(const uint8_t* lengths, unsigned count, unsigned simpleCount,
                             const uint16_t* bases, const uint16_t* extraBits, HuffmanEntry** table,
                             unsigned* lookupBits) {
  *table = nullptr;
  unsigned endOfBlockBits = count > 256 ? lengths[256] : kMaxCodeBits;
  unsigned codesOfLength[kMaxCodeBits + 1];
  unsigned shortest, longest, unused;
  CodeMeasure measure = MeasureCode(lengths, count, codesOfLength, &shortest, &longest, &unused);
  if (measure == kCodeOversubscribed) return kHuffmanOversubscribed;
  if (measure == kCodeEmpty) {
    *lookupBits = 0;
    return kHuffmanComplete;
  }
  unsigned rootBits = RootBits(*lookupBits, shortest, longest);

  HuffmanEntry* levelTable[kMaxLevels];
  unsigned levelBits[kMaxLevels];
  int depth = -1;
  unsigned covered = 0;
  unsigned currentBits = 0;
  unsigned code = 0;
  HuffmanEntry** chain = table;  // where the next table of the build is recorded
  for (unsigned len = shortest; len <= longest; len++) {
    unsigned symbol = 0;  // the symbols of this length are met in order
    for (unsigned remaining = codesOfLength[len]; remaining > 0; remaining--) {
      while (len > covered + currentBits) {
        covered += currentBits;
        unsigned limit = longest - covered < rootBits ? longest - covered : rootBits;
        unsigned bits = len - covered;
        unsigned spare = 1u << bits;
        if (spare > remaining) {
          spare -= remaining;
          unsigned longer = len;
          // Grow while the longer codes do not fill the space on their own.
          while (bits < limit && ++bits < limit) {
            spare <<= 1;
            if (spare <= codesOfLength[++longer]) break;
            spare -= codesOfLength[longer];
          }
        }
        if (covered < endOfBlockBits && covered + bits > endOfBlockBits) bits = endOfBlockBits - covered;
        HuffmanEntry* made = AllocateTable(bits);
        if (made == nullptr) {
          ReleaseHuffmanTable(*table);
          *table = nullptr;
          return kHuffmanNoMemory;
        }
        *chain = made;
        chain = &made[-1].subTable;
        if (depth >= 0) {
          HuffmanEntry& link = levelTable[depth][(code >> (covered - currentBits)) & ((1u << currentBits) - 1)];
          link.tag = (uint8_t)(kTagLinkBase + bits);
          link.dropBits = (uint8_t)currentBits;
          link.subTable = made;
        }
        depth++;
        levelTable[depth] = made;
        levelBits[depth] = bits;
        currentBits = bits;
      }
      // Past the last symbol of the longest length come the unused codes.
      while (symbol < count && lengths[symbol] != len) symbol++;
      HuffmanEntry entry;
      entry.dropBits = (uint8_t)(len - covered);
      entry.subTable = nullptr;
      if (symbol >= count) {
        entry.tag = kTagInvalid;
      } else if (symbol < simpleCount) {
        entry.tag = symbol < 256 ? kTagLiteral : kTagEndOfBlock;
        entry.value = (uint16_t)symbol;
      } else {
        entry.tag = (uint8_t)extraBits[symbol - simpleCount];
        entry.value = bases[symbol - simpleCount];
      }
      symbol++;
      for (unsigned index = code >> covered; index < (1u << currentBits); index += 1u << (len - covered)) {
        levelTable[depth][index] = entry;
      }
      unsigned bit = 1u << (len - 1);
      while (code & bit) {
        code ^= bit;
        bit >>= 1;
      }
      code ^= bit;
      // The increment set `bit` and kept the bits below it: a level stays
      // current while its prefix, the code bits below `covered`, is kept.
      while (depth > 0 && bit < (1u << covered)) {
        depth--;
        currentBits = levelBits[depth];
        covered -= currentBits;
      }
    }
  }
  *lookupBits = levelBits[0];
  return (unused != 0 && longest > 1) ? kHuffmanIncomplete : kHuffmanComplete;
}
