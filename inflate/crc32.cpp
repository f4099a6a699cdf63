// The ZIP CRC-32 (reflected, polynomial 0xEDB88320) over every byte of output.
//
// The 256-entry table is the reference: one lookup per byte, as Crc32Step
// does it. Crc32Update has two faster forms giving the same register: sixteen
// bytes per step with fifteen more tables derived from the first, and on
// x86-64 processors that multiply without carries, folding of 64-byte groups.
// All sixteen tables are made at first use, in zeroed storage rather than in
// the image: entry i of the first is the byte i run through the shift
// register eight times.
//
// Folding rests on this: a 128-bit piece V of the message that is followed by
// D more bits contributes V * x^D to the remainder, and x^D may be replaced by
// x^D mod P, a 32-bit constant. Splitting V into its two halves H (the first
// eight bytes, the higher powers) and L, V * x^D = H * x^(D+64) + L * x^D, two
// carry-less 64x32-bit products whose sum again fits 128 bits. Four such
// pieces fold 512 bits forward at a time, then into one another, and the last
// 128 bits are reduced through the table: their remainder is the CRC of those
// sixteen bytes from a zero register. The constants are computed, not typed
// in, by shifting x^k through the polynomial bit by bit.
#include "inflate/inflate.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// Set to 0xFFFFFFFF by whoever starts a member (the entry extractor), so
// it needs no start value of its own.
uint32_t Crc32;

namespace {

const uint32_t kCrcPolynomial = 0xEDB88320u;

const int kSlices = 16;
// crcTables[k][i] is the register after byte i followed by k zero bytes.
uint32_t crcTables[kSlices][256];
bool crcTablesReady = false;

const uint32_t (*CrcTables())[256] {
  if (crcTablesReady) return crcTables;
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; bit++) c = (c & 1) ? (c >> 1) ^ kCrcPolynomial : c >> 1;
    crcTables[0][i] = c;
  }
  for (int i = 0; i < 256; i++) {
    uint32_t c = crcTables[0][i];
    for (int k = 1; k < kSlices; k++) {
      c = (c >> 8) ^ crcTables[0][c & 0xFF];
      crcTables[k][i] = c;
    }
  }
  crcTablesReady = true;
  return crcTables;
}

inline uint32_t LoadLe32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// The four bytes of `word`, the first of them followed by `after` + 3 more bytes.
inline uint32_t Fold4(const uint32_t (*t)[256], uint32_t word, int after) {
  return t[after + 3][word & 0xFF] ^ t[after + 2][(word >> 8) & 0xFF] ^ t[after + 1][(word >> 16) & 0xFF] ^
         t[after][word >> 24];
}

uint32_t SlicedUpdate(uint32_t c, const uint8_t* buffer, uint32_t count) {
  const uint32_t(*t)[256] = CrcTables();
  while (count >= (uint32_t)kSlices) {
    // The register folds into the first four bytes; each byte is then moved
    // past the bytes that follow it in the group.
    c = Fold4(t, c ^ LoadLe32(buffer), 12) ^ Fold4(t, LoadLe32(buffer + 4), 8) ^
        Fold4(t, LoadLe32(buffer + 8), 4) ^ Fold4(t, LoadLe32(buffer + 12), 0);
    buffer += kSlices;
    count -= kSlices;
  }
  while (count-- > 0) c = t[0][(c ^ *buffer++) & 0xFF] ^ (c >> 8);
  return c;
}

#if defined(__x86_64__)
#define ZARVEL_FOLDING_CRC 1

// The bytes of one 128-bit piece, and of the four that fold together.
const uint32_t kFoldPiece = 16;
const uint32_t kFoldGroup = 4 * kFoldPiece;
// Below this the table is as quick as setting up the fold.
const uint32_t kFoldMinimum = 4 * kFoldGroup;

// x^k mod P in plain order (bit d is the coefficient of x^d), P being the
// CRC polynomial x^32 + 0x04C11DB7.
uint32_t PowerOfXModP(unsigned k) {
  uint64_t r = 1;
  for (unsigned i = 0; i < k; i++) {
    r <<= 1;
    if (r & 0x100000000ull) r ^= 0x104C11DB7ull;
  }
  return (uint32_t)r;
}

