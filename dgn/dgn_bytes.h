// Byte-level access to raw DGN elements, shared by the decoder (dgnread) and
// the encoder (dgnwrite).  Internal to the engine.
//
// Every read goes through DGNBytes, which knows the element's length and
// yields 0 for any field that does not lie wholly inside the element: a short
// element never exposes stale bytes of a previous, longer element left in the
// handle's buffer.  Words are assembled byte by byte; the 32-bit "high word
// first" order lives only in int32()/put_int32().
#ifndef DGN_DGN_BYTES_H
#define DGN_DGN_BYTES_H

#include <cstdint>
#include <cstring>

namespace dgnraw {

// ---------------------------------------------------------------------------
// Byte positions, counted from the first byte of an element.
// ---------------------------------------------------------------------------

// Element header.
constexpr int kLevelByte = 0;      // bits 0-5 level, bit 7 complex
constexpr int kTypeByte = 1;       // bits 0-6 type, bit 7 deleted
constexpr int kWordsToFollow = 2;  // word: 16-bit words after these 4 bytes
constexpr int kHeaderBytes = 4;

// Design coordinates are 32-bit integers; the most negative value is left
// unused, so the design plane is +-kMaxDesign on every axis.
constexpr double kMaxDesign = 2147483647.0;
// A stored range value is the design coordinate plus 2^31.
constexpr double kRangeBias = 2147483648.0;
// A new multi-point element must stay below this size (counted with the
// 38-byte header of a line string for every type).
constexpr int kMaxNewElementBytes = 512;

// Range block: six 32-bit values, each the design coordinate + 2^31.
constexpr int kRangeLowX = 4;
constexpr int kRangeLowY = 8;
constexpr int kRangeLowZ = 12;
constexpr int kRangeHighX = 16;
constexpr int kRangeHighY = 20;
constexpr int kRangeHighZ = 24;
constexpr int kRangeEnd = 28;  // an element must hold this many bytes to carry a range

// Display header.
constexpr int kGraphicGroup = 28;  // word
constexpr int kAttrIndex = 30;     // word: 16-bit words from byte 32 to the attribute linkage
constexpr int kProperties = 32;    // word; 0x0800 = attribute linkage present
constexpr int kSymbology = 34;     // bits 0-2 style, bits 3-7 weight
constexpr int kColor = 35;         // colour index
constexpr int kDisplayHeaderEnd = 36;
constexpr int kAttrBase = 32;  // the attribute index counts words from here
constexpr int kPropAttributes = 0x0800;

// Multi-point elements.
constexpr int kLineVertices = 36;   // type 3: two vertices, no count
constexpr int kVertexCount = 36;    // word, other multi-point types
constexpr int kMultiVertices = 38;  // first vertex, other multi-point types

// Complex chain and shape headers (types 12, 14) and 3D surface/solid headers.
constexpr int kComplexTotalLength = 36;  // word: words of the complex element after this one
constexpr int kComplexNumElems = 38;     // word: components that follow the header
constexpr int kComplexHeaderBytes = 40;  // a header without attribute linkage

// Text (type 17).  2D and 3D texts share the fields up to byte 45.
constexpr int kTextFont = 36;
constexpr int kTextJustification = 37;
constexpr int kTextLengthMult = 38;  // int32, 1/1000 of a design unit, divided by 6
constexpr int kTextHeightMult = 42;  // int32, as the length multiplier
constexpr int kText2DRotation = 46;  // int32 angle, 1/360000 degree
constexpr int kText2DOrigin = 50;    // int32 x, y
constexpr int kText2DCount = 58;     // byte: stored text bytes
constexpr int kText2DChars = 60;
constexpr int kText3DQuat = 46;    // four int32: w, x, y, z scaled by 2^31
constexpr int kText3DOrigin = 62;  // int32 x, y, z
constexpr int kText3DCount = 74;
constexpr int kText3DChars = 76;
constexpr int kTextMaxBytes = 255;  // the count is one byte
// A text whose bytes start FF FD holds little-endian 16-bit characters after them.
constexpr unsigned char kText16Marker0 = 0xFF;
constexpr unsigned char kText16Marker1 = 0xFD;

// Stored angles count 1/360000 degree.
constexpr double kAngleUnits = 360000.0;

// TCB (type 9).
constexpr int kTcbViews = 46;  // view v starts at 46 + 118 v
constexpr int kTcbViewBytes = 118;
constexpr int kTcbSubunitsPerMaster = 1112;  // int32
constexpr int kTcbUorPerSubunit = 1116;      // int32
constexpr int kTcbMasterUnits = 1120;        // two characters
constexpr int kTcbSubUnits = 1122;           // two characters
constexpr int kTcbFlags = 1214;              // bit 6: 3D file
constexpr int kTcbFlag3D = 0x40;
constexpr int kTcbOriginX = 1240;  // D-float, design units
constexpr int kTcbOriginY = 1248;
constexpr int kTcbOriginZ = 1256;
constexpr int kTcbMinBytes = 1264;  // a TCB holding every field above

// Colour table (type 5 on level 1).
constexpr int kCtScreenFlag = 36;  // word
constexpr int kCtColor255 = 38;    // red, green, blue of colour 255
constexpr int kCtColor0 = 41;      // red, green, blue of colours 0..254

// End-of-design marker: bytes 0 and 1 of an element header both 0xFF.
constexpr unsigned char kEndOfDesign = 0xFF;

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

// The 32-bit value stored high word first (bytes 2-3-0-1) at p, which the
// caller has checked lies inside the element.  Assembled as its two words,
// which compilers turn into two 16-bit loads.
inline uint32_t stored_uint32(const unsigned char *p) {
  const uint32_t high = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
  const uint32_t low = static_cast<uint32_t>(p[2]) | (static_cast<uint32_t>(p[3]) << 8);
  return (high << 16) | low;
}

// A bounds-checked view of one element's bytes.
struct DGNBytes {
  const unsigned char *p;
  int n;

