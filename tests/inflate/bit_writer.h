// Crafts Deflate streams bit by bit: fields go in low bit first, Huffman codes top bit first. Length and distance
// codes are typed in from RFC 1951; the padding before a stored block's length is made of 1-bits, which a decoder
// must pass over.
#pragma once

#include <string>

#include "inflate/huffman.h"
#include "inflate/inflate.h"

// Length symbols 257..285 (286 and 287: base 0 and the decoder's invalid tag) and distance codes 0..29.
inline constexpr DeflateCodeTables kRfcCodes = {
    {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258,
     0, 0},
    {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0,
     kTagInvalid, kTagInvalid},
    {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145,
     8193, 12289, 16385, 24577},
    {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13}};

class BitWriter {
 public:
  BitWriter& Bits(uint32_t value, unsigned count) {
    for (unsigned i = 0; i < count; i++) Bit(i < 32 && (value >> i) & 1);  // past 32 bits: zeros
    return *this;
  }
  BitWriter& Code(uint32_t code, unsigned length) {  // top bit first
    while (length-- > 0) Bit((code >> length) & 1);
    return *this;
  }
  BitWriter& Block(bool last, unsigned type) { return Bits(last ? 1 : 0, 1).Bits(type, 2); }
  BitWriter& Stored(bool last, const std::string& bytes, uint16_t spoil = 0) {  // NLEN xor `spoil`
    Block(last, 0).Bits(0xFF, (8 - used_) % 8).Bits((uint32_t)bytes.size(), 16).Bits(~bytes.size() ^ spoil, 16);
    for (unsigned char c : bytes) Bits(c, 8);
    return *this;
  }
  // The fixed code: literal/length symbol 0..287, distance code 0..31 in five bits.
  BitWriter& FixedSymbol(unsigned s) {
    if (s < 144) return Code(0x30 + s, 8);
    if (s < 256) return Code(0x190 + s - 144, 9);
    return s < 280 ? Code(s - 256, 7) : Code(0xC0 + s - 280, 8);
  }
  // A length (3..258) and a distance (1..32768), each as the last code whose base is not above it and extra bits.
  BitWriter& FixedMatch(unsigned length, unsigned distance) {
    unsigned l = 28, d = 29;
    while (kRfcCodes.lengthBase[l] > length) l--;
    while (kRfcCodes.distanceBase[d] > distance) d--;
    FixedSymbol(257 + l).Bits(length - kRfcCodes.lengthBase[l], kRfcCodes.lengthExtra[l]);
    return Code(d, 5).Bits(distance - kRfcCodes.distanceBase[d], kRfcCodes.distanceExtra[d]);
  }
  std::string Bytes() const { return used_ ? bytes_ + (char)partial_ : bytes_; }

 private:
  void Bit(unsigned bit) {
    partial_ |= (uint8_t)(bit << used_);
    if (++used_ == 8) bytes_.push_back((char)partial_), partial_ = 0, used_ = 0;
  }
  std::string bytes_;
  uint8_t partial_ = 0;
  unsigned used_ = 0;
};
