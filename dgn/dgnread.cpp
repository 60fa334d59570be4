// Reading design files: the raw element stream, the element index, the
// spatial filter and the decoding of every element type into its record.
//
// Every decoder reads through dgnraw::DGNBytes bounded by the element's own
// length: a field that does not lie inside the element reads as 0, a text
// ends at the element's end, and a stored count never reaches past the bytes
// that are there.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "cpl_conv.h"
#include "cpl_error.h"
#include "dgn_bytes.h"
#include "dgn_internal.h"
#include "dgn_stream.h"
#include "dgnmodel.h"

using dgnraw::DGNBytes;

namespace {

int64_t g_max_index_entries = dgninternal::kMaxIndexEntries;
int64_t g_max_index_offset = dgninternal::kMaxIndexOffset;

constexpr double kTwo31 = dgnraw::kRangeBias;
constexpr double kPi = 3.14159265358979323846;

// The element now in the handle's buffer.
DGNBytes Element(const DGNFile *handle) {
  return DGNBytes{handle->elem_buffer, handle->elem_bytes};
}

// The common header and display header fields of the element in b (below,
// with DGNParseCore).
void ParseHeaderFields(const DGNBytes &b, DGNElement *element);

// Types whose bytes 4-27 hold a range block.
bool TypeHasRange(int type) {
  switch (type) {
    case DGNTYPE_LINE:
    case DGNTYPE_LINE_STRING:
    case DGNTYPE_SHAPE:
    case DGNTYPE_CURVE:
    case DGNTYPE_COMPLEX_CHAIN_HEADER:
    case DGNTYPE_COMPLEX_SHAPE_HEADER:
    case DGNTYPE_ELLIPSE:
    case DGNTYPE_ARC:
    case DGNTYPE_TEXT:
    case DGNTYPE_3DSURFACE_HEADER:
    case DGNTYPE_3DSOLID_HEADER:
    case DGNTYPE_BSPLINE:
    case DGNTYPE_CONE: return true;
    default: return false;
  }
}

// ---------------------------------------------------------------------------
// Record blocks.  A reader that frees each element before it reads the next
// (the import does) would otherwise ask the allocator for a block of a new
// size for nearly every element.  The block of the record freed last is kept,
// one per thread, and handed out again, zero-filled, for the next record that
// fits in it.  Only the one block lent out last is recognised when it comes
// back; every other record is an ordinary block of the checked allocator.
// A block is kept only while the thread has a file open, and the last close
// releases it, so that nothing stays behind when a thread is done reading.
// ---------------------------------------------------------------------------

struct RecordBlocks {
  void *spare;         // a free block kept for the next record, or null
  size_t spare_bytes;  // its size
  void *lent;          // the block most recently handed out from here
  size_t lent_bytes;   // its size
  int open_files;      // files this thread opened and has not closed
};
#if defined(__GNUC__) && !defined(_WIN32)
// Reached without a call into the dynamic loader for every record.
__attribute__((tls_model("initial-exec")))
#endif
thread_local RecordBlocks t_blocks;  // zero-filled at thread start; no destructor

// Fresh blocks are made at least this large so that one serves most
// elements; blocks above the upper bound are not kept.
constexpr size_t kRecordBlockBytes = 4096;
constexpr size_t kMaxKeptBlockBytes = 65536;

// A block of `bytes` bytes for a decoded record, its first `zeroed` bytes
// zero-filled (the caller writes the rest).  A record whose size the file
// decides is asked for with `soft`, its handle: if memory runs out, that is
// reported, the handle's read_failed set and null given, instead of the
// process ending.  Kept out of line: inlined with a constant size, the
// zeroing becomes a string instruction that costs more than the library's
// memset.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void *
RecordAlloc(size_t bytes, size_t zeroed, DGNFile *soft) {
  RecordBlocks &t = t_blocks;
  void *block = nullptr;
  size_t size = 0;
  if (t.spare != nullptr && t.spare_bytes >= bytes) {
    block = t.spare;
    size = t.spare_bytes;
    t.spare = nullptr;
    dgninternal::UnpoisonBlock(block, bytes);
    std::memset(block, 0, zeroed < bytes ? zeroed : bytes);
  } else {
    size = bytes < kRecordBlockBytes && t.open_files > 0 ? kRecordBlockBytes : bytes;
    if (soft == nullptr) {
      block = CPLCalloc(1, static_cast<int>(size));
    } else {
      block = CPLTryCalloc(1, static_cast<int>(size));
      if (block == nullptr) {
        soft->read_failed = 1;
        return nullptr;
      }
    }
    dgninternal::PoisonBlock(static_cast<unsigned char *>(block) + bytes, size - bytes);
  }
  t.lent = block;
  t.lent_bytes = size;
  return block;
}

// Releases a record block: kept for the next record when it is the block
// lent last (and not too large), otherwise given back to the allocator.
void RecordFree(void *block) {
  RecordBlocks &t = t_blocks;
  if (block == nullptr) return;
  if (block != t.lent || t.lent_bytes > kMaxKeptBlockBytes || t.open_files <= 0) {
    if (block == t.lent) {
      dgninternal::UnpoisonBlock(block, t.lent_bytes);
      t.lent = nullptr;
    }
    CPLSysFree(block);
    return;
  }
  t.lent = nullptr;
  if (t.spare != nullptr) {
    dgninternal::UnpoisonBlock(t.spare, t.spare_bytes);
    CPLSysFree(t.spare);
  }
  t.spare = block;
  t.spare_bytes = t.lent_bytes;
  // A record used after it was freed reads poisoned bytes in sanitizer builds.
  dgninternal::PoisonBlock(block, t.spare_bytes);
}

}  // namespace

void dgninternal::NoteFileOpened() { t_blocks.open_files++; }

void dgninternal::NoteFileClosed() {
  RecordBlocks &t = t_blocks;
  if (t.open_files > 0) t.open_files--;
  if (t.open_files > 0 || t.spare == nullptr) return;
  dgninternal::UnpoisonBlock(t.spare, t.spare_bytes);
  CPLSysFree(t.spare);
  t.spare = nullptr;
}

