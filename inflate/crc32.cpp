// The ZIP CRC-32 (reflected, polynomial 0xEDB88320) over every byte of output.
//
// The 256-entry table is the reference: one lookup per byte, as Crc32Step
// does it, and all the small build uses. The tools' build adds two faster
// forms of Crc32Update, both giving the same register: sixteen bytes per step
// with fifteen more tables derived from the first at first use (in zeroed
// storage rather than in the image), and on x86-64 processors that multiply
// without carries, folding of 64-byte groups.
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

#if !defined(ZARVEL_SMALL_BUILD) && defined(__x86_64__)
#include <immintrin.h>
#endif

// Set to 0xFFFFFFFF by whoever starts a member (the entry extractor), so
// it needs no start value of its own.
uint32_t Crc32;

namespace {

const uint32_t kCrcPolynomial = 0xEDB88320u;

#ifdef ZARVEL_SMALL_BUILD
// The small build makes the table at first use rather than carry its 1 KiB
// in the image: entry i is the byte i run through the shift register eight
// times, the same values as the constant table of the full build.
uint32_t crcTable[256];

const uint32_t* CrcTable() {
  if (crcTable[1] == 0) {
    for (uint32_t i = 0; i < 256; i++) {
      uint32_t c = i;
      for (int bit = 0; bit < 8; bit++) c = (c & 1) ? (c >> 1) ^ kCrcPolynomial : c >> 1;
      crcTable[i] = c;
    }
  }
  return crcTable;
}
#else
const uint32_t kCrcTable[256] = {
    0x00000000u, 0x77073096u, 0xEE0E612Cu, 0x990951BAu, 0x076DC419u, 0x706AF48Fu,
    0xE963A535u, 0x9E6495A3u, 0x0EDB8832u, 0x79DCB8A4u, 0xE0D5E91Eu, 0x97D2D988u,
    0x09B64C2Bu, 0x7EB17CBDu, 0xE7B82D07u, 0x90BF1D91u, 0x1DB71064u, 0x6AB020F2u,
    0xF3B97148u, 0x84BE41DEu, 0x1ADAD47Du, 0x6DDDE4EBu, 0xF4D4B551u, 0x83D385C7u,
    0x136C9856u, 0x646BA8C0u, 0xFD62F97Au, 0x8A65C9ECu, 0x14015C4Fu, 0x63066CD9u,
    0xFA0F3D63u, 0x8D080DF5u, 0x3B6E20C8u, 0x4C69105Eu, 0xD56041E4u, 0xA2677172u,
    0x3C03E4D1u, 0x4B04D447u, 0xD20D85FDu, 0xA50AB56Bu, 0x35B5A8FAu, 0x42B2986Cu,
    0xDBBBC9D6u, 0xACBCF940u, 0x32D86CE3u, 0x45DF5C75u, 0xDCD60DCFu, 0xABD13D59u,
    0x26D930ACu, 0x51DE003Au, 0xC8D75180u, 0xBFD06116u, 0x21B4F4B5u, 0x56B3C423u,
    0xCFBA9599u, 0xB8BDA50Fu, 0x2802B89Eu, 0x5F058808u, 0xC60CD9B2u, 0xB10BE924u,
    0x2F6F7C87u, 0x58684C11u, 0xC1611DABu, 0xB6662D3Du, 0x76DC4190u, 0x01DB7106u,
    0x98D220BCu, 0xEFD5102Au, 0x71B18589u, 0x06B6B51Fu, 0x9FBFE4A5u, 0xE8B8D433u,
    0x7807C9A2u, 0x0F00F934u, 0x9609A88Eu, 0xE10E9818u, 0x7F6A0DBBu, 0x086D3D2Du,
    0x91646C97u, 0xE6635C01u, 0x6B6B51F4u, 0x1C6C6162u, 0x856530D8u, 0xF262004Eu,
    0x6C0695EDu, 0x1B01A57Bu, 0x8208F4C1u, 0xF50FC457u, 0x65B0D9C6u, 0x12B7E950u,
    0x8BBEB8EAu, 0xFCB9887Cu, 0x62DD1DDFu, 0x15DA2D49u, 0x8CD37CF3u, 0xFBD44C65u,
    0x4DB26158u, 0x3AB551CEu, 0xA3BC0074u, 0xD4BB30E2u, 0x4ADFA541u, 0x3DD895D7u,
    0xA4D1C46Du, 0xD3D6F4FBu, 0x4369E96Au, 0x346ED9FCu, 0xAD678846u, 0xDA60B8D0u,
    0x44042D73u, 0x33031DE5u, 0xAA0A4C5Fu, 0xDD0D7CC9u, 0x5005713Cu, 0x270241AAu,
    0xBE0B1010u, 0xC90C2086u, 0x5768B525u, 0x206F85B3u, 0xB966D409u, 0xCE61E49Fu,
    0x5EDEF90Eu, 0x29D9C998u, 0xB0D09822u, 0xC7D7A8B4u, 0x59B33D17u, 0x2EB40D81u,
    0xB7BD5C3Bu, 0xC0BA6CADu, 0xEDB88320u, 0x9ABFB3B6u, 0x03B6E20Cu, 0x74B1D29Au,
    0xEAD54739u, 0x9DD277AFu, 0x04DB2615u, 0x73DC1683u, 0xE3630B12u, 0x94643B84u,
    0x0D6D6A3Eu, 0x7A6A5AA8u, 0xE40ECF0Bu, 0x9309FF9Du, 0x0A00AE27u, 0x7D079EB1u,
    0xF00F9344u, 0x8708A3D2u, 0x1E01F268u, 0x6906C2FEu, 0xF762575Du, 0x806567CBu,
    0x196C3671u, 0x6E6B06E7u, 0xFED41B76u, 0x89D32BE0u, 0x10DA7A5Au, 0x67DD4ACCu,
    0xF9B9DF6Fu, 0x8EBEEFF9u, 0x17B7BE43u, 0x60B08ED5u, 0xD6D6A3E8u, 0xA1D1937Eu,
    0x38D8C2C4u, 0x4FDFF252u, 0xD1BB67F1u, 0xA6BC5767u, 0x3FB506DDu, 0x48B2364Bu,
    0xD80D2BDAu, 0xAF0A1B4Cu, 0x36034AF6u, 0x41047A60u, 0xDF60EFC3u, 0xA867DF55u,
    0x316E8EEFu, 0x4669BE79u, 0xCB61B38Cu, 0xBC66831Au, 0x256FD2A0u, 0x5268E236u,
    0xCC0C7795u, 0xBB0B4703u, 0x220216B9u, 0x5505262Fu, 0xC5BA3BBEu, 0xB2BD0B28u,
    0x2BB45A92u, 0x5CB36A04u, 0xC2D7FFA7u, 0xB5D0CF31u, 0x2CD99E8Bu, 0x5BDEAE1Du,
    0x9B64C2B0u, 0xEC63F226u, 0x756AA39Cu, 0x026D930Au, 0x9C0906A9u, 0xEB0E363Fu,
    0x72076785u, 0x05005713u, 0x95BF4A82u, 0xE2B87A14u, 0x7BB12BAEu, 0x0CB61B38u,
    0x92D28E9Bu, 0xE5D5BE0Du, 0x7CDCEFB7u, 0x0BDBDF21u, 0x86D3D2D4u, 0xF1D4E242u,
    0x68DDB3F8u, 0x1FDA836Eu, 0x81BE16CDu, 0xF6B9265Bu, 0x6FB077E1u, 0x18B74777u,
    0x88085AE6u, 0xFF0F6A70u, 0x66063BCAu, 0x11010B5Cu, 0x8F659EFFu, 0xF862AE69u,
    0x616BFFD3u, 0x166CCF45u, 0xA00AE278u, 0xD70DD2EEu, 0x4E048354u, 0x3903B3C2u,
    0xA7672661u, 0xD06016F7u, 0x4969474Du, 0x3E6E77DBu, 0xAED16A4Au, 0xD9D65ADCu,
    0x40DF0B66u, 0x37D83BF0u, 0xA9BCAE53u, 0xDEBB9EC5u, 0x47B2CF7Fu, 0x30B5FFE9u,
    0xBDBDF21Cu, 0xCABAC28Au, 0x53B39330u, 0x24B4A3A6u, 0xBAD03605u, 0xCDD70693u,
    0x54DE5729u, 0x23D967BFu, 0xB3667A2Eu, 0xC4614AB8u, 0x5D681B02u, 0x2A6F2B94u,
    0xB40BBE37u, 0xC30C8EA1u, 0x5A05DF1Bu, 0x2D02EF8Du,
};

inline const uint32_t* CrcTable() { return kCrcTable; }
#endif

#ifndef ZARVEL_SMALL_BUILD

const int kSlices = 16;
uint32_t crcSlices[kSlices - 1][256];
bool crcSlicesReady = false;

// crcSlices[k][i] is byte i followed by k + 1 zero bytes.
void BuildCrcSlices() {
  for (int i = 0; i < 256; i++) {
    uint32_t c = kCrcTable[i];
    for (int k = 0; k < kSlices - 1; k++) {
      c = (c >> 8) ^ kCrcTable[c & 0xFF];
      crcSlices[k][i] = c;
    }
  }
  crcSlicesReady = true;
}

inline uint32_t LoadLe32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// The four bytes of `word`, the first of them followed by `after` + 3 more bytes.
inline uint32_t Fold4(const uint32_t (*t)[256], uint32_t word, int after) {
  return t[after + 2][word & 0xFF] ^ t[after + 1][(word >> 8) & 0xFF] ^ t[after][(word >> 16) & 0xFF] ^
         (after == 0 ? kCrcTable[word >> 24] : t[after - 1][word >> 24]);
}

uint32_t SlicedUpdate(uint32_t c, const uint8_t* buffer, uint32_t count) {
  if (!crcSlicesReady) BuildCrcSlices();
  const uint32_t(*t)[256] = crcSlices;
  while (count >= (uint32_t)kSlices) {
    // The register folds into the first four bytes; each byte is then moved
    // past the bytes that follow it in the group.
    c = Fold4(t, c ^ LoadLe32(buffer), 12) ^ Fold4(t, LoadLe32(buffer + 4), 8) ^
        Fold4(t, LoadLe32(buffer + 8), 4) ^ Fold4(t, LoadLe32(buffer + 12), 0);
    buffer += kSlices;
    count -= kSlices;
  }
  while (count-- > 0) c = Crc32Step(*buffer++, c);
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
#endif  // ZARVEL_SMALL_BUILD

}  // namespace

uint32_t Crc32Step(uint8_t byte, uint32_t crc) { return CrcTable()[(crc ^ byte) & 0xFF] ^ (crc >> 8); }

void Crc32Update(uint32_t* crc, const uint8_t* buffer, uint32_t count) {
  if (buffer == nullptr || count == 0) return;
  uint32_t c = *crc;
#if defined(ZARVEL_SMALL_BUILD)
  const uint32_t* table = CrcTable();
  while (count-- > 0) c = table[(c ^ *buffer++) & 0xFF] ^ (c >> 8);
#else
#if defined(ZARVEL_FOLDING_CRC)
  if (count >= kFoldMinimum && FoldingAvailable()) {
    uint32_t groups = count / kFoldGroup;
    c = FoldedUpdate(c, buffer, groups);
    buffer += groups * kFoldGroup;
    count -= groups * kFoldGroup;
  }
#endif
  c = SlicedUpdate(c, buffer, count);
#endif
  *crc = c;
}