uint32_t Reverse32(uint32_t v) {
  uint32_t r = 0;
  for (int i = 0; i < 32; i++) r |= ((v >> i) & 1u) << (31 - i);
  return r;
}

// The constant that multiplies a 64-bit half lying D bits before the end of
// the piece it moves onto. In the reflected order of the data, bit j of a
// 64-bit half stands for x^(63-j); a carry-less product of two such values
// comes out one power short, hence x^(D-1).
uint64_t FoldConstant(unsigned distanceBits) {
  return (uint64_t)Reverse32(PowerOfXModP(distanceBits - 1)) << 32;
}

// Pairs (for H, for L): 512 bits forward, and 128 bits forward.
uint64_t fold512[2];
uint64_t fold128[2];
int foldingState = 0;  // 0 not yet known, 1 available, -1 not on this processor

bool FoldingAvailable() {
  if (foldingState == 0) {
    __builtin_cpu_init();
    bool cpu = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    fold512[0] = FoldConstant(512 + 64);
    fold512[1] = FoldConstant(512);
    fold128[0] = FoldConstant(128 + 64);
    fold128[1] = FoldConstant(128);
    foldingState = cpu ? 1 : -1;
  }
  return foldingState > 0;
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i FoldPiece(__m128i piece, __m128i constants,
                                                                  __m128i next) {
  __m128i high = _mm_clmulepi64_si128(piece, constants, 0x00);
  __m128i low = _mm_clmulepi64_si128(piece, constants, 0x11);
  return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

// Takes whole 64-byte groups (count >= kFoldGroup) and returns the register
// after them.
__attribute__((target("pclmul,sse4.1"))) uint32_t FoldedUpdate(uint32_t c, const uint8_t* buffer,
                                                               uint32_t groups) {
  const __m128i* in = (const __m128i*)buffer;
  __m128i x0 = _mm_xor_si128(_mm_loadu_si128(in), _mm_cvtsi32_si128((int)c));
  __m128i x1 = _mm_loadu_si128(in + 1);
  __m128i x2 = _mm_loadu_si128(in + 2);
  __m128i x3 = _mm_loadu_si128(in + 3);
  in += 4;
  const __m128i by512 = _mm_set_epi64x((long long)fold512[1], (long long)fold512[0]);
  for (uint32_t g = 1; g < groups; g++) {
    x0 = FoldPiece(x0, by512, _mm_loadu_si128(in));
    x1 = FoldPiece(x1, by512, _mm_loadu_si128(in + 1));
    x2 = FoldPiece(x2, by512, _mm_loadu_si128(in + 2));
    x3 = FoldPiece(x3, by512, _mm_loadu_si128(in + 3));
    in += 4;
  }
  const __m128i by128 = _mm_set_epi64x((long long)fold128[1], (long long)fold128[0]);
  __m128i x = FoldPiece(x0, by128, x1);
  x = FoldPiece(x, by128, x2);
  x = FoldPiece(x, by128, x3);
  uint8_t rest[kFoldPiece];
  _mm_storeu_si128((__m128i*)rest, x);
  uint32_t r = 0;
  for (uint32_t i = 0; i < kFoldPiece; i++) r = Crc32Step(rest[i], r);
  return r;
}

#endif  // __x86_64__

}  // namespace

uint32_t Crc32Step(uint8_t byte, uint32_t crc) { return CrcTables()[0][(crc ^ byte) & 0xFF] ^ (crc >> 8); }

void Crc32Update(uint32_t* crc, const uint8_t* buffer, uint32_t count) {
  if (buffer == nullptr || count == 0) return;
  uint32_t c = *crc;
#if defined(ZARVEL_FOLDING_CRC)
  if (count >= kFoldMinimum && FoldingAvailable()) {
    uint32_t groups = count / kFoldGroup;
    c = FoldedUpdate(c, buffer, groups);
    buffer += groups * kFoldGroup;
    count -= groups * kFoldGroup;
  }
#endif
  c = SlicedUpdate(c, buffer, count);
  *crc = c;
}