namespace {

// A zero-filled record of a fixed size (`bytes`, sizeof(T) by default) with
// its kind set.
template <typename T>
T *NewRecord(int kind, size_t bytes = sizeof(T)) {
  auto *record = static_cast<T *>(RecordAlloc(bytes, bytes, nullptr));
  record->kind = kind;
  return record;
}

// A record of `bytes` bytes, a size the element decides, with its kind set;
// only its first `zeroed` bytes are zero-filled, the caller filling every
// byte after them.  Null (reported, read_failed set) when memory runs out.
template <typename T>
T *NewSizedRecord(DGNFile *handle, int kind, size_t bytes, size_t zeroed = ~size_t(0)) {
  auto *record = static_cast<T *>(RecordAlloc(bytes, zeroed, handle));
  if (record != nullptr) record->kind = kind;
  return record;
}

// A block of `bytes` bytes, a size the element decides, for a copy of some
// of its bytes; null (reported, read_failed set) when memory runs out.
void *CopyBlock(DGNFile *handle, int bytes) {
  void *block = CPLTryMalloc(bytes);
  if (block == nullptr) handle->read_failed = 1;
  return block;
}

// An owned copy of the zero-terminated text at k, cut at the element's end;
// null (reported, read_failed set) when memory runs out.
char *CopyText(DGNFile *handle, const DGNBytes &b, int k) {
  const int len = b.text_length(k);
  auto *text = static_cast<char *>(CopyBlock(handle, len + 1));
  if (text == nullptr) return nullptr;
  if (len > 0) std::memcpy(text, b.p + k, static_cast<size_t>(len));
  text[len] = '\0';
  return text;
}

// A stored design-unit point at k (x, y and, in 3D, z), in master units.
DGNPoint ReadPoint(DGNFile *handle, const DGNBytes &b, int k, bool three_d) {
  DGNPoint p{static_cast<double>(b.int32(k)), static_cast<double>(b.int32(k + 4)),
             three_d ? static_cast<double>(b.int32(k + 8)) : 0.0};
  DGNTransformPoint(handle, &p);
  return p;
}

// Whole vertices in `bytes` bytes of stored points (the divisions by a
// constant stride compile to multiplications).
int VerticesIn(int bytes, bool three_d) { return three_d ? bytes / 12 : bytes / 8; }

// Reads `count` stored points, `stride` bytes apart from byte k, into out, in
// master units: the loop of ReadPoint with the file's units held in locals,
// computing exactly what DGNTransformPoint computes.
void ReadPoints(const DGNFile *handle, const DGNBytes &b, int k, int stride, int count,
                bool three_d, DGNPoint *out) {
  if (count <= 0) return;
  const double scale = handle->scale;
  const double ox = handle->origin_x;
  const double oy = handle->origin_y;
  const double oz = handle->origin_z;
  const double z = 0.0 * scale - oz;  // no stored z: 0 design units
  // One bounds check for the whole run; the callers never ask for more
  // vertices than the element holds, but a run that did is read point by
  // point, each coordinate checked (0 past the element's end).
  if (!b.has(k, count * stride)) {
    for (int i = 0; i < count; ++i) {
      const int at = k + i * stride;
      out[i].x = static_cast<double>(b.int32(at)) * scale - ox;
      out[i].y = static_cast<double>(b.int32(at + 4)) * scale - oy;
      out[i].z = three_d ? static_cast<double>(b.int32(at + 8)) * scale - oz : z;
    }
    return;
  }
  const DGNVertexRun run{b.p + k, count, stride, scale, ox, oy, oz};
  for (int i = 0; i < count; ++i) out[i] = DGNRunVertex(run, i);
}

// The vertices a line gives: two, or the whole ones its bytes hold when it
// is cut short (with a warning).  Vertices made of the zeros past its end
// would put a segment on the map that the file does not hold.
int LineVertexCount(const DGNBytes &b, bool three_d) {
  const int room =
      b.n > dgnraw::kLineVertices ? VerticesIn(b.n - dgnraw::kLineVertices, three_d) : 0;
  if (room < 2) {
    CPLError(CPLClassWarning, CPLNumGeneral,
             "Trimming multipoint vertices to %d from %d because\nelement is short.\n", room, 2);
    return room;
  }
  return 2;
}

// The vertices a line string, shape, curve or B-spline gives: its stored
// count, cut (with a warning) to the whole vertices its bytes hold.
int MultiVertexCount(const DGNBytes &b, bool three_d) {
  const int stored = static_cast<int>(b.word(dgnraw::kVertexCount));
  // How many vertices the element's bytes really hold; never below zero.
  const int room =
      b.n > dgnraw::kMultiVertices ? VerticesIn(b.n - dgnraw::kMultiVertices, three_d) : 0;
  if (room < stored) {
    CPLError(CPLClassWarning, CPLNumGeneral,
             "Trimming multipoint vertices to %d from %d because\nelement is short.\n", room,
             stored);
    return room;
  }
  return stored;
}

// Stored angle at k, in degrees.
double ReadAngle(const DGNBytes &b, int k) { return b.int32(k) / dgnraw::kAngleUnits; }

// Stored length (D-float at k), in master units.
double ReadLength(const DGNFile *handle, const DGNBytes &b, int k) {
  return b.dfloat(k) * handle->scale;
}

// ---------------------------------------------------------------------------
// Geometric decoders
// ---------------------------------------------------------------------------

// Line (type 3):
//   36  vertex 0 (2D: x, y at 36, 40; 3D: x, y, z at 36, 40, 44)
//   44/48 vertex 1 (2D: 44, 48; 3D: 48, 52, 56)
DGNElement *DecodeLine(DGNFile *handle) {
  const DGNBytes b = Element(handle);
  const bool three_d = handle->dimension == 3;
  const size_t bytes = sizeof(DGNMultiPointElement) + 2 * sizeof(DGNPoint);
  auto *line = NewRecord<DGNMultiPointElement>(DGNKIND_MULTIPOINT, bytes);
  DGNParseCore(handle, line);
  const int stride = three_d ? 12 : 8;
  line->num_vertices = LineVertexCount(b, three_d);
  ReadPoints(handle, b, dgnraw::kLineVertices, stride, line->num_vertices, three_d, line->vertices);
  return line;
}

// Line string, shape, curve, B-spline (types 4, 6, 11, 21):
//   36-37  stored vertex count
//   38     vertices, 8 bytes (2D) or 12 bytes (3D) each
DGNElement *DecodeMultiPoint(DGNFile *handle) {
  const DGNBytes b = Element(handle);
  const bool three_d = handle->dimension == 3;
  const int stride = three_d ? 12 : 8;
  const int count = MultiVertexCount(b, three_d);
  const size_t bytes = sizeof(DGNMultiPointElement) + static_cast<size_t>(count) * sizeof(DGNPoint);
  // Every one of the `count` vertices is written below: only the fixed part
  // of the record needs zeroing.
  auto *mp = NewSizedRecord<DGNMultiPointElement>(handle, DGNKIND_MULTIPOINT, bytes,
                                                  sizeof(DGNMultiPointElement));
  if (mp == nullptr) return nullptr;
  DGNParseCore(handle, mp);
  mp->num_vertices = count;
  ReadPoints(handle, b, dgnraw::kMultiVertices, stride, count, three_d, mp->vertices);
  return mp;
}

// Ellipse (type 15):
//   36 primary axis (D-float)   44 secondary axis (D-float)
//   2D: 52 rotation (angle), 56/64 origin x, y (D-floats)
//   3D: 52-67 quaternion (4 int32), 68/76/84 origin x, y, z (D-floats)
void ReadEllipseFields(DGNFile *handle, const DGNBytes &b, DGNArcElement *arc) {
  arc->primary_axis = ReadLength(handle, b, 36);
  arc->secondary_axis = ReadLength(handle, b, 44);
  if (handle->dimension == 3) {
    for (int i = 0; i < 4; ++i) arc->quat[i] = b.int32(52 + 4 * i);
    arc->origin = DGNPoint{b.dfloat(68), b.dfloat(76), b.dfloat(84)};
  } else {
    arc->rotation = ReadAngle(b, 52);
    arc->origin = DGNPoint{b.dfloat(56), b.dfloat(64), 0.0};
  }
  DGNTransformPoint(handle, &arc->origin);
  arc->start_angle = 0.0;
  arc->sweep_angle = 360.0;
}

DGNElement *DecodeEllipse(DGNFile *handle) {
  auto *arc = NewRecord<DGNArcElement>(DGNKIND_ARC);
  DGNParseCore(handle, arc);
  ReadEllipseFields(handle, Element(handle), arc);
  return arc;
}

// Arc (type 16):
//   36 start angle   40 sweep: sign bit (bit 7 of byte 41) and 31-bit magnitude
//   44 primary axis  52 secondary axis (D-floats)
//   2D: 60 rotation (angle), 64/72 origin x, y (D-floats)
//   3D: 60-75 quaternion (4 int32), 76/84/92 origin x, y, z (D-floats)
void ReadArcFields(DGNFile *handle, const DGNBytes &b, DGNArcElement *arc) {
  arc->start_angle = ReadAngle(b, 36);
  // The sweep is sign and magnitude, not two's complement; the sign bit is the
  // top bit of the high word, that is bit 7 of byte 41.
  const uint32_t sweep = b.uint32(40);
  const uint32_t magnitude = sweep & 0x7FFFFFFFu;
  if (magnitude == 0) {
    arc->sweep_angle = 360.0;
  } else {
    arc->sweep_angle = static_cast<double>(magnitude) / dgnraw::kAngleUnits;
    if ((sweep & 0x80000000u) != 0) arc->sweep_angle = -arc->sweep_angle;
  }
  arc->primary_axis = ReadLength(handle, b, 44);
  arc->secondary_axis = ReadLength(handle, b, 52);
  if (handle->dimension == 3) {
    arc->rotation = 0.0;
    for (int i = 0; i < 4; ++i) arc->quat[i] = b.int32(60 + 4 * i);
    arc->origin = DGNPoint{b.dfloat(76), b.dfloat(84), b.dfloat(92)};
  } else {
    arc->rotation = ReadAngle(b, 60);
    arc->origin = DGNPoint{b.dfloat(64), b.dfloat(72), 0.0};
  }
  DGNTransformPoint(handle, &arc->origin);
}

DGNElement *DecodeArc(DGNFile *handle) {
  auto *arc = NewRecord<DGNArcElement>(DGNKIND_ARC);
  DGNParseCore(handle, arc);
  ReadArcFields(handle, Element(handle), arc);
  return arc;
}

// Text (type 17):
//   36 font   37 justification   38 length multiplier   42 height multiplier (int32)
//   2D: 46 rotation (angle), 50/54 origin x, y, 58 character count, 60 text
//   3D: 62/66/70 origin x, y, z, 74 character count, 76 text
// Text starting FF FD is 16-bit: little-endian words after the marker.
DGNElement *DecodeText(DGNFile *handle) {
  const DGNBytes b = Element(handle);
  const bool three_d = handle->dimension == 3;
  const int count_at = three_d ? dgnraw::kText3DCount : dgnraw::kText2DCount;
  const int start = three_d ? dgnraw::kText3DChars : dgnraw::kText2DChars;
  int count = static_cast<int>(b.byte(count_at));
  // A count larger than the bytes present is cut to what is there.
  const int present = b.n > start ? b.n - start : 0;
  if (count > present) count = present;

  const size_t bytes = sizeof(DGNTextElement) + static_cast<size_t>(count) + 8;
  auto *text = NewSizedRecord<DGNTextElement>(handle, DGNKIND_TEXT, bytes);
  if (text == nullptr) return nullptr;
  DGNParseCore(handle, text);
  text->font_id = static_cast<int32_t>(b.byte(dgnraw::kTextFont));
  text->justification = static_cast<int32_t>(b.byte(dgnraw::kTextJustification));
  // Multipliers are stored in 1/1000 of a design unit, scaled by 6.
  text->length_mult = b.int32(dgnraw::kTextLengthMult) * handle->scale * 6.0 / 1000.0;
  text->height_mult = b.int32(dgnraw::kTextHeightMult) * handle->scale * 6.0 / 1000.0;
  if (three_d) {
    text->rotation = 0.0;
    text->origin = ReadPoint(handle, b, dgnraw::kText3DOrigin, true);
  } else {
    text->rotation = ReadAngle(b, dgnraw::kText2DRotation);
    text->origin = ReadPoint(handle, b, dgnraw::kText2DOrigin, false);
  }

  int out = 0;
  if (b.byte(start) == dgnraw::kText16Marker0 && b.byte(start + 1) == dgnraw::kText16Marker1) {
    // 16-bit text: a word below 0x100 is one byte, any other two (high first).
    const int words = count / 2 - 1;
    for (int i = 0; i < words; ++i) {
      const unsigned w = b.word(start + 2 + 2 * i);
      if (w < 0x100) {
        text->text[out++] = static_cast<char>(w);
      } else {
        text->text[out++] = static_cast<char>(w >> 8);
        text->text[out++] = static_cast<char>(w & 0xFF);
      }
    }
  } else {
    for (int i = 0; i < count; ++i) text->text[out++] = static_cast<char>(b.byte(start + i));
  }
  text->text[out] = '\0';
  return text;
}

// Cell header (type 2):
//   36 total length   38/40 name (radix-50)   42 class   44-51 four level words
//   2D: 52/56 range low, 60/64 range high, 68-83 matrix a0..a3, 84/88 origin
//   3D: 52-60 range low, 64-72 range high, 76-108 matrix (9 int32), 112-120 origin
DGNElement *DecodeCellHeader(DGNFile *handle) {
  const DGNBytes b = Element(handle);
  auto *cell = NewRecord<DGNCellHeaderElement>(DGNKIND_CELL_HEADER);
  DGNParseCore(handle, cell);
  cell->total_length = static_cast<int32_t>(b.word(36));
  DGNRad50ToAscii(static_cast<uint16_t>(b.word(38)), cell->name);
  DGNRad50ToAscii(static_cast<uint16_t>(b.word(40)), cell->name + 3);
  cell->cell_class = static_cast<uint16_t>(b.word(42));
  for (int i = 0; i < 4; ++i) cell->levels[i] = static_cast<uint16_t>(b.word(44 + 2 * i));
  cell->color = static_cast<int32_t>(b.byte(dgnraw::kColor));

  if (handle->dimension == 3) {
    cell->range_low = ReadPoint(handle, b, 52, true);
    cell->range_high = ReadPoint(handle, b, 64, true);
    for (int i = 0; i < 9; ++i)
      cell->transform[i] = -static_cast<double>(b.int32(76 + 4 * i)) / kTwo31;
    cell->origin = ReadPoint(handle, b, 112, true);
  } else {
    cell->range_low = ReadPoint(handle, b, 52, false);
    cell->range_high = ReadPoint(handle, b, 60, false);
    double a[4];
    for (int i = 0; i < 4; ++i) {
      a[i] = b.int32(68 + 4 * i);
      cell->transform[i] = -a[i] / kTwo31;
    }
    cell->origin = ReadPoint(handle, b, 84, false);
    const double col0 = std::sqrt(a[0] * a[0] + a[2] * a[2]);
    const double col1 = std::sqrt(a[1] * a[1] + a[3] * a[3]);
    cell->x_scale = col0 / 214748.0;
    cell->y_scale = col1 / 214748.0;
    // A degenerate matrix has no rotation to speak of.
    if (col0 > 0.0) {
      double c = a[0] / col0;
      if (c > 1.0) c = 1.0;
      if (c < -1.0) c = -1.0;
      cell->rotation = std::acos(c) * 180.0 / kPi;
      if (a[1] > 0.0) cell->rotation = 360.0 - cell->rotation;
    }
  }
  return cell;
}

// Cell library cell (type 1):
//   32/34 name (radix-50)   36 cell type   38 properties
//   40-51 class and levels (six words)   52-69 description (nine radix-50 words)
DGNElement *DecodeCellLibrary(DGNFile *handle) {
  const DGNBytes b = Element(handle);
  auto *cell = NewRecord<DGNCellLibraryElement>(DGNKIND_CELL_LIBRARY);
  DGNParseCore(handle, cell);
  DGNRad50ToAscii(static_cast<uint16_t>(b.word(32)), cell->name);
  DGNRad50ToAscii(static_cast<uint16_t>(b.word(34)), cell->name + 3);
  cell->properties = static_cast<int32_t>(b.word(38));
  cell->cell_type = static_cast<int32_t>(b.word(36));
  for (int i = 0; i < 6; ++i) {
    cell->class_and_levels[i] = static_cast<uint16_t>(b.word(40 + 2 * i));
  }
  for (int i = 0; i < 9; ++i) {
    DGNRad50ToAscii(static_cast<uint16_t>(b.word(52 + 2 * i)), cell->description + 3 * i);
  }
  return cell;
}

// Cone (type 23):
//   36 cone word   38-53 quaternion (4 int32)
//   54/62/70 centre 1 (D-floats)   78 radius 1   86/94/102 centre 2   110 radius 2
DGNElement *DecodeCone(DGNFile *handle) {
  const DGNBytes b = Element(handle);
  auto *cone = NewRecord<DGNConeElement>(DGNKIND_CONE);
  DGNParseCore(handle, cone);
  cone->cone_word = static_cast<uint16_t>(b.word(36));
  for (int i = 0; i < 4; ++i) cone->quat[i] = b.int32(38 + 4 * i);
  cone->center_1 = DGNPoint{b.dfloat(54), b.dfloat(62), b.dfloat(70)};
  DGNTransformPoint(handle, &cone->center_1);
  cone->radius_1 = ReadLength(handle, b, 78);
  cone->center_2 = DGNPoint{b.dfloat(86), b.dfloat(94), b.dfloat(102)};
  DGNTransformPoint(handle, &cone->center_2);
  cone->radius_2 = ReadLength(handle, b, 110);
  return cone;
}

// Complex chain/shape header (12, 14) and 3D surface/solid header (18, 19):
//   36 total length (words)   38 number of elements   40 surface type (18, 19)
DGNElement *DecodeComplexHeader(DGNFile *handle, int type) {
  const DGNBytes b = Element(handle);
  auto *complex = NewRecord<DGNComplexHeaderElement>(DGNKIND_COMPLEX_HEADER);
  DGNParseCore(handle, complex);
  complex->total_length = static_cast<int32_t>(b.word(dgnraw::kComplexTotalLength));
  complex->num_elements = static_cast<int32_t>(b.word(dgnraw::kComplexNumElems));
  if (type == DGNTYPE_3DSURFACE_HEADER || type == DGNTYPE_3DSOLID_HEADER) {
    complex->surface_type = static_cast<int32_t>(b.word(40));
  }
  return complex;
}

// Tag value (type 37):
//   68 tag set number (plain little-endian 32-bit)   72 tag index   74 tag type
//   150 tag length   154 value: text, 4-byte integer or D-float
DGNElement *DecodeTagValue(DGNFile *handle) {
  const DGNBytes b = Element(handle);
  auto *tag = NewRecord<DGNTagValueElement>(DGNKIND_TAG_VALUE);
  DGNParseCore(handle, tag);
  tag->tag_type = static_cast<int32_t>(b.word(74));
  tag->tag_set = static_cast<int32_t>(b.le32(68));
  tag->tag_index = static_cast<int32_t>(b.word(72));
  tag->tag_length = static_cast<int32_t>(b.word(150));
  switch (tag->tag_type) {
    case DGNTT_TEXT: tag->value.string = CopyText(handle, b, 154); break;
    case DGNTT_INTEGER: tag->value.integer = static_cast<int32_t>(b.le32(154)); break;
    case DGNTT_REAL: tag->value.real = b.dfloat(154); break;
    default: break;
  }
  return tag;
}

// A stored range value (design coordinate + 2^31) of a design value that
// lies within +-(2^31 - 1).
uint32_t RawRangeValue(double design) { return static_cast<uint32_t>(design + kTwo31); }

// Converts the spatial filter's master-unit rectangle into raw range coding
// with the handle's units.  The stored ranges are whole design units: an
// element's range meets the rectangle exactly when it meets the rectangle's
// low edges rounded up and its high edges rounded down, after values a hair
// off a whole number are taken as that number.
void ConvertSpatialFilter(DGNFile *handle) {
  if (!handle->has_spatial_filter || handle->sf_converted) return;
  DGNPoint low{handle->sf_min_x_geo, handle->sf_min_y_geo, 0.0};
  DGNPoint high{handle->sf_max_x_geo, handle->sf_max_y_geo, 0.0};
  DGNInverseTransformPoint(handle, &low);
  DGNInverseTransformPoint(handle, &high);
  // Units with a negative scale turn the rectangle over.
  const double x0 = std::fmin(low.x, high.x), x1 = std::fmax(low.x, high.x);
  const double y0 = std::fmin(low.y, high.y), y1 = std::fmax(low.y, high.y);
  using dgninternal::SnapToWhole;
  handle->sf_min_x = RawRangeValue(std::ceil(SnapToWhole(x0)));
  handle->sf_min_y = RawRangeValue(std::ceil(SnapToWhole(y0)));
  handle->sf_max_x = RawRangeValue(std::floor(SnapToWhole(x1)));
  handle->sf_max_y = RawRangeValue(std::floor(SnapToWhole(y1)));
  handle->sf_converted = 1;
}

// Takes over the units of the file's first TCB, wherever it lies, without
// moving the stream (the element buffer no longer holds the last element
// read).  A file without a TCB keeps scale 1 and origin 0, the units its
// elements are decoded with.
void FindUnits(DGNFile *handle) {
  // An index has passed every element already, decoding the first TCB.
  if (handle->got_tcb || handle->index_built || handle->fp == nullptr) return;
  const long position = dgnstream::Tell(handle);
  const int32_t next = handle->next_element_id;
  if (position < 0) return;
  dgnstream::Rewind(handle);
  int type = 0;
  while (DGNLoadRawElement(handle, &type, nullptr)) {
    if (type == DGNTYPE_TCB) {
      DGNFreeElement(handle, DGNDecodeTCB(handle));
      break;
    }
  }
  dgnstream::Seek(handle, position);
  handle->next_element_id = next;
}

// Applies the spatial filter and complex-group logic to the element in the buffer.
bool AcceptedByFilter(DGNFile *handle, int type) {
  ConvertSpatialFilter(handle);
  uint32_t lx = 0, ly = 0, hx = 0, hy = 0;
  bool accept = true;
  if (DGNGetRawExtents(handle, type, nullptr, 0, &lx, &ly, nullptr, &hx, &hy, nullptr)) {
    accept = lx <= handle->sf_max_x && ly <= handle->sf_max_y && hx >= handle->sf_min_x &&
             hy >= handle->sf_min_y;
  }
  // Components of a complex chain or shape follow their header's decision.
  const bool component = (handle->elem_buffer[dgnraw::kLevelByte] & 0x80) != 0;
  if (type == DGNTYPE_COMPLEX_CHAIN_HEADER || type == DGNTYPE_COMPLEX_SHAPE_HEADER) {
    handle->in_complex_group = 1;
    handle->select_complex_group = accept ? 1 : 0;
  } else if (!component) {
    handle->in_complex_group = 0;
  } else if (handle->in_complex_group) {
    accept = handle->select_complex_group != 0;
  }
  return accept;
}

// Stops index building with a failure report.
bool IndexFailure(DGNFile *handle, int capacity) {
  handle->max_element_count = capacity;
  DGNRewind(handle);
  return false;
}

}  // namespace

