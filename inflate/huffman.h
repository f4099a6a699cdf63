// Multi-level decoding tables for the canonical Huffman codes of Deflate.
//
// A lookup takes the next `lookupBits` bits of the bit buffer (first code bit
// at bit 0) as an index into the root table. Codes no longer than the root's
// index bits resolve there, replicated over every index they prefix; longer
// codes meet a link entry and continue in a smaller sub-table. Every entry
// carries what the decoder needs next (literal, end of block, or base value
// and extra-bit count), so one lookup yields a whole symbol.
//
// Each table is one allocation with a hidden link entry in front of its
// first entry, chaining all tables of one build so that they are released
// together from the root.
#pragma once

#include <stdint.h>

// Entry tags: 0..13 extra bits of a length or distance symbol, then these.
const uint8_t kTagEndOfBlock = 15;
const uint8_t kTagLiteral = 16;  // also every symbol of the code-length code
const uint8_t kTagLinkBase = 16;  // a link to a sub-table of (tag - 16) index bits
const uint8_t kTagInvalid = 99;   // a code that no symbol owns

struct HuffmanEntry {
  uint8_t tag;
  uint8_t dropBits;  // bits this level accounts for; for a link, the bits of its own table
  union {
    uint16_t value;
    HuffmanEntry* subTable;
  };
};

// Builder results.
const int kHuffmanComplete = 0;        // complete, empty, or a single 1-bit code
const int kHuffmanIncomplete = 1;      // built all the same; the caller releases it
const int kHuffmanOversubscribed = 2;  // nothing built
const int kHuffmanNoMemory = 3;        // nothing stays allocated

const int kMaxCodeBits = 16;
const int kMaxSymbols = 288;

// Symbols below `simpleCount` stand for themselves (below 256 a literal, 256
// the end of block); the others take their value and tag from `bases` and
// `extraBits`, indexed by symbol minus `simpleCount`. `lookupBits` is the
// wanted root width on entry and the actual one on return.
int BuildHuffmanTable(const uint8_t* lengths, unsigned count, unsigned simpleCount,
                      const uint16_t* bases, const uint16_t* extraBits, HuffmanEntry** table,
                      unsigned* lookupBits);
// The same tables from less code: the stub's builder (BuildHuffmanTable
// forwards to it in the small build).
int BuildCompactHuffmanTable(const uint8_t* lengths, unsigned count, unsigned simpleCount,
                             const uint16_t* bases, const uint16_t* extraBits, HuffmanEntry** table,
                             unsigned* lookupBits);
int ReleaseHuffmanTable(HuffmanEntry* table);
