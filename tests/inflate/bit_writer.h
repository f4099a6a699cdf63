// Crafts Deflate streams bit by bit: fields go in low bit first, Huffman codes top bit first. Length and distance
// codes are typed in from RFC 1951.
#pragma once

#include <stdint.h>

#include <string>

inline constexpr unsigned kRfcLengthBases[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr unsigned kRfcLengthExtras[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr unsigned kRfcDistanceBases[30] = {
    1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097,
    6145, 8193, 12289, 16385, 24577};
inline constexpr unsigned kRfcDistanceExtras[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3,  3,  4,  4,  5,  5,  6,
                                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Length 3..258 as symbol 257..285, distance 1..32768 as code 0..29, each with its extra bits.
inline void LengthCode(unsigned length, unsigned* symbol, unsigned* extraBits, unsigned* extraValue) {
  unsigned i = 28;
  while (kRfcLengthBases[i] > length) i--;
  *symbol = 257 + i, *extraBits = kRfcLengthExtras[i], *extraValue = length - kRfcLengthBases[i];
}
inline void DistanceCode(unsigned distance, unsigned* code, unsigned* extraBits, unsigned* extraValue) {
  unsigned i = 29;
  while (kRfcDistanceBases[i] > distance) i--;
  *code = i, *extraBits = kRfcDistanceExtras[i], *extraValue = distance - kRfcDistanceBases[i];
}

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
  BitWriter& Align() { return Bits(0, (8 - used_) % 8); }
  BitWriter& Byte(uint8_t value) { return Bits(value, 8); }
  BitWriter& Block(bool last, unsigned type) { return Bits(last ? 1 : 0, 1).Bits(type, 2); }
  BitWriter& StoredHeader(bool last, uint16_t length, uint16_t complement) {  // NLEN apart, to spoil it
    return Block(last, 0).Align().Bits(length, 16).Bits(complement, 16);
  }
  BitWriter& Stored(bool last, const std::string& bytes) {
    StoredHeader(last, (uint16_t)bytes.size(), (uint16_t)~bytes.size());
    for (unsigned char c : bytes) Byte(c);
    return *this;
  }
  // The fixed code: literal/length symbol 0..287, distance code 0..31.
  BitWriter& FixedSymbol(unsigned s) {
    if (s < 144) return Code(0x30 + s, 8);
    if (s < 256) return Code(0x190 + s - 144, 9);
    return s < 280 ? Code(s - 256, 7) : Code(0xC0 + s - 280, 8);
  }
  BitWriter& FixedDistanceCode(unsigned code) { return Code(code, 5); }
  BitWriter& FixedMatch(unsigned length, unsigned distance) {
    unsigned symbol, bits, extra, code, distanceBits, distanceExtra;
    LengthCode(length, &symbol, &bits, &extra);
    DistanceCode(distance, &code, &distanceBits, &distanceExtra);
    return FixedSymbol(symbol).Bits(extra, bits).FixedDistanceCode(code).Bits(distanceExtra, distanceBits);
  }
  BitWriter& FixedLiterals(const std::string& bytes) {
    for (unsigned char c : bytes) FixedSymbol(c);
    return *this;
  }
  BitWriter& FixedEnd() { return FixedSymbol(256); }
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

// The canonical codes of a list of lengths, top bit first as Code takes them.
inline void CanonicalCodes(const uint8_t* lengths, unsigned count, uint32_t* codes) {
  unsigned perLength[17] = {0}, next[17] = {0};
  for (unsigned s = 0; s < count; s++) perLength[lengths[s]]++;
  perLength[0] = 0;
  for (unsigned bits = 1, code = 0; bits <= 16; bits++) next[bits] = code = (code + perLength[bits - 1]) << 1;
  for (unsigned s = 0; s < count; s++) codes[s] = lengths[s] ? next[lengths[s]]++ : 0;
}
