// The host's code page, Windows-1252: the mapping host and the maps it serves
// keep their 8-bit texts in it, so texts cross the plug-in boundary in it.
// The one table of the code page, for the plug-in and the tools alike.
#ifndef DGN_SUPPORT_HOSTCODEPAGE_H
#define DGN_SUPPORT_HOSTCODEPAGE_H

#include <stdint.h>

// Characters of the bytes 0x80 to 0x9F; 0 where the code page has none.
// Every other byte is the character of the same number.
inline constexpr uint16_t kCodePageHigh[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 88-8F
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 98-9F
};

// Gives the character of a code-page byte (a byte the code page leaves
// undefined is taken as the character of the same number).
inline unsigned CodePageCharacter(unsigned char byte) {
  return byte >= 0x80 && byte <= 0x9F && kCodePageHigh[byte - 0x80] != 0
             ? kCodePageHigh[byte - 0x80]
             : byte;
}

// Gives the code-page byte of a character, or -1 when the code page has none.
inline int CodePageByte(unsigned character) {
  if (character < 0x80 || (character >= 0xA0 && character <= 0xFF))
    return static_cast<int>(character);
  for (int k = 0; k < 32; ++k)
    if (kCodePageHigh[k] != 0 && kCodePageHigh[k] == character) return 0x80 + k;
  return -1;
}

#endif  // DGN_SUPPORT_HOSTCODEPAGE_H
