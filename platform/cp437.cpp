// Code page 437 tables and conversions (see cp437.h).
#include "platform/cp437.h"

const uint16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

static size_t EncodeUtf8(uint32_t c, char* out) {
  if (c < 0x80) {
    out[0] = (char)c;
    return 1;
  }
  if (c < 0x800) {
    out[0] = (char)(0xC0 | (c >> 6));
    out[1] = (char)(0x80 | (c & 0x3F));
    return 2;
  }
  out[0] = (char)(0xE0 | (c >> 12));
  out[1] = (char)(0x80 | ((c >> 6) & 0x3F));
  out[2] = (char)(0x80 | (c & 0x3F));
  return 3;
}

bool Cp437ToUtf8(const char* text, char* out, size_t capacity) {
  size_t used = 0;
  for (const unsigned char* p = (const unsigned char*)text; *p; p++) {
    char encoded[3];
    size_t n = EncodeUtf8(*p < 0x80 ? *p : kCp437High[*p - 0x80], encoded);
    if (used + n + 1 > capacity) return false;
    for (size_t i = 0; i < n; i++) out[used++] = encoded[i];
  }
  if (used + 1 > capacity) return false;
  out[used] = 0;
  return true;
}

int DecodeUtf8(const unsigned char* text, uint32_t* codePoint) {
  unsigned char b = text[0];
  if (b < 0x80) {
    *codePoint = b;
    return 1;
  }
  int length;
  uint32_t c, minimum;
  if ((b & 0xE0) == 0xC0) {
    length = 2, c = b & 0x1F, minimum = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    length = 3, c = b & 0x0F, minimum = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    length = 4, c = b & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  for (int i = 1; i < length; i++) {
    if ((text[i] & 0xC0) != 0x80) return 0;
    c = (c << 6) | (text[i] & 0x3F);
  }
  if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *codePoint = c;
  return length;
}

bool Utf8ToCp437(const char* text, char* out, size_t capacity) {
  size_t used = 0;
  const unsigned char* p = (const unsigned char*)text;
  while (*p) {
    uint32_t c;
    int n = DecodeUtf8(p, &c);
    if (n == 0) return false;
    p += n;
    int byte = -1;
    if (c < 0x80) {
      byte = (int)c;
    } else {
      for (int i = 0; i < 128; i++) {
        if (kCp437High[i] == c) {
          byte = 0x80 + i;
          break;
        }
      }
    }
    if (byte < 0 || used + 2 > capacity) return false;
    out[used++] = (char)byte;
  }
  if (used + 1 > capacity) return false;
  out[used] = 0;
  return true;
}
