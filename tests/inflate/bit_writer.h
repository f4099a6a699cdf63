// A small Deflate bit writer for crafting test streams by hand: fields go in
// least-significant bit first, Huffman codes most-significant bit first, as
// RFC 1951 packs them. Includes the fixed code's symbol writers.
#pragma once

#include <stdint.h>

#include <string>

class BitWriter {
 public:
  // `count` bits of `value`, low bit first.
  BitWriter& Bits(uint32_t value, unsigned count) {
    for (unsigned i = 0; i < count; i++) Bit((value >> i) & 1);
    return *this;
  }
  // A Huffman code of `length` bits, its first bit being the code's top bit.
  BitWriter& Code(uint32_t code, unsigned length) {
    for (unsigned i = length; i-- > 0;) Bit((code >> i) & 1);
    return *this;
  }
  BitWriter& Align() {
    while (used_ != 0) Bit(0);
    return *this;
  }
  BitWriter& Byte(uint8_t value) { return Bits(value, 8); }
  BitWriter& Block(bool last, unsigned type) { return Bits(last ? 1 : 0, 1).Bits(type, 2); }

  // A stored block header with its LEN and NLEN (NLEN may be spoiled).
  BitWriter& StoredHeader(bool last, uint16_t length, uint16_t complement) {
    return Block(last, 0).Align().Bits(length, 16).Bits(complement, 16);
  }
  BitWriter& Stored(bool last, const std::string& bytes) {
    StoredHeader(last, (uint16_t)bytes.size(), (uint16_t)~bytes.size());
    for (unsigned char c : bytes) Byte(c);
    return *this;
  }

  // Fixed code: literal/length symbol 0..287 and distance code 0..31.
  BitWriter& FixedSymbol(unsigned symbol) {
    if (symbol < 144) return Code(0x30 + symbol, 8);
    if (symbol < 256) return Code(0x190 + symbol - 144, 9);
    if (symbol < 280) return Code(symbol - 256, 7);
    return Code(0xC0 + symbol - 280, 8);
  }
  BitWriter& FixedDistanceCode(unsigned code) { return Code(code, 5); }
  // A match with the fixed code; symbol and extra bits from RFC 1951 3.2.5.
  BitWriter& FixedMatch(unsigned length, unsigned distance);
  BitWriter& FixedLiterals(const std::string& bytes) {
    for (unsigned char c : bytes) FixedSymbol(c);
    return *this;
  }
  BitWriter& FixedEnd() { return FixedSymbol(256); }

  std::string Bytes() const {
    std::string out = bytes_;
    if (used_ != 0) out.push_back((char)partial_);
    return out;
  }

 private:
  void Bit(unsigned bit) {
    partial_ |= (uint8_t)(bit << used_);
    if (++used_ == 8) {
      bytes_.push_back((char)partial_);
      partial_ = 0;
      used_ = 0;
    }
  }
  std::string bytes_;
  uint8_t partial_ = 0;
  unsigned used_ = 0;
};

// Length symbol 257..285 with its extra bits, and distance code 0..29 with its
// extra bits, for a given length 3..258 and distance 1..32768.
void LengthCode(unsigned length, unsigned* symbol, unsigned* extraBits, unsigned* extraValue);
void DistanceCode(unsigned distance, unsigned* code, unsigned* extraBits, unsigned* extraValue);

inline BitWriter& BitWriter::FixedMatch(unsigned length, unsigned distance) {
  unsigned symbol, bits, extra;
  LengthCode(length, &symbol, &bits, &extra);
  FixedSymbol(symbol).Bits(extra, bits);
  DistanceCode(distance, &symbol, &bits, &extra);
  return FixedDistanceCode(symbol).Bits(extra, bits);
}

// Canonical Huffman codes of RFC 1951 3.2.2 for a list of lengths, in the
// form BitWriter::Code takes (top bit sent first).
inline void CanonicalCodes(const uint8_t* lengths, unsigned count, uint32_t* codes) {
  unsigned perLength[17] = {0}, next[17] = {0};
  for (unsigned s = 0; s < count; s++) perLength[lengths[s]]++;
  perLength[0] = 0;
  for (unsigned bits = 1, code = 0; bits <= 16; bits++) {
    code = (code + perLength[bits - 1]) << 1;
    next[bits] = code;
  }
  for (unsigned s = 0; s < count; s++) codes[s] = lengths[s] ? next[lengths[s]]++ : 0;
}