void DGNSetIndexLimitsForTest(int64_t max_entries, int64_t max_offset) {
  g_max_index_entries = max_entries > 0 ? max_entries : dgninternal::kMaxIndexEntries;
  g_max_index_offset = max_offset > 0 ? max_offset : dgninternal::kMaxIndexOffset;
}

// ---------------------------------------------------------------------------
// Element stream
// ---------------------------------------------------------------------------

bool DGNLoadRawElement(DGNFile *handle, int *type, int *level) {
  if (handle == nullptr || handle->fp == nullptr) return false;
  dgninternal::UnpoisonElementBuffer(handle);
  unsigned char *buf = handle->elem_buffer;
  bool ok = false;
  size_t consumed = dgnstream::Read(handle, buf, dgnraw::kHeaderBytes);
  const bool whole_header = consumed == dgnraw::kHeaderBytes;
  // The marker is two bytes: a file may end right after it.
  const bool end_marker = consumed >= 2 && dgnraw::IsEndMarker(buf);
  if (whole_header && !end_marker) {
    const size_t words = static_cast<size_t>(buf[2] | (buf[3] << 8));  // words to follow
    const size_t body = dgnstream::Read(handle, buf + dgnraw::kHeaderBytes, 2 * words);
    consumed += body;
    ok = body == 2 * words;
    if (ok) {
      handle->elem_bytes = dgnraw::kHeaderBytes + 2 * static_cast<int32_t>(words);
      handle->next_element_id++;
      if (type != nullptr) *type = buf[dgnraw::kTypeByte] & 0x7F;
      if (level != nullptr) *level = buf[dgnraw::kLevelByte] & 0x3F;
    }
  }
  if (!ok) {
    // After a failed read the buffer holds no whole element.  The stream
    // ends here: at the end-of-design marker, at the end of the file, or cut
    // at an element that does not fit in the file (some bytes of it read,
    // or bytes left that a read could not give).
    handle->elem_bytes = 0;
    handle->stream_end =
        static_cast<int64_t>(dgnstream::Tell(handle)) - static_cast<int64_t>(consumed);
    handle->stream_cut =
        !end_marker && (consumed > 0 || handle->stream_end < handle->file_bytes) ? 1 : 0;
    handle->stream_marker = end_marker ? 1 : 0;
    // The stream stays on an end-of-design marker, or on an element that
    // does not fit in the file, so that every later read ends there too
    // instead of taking whatever follows (old elements, padding, the rest of
    // the cut element) for elements.
    if (end_marker || handle->stream_cut) {
      dgnstream::Seek(handle, static_cast<long>(handle->stream_end));
    }
  }
  dgninternal::PoisonElementTail(handle);
  return ok;
}

