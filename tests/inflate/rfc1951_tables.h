// The length and distance codes of RFC 1951, section 3.2.5, typed in from
// the RFC: the tests' own encoder uses them, and the decoder's tables are
// checked against them. Length codes are 257 + index, distance codes the
// index; a distance code's extra bits are 0 below 4 and (code - 2) / 2 from
// there on.
#pragma once

inline constexpr unsigned kRfcLengthBases[29] = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,  15,  17,  19,  23, 27,
                                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr unsigned kRfcLengthExtras[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr unsigned kRfcDistanceBases[30] = {1,    2,    3,    4,    5,    7,    9,     13,    17,    25,
                                                   33,   49,   65,   97,   129,  193,  257,   385,   513,   769,
                                                   1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