  // True if bytes [k, k + len) lie inside the element.
  bool has(int k, int len) const { return k >= 0 && len >= 0 && k <= n && len <= n - k; }
  // Byte at k, or 0 past the end.
  unsigned byte(int k) const { return has(k, 1) ? p[k] : 0u; }
  // Little-endian 16-bit word at k, or 0 if it does not fit.
  unsigned word(int k) const {
    return has(k, 2) ? static_cast<unsigned>(p[k] | (p[k + 1] << 8)) : 0u;
  }
  // 32-bit value stored high word first (bytes 2-3-0-1), as unsigned; 0 if it does not fit.
  uint32_t uint32(int k) const { return has(k, 4) ? stored_uint32(p + k) : 0; }
  // Signed 32-bit value stored high word first; 0 if it does not fit.
  int32_t int32(int k) const { return static_cast<int32_t>(uint32(k)); }
  // Plain little-endian 32-bit value (tag set numbers, tag integers); 0 if it does not fit.
  uint32_t le32(int k) const {
    if (!has(k, 4)) return 0;
    return static_cast<uint32_t>(p[k]) | (static_cast<uint32_t>(p[k + 1]) << 8) |
           (static_cast<uint32_t>(p[k + 2]) << 16) | (static_cast<uint32_t>(p[k + 3]) << 24);
  }
  // Copies up to `len` bytes from k into out, zero-filling what lies past the end.
  void copy(int k, int len, unsigned char *out) const {
    for (int i = 0; i < len; ++i) out[i] = static_cast<unsigned char>(byte(k + i));
  }
  // Length of the zero-terminated text at k, stopping at the element's end.
  int text_length(int k) const {
    int len = 0;
    while (has(k + len, 1) && p[k + len] != 0) ++len;
    return len;
  }
  // Stored D-float at k as a double; 0.0 if it does not fit.
  double dfloat(int k) const;
};

// Size in bytes of the element whose 4 header bytes are at `header`.
inline int ElementSize(const unsigned char *header) {
  return kHeaderBytes + 2 * (header[kWordsToFollow] | (header[kWordsToFollow + 1] << 8));
}

// Whether the two bytes at `header` are the end-of-design marker.
inline bool IsEndMarker(const unsigned char *header) {
  return header[0] == kEndOfDesign && header[1] == kEndOfDesign;
}

// Copies the 256 colours of a colour-table element, colour 255 stored first.
inline void ReadColorTable(const DGNBytes &b, unsigned char (*rgb)[3]) {
  b.copy(kCtColor255, 3, rgb[255]);
  for (int i = 0; i < 255; ++i) b.copy(kCtColor0 + 3 * i, 3, rgb[i]);
}

// Converts a stored VAX D-float (8 bytes) into its double value.
inline double dfloat_to_double(const unsigned char *b) {
  // The stored words are little-endian and the most significant word comes
  // first: hi holds sign, exponent and top fraction bits, lo the rest.
  const uint32_t hi = static_cast<uint32_t>(b[2]) | (static_cast<uint32_t>(b[3]) << 8) |
                      (static_cast<uint32_t>(b[0]) << 16) | (static_cast<uint32_t>(b[1]) << 24);
  const uint32_t lo = static_cast<uint32_t>(b[6]) | (static_cast<uint32_t>(b[7]) << 8) |
                      (static_cast<uint32_t>(b[4]) << 16) | (static_cast<uint32_t>(b[5]) << 24);
  const uint32_t sign = hi & 0x80000000u;
  uint32_t exponent = (hi >> 23) & 0xFFu;
  // D-float bias 128 with the binary point before a hidden 1 (0.1f); IEEE bias
  // 1023 with the point after it (1.f): 129 apart.
  if (exponent != 0) exponent = exponent - 129u + 1023u;
  uint32_t new_lo = (lo >> 3) | (hi << 29);
  if ((lo & 7u) != 0) new_lo |= 1u;  // keep the dropped bits sticky
  const uint32_t new_hi = sign | (exponent << 20) | ((hi >> 3) & 0xFFFFFu);
  const uint64_t bits = (static_cast<uint64_t>(new_hi) << 32) | new_lo;
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

inline double DGNBytes::dfloat(int k) const { return has(k, 8) ? dfloat_to_double(p + k) : 0.0; }

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

// Stores a little-endian 16-bit word at p.
inline void put_word(unsigned char *p, unsigned value) {
  p[0] = static_cast<unsigned char>(value & 0xFFu);
  p[1] = static_cast<unsigned char>((value >> 8) & 0xFFu);
}

// Stores a 32-bit value high word first (bytes 2-3-0-1) at p.
inline void put_int32(unsigned char *p, uint32_t value) {
  // The words swapped, then stored least significant byte first (on a
  // little-endian machine that is one 32-bit store, and exports make many).
  const uint32_t swapped = (value >> 16) | (value << 16);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::memcpy(p, &swapped, 4);
#else
  p[0] = static_cast<unsigned char>(swapped & 0xFFu);
  p[1] = static_cast<unsigned char>((swapped >> 8) & 0xFFu);
  p[2] = static_cast<unsigned char>((swapped >> 16) & 0xFFu);
  p[3] = static_cast<unsigned char>((swapped >> 24) & 0xFFu);
#endif
}

}  // namespace dgnraw

#endif  // DGN_DGN_BYTES_H