bool DGNGetRawExtents(DGNFile *handle, int type, const unsigned char *raw, int raw_size,
                      uint32_t *low_x, uint32_t *low_y, uint32_t *low_z, uint32_t *high_x,
                      uint32_t *high_y, uint32_t *high_z) {
  DGNBytes b{raw, raw_size};
  if (raw == nullptr) {
    if (handle == nullptr) return false;
    b = Element(handle);
  }
  // An element too short for its range block has no range to give.
  if (!TypeHasRange(type) || !b.has(0, dgnraw::kRangeEnd)) return false;
  if (low_x != nullptr) *low_x = b.uint32(dgnraw::kRangeLowX);
  if (low_y != nullptr) *low_y = b.uint32(dgnraw::kRangeLowY);
  if (low_z != nullptr) *low_z = b.uint32(dgnraw::kRangeLowZ);
  if (high_x != nullptr) *high_x = b.uint32(dgnraw::kRangeHighX);
  if (high_y != nullptr) *high_y = b.uint32(dgnraw::kRangeHighY);
  if (high_z != nullptr) *high_z = b.uint32(dgnraw::kRangeHighZ);
  return true;
}

DGNElement *DGNReadElement(DGNFile *handle) {
  if (handle == nullptr) return nullptr;
  handle->read_failed = 0;
  for (;;) {
    int type = 0;
    int level = 0;
    if (!DGNLoadRawElement(handle, &type, &level)) return nullptr;
    if (handle->has_spatial_filter && !AcceptedByFilter(handle, type)) continue;
    return DGNProcessElement(handle, type, level);
  }
}

namespace {

// Whether the handle takes over this element (its first TCB sets the units,
// its first colour table the colours), as reading it would.
bool TakenOver(const DGNFile *handle, int type, int level) {
  return (type == DGNTYPE_TCB && !handle->got_tcb) ||
         (type == DGNTYPE_GROUP_DATA && level == 1 && !handle->got_color_table);
}

// Takes over the element now in elem_buffer when TakenOver says so.
void TakeOver(DGNFile *handle, int type, int level) {
  if (!TakenOver(handle, type, level)) return;
  if (type == DGNTYPE_TCB) {
    DGNFreeElement(handle, DGNDecodeTCB(handle));
  } else {
    DGNFreeElement(handle, DGNDecodeColorTable(handle));
  }
}

// Byte of the first vertex of a line (type 3) or another multi-point element.
int VertexStart(int type) {
  return type == DGNTYPE_LINE ? dgnraw::kLineVertices : dgnraw::kMultiVertices;
}

// The types a view decodes vertices of: lines, line strings and shapes.
bool ViewedAsMultiPoint(int type) {
  return type == DGNTYPE_LINE || type == DGNTYPE_LINE_STRING || type == DGNTYPE_SHAPE;
}

}  // namespace

bool DGNReadElementView(DGNFile *handle, DGNElementView *view) {
  if (handle == nullptr || view == nullptr || handle->fp == nullptr) return false;
  handle->read_failed = 0;
  // Most elements lie whole in the read-ahead block: shown there, uncopied.
  // The end-of-design marker, an element the block cannot show whole (at
  // the end of the file, larger than the block) and an element the handle
  // takes over go the way DGNReadElement reads them.
  if (!handle->has_spatial_filter) {
    if (const unsigned char *head = dgnstream::Peek(handle, dgnraw::kHeaderBytes)) {
      const int type = head[dgnraw::kTypeByte] & 0x7F;
      const int level = head[dgnraw::kLevelByte] & 0x3F;
      if (!dgnraw::IsEndMarker(head) && !TakenOver(handle, type, level)) {
        const int size = dgnraw::ElementSize(head);
        if (const unsigned char *whole = dgnstream::Peek(handle, static_cast<size_t>(size))) {
          dgnstream::Skip(handle, static_cast<size_t>(size));
          view->bytes = whole;
          view->size = size;
          view->element_id = handle->next_element_id++;
          view->type = type;
          view->level = level;
          view->in_buffer = 0;
          return true;
        }
      }
    }
  }
  for (;;) {
    int type = 0;
    int level = 0;
    if (!DGNLoadRawElement(handle, &type, &level)) return false;
    if (handle->has_spatial_filter && !AcceptedByFilter(handle, type)) continue;
    TakeOver(handle, type, level);
    view->bytes = handle->elem_buffer;
    view->size = handle->elem_bytes;
    view->element_id = handle->next_element_id - 1;
    view->type = type;
    view->level = level;
    view->in_buffer = 1;
    return true;
  }
}

DGNElement *DGNProcessView(DGNFile *handle, DGNElementView *view) {
  if (handle == nullptr || view == nullptr) return nullptr;
  if (!view->in_buffer) {
    // Elements shown in the block are at most kReadAheadBytes long, well
    // within elem_buffer.
    dgninternal::UnpoisonElementBuffer(handle);
    std::memcpy(handle->elem_buffer, view->bytes, static_cast<size_t>(view->size));
    handle->elem_bytes = view->size;
    dgninternal::PoisonElementTail(handle);
    view->bytes = handle->elem_buffer;
    view->in_buffer = 1;
  }
  return DGNProcessElement(handle, view->type, view->level);
}

void DGNViewHeader(const DGNElementView *view, DGNElement *out) {
  if (view == nullptr || out == nullptr) return;
  ParseHeaderFields(DGNBytes{view->bytes, view->size}, out);
  out->element_id = view->element_id;
  out->size = view->size;
}

bool DGNViewVertexRun(const DGNFile *handle, const DGNElementView *view, DGNVertexRun *run) {
  if (run == nullptr) return false;
  run->bytes = nullptr;
  run->count = 0;
  run->stride = 8;
  if (handle == nullptr || view == nullptr || !ViewedAsMultiPoint(view->type)) return false;
  const DGNBytes b{view->bytes, view->size};
  const bool three_d = handle->dimension == 3;
  const int start = VertexStart(view->type);
  // Both counts stay within the whole vertices the bytes hold.
  run->count =
      view->type == DGNTYPE_LINE ? LineVertexCount(b, three_d) : MultiVertexCount(b, three_d);
  run->bytes = b.p + (run->count > 0 ? start : 0);
  run->stride = three_d ? 12 : 8;
  run->scale = handle->scale;
  run->origin_x = handle->origin_x;
  run->origin_y = handle->origin_y;
  run->origin_z = handle->origin_z;
  return true;
}

int32_t DGNViewOffset(DGNFile *handle, const DGNElementView *view) {
  if (handle == nullptr || view == nullptr) return 0;
  // The view is of the element last read: the stream stands right after it.
  return static_cast<int32_t>(dgnstream::Tell(handle) - view->size);
}

bool DGNViewArc(DGNFile *handle, const DGNElementView *view, DGNArcElement *out) {
  if (handle == nullptr || view == nullptr || out == nullptr) return false;
  if (view->type != DGNTYPE_ELLIPSE && view->type != DGNTYPE_ARC) return false;
  *out = DGNArcElement{};
  DGNViewHeader(view, out);
  out->kind = DGNKIND_ARC;
  out->offset = DGNViewOffset(handle, view);
  const DGNBytes b{view->bytes, view->size};
  if (view->type == DGNTYPE_ELLIPSE)
    ReadEllipseFields(handle, b, out);
  else
    ReadArcFields(handle, b, out);
  return true;
}

int DGNGetTextWide(DGNFile *handle, const DGNTextElement *text, uint16_t *chars, int max) {
  if (handle == nullptr || text == nullptr) return -1;
  // The element's own bytes: its copy, or the handle's buffer while it still
  // holds this element (right after the read that gave it).
  DGNBytes b{text->raw_data, text->raw_bytes};
  if (text->raw_data == nullptr) {
    if (handle->elem_bytes != text->size || handle->next_element_id - 1 != text->element_id)
      return -1;
    b = Element(handle);
  }
  const bool three_d = handle->dimension == 3;
  const int start = three_d ? dgnraw::kText3DChars : dgnraw::kText2DChars;
  int count = static_cast<int>(b.byte(three_d ? dgnraw::kText3DCount : dgnraw::kText2DCount));
  const int present = b.n > start ? b.n - start : 0;
  if (count > present) count = present;
  if (count < 2 || b.byte(start) != dgnraw::kText16Marker0 ||
      b.byte(start + 1) != dgnraw::kText16Marker1)
    return -1;
  // Every stored character, zeros too: a zero inside a 16-bit text is a
  // character, and only the caller knows what to make of it.
  int n = 0;
  const int words = count / 2 - 1;
  for (int i = 0; i < words && n < max; ++i)
    chars[n++] = static_cast<uint16_t>(b.word(start + 2 + 2 * i));
  return n;
}

void DGNSetSpatialFilter(DGNFile *handle, double min_x, double min_y, double max_x, double max_y) {
  if (handle == nullptr) return;
  if (min_x == 0.0 && min_y == 0.0 && max_x == 0.0 && max_y == 0.0) {
    handle->has_spatial_filter = 0;
    handle->sf_converted = 0;
    return;
  }
  handle->has_spatial_filter = 1;
  handle->sf_converted = 0;
  handle->sf_min_x_geo = min_x;
  handle->sf_min_y_geo = min_y;
  handle->sf_max_x_geo = max_x;
  handle->sf_max_y_geo = max_y;
  // The rectangle is in the file's master units, wherever its TCB lies and
  // whether or not one has been read yet.
  FindUnits(handle);
  ConvertSpatialFilter(handle);
}

void DGNFreeElement(DGNFile *, DGNElement *element) {
  if (element == nullptr) return;
  // Most elements own neither: no call for nothing to release.
  if (element->attr_data != nullptr) CPLSysFree(element->attr_data);
  if (element->raw_data != nullptr) CPLSysFree(element->raw_data);
  if (element->kind == DGNKIND_TAG_SET) {
    auto *set = static_cast<DGNTagSetElement *>(element);
    CPLSysFree(set->tag_set_name);
    if (set->tag_list != nullptr) {
      for (int i = 0; i < set->tag_count; ++i) {
        DGNTagDefinition &def = set->tag_list[i];
        CPLSysFree(def.name);
        CPLSysFree(def.prompt);
        if (def.type == DGNTT_TEXT) CPLSysFree(def.default_value.string);
      }
      CPLSysFree(set->tag_list);
    }
  } else if (element->kind == DGNKIND_TAG_VALUE) {
    auto *tag = static_cast<DGNTagValueElement *>(element);
    if (tag->tag_type == DGNTT_TEXT) CPLSysFree(tag->value.string);
  }
  RecordFree(element);
}

bool DGNLoadTCB(DGNFile *handle) {
  if (handle == nullptr) return false;
  if (handle->got_tcb) return true;
  while (!handle->got_tcb) {
    DGNElement *element = DGNReadElement(handle);
    if (element == nullptr) {
      // A read that failed for want of memory has said so itself.
      if (!handle->read_failed) {
        CPLError(CPLClassFailure, CPLNumGeneral, "DGNLoadTCB() - unable to find TCB in file.");
      }
      return false;
    }
    DGNFreeElement(handle, element);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Element index
// ---------------------------------------------------------------------------

namespace {

// Takes the next element for the index: where it lies in the read-ahead
// buffer, or loaded into elem_buffer as reading loads it (the TCB and the
// colour table, which are decoded as well, the end-of-design marker, and
// elements the buffer cannot show whole).  False at the end of the elements.
bool NextIndexedElement(DGNFile *handle, const unsigned char **raw, int *raw_size, int *type,
                        int *level) {
  if (const unsigned char *head = dgnstream::Peek(handle, dgnraw::kHeaderBytes)) {
    const int head_type = head[dgnraw::kTypeByte] & 0x7F;
    const int head_level = head[dgnraw::kLevelByte] & 0x3F;
    const int size = dgnraw::ElementSize(head);
    const bool decoded =
        head_type == DGNTYPE_TCB || (head_type == DGNTYPE_GROUP_DATA && head_level == 1);
    if (!dgnraw::IsEndMarker(head) && !decoded) {
      if (const unsigned char *whole = dgnstream::Peek(handle, static_cast<size_t>(size))) {
        dgnstream::Skip(handle, static_cast<size_t>(size));
        *raw = whole;
        *raw_size = size;
        *type = head_type;
        *level = head_level;
        return true;
      }
    }
  }
  if (!DGNLoadRawElement(handle, type, level)) return false;
  *raw = handle->elem_buffer;
  *raw_size = handle->elem_bytes;
  return true;
}

// Makes room in the index for entry `count` of an element at `position`,
// growing it by half plus 500 entries within its limits; false (reported,
// the index stopped) when the index cannot hold it.
bool RoomInIndex(DGNFile *handle, long position, int count, int *capacity) {
  if (position < 0 || static_cast<int64_t>(position) > g_max_index_offset) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "DGNBuildIndex(): element %d lies beyond the offsets the element index can "
             "hold; the index stops before it.",
             count);
    handle->element_count = count;
    return IndexFailure(handle, *capacity);
  }
  if (count < *capacity) return true;
  if (static_cast<int64_t>(count) >= g_max_index_entries) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "DGNBuildIndex(): more than %d elements; the element index is full.", count);
    handle->element_count = count;
    return IndexFailure(handle, *capacity);
  }
  int64_t grown = static_cast<int64_t>(*capacity) + *capacity / 2 + 500;
  if (grown > g_max_index_entries) grown = g_max_index_entries;
  *capacity = static_cast<int>(grown);
  // The file decides how large the index grows: memory running out fails
  // the index (reported), not the host's process.
  auto *grown_index = static_cast<DGNIndexEntry *>(
      CPLTryRealloc(handle->element_index, *capacity * static_cast<int>(sizeof(DGNIndexEntry))));
  if (grown_index == nullptr) {
    handle->element_count = count;
    return IndexFailure(handle, handle->max_element_count);
  }
  handle->element_index = grown_index;
  handle->max_element_count = *capacity;
  return true;
}

}  // namespace

bool DGNBuildIndex(DGNFile *handle) {
  if (handle == nullptr) return false;
  if (handle->index_built) return true;
  handle->index_built = 1;
  DGNRewind(handle);

  int capacity = handle->max_element_count;
  int count = 0;
  for (;;) {
    const long position = dgnstream::Tell(handle);  // offset of the element about to be read
    const unsigned char *raw = nullptr;
    int raw_size = 0, type = 0, level = 0;
    if (!NextIndexedElement(handle, &raw, &raw_size, &type, &level)) break;
    if (!RoomInIndex(handle, position, count, &capacity)) return false;

    DGNIndexEntry &entry = handle->element_index[count];
    dgninternal::FillIndexEntry(&entry, raw, static_cast<uint32_t>(position));
    // The first TCB sets units, origin and dimension, the first colour table
    // becomes the file's: both are decoded for that as the index passes them.
    if (entry.kind == DGNKIND_TCB) {
      DGNFreeElement(handle, DGNDecodeTCB(handle));
    } else if (entry.kind == DGNKIND_COLOR_TABLE) {
      DGNFreeElement(handle, DGNDecodeColorTable(handle));
    }
    // The range block (what DGNGetRawExtents gives), read in place: the
    // index of a large file passes here for every element.
    const DGNBytes range{raw, raw_size};
    if (entry.flags == 0 && TypeHasRange(type) && range.has(0, dgnraw::kRangeEnd)) {
      const uint32_t lo[3] = {range.uint32(dgnraw::kRangeLowX), range.uint32(dgnraw::kRangeLowY),
                              range.uint32(dgnraw::kRangeLowZ)};
      const uint32_t hi[3] = {range.uint32(dgnraw::kRangeHighX), range.uint32(dgnraw::kRangeHighY),
                              range.uint32(dgnraw::kRangeHighZ)};
      dgninternal::MergeBounds(handle, lo, hi);
    }
    ++count;
    handle->element_count = count;
  }

  handle->element_count = count;
  DGNRewind(handle);
  handle->max_element_count = capacity;
  return true;
}

const DGNIndexEntry *DGNGetElementIndex(DGNFile *handle, int *count) {
  if (handle == nullptr) {
    if (count != nullptr) *count = 0;
    return nullptr;
  }
  if (!handle->index_built) DGNBuildIndex(handle);
  if (count != nullptr) *count = handle->element_count;
  return handle->element_index;
}

bool DGNCountElements(DGNFile *handle, int *count) {
  if (count != nullptr) *count = 0;
  if (handle == nullptr) return false;
  if (!handle->index_built && !handle->elements_counted) {
    // The walk of DGNBuildIndex without the entries: a count needs no memory,
    // whatever the file holds.
    handle->elements_counted = 1;
    DGNRewind(handle);
    int n = 0;
    const unsigned char *raw = nullptr;
    int raw_size = 0, type = 0, level = 0;
    for (;;) {
      // The elements that lie whole in the block, by their headers alone.
      size_t left = 0;
      const unsigned char *p = dgnstream::Buffered(handle, &left);
      size_t used = 0;
      while (left - used >= static_cast<size_t>(dgnraw::kHeaderBytes)) {
        const unsigned char *head = p + used;
        const size_t size = static_cast<size_t>(dgnraw::ElementSize(head));
        if (dgnraw::IsEndMarker(head) || size > left - used ||
            TakenOver(handle, head[dgnraw::kTypeByte] & 0x7F, head[dgnraw::kLevelByte] & 0x3F))
          break;
        used += size;
        ++n;
      }
      dgnstream::Skip(handle, used);
      // Then one the way the index takes it: across the block's edge, taken
      // over, or the end of the stream.
      if (!NextIndexedElement(handle, &raw, &raw_size, &type, &level)) break;
      TakeOver(handle, type, level);
      ++n;
    }
    handle->element_count = n;
    DGNRewind(handle);
  }
  if (count != nullptr) *count = handle->element_count;
  return true;
}

bool DGNGetExtents(DGNFile *handle, DGNPoint *low, DGNPoint *high) {
  if (handle == nullptr || low == nullptr || high == nullptr) return false;
  if (!handle->index_built) DGNBuildIndex(handle);
  if (!handle->got_bounds) return false;
  // The extents are kept in range coding: design value + 2^31.
  low->x = static_cast<double>(handle->min_x) - kTwo31;
  low->y = static_cast<double>(handle->min_y) - kTwo31;
  low->z = static_cast<double>(handle->min_z) - kTwo31;
  high->x = static_cast<double>(handle->max_x) - kTwo31;
  high->y = static_cast<double>(handle->max_y) - kTwo31;
  high->z = static_cast<double>(handle->max_z) - kTwo31;
  if (handle->dimension != 3) low->z = high->z = 0.0;
  DGNTransformPoint(handle, low);
  DGNTransformPoint(handle, high);
  return true;
}

bool DGNGetRawFileExtents(const DGNFile *handle, uint32_t low[3], uint32_t high[3]) {
  if (handle == nullptr || low == nullptr || high == nullptr || !handle->got_bounds) return false;
  low[0] = handle->min_x;
  low[1] = handle->min_y;
  low[2] = handle->min_z;
  high[0] = handle->max_x;
  high[1] = handle->max_y;
  high[2] = handle->max_z;
  return true;
}

bool DGNGotoElement(DGNFile *handle, int element) {
  if (handle == nullptr) return false;
  if (!handle->index_built) DGNBuildIndex(handle);
  if (element < 0 || element >= handle->element_count) return false;
  const uint32_t offset = handle->element_index[element].offset;
  // A long may be 32 bits wide: an offset it cannot hold cannot be sought.
  const long position = static_cast<long>(offset);
  if (position < 0 || static_cast<uint32_t>(position) != offset) return false;
  if (!dgnstream::Seek(handle, position)) return false;
  handle->next_element_id = element;
  handle->in_complex_group = 0;
  return true;
}

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------

bool DGNTypeHasDisplayHeader(int type) {
  switch (type) {
    case 0:
    case DGNTYPE_CELL_LIBRARY:
    case DGNTYPE_TCB:
    case DGNTYPE_LEVEL_SYMBOLOGY:
    case 32:
    case 44:
    case 48:
    case 49:
    case 50:
    case 51:
    case 57:
    case 63: return false;
    default: return true;
  }
}

// Common element header and display header:
//   0  bits 0-5 level, bit 7 complex      1  bits 0-6 type, bit 7 deleted
//   28 graphic group   30 attribute index (words from byte 32)
//   32 properties (0x0800: attribute linkage present)
//   34 bits 0-2 style, bits 3-7 weight    35 colour index
namespace {

// The common header and display header fields of the element in b.
void ParseHeaderFields(const DGNBytes &b, DGNElement *element) {
  element->level = static_cast<int32_t>(b.byte(dgnraw::kLevelByte) & 0x3F);
  element->complex = static_cast<int32_t>(b.byte(dgnraw::kLevelByte) & 0x80);
  element->deleted = static_cast<int32_t>(b.byte(dgnraw::kTypeByte) & 0x80);
  element->type = static_cast<int32_t>(b.byte(dgnraw::kTypeByte) & 0x7F);

  if (b.n >= dgnraw::kDisplayHeaderEnd && DGNTypeHasDisplayHeader(element->type)) {
    element->graphic_group = static_cast<int32_t>(b.word(dgnraw::kGraphicGroup));
    element->properties = static_cast<int32_t>(b.word(dgnraw::kProperties));
    element->style = static_cast<int32_t>(b.byte(dgnraw::kSymbology) & 0x07);
    element->weight = static_cast<int32_t>((b.byte(dgnraw::kSymbology) & 0xF8) >> 3);
    element->color = static_cast<int32_t>(b.byte(dgnraw::kColor));
  } else {
    element->graphic_group = element->properties = 0;
    element->style = element->weight = element->color = 0;
  }
}

}  // namespace

void DGNParseCore(DGNFile *handle, DGNElement *element) {
  if (handle == nullptr || element == nullptr) return;
  const DGNBytes b = Element(handle);
  ParseHeaderFields(b, element);
  if (element->properties & dgnraw::kPropAttributes) {
    const int start = dgnraw::kAttrBase + 2 * static_cast<int>(b.word(dgnraw::kAttrIndex));
    const int attr_bytes = b.n - start;
    if (attr_bytes <= 0) {
      CPLError(CPLClassWarning, CPLNumGeneral,
               "Computed %d bytes for attribute info on element,\nperhaps this element type "
               "doesn't really have a disphdr?",
               attr_bytes);
      element->attr_bytes = 0;
    } else {
      element->attr_data = static_cast<unsigned char *>(CopyBlock(handle, attr_bytes));
      if (element->attr_data != nullptr) {
        element->attr_bytes = attr_bytes;
        std::memcpy(element->attr_data, b.p + start, static_cast<size_t>(attr_bytes));
      }
    }
  }
}

namespace {

// The record of the element now in the buffer as the decoder of its type
// gives it; null for a type without one of its own (or a colour table or tag
// set on another level), and null with read_failed set when a block could
// not be had.
DGNElement *DecodeByType(DGNFile *handle, int type, int level) {
  switch (type) {
    case DGNTYPE_CELL_LIBRARY: return DecodeCellLibrary(handle);
    case DGNTYPE_CELL_HEADER: return DecodeCellHeader(handle);
    case DGNTYPE_LINE: return DecodeLine(handle);
    case DGNTYPE_LINE_STRING:
    case DGNTYPE_SHAPE:
    case DGNTYPE_CURVE:
    case DGNTYPE_BSPLINE: return DecodeMultiPoint(handle);
    case DGNTYPE_GROUP_DATA: return level == 1 ? DGNDecodeColorTable(handle) : nullptr;
    case DGNTYPE_TCB: return DGNDecodeTCB(handle);
    case DGNTYPE_COMPLEX_CHAIN_HEADER:
    case DGNTYPE_COMPLEX_SHAPE_HEADER:
    case DGNTYPE_3DSURFACE_HEADER:
    case DGNTYPE_3DSOLID_HEADER: return DecodeComplexHeader(handle, type);
    case DGNTYPE_ELLIPSE: return DecodeEllipse(handle);
    case DGNTYPE_ARC: return DecodeArc(handle);
    case DGNTYPE_TEXT: return DecodeText(handle);
    case DGNTYPE_CONE: return DecodeCone(handle);
    case DGNTYPE_TAG_VALUE: return DecodeTagValue(handle);
    case DGNTYPE_APPLICATION_ELEM: return level == 24 ? DGNDecodeTagSet(handle) : nullptr;
    default: return nullptr;
  }
}

// Gives a core record, and any record when the handle captures raw bytes, a
// copy of the element's bytes.
void AttachRawBytes(DGNFile *handle, DGNElement *element) {
  if (element->kind != DGNKIND_CORE && !(handle->options & DGN_OPTION_CAPTURE_RAW)) return;
  element->raw_data = static_cast<unsigned char *>(CopyBlock(handle, handle->elem_bytes));
  if (element->raw_data != nullptr) {
    element->raw_bytes = handle->elem_bytes;
    std::memcpy(element->raw_data, handle->elem_buffer, static_cast<size_t>(handle->elem_bytes));
  }
}

}  // namespace

DGNElement *DGNProcessElement(DGNFile *handle, int type, int level) {
  if (handle == nullptr) return nullptr;
  handle->read_failed = 0;
  DGNElement *element = DecodeByType(handle, type, level);
  if (element == nullptr && !handle->read_failed) {
    element = NewRecord<DGNElement>(DGNKIND_CORE);
    DGNParseCore(handle, element);
  }
  if (element != nullptr) AttachRawBytes(handle, element);
  // Part of the record could not be had: no element is better than one that
  // silently lacks bytes the file holds.  The report says why.
  if (handle->read_failed) {
    DGNFreeElement(handle, element);
    return nullptr;
  }
  element->element_id = handle->next_element_id - 1;
  element->offset = static_cast<int32_t>(dgnstream::Tell(handle) - handle->elem_bytes);
  element->size = handle->elem_bytes;
  return element;
}

void DGNTransformPoint(DGNFile *handle, DGNPoint *point) {
  if (handle == nullptr || point == nullptr) return;
  point->x = point->x * handle->scale - handle->origin_x;
  point->y = point->y * handle->scale - handle->origin_y;
  point->z = point->z * handle->scale - handle->origin_z;
}

void DGNInverseTransformPoint(DGNFile *handle, DGNPoint *point) {
  if (handle == nullptr || point == nullptr) return;
  point->x = dgninternal::ClampDesign(DGNMasterToDesign(handle, 0, point->x));
  point->y = dgninternal::ClampDesign(DGNMasterToDesign(handle, 1, point->y));
  point->z = dgninternal::ClampDesign(DGNMasterToDesign(handle, 2, point->z));
}

int DGNGetDimension(const DGNFile *handle) {
  return handle != nullptr && handle->dimension == 3 ? 3 : 2;
}

double DGNGetScale(const DGNFile *handle) { return handle != nullptr ? handle->scale : 1.0; }

DGNPoint DGNGetOrigin(const DGNFile *handle) {
  if (handle == nullptr) return DGNPoint{0.0, 0.0, 0.0};
  return DGNPoint{handle->origin_x, handle->origin_y, handle->origin_z};
}

double DGNMasterToDesign(const DGNFile *handle, int axis, double master) {
  if (handle == nullptr) return master;
  const double origin = axis == 0   ? handle->origin_x
                        : axis == 1 ? handle->origin_y
                                    : handle->origin_z;
  return (master + origin) / handle->scale;
}

void DGNDesignPlaneSpan(const DGNFile *handle, int axis, double *low, double *high) {
  if (handle == nullptr || low == nullptr || high == nullptr) return;
  const double origin = axis == 0   ? handle->origin_x
                        : axis == 1 ? handle->origin_y
                                    : handle->origin_z;
  *low = -dgnraw::kMaxDesign * handle->scale - origin;
  *high = dgnraw::kMaxDesign * handle->scale - origin;
  if (*low > *high) std::swap(*low, *high);
}

bool DGNReadFailed(const DGNFile *handle) { return handle != nullptr && handle->read_failed != 0; }

bool DGNStreamCut(const DGNFile *handle, int64_t *stream_end, int64_t *file_bytes) {
  if (handle == nullptr || handle->stream_cut == 0) return false;
  if (stream_end != nullptr) *stream_end = handle->stream_end;
  if (file_bytes != nullptr) *file_bytes = handle->file_bytes;
  return true;
}

bool DGNStreamAtMarker(const DGNFile *handle) {
  return handle != nullptr && handle->stream_marker != 0;
}

void DGNDFloatToDouble(void *bytes) {
  if (bytes == nullptr) return;
  auto *b = static_cast<unsigned char *>(bytes);
  const double value = dgnraw::dfloat_to_double(b);
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  // Little-endian IEEE order, byte by byte, whatever the machine's order.
  for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>((bits >> (8 * i)) & 0xFFu);
}

void DGNRad50ToAscii(uint16_t word, char *out) {
  if (out == nullptr) return;
  unsigned value = word;
  const unsigned divisors[3] = {1600, 40, 1};
  for (int i = 0; i < 3; ++i) {
    const unsigned q = value / divisors[i];
    value -= q * divisors[i];
    char c;
    if (q == 0 || q == 29) {
      c = ' ';
    } else if (q <= 26) {
      c = static_cast<char>('A' + q - 1);
    } else if (q == 27) {
      c = '$';
    } else if (q == 28) {
      c = '.';
    } else if (q < 40) {
      c = static_cast<char>('0' + q - 30);
    } else {
      c = '\0';  // only the first character of a word of 64000 or more
    }
    out[i] = c;
  }
  out[3] = '\0';
}

// ---------------------------------------------------------------------------
// Header elements: TCB, colour table, tag set
// ---------------------------------------------------------------------------

// TCB (type 9):
//   46 + 118 v  view v (v = 0..7): 0 flags, 2 levels (8 bytes), 10 origin (3 int32),
//               22 delta (3 int32), 34 rotation (9 D-floats), 106 conversion, 114 active z
//   1112 subunits per master   1116 design units per subunit (int32)
//   1120 master unit name (2)  1122 subunit name (2)
//   1214 flags, bit 6: 3D      1240/1248/1256 global origin (D-floats, design units)
DGNTCBElement *DGNDecodeTCB(DGNFile *handle) {
  if (handle == nullptr) return nullptr;
  const DGNBytes b = Element(handle);
  auto *tcb = NewRecord<DGNTCBElement>(DGNKIND_TCB);
  DGNParseCore(handle, tcb);

  tcb->dimension = (b.byte(dgnraw::kTcbFlags) & dgnraw::kTcbFlag3D) ? 3 : 2;
  tcb->subunits_per_master = b.int32(dgnraw::kTcbSubunitsPerMaster);
  tcb->uor_per_subunit = b.int32(dgnraw::kTcbUorPerSubunit);
  tcb->master_units[0] = static_cast<char>(b.byte(dgnraw::kTcbMasterUnits));
  tcb->master_units[1] = static_cast<char>(b.byte(dgnraw::kTcbMasterUnits + 1));
  tcb->master_units[2] = '\0';
  tcb->sub_units[0] = static_cast<char>(b.byte(dgnraw::kTcbSubUnits));
  tcb->sub_units[1] = static_cast<char>(b.byte(dgnraw::kTcbSubUnits + 1));
  tcb->sub_units[2] = '\0';

  tcb->origin_x = b.dfloat(dgnraw::kTcbOriginX);
  tcb->origin_y = b.dfloat(dgnraw::kTcbOriginY);
  tcb->origin_z = b.dfloat(dgnraw::kTcbOriginZ);
  const bool have_units = tcb->uor_per_subunit != 0 && tcb->subunits_per_master != 0;
  if (have_units) {
    const double per_master =
        dgninternal::UnitProduct(tcb->uor_per_subunit, tcb->subunits_per_master);
    tcb->origin_x /= per_master;
    tcb->origin_y /= per_master;
    tcb->origin_z /= per_master;
  }

  // Only the file's first TCB sets its units.
  if (!handle->got_tcb) {
    handle->got_tcb = 1;
    handle->dimension = tcb->dimension;
    handle->origin_x = tcb->origin_x;
    handle->origin_y = tcb->origin_y;
    handle->origin_z = tcb->origin_z;
    if (have_units) {
      handle->scale =
          1.0 / dgninternal::UnitProduct(tcb->uor_per_subunit, tcb->subunits_per_master);
    }
  }

  for (int v = 0; v < 8; ++v) {
    const int at = dgnraw::kTcbViews + dgnraw::kTcbViewBytes * v;
    DGNView &view = tcb->views[v];
    view.flags = static_cast<int32_t>(b.word(at));
    b.copy(at + 2, 8, view.levels);
    view.origin = ReadPoint(handle, b, at + 10, true);
    view.delta = DGNPoint{b.int32(at + 22) * handle->scale, b.int32(at + 26) * handle->scale,
                          b.int32(at + 30) * handle->scale};
    for (int i = 0; i < 9; ++i) view.rotation[i] = b.dfloat(at + 34 + 8 * i);
    view.conversion = b.dfloat(at + 106);
    view.active_z = b.int32(at + 114);
  }
  return tcb;
}

// Colour table (type 5 on level 1):
//   36 screen flag   38-40 colour 255 (red, green, blue)   41-805 colours 0..254
DGNColorTableElement *DGNDecodeColorTable(DGNFile *handle) {
  if (handle == nullptr) return nullptr;
  const DGNBytes b = Element(handle);
  auto *table = NewRecord<DGNColorTableElement>(DGNKIND_COLOR_TABLE);
  DGNParseCore(handle, table);
  table->screen_flag = static_cast<int32_t>(b.word(dgnraw::kCtScreenFlag));
  dgnraw::ReadColorTable(b, table->color_info);
  // Only the file's first colour table becomes the handle's.
  if (!handle->got_color_table) {
    std::memcpy(handle->color_table, table->color_info, sizeof handle->color_table);
    handle->got_color_table = 1;
  }
  return table;
}

// Tag set definition (type 66 on level 24):
//   44 number of definitions   46 tag set number   48 name, zero-terminated, one spare byte
//   then each definition at p:
//     p name\0 (terminator at q)   q+1 id   q+3 prompt\0 (terminator at r)   r+1 type
//     r+3..r+7 not interpreted     r+8 default: text\0 (type 1), 4 bytes (3, 5), D-float (4)
//     next definition: after the text's terminator (1), r+12 (3, 5, others), r+16 (4)
// Only definitions that lie wholly inside the element are kept.
DGNTagSetElement *DGNDecodeTagSet(DGNFile *handle) {
  if (handle == nullptr) return nullptr;
  const DGNBytes b = Element(handle);
  auto *set = NewRecord<DGNTagSetElement>(DGNKIND_TAG_SET);
  DGNParseCore(handle, set);

  const int stored = static_cast<int>(b.word(44));
  set->tag_set = static_cast<int32_t>(b.word(46));
  set->tag_set_name = CopyText(handle, b, 48);
  if (set->tag_set_name == nullptr) return set;

  set->flags = -1;
  static const unsigned char kTagFlagsLinkage[4] = {0x03, 0x10, 0x2F, 0x7D};
  if (set->attr_bytes > 7 && std::memcmp(set->attr_data, kTagFlagsLinkage, 4) == 0) {
    set->flags = set->attr_data[4] + 256 * set->attr_data[5];
  }

  int p = 50 + static_cast<int>(std::strlen(set->tag_set_name));
  // A definition takes at least 12 bytes: never allocate for more than fit.
  const int room = b.n > p ? (b.n - p) / 12 : 0;
  const int slots = stored < room ? stored : room;
  set->tag_list = static_cast<DGNTagDefinition *>(
      CPLTryCalloc(slots, static_cast<int>(sizeof(DGNTagDefinition))));
  set->tag_count = 0;
  if (set->tag_list == nullptr && slots > 0) {
    handle->read_failed = 1;
    return set;
  }

  for (int i = 0; i < slots; ++i) {
    const int q = p + b.text_length(p);  // name terminator
    if (!b.has(q, 1)) break;
    const int prompt = q + 3;
    const int r = prompt + b.text_length(prompt);  // prompt terminator
    if (!b.has(r, 1)) break;
    const int type = static_cast<int>(b.word(r + 1));
    int next;
    if (type == DGNTT_TEXT) {
      const int t = r + 8 + b.text_length(r + 8);
      if (!b.has(t, 1)) break;
      next = t + 1;
    } else if (type == DGNTT_REAL) {
      next = r + 16;
    } else {
      next = r + 12;
    }
    if (next > b.n) break;

    DGNTagDefinition &def = set->tag_list[set->tag_count];
    def.name = CopyText(handle, b, p);
    def.id = static_cast<int32_t>(b.word(q + 1));
    def.prompt = CopyText(handle, b, prompt);
    def.type = type;
    if (type == DGNTT_TEXT) {
      def.default_value.string = CopyText(handle, b, r + 8);
    } else if (type == DGNTT_INTEGER || type == DGNTT_INTEGER_ALT) {
      def.default_value.integer = static_cast<int32_t>(b.le32(r + 8));
    } else if (type == DGNTT_REAL) {
      def.default_value.real = b.dfloat(r + 8);
    }
    set->tag_count++;
    p = next;
  }
  if (set->tag_count == 0) {
    CPLSysFree(set->tag_list);
    set->tag_list = nullptr;
  }
  return set;
}
