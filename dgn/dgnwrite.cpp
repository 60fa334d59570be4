// Writing design files: creation from a seed file, copying elements between
// files, building new multi-point elements and writing elements into an open
// file, appended before the end-of-design marker or rewritten in place.
//
// Appending is ordered so that a write that stops part-way (a full disk, an
// I/O error) never leaves bytes that read as a live element: the new
// element's body and a fresh end-of-design marker go past the old marker
// first, and only then do the element's first two bytes replace the old
// marker, level byte first.  Until they land the file reads as it did before
// (with only the level byte there, the header reads as a deleted element).
// Every write is checked; a failed append is reported and leaves the index
// and the element as they were.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "cpl_conv.h"
#include "cpl_error.h"
#include "dgn_bytes.h"
#include "dgn_internal.h"
#include "dgn_stream.h"
#include "platform.h"

#include "dgnmodel.h"

using dgnraw::DGNBytes;

namespace {

// Largest element a 16-bit words-to-follow count can describe.
constexpr int kMaxElementBytes = dgnraw::kHeaderBytes + 2 * 65535;
// Element index growth when appending.
constexpr int kIndexGrowth = 500;
// Offsets must fit the int32 `offset` of an element and a 32-bit long.
constexpr int64_t kMaxFileOffset = dgninternal::kMaxFileBytes;

const unsigned char kEndMarker[2] = {dgnraw::kEndOfDesign, dgnraw::kEndOfDesign};
// Appends of elements up to this size (with the marker) are assembled on the stack.
constexpr size_t kLocalAppendBytes = 1024;

// Types built by DGNCreateMultiPointElem.
bool IsMultiPointType(int type) {
  return type == DGNTYPE_LINE || type == DGNTYPE_LINE_STRING || type == DGNTYPE_SHAPE ||
         type == DGNTYPE_CURVE || type == DGNTYPE_BSPLINE;
}

// A colour table appended to a file that has none becomes the file's colour
// table, as it would when the file is next read: colour lookups on this
// handle then match what readers of the file will show.
//   38-40  red, green, blue of colour 255;  41-805  colours 0..254
void AdoptColorTable(DGNFile *handle, const unsigned char *raw, int raw_bytes) {
  if (handle->got_color_table) return;
  const DGNBytes b{raw, raw_bytes};
  // Taken as index building takes it: type 5 on level 1, whatever its flags.
  const int type = b.byte(dgnraw::kTypeByte) & 0x7F;
  if (type != DGNTYPE_GROUP_DATA || (b.byte(dgnraw::kLevelByte) & 0x3F) != 1) return;
  dgnraw::ReadColorTable(b, handle->color_table);
  handle->got_color_table = 1;
}

// ---------------------------------------------------------------------------
// Positioned file access.  Every write is preceded by a seek, which also
// flushes what was written before: a failure to put earlier bytes on disk
// shows up at the next seek, before anything that depends on them is written.
// ---------------------------------------------------------------------------

bool SeekTo(FILE *fp, int64_t position) {
  return position >= 0 && position <= kMaxFileOffset &&
         CPLFSeek(fp, static_cast<long>(position), SEEK_SET) == 0;
}

bool PutAt(FILE *fp, int64_t position, const unsigned char *bytes, size_t count) {
  return SeekTo(fp, position) && CPLFWrite(bytes, 1, count, fp) == count;
}

// Reads up to `count` bytes at `position`; the number read.
size_t GetAt(FILE *fp, int64_t position, unsigned char *bytes, size_t count) {
  if (!SeekTo(fp, position)) return 0;
  return CPLFRead(bytes, 1, count, fp);
}

// Writes the element `raw` (n bytes) at `end`, where the file's end-of-design
// marker stands (or the file ends), and a new marker after it.  The stream is
// left on the new marker.
//   1. FF FF, bytes 2..n-1 of the element, FF FF: the first two bytes restate
//      the marker already there, so the file reads as before whatever part
//      of this reaches the disk;
//   2. bytes 0 and 1 of the element over the old marker.  Should only the
//      level byte land, the header reads "level, FF": a deleted element of
//      type 127, which readers pass over.
bool AppendAt(FILE *fp, int64_t end, const unsigned char *raw, int n) {
  // Step 1 goes out as one write: FF FF, bytes 2..n-1, FF FF.
  const size_t total = static_cast<size_t>(n) + 2;
  unsigned char local[kLocalAppendBytes];
  unsigned char *block = total <= sizeof local
                             ? local
                             : static_cast<unsigned char *>(CPLMalloc(static_cast<int>(total)));
  std::memcpy(block, kEndMarker, 2);
  std::memcpy(block + 2, raw + 2, static_cast<size_t>(n - 2));
  std::memcpy(block + n, kEndMarker, 2);
  const bool written = PutAt(fp, end, block, total);
  if (block != local) CPLSysFree(block);
  if (!written) return false;
  if (!PutAt(fp, end, raw, 2) || !SeekTo(fp, end + n)) {
    // Best effort: put the old marker back so that nothing half-written is
    // taken for an element.  On a failing disk this may fail too; the
    // deleted-element state described above is then what remains.
    PutAt(fp, end, kEndMarker, 2);
    SeekTo(fp, end);
    return false;
  }
  return true;
}

// Turns the last element, at `offset`, into the end of the file: its type
// byte becomes FF first (a deleted type-127 element of the same size, still
// followed by the old marker), then its level byte.
bool RetireLastElement(FILE *fp, int64_t offset) {
  return PutAt(fp, offset + 1, kEndMarker, 1) && PutAt(fp, offset, kEndMarker, 1);
}

// Rewrites an element of the same size in place: the old element is first
// marked deleted, then its body is replaced, then its first two bytes (type
// byte last), so that an interrupted rewrite leaves a deleted element, never
// a live mixture of old and new bytes.
bool RewriteInPlace(FILE *fp, int64_t offset, unsigned char old_type_byte, const unsigned char *raw,
                    int n) {
  const unsigned char deleted = static_cast<unsigned char>(old_type_byte | 0x80);
  return PutAt(fp, offset + 1, &deleted, 1) &&
         PutAt(fp, offset + 2, raw + 2, static_cast<size_t>(n - 2)) && PutAt(fp, offset, raw, 2) &&
         SeekTo(fp, offset + n);
}

// True when the bytes at `end` (right after the last indexed element) may be
// overwritten by an append: the end-of-design marker, the end of the file, an
// element cut short by the end of the file, or the deleted type-127 element
// that an interrupted append leaves.  A complete element there means the
// index does not cover the whole file, and appending would destroy it.
bool TailIsFree(FILE *fp, int64_t end) {
  unsigned char tail[4] = {0, 0, 0, 0};
  const size_t got = GetAt(fp, end, tail, 2);
  if (got < 2 || dgnraw::IsEndMarker(tail)) return true;
  if (GetAt(fp, end + 2, tail + 2, 2) < 2) return true;
  if (tail[1] == 0xFF) return true;
  unsigned char last = 0;
  return GetAt(fp, end + dgnraw::ElementSize(tail) - 1, &last, 1) < 1;
}

// Checks the raw bytes an element must have to be written; reports and
// returns false when they are unusable.
bool RawFitForWriting(const DGNElement *element) {
  const int n = element->raw_bytes;
  if (element->raw_data == nullptr || n < dgnraw::kHeaderBytes || n > kMaxElementBytes ||
      n % 2 != 0) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "Cannot write an element of %d raw bytes: an element needs an even number of "
             "4 to %d raw bytes.",
             element->raw_data == nullptr ? 0 : n, kMaxElementBytes);
    return false;
  }
  const unsigned char *raw = element->raw_data;
  if (dgnraw::IsEndMarker(raw)) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "Cannot write an element whose header is the end-of-design marker.");
    return false;
  }
  if (dgnraw::ElementSize(raw) != n) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "Cannot write an element of %d bytes whose header gives %d bytes.", n,
             dgnraw::ElementSize(raw));
    return false;
  }
  return true;
}

void ReportFailedWrite(int raw_bytes, int64_t offset) {
  CPLError(CPLClassFailure, CPLNumGeneral,
           "Error seeking or writing new element of %d bytes at %d.", raw_bytes,
           static_cast<int>(offset));
}

// Finds where the next appended element goes (dgninternal::FindAppendEnd).
bool AppendEnd(DGNFile *handle, int64_t *where) {
  FILE *fp = handle->fp;
  const int count = handle->element_count;
  if (count <= 0 || handle->element_index == nullptr) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "Cannot append an element to a file without elements.");
    return false;
  }
  // The end of the file's elements: right after the last indexed element.
  // Known without reading once this handle has appended.
  const int64_t last = handle->element_index[count - 1].offset;
  int64_t end = handle->append_offset;
  if (end <= last) {
    unsigned char header[4];
    if (GetAt(fp, last, header, 4) != 4 || dgnraw::IsEndMarker(header)) {
      CPLError(CPLClassFailure, CPLNumGeneral,
               "Cannot append: the last element of the file (element %d at %d) cannot be read.",
               count - 1, static_cast<int>(last));
      return false;
    }
    end = last + dgnraw::ElementSize(header);
    if (end <= kMaxFileOffset && !TailIsFree(fp, end)) {
      CPLError(CPLClassFailure, CPLNumGeneral,
               "Cannot append at %d: elements follow the %d elements the index covers.",
               static_cast<int>(end), count);
      return false;
    }
  }
  *where = end;
  return true;
}

// Makes room in the element index for `more` entries (dgninternal::GrowIndex).
bool MakeIndexRoom(DGNFile *handle, int more) {
  const int64_t need = static_cast<int64_t>(handle->element_count) + more;
  if (need <= handle->max_element_count) return true;
  int64_t grown = static_cast<int64_t>(handle->max_element_count) + kIndexGrowth;
  if (grown < need) grown = need + kIndexGrowth;
  if (grown * static_cast<int64_t>(sizeof(DGNIndexEntry)) > INT_MAX) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "Cannot append: the element index is full at %d elements.", handle->element_count);
    return false;
  }
  // The index is as large as the file makes it: memory running out fails
  // this append (reported), not the host's process.
  auto *index = static_cast<DGNIndexEntry *>(
      CPLTryRealloc(handle->element_index, static_cast<int>(grown * sizeof(DGNIndexEntry))));
  if (index == nullptr) return false;
  handle->element_index = index;
  handle->max_element_count = static_cast<int32_t>(grown);
  return true;
}

// After a failed rewrite of element k, makes index entry k describe what the
// file now holds there (or drops it when the file now ends before it).
void ResyncIndexEntry(DGNFile *handle, int k) {
  DGNIndexEntry &entry = handle->element_index[k];
  unsigned char header[4];
  if (GetAt(handle->fp, entry.offset, header, 4) != 4 || dgnraw::IsEndMarker(header)) {
    if (k == handle->element_count - 1) handle->element_count = k;
    return;
  }
  dgninternal::FillIndexEntry(&entry, header, entry.offset);
}

// The number of the file's element that starts at `offset` (index entries
// are in file order).  When none does, reports "Cannot <doing> at <offset>"
// and gives -1.
int ElementStartingAt(const DGNFile *handle, int64_t offset, const char *doing) {
  int lo = 0;
  int hi = handle->element_count - 1;
  while (lo <= hi && handle->element_index != nullptr) {
    const int mid = lo + (hi - lo) / 2;
    const int64_t at = handle->element_index[mid].offset;
    if (at == offset) return mid;
    if (at < offset) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  CPLError(CPLClassFailure, CPLNumGeneral, "Cannot %s at %d: no element of the file starts there.",
           doing, static_cast<int>(offset));
  return -1;
}

// Rewrites the file's element that starts at element->offset.
bool RewriteElement(DGNFile *handle, DGNElement *element) {
  FILE *fp = handle->fp;
  const int n = element->raw_bytes;
  const int count = handle->element_count;
  const int64_t offset = element->offset;

  const int k = ElementStartingAt(handle, offset, "rewrite an element");
  if (k < 0) return false;

  unsigned char header[4];
  if (GetAt(fp, offset, header, 4) != 4 || dgnraw::IsEndMarker(header)) {
    CPLError(CPLClassFailure, CPLNumGeneral, "Cannot rewrite element %d at %d: it cannot be read.",
             k, static_cast<int>(offset));
    return false;
  }
  const int old_size = dgnraw::ElementSize(header);
  const bool is_last = k == count - 1;
  if (!is_last && old_size != n) {
    // Writing a different size here would overwrite (or leave garbage
    // before) the elements that follow.
    CPLError(CPLClassFailure, CPLNumGeneral,
             "Cannot rewrite element %d in place: it has %d bytes in the file and the new "
             "element has %d bytes; only the last element may change size.",
             k, old_size, n);
    return false;
  }

  bool ok;
  if (is_last) handle->append_offset = 0;  // the end moves: found again if this fails
  if (is_last) {
    if (offset + n + 2 > kMaxFileOffset) {
      CPLError(CPLClassFailure, CPLNumGeneral,
               "Cannot rewrite element %d with %d bytes: the file would exceed %d bytes.", k, n,
               INT32_MAX);
      return false;
    }
    // The last element may change size: retire it, then append the new one
    // in its place with a fresh marker after it.
    ok = RetireLastElement(fp, offset) && AppendAt(fp, offset, element->raw_data, n);
  } else {
    ok = RewriteInPlace(fp, offset, header[1], element->raw_data, n);
  }
  if (!ok) {
    ReportFailedWrite(n, offset);
    ResyncIndexEntry(handle, k);
    return false;
  }

  DGNIndexEntry &entry = handle->element_index[k];
  dgninternal::FillIndexEntry(&entry, element->raw_data, static_cast<uint32_t>(offset));
  if (is_last) handle->append_offset = static_cast<int32_t>(offset + n);
  element->element_id = k;
  element->size = n;
  handle->next_element_id = k + 1;
  dgninternal::MergeElementRange(handle, entry, element->raw_data, n);
  return true;
}

// Stores the low 32 bits of `value` high word first at p.
void PutInt32(unsigned char *p, int32_t value) {
  dgnraw::put_int32(p, static_cast<uint32_t>(value));
}

// Copies up to two characters of a unit name, stopping at its terminator.
void PutUnitName(unsigned char *p, const char *name) {
  p[0] = p[1] = 0;
  if (name == nullptr) return;
  for (int i = 0; i < 2 && name[i] != '\0'; ++i) p[i] = static_cast<unsigned char>(name[i]);
}

// Stores `value` as a D-float at p.
void PutDFloat(unsigned char *p, double value) {
  std::memcpy(p, &value, 8);
  DGNDoubleToDFloat(p);
}

// ---------------------------------------------------------------------------
// Cloning helpers
// ---------------------------------------------------------------------------

// A zero-filled copy of the first `bytes` bytes of `source`, in a block of
// at least `block` bytes.
template <typename T>
T *CopyRecord(const T *source, size_t bytes, size_t block) {
  if (block < bytes) block = bytes;
  if (block < sizeof(T)) block = sizeof(T);
  auto *copy = static_cast<T *>(CPLCalloc(1, static_cast<int>(block)));
  std::memcpy(static_cast<void *>(copy), static_cast<const void *>(source), bytes);
  return copy;
}

char *DuplicateText(const char *text) { return text == nullptr ? nullptr : CPLStrdup(text); }

unsigned char *DuplicateBytes(const unsigned char *bytes, int count) {
  auto *copy = static_cast<unsigned char *>(CPLMalloc(count));
  std::memcpy(copy, bytes, static_cast<size_t>(count));
  return copy;
}

}  // namespace

// ---------------------------------------------------------------------------
// Stored reals
// ---------------------------------------------------------------------------

void DGNDoubleToDFloat(void *bytes) {
  auto *b = static_cast<unsigned char *>(bytes);
  // The double in the machine's little-endian IEEE form: lo in bytes 0-3, hi in 4-7.
  const uint32_t lo = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                      (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
  const uint32_t hi = static_cast<uint32_t>(b[4]) | (static_cast<uint32_t>(b[5]) << 8) |
                      (static_cast<uint32_t>(b[6]) << 16) | (static_cast<uint32_t>(b[7]) << 24);
  const uint32_t sign = hi & 0x80000000u;
  int32_t exponent = static_cast<int32_t>((hi >> 20) & 0x7FFu);
  // IEEE bias 1023 with the point after the hidden bit; D-float bias 128
  // with the point before it: 894 apart.
  if (exponent != 0) exponent -= 1023 - 129;

  if (exponent > 255) {
    // Too large for a D-float: the largest value of the same sign.
    const unsigned char largest[8] = {
        0xFF, static_cast<unsigned char>(sign ? 0xFF : 0x7F), 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::memcpy(b, largest, 8);
    return;
  }
  if (exponent < 0 || (exponent == 0 && sign == 0)) {
    // Too small (or zero): stored as zero.
    std::memset(b, 0, 8);
    return;
  }
  // 52 fraction bits become the 55 stored ones, the lowest three 0.
  const uint32_t new_hi =
      (((hi << 3) | (lo >> 29)) & 0x7FFFFFu) | (static_cast<uint32_t>(exponent) << 23) | sign;
  const uint32_t new_lo = lo << 3;
  // Four little-endian words, most significant first: the int32 word order.
  dgnraw::put_int32(b, new_hi);
  dgnraw::put_int32(b + 4, new_lo);
}

// ---------------------------------------------------------------------------
// Element encoding
// ---------------------------------------------------------------------------

int DGNMaxNewVertices(const DGNFile *handle) {
  const int stride = 4 * DGNGetDimension(handle);
  return (dgnraw::kMaxNewElementBytes - 1 - dgnraw::kMultiVertices) / stride;
}

namespace {

// Stores `count` points at `destination` as design coordinates, 2 or 3 per
// point as the file's dimension says: off the design plane clamped to its
// edge, not a number 0, a whole number of design units that number, anything
// else truncated towards zero.  The origin and scale are read once per call.
void EncodePoints(const DGNFile *handle, const DGNPoint *points, int count,
                  unsigned char *destination) {
  const double ox = handle->origin_x, oy = handle->origin_y, oz = handle->origin_z;
  const double scale = handle->scale;
  // Nearly every value lies on the plane: one test lets it pass, the others
  // (beyond the edge, or not a number) are clamped first.
  const auto stored = [](double design) {
    if (!(std::fabs(design) <= dgnraw::kMaxDesign)) design = dgninternal::ClampDesign(design);
    return dgninternal::StoredDesign(design);
  };
  if (handle->dimension == 3) {
    for (int i = 0; i < count; ++i, destination += 12) {
      PutInt32(destination, stored((points[i].x + ox) / scale));
      PutInt32(destination + 4, stored((points[i].y + oy) / scale));
      PutInt32(destination + 8, stored((points[i].z + oz) / scale));
    }
  } else {
    for (int i = 0; i < count; ++i, destination += 8) {
      PutInt32(destination, stored((points[i].x + ox) / scale));
      PutInt32(destination + 4, stored((points[i].y + oy) / scale));
    }
  }
}

}  // namespace

void DGNWriteRawPoint(DGNFile *handle, const DGNPoint *point, unsigned char *destination) {
  if (handle == nullptr || point == nullptr || destination == nullptr) return;
  EncodePoints(handle, point, 1, destination);
}

void DGNStoreRange(DGNFile *handle, DGNElement *element, const DGNPoint *low,
                   const DGNPoint *high) {
  if (handle == nullptr || element == nullptr || low == nullptr || high == nullptr ||
      element->raw_data == nullptr || element->raw_bytes < dgnraw::kRangeEnd) {
    return;
  }
  unsigned char *raw = element->raw_data;
  // A 2D file stores no z: its range z values are design coordinate 0.
  std::memset(raw + dgnraw::kRangeLowZ, 0, 4);
  std::memset(raw + dgnraw::kRangeHighZ, 0, 4);
  DGNWriteRawPoint(handle, low, raw + dgnraw::kRangeLowX);
  DGNWriteRawPoint(handle, high, raw + dgnraw::kRangeHighX);
  // Range values are the design coordinate plus 2^31: invert the top bit,
  // which sits in the second byte of each high-word-first value.
  for (int k = dgnraw::kRangeLowX; k < dgnraw::kRangeEnd; k += 4) raw[k + 1] ^= 0x80;
}

void DGNClearElemCore(DGNFile *, DGNElement *element) {
  if (element == nullptr) return;
  // The header owns these blocks; clearing it must not leak them.
  CPLSysFree(element->attr_data);
  CPLSysFree(element->raw_data);
  std::memset(static_cast<void *>(element), 0, sizeof(DGNElement));
  element->offset = -1;
  element->element_id = -1;
}

bool DGNStoreElemCore(DGNFile *, DGNElement *element) {
  if (element == nullptr || element->raw_data == nullptr ||
      element->raw_bytes < dgnraw::kDisplayHeaderEnd || element->raw_bytes > kMaxElementBytes ||
      element->raw_bytes % 2 != 0) {
    return false;
  }
  unsigned char *raw = element->raw_data;
  const int n = element->raw_bytes;

  // Each field stores only the bits it owns: level bits 0-5 (bit 6 of the
  // byte is kept as it is), type bits 0-6, and the complex and deleted bits.
  raw[dgnraw::kLevelByte] = static_cast<unsigned char>(
      (element->level & 0x3F) | (raw[dgnraw::kLevelByte] & 0x40) | (element->complex ? 0x80 : 0));
  raw[dgnraw::kTypeByte] =
      static_cast<unsigned char>((element->type & 0x7F) | (element->deleted ? 0x80 : 0));
  dgnraw::put_word(raw + dgnraw::kWordsToFollow, static_cast<unsigned>(n / 2 - 2));

  // The attribute index and the display fields exist only in elements that
  // have a display header; in the others these bytes belong to the body.
  if (!DGNTypeHasDisplayHeader(element->type & 0x7F)) return true;
  if (raw[dgnraw::kAttrIndex] == 0 && raw[dgnraw::kAttrIndex + 1] == 0) {
    dgnraw::put_word(raw + dgnraw::kAttrIndex, static_cast<unsigned>((n - dgnraw::kAttrBase) / 2));
  }
  if (n > dgnraw::kDisplayHeaderEnd) {
    dgnraw::put_word(raw + dgnraw::kGraphicGroup,
                     static_cast<unsigned>(element->graphic_group) & 0xFFFFu);
    dgnraw::put_word(raw + dgnraw::kProperties,
                     static_cast<unsigned>(element->properties) & 0xFFFFu);
    raw[dgnraw::kSymbology] =
        static_cast<unsigned char>(((element->weight & 0x1F) << 3) | (element->style & 0x07));
    raw[dgnraw::kColor] = static_cast<unsigned char>(element->color & 0xFF);
  }
  return true;
}

bool DGNUpdateElemCore(DGNFile *handle, DGNElement *element, int level, int graphic_group,
                       int color, int weight, int style) {
  if (element == nullptr) return false;
  element->level = level;
  element->graphic_group = graphic_group;
  element->color = color;
  element->weight = weight;
  element->style = style;
  return DGNStoreElemCore(handle, element);
}

namespace {

// Whether `point_count` points make an element of `type` that fits in an
// element of a file whose largest new element holds `max_points`; the
// failure is reported.
bool MultiPointRequestFits(int type, int point_count, const DGNPoint *points, int max_points) {
  if (!IsMultiPointType(type)) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "Attempt to create a multi-point element of type %s: not a line, line string, "
             "shape, curve or B-spline.",
             DGNTypeToName(type));
    return false;
  }
  const int minimum = type == DGNTYPE_LINE ? 2 : 1;
  if (point_count < minimum || points == nullptr) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "Attempt to create %s element with %d points failed.\nIt needs at least %d.",
             DGNTypeToName(type), point_count, minimum);
    return false;
  }
  if (type == DGNTYPE_LINE && point_count != 2) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "Attempt to create %s element with %d points failed.\nA line has exactly 2.",
             DGNTypeToName(type), point_count);
    return false;
  }
  // Compared by count first so that a huge count cannot overflow the size.
  if (point_count > max_points) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "Attempt to create %s element with %d points failed.\nElement would be too large.",
             DGNTypeToName(type), point_count);
    return false;
  }
  return true;
}

// A block of `bytes` zero bytes, as CPLCalloc gives it.  An export makes two
// small blocks per element and frees them again at once; taken with malloc
// they come from the allocator's per-thread cache, which calloc passes by.
void *ZeroedBlock(int bytes) {
  void *block = CPLMalloc(bytes);
  if (block != nullptr) std::memset(block, 0, static_cast<size_t>(bytes));
  return block;
}

// Gives the element its raw bytes: the vertex count where its type has one
// and the vertices in design units.
void EncodeVertices(DGNFile *handle, DGNMultiPointElement *element, const DGNPoint *points) {
  const int type = element->type;
  const int point_count = element->num_vertices;
  const int stride = 4 * DGNGetDimension(handle);
  // A line holds its two vertices from byte 36; the other types a vertex
  // count at 36 and the vertices from 38.
  const int first_vertex = type == DGNTYPE_LINE ? dgnraw::kLineVertices : dgnraw::kMultiVertices;
  const int raw_bytes = first_vertex + stride * point_count;
  element->raw_bytes = raw_bytes;
  element->size = raw_bytes;
  element->raw_data = static_cast<unsigned char *>(ZeroedBlock(raw_bytes));
  if (type != DGNTYPE_LINE) {
    dgnraw::put_word(element->raw_data + dgnraw::kVertexCount, static_cast<unsigned>(point_count));
  }
  EncodePoints(handle, points, point_count, element->raw_data + first_vertex);
}

// The smaller of two coordinates, a number before one that is not (as fmin,
// inline: a range looks at every vertex).
inline double Lower(double a, double b) { return b < a || std::isnan(a) ? b : a; }

// The larger of two coordinates, a number before one that is not (as fmax).
inline double Higher(double a, double b) { return b > a || std::isnan(a) ? b : a; }

// Stores the box around `count` points (at least one) as the element's range.
void StoreRangeOfPoints(DGNFile *handle, DGNElement *element, const DGNPoint *points, int count) {
  DGNPoint low = points[0];
  DGNPoint high = points[0];
  for (int i = 1; i < count; ++i) {
    const DGNPoint &p = points[i];
    low.x = Lower(low.x, p.x);
    low.y = Lower(low.y, p.y);
    high.x = Higher(high.x, p.x);
    high.y = Higher(high.y, p.y);
  }
  // A 2D file's range stores no z.
  if (handle->dimension == 3) {
    for (int i = 1; i < count; ++i) {
      low.z = Lower(low.z, points[i].z);
      high.z = Higher(high.z, points[i].z);
    }
  }
  DGNStoreRange(handle, element, &low, &high);
}

}  // namespace

DGNMultiPointElement *DGNCreateMultiPointElem(DGNFile *handle, int type, int point_count,
                                              const DGNPoint *points) {
  if (handle == nullptr) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "DGNCreateMultiPointElem() needs an open design file.");
    return nullptr;
  }
  DGNLoadTCB(handle);
  if (!MultiPointRequestFits(type, point_count, points, DGNMaxNewVertices(handle))) return nullptr;

  const size_t record =
      sizeof(DGNMultiPointElement) + static_cast<size_t>(point_count) * sizeof(DGNPoint);
  auto *element = static_cast<DGNMultiPointElement *>(ZeroedBlock(static_cast<int>(record)));
  DGNClearElemCore(handle, element);
  element->kind = DGNKIND_MULTIPOINT;
  element->type = type;
  element->num_vertices = point_count;
  for (int i = 0; i < point_count; ++i) element->vertices[i] = points[i];

  EncodeVertices(handle, element, points);
  DGNStoreElemCore(handle, element);
  StoreRangeOfPoints(handle, element, points, point_count);
  return element;
}

namespace {

// A stored 32-bit count of `unit` for `value`, rounded to the nearest and
// kept within the int32 range; 0 for a value that is not a number.
int32_t StoredCount(double value, double unit) {
  const double v = value / unit;
  if (!std::isfinite(v)) return std::isnan(v) ? 0 : (v > 0 ? INT32_MAX : -INT32_MAX);
  if (v >= static_cast<double>(INT32_MAX)) return INT32_MAX;
  if (v <= -static_cast<double>(INT32_MAX)) return -INT32_MAX;
  return static_cast<int32_t>(std::lround(v));
}

// The number of bytes `char_count` characters take in a text element, and in
// `wide` whether they make a 16-bit text; -1, reported, when they do not fit.
int StoredTextBytes(const uint16_t *chars, int char_count, bool *wide) {
  // Characters beyond 8 bits make the whole text a 16-bit one.
  *wide = false;
  for (int i = 0; i < char_count; ++i) *wide = *wide || chars[i] > 0xFF;
  const int stored = *wide ? 2 + 2 * char_count : char_count;
  if (stored > dgnraw::kTextMaxBytes) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "Attempt to create a text of %d characters failed.\nA text element holds %d %s.",
             char_count, *wide ? (dgnraw::kTextMaxBytes - 2) / 2 : dgnraw::kTextMaxBytes,
             *wide ? "16-bit characters" : "characters");
    return -1;
  }
  return stored;
}

// The record of a new text, with the text as a reader decodes it: a 16-bit
// character below 0x100 as one byte, any other as two, high byte first.
DGNTextElement *NewTextRecord(DGNFile *handle, const uint16_t *chars, int char_count, bool wide,
                              int font_id, int justification) {
  auto *text = static_cast<DGNTextElement *>(
      CPLCalloc(1, static_cast<int>(sizeof(DGNTextElement) + 2 * char_count + 8)));
  DGNClearElemCore(handle, text);
  text->kind = DGNKIND_TEXT;
  text->type = DGNTYPE_TEXT;
  text->font_id = font_id & 0xFF;
  text->justification = justification & 0xFF;
  int out = 0;
  for (int i = 0; i < char_count; ++i) {
    if (wide && chars[i] > 0xFF) text->text[out++] = static_cast<char>(chars[i] >> 8);
    text->text[out++] = static_cast<char>(chars[i] & 0xFF);
  }
  text->text[out] = '\0';
  return text;
}

// Writes the size multipliers of a text and gives the record the values
// they stand for.
void EncodeTextSize(DGNFile *handle, DGNTextElement *text, double length_mult, double height_mult) {
  unsigned char *raw = text->raw_data;
  // Multipliers are kept in 1/1000 of a design unit, divided by 6.
  const double multiplier_unit = handle->scale * 6.0 / 1000.0;
  const int32_t length_units = StoredCount(length_mult, multiplier_unit);
  const int32_t height_units = StoredCount(height_mult, multiplier_unit);
  PutInt32(raw + dgnraw::kTextLengthMult, length_units);
  PutInt32(raw + dgnraw::kTextHeightMult, height_units);
  text->length_mult = length_units * multiplier_unit;
  text->height_mult = height_units * multiplier_unit;
}

// Writes the rotation, the origin and the stored length of a text, in the
// layout of the file's dimension.
void EncodeTextPlacement(DGNFile *handle, DGNTextElement *text, double rotation,
                         const DGNPoint *origin, int stored) {
  unsigned char *raw = text->raw_data;
  // One turn either way is kept as it is; further turns only repeat it.
  const double turn = std::isfinite(rotation) ? std::fmod(rotation, 360.0) : 0.0;
  if (handle->dimension == 3) {
    // A rotation about the z axis as the quaternion w, x, y, z.
    const double half = turn * 3.14159265358979323846 / 360.0;
    PutInt32(raw + dgnraw::kText3DQuat, StoredCount(std::cos(half), 1.0 / 2147483648.0));
    PutInt32(raw + dgnraw::kText3DQuat + 12, StoredCount(std::sin(half), 1.0 / 2147483648.0));
    DGNWriteRawPoint(handle, origin, raw + dgnraw::kText3DOrigin);
    raw[dgnraw::kText3DCount] = static_cast<unsigned char>(stored);
  } else {
    const int32_t angle_units = StoredCount(turn, 1.0 / dgnraw::kAngleUnits);
    PutInt32(raw + dgnraw::kText2DRotation, angle_units);
    text->rotation = angle_units / dgnraw::kAngleUnits;
    DGNWriteRawPoint(handle, origin, raw + dgnraw::kText2DOrigin);
    raw[dgnraw::kText2DCount] = static_cast<unsigned char>(stored);
  }
}

// Writes the characters from `at`: one byte each, or, in a 16-bit text, the
// 16-bit marker and a word each.
void EncodeTextChars(unsigned char *at, const uint16_t *chars, int char_count, bool wide) {
  if (wide) {
    *at++ = dgnraw::kText16Marker0;
    *at++ = dgnraw::kText16Marker1;
  }
  for (int i = 0; i < char_count; ++i) {
    if (wide) {
      dgnraw::put_word(at, chars[i]);
      at += 2;
    } else {
      *at++ = static_cast<unsigned char>(chars[i]);
    }
  }
}

// Stores as the text's range a box around the origin that holds the text at
// any rotation and justification (each character at most as wide as the
// length multiplier, the text as high as the height multiplier).
void StoreTextRange(DGNFile *handle, DGNTextElement *text, int char_count, const DGNPoint *origin) {
  const double reach = std::fabs(text->length_mult) * (char_count > 0 ? char_count : 1) +
                       std::fabs(text->height_mult);
  const DGNPoint low{origin->x - reach, origin->y - reach, origin->z};
  const DGNPoint high{origin->x + reach, origin->y + reach, origin->z};
  DGNStoreRange(handle, text, &low, &high);
}

}  // namespace

DGNTextElement *DGNCreateTextElem(DGNFile *handle, const uint16_t *chars, int char_count,
                                  int font_id, int justification, double length_mult,
                                  double height_mult, double rotation, const DGNPoint *origin) {
  if (handle == nullptr || origin == nullptr || char_count < 0 ||
      (char_count > 0 && chars == nullptr)) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "DGNCreateTextElem() needs an open design file, an origin and the characters.");
    return nullptr;
  }
  DGNLoadTCB(handle);
  bool wide = false;
  const int stored = StoredTextBytes(chars, char_count, &wide);
  if (stored < 0) return nullptr;

  DGNTextElement *text = NewTextRecord(handle, chars, char_count, wide, font_id, justification);
  const int first_char = handle->dimension == 3 ? dgnraw::kText3DChars : dgnraw::kText2DChars;
  const int raw_bytes = (first_char + stored + 1) / 2 * 2;
  text->raw_bytes = raw_bytes;
  text->size = raw_bytes;
  text->raw_data = static_cast<unsigned char *>(CPLCalloc(1, raw_bytes));
  text->raw_data[dgnraw::kTextFont] = static_cast<unsigned char>(text->font_id);
  text->raw_data[dgnraw::kTextJustification] = static_cast<unsigned char>(text->justification);
  EncodeTextSize(handle, text, length_mult, height_mult);
  EncodeTextPlacement(handle, text, rotation, origin, stored);
  EncodeTextChars(text->raw_data + first_char, chars, char_count, wide);
  text->origin = *origin;
  DGNStoreElemCore(handle, text);
  StoreTextRange(handle, text, char_count, origin);
  return text;
}

DGNComplexHeaderElement *DGNCreateComplexHeaderFromElems(DGNFile *handle, int type,
                                                         int component_count,
                                                         DGNElement **components) {
  if (handle == nullptr ||
      (type != DGNTYPE_COMPLEX_CHAIN_HEADER && type != DGNTYPE_COMPLEX_SHAPE_HEADER)) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "DGNCreateComplexHeaderFromElems() makes complex chain and shape headers only.");
    return nullptr;
  }
  // The total length counts the header's words after its own field, then
  // every word of every component.
  int64_t words = (dgnraw::kComplexHeaderBytes - dgnraw::kComplexNumElems) / 2;
  for (int i = 0; i < component_count; ++i) {
    const DGNElement *c = components != nullptr ? components[i] : nullptr;
    if (c == nullptr || c->raw_data == nullptr || c->raw_bytes < dgnraw::kRangeEnd) {
      CPLError(CPLClassFailure, CPLNumGeneral,
               "DGNCreateComplexHeaderFromElems(): component %d has no raw bytes.", i);
      return nullptr;
    }
    words += c->raw_bytes / 2;
  }
  if (component_count < 1 || component_count > 0xFFFF || words > 0xFFFF) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "Attempt to create a complex element of %d components and %lld words failed.\n"
             "A complex header counts 1 to 65535 of each.",
             component_count, static_cast<long long>(words));
    return nullptr;
  }

  auto *header = static_cast<DGNComplexHeaderElement *>(
      CPLCalloc(1, static_cast<int>(sizeof(DGNComplexHeaderElement))));
  DGNClearElemCore(handle, header);
  header->kind = DGNKIND_COMPLEX_HEADER;
  header->type = type;
  header->total_length = static_cast<int32_t>(words);
  header->num_elements = component_count;
  header->raw_bytes = dgnraw::kComplexHeaderBytes;
  header->size = header->raw_bytes;
  header->raw_data = static_cast<unsigned char *>(CPLCalloc(1, header->raw_bytes));
  unsigned char *raw = header->raw_data;
  dgnraw::put_word(raw + dgnraw::kComplexTotalLength, static_cast<unsigned>(words));
  dgnraw::put_word(raw + dgnraw::kComplexNumElems, static_cast<unsigned>(component_count));
  DGNStoreElemCore(handle, header);

  // The components carry the complex bit; the header's range holds theirs.
  uint32_t low[3] = {0, 0, 0};
  uint32_t high[3] = {0, 0, 0};
  bool any = false;
  for (int i = 0; i < component_count; ++i) {
    DGNElement *c = components[i];
    c->complex = 0x80;
    DGNStoreElemCore(handle, c);
    uint32_t lo[3];
    uint32_t hi[3];
    if (!DGNGetRawExtents(handle, c->type, c->raw_data, c->raw_bytes, &lo[0], &lo[1], &lo[2],
                          &hi[0], &hi[1], &hi[2]))
      continue;
    for (int k = 0; k < 3; ++k) {
      if (!any || lo[k] < low[k]) low[k] = lo[k];
      if (!any || hi[k] > high[k]) high[k] = hi[k];
    }
    any = true;
  }
  const int at[6] = {dgnraw::kRangeLowX,  dgnraw::kRangeLowY,  dgnraw::kRangeLowZ,
                     dgnraw::kRangeHighX, dgnraw::kRangeHighY, dgnraw::kRangeHighZ};
  for (int k = 0; k < 3; ++k) {
    dgnraw::put_int32(raw + at[k], low[k]);
    dgnraw::put_int32(raw + at[k + 3], high[k]);
  }
  return header;
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

bool DGNWriteElement(DGNFile *handle, DGNElement *element) {
  if (handle == nullptr || handle->fp == nullptr || element == nullptr) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "DGNWriteElement() needs a design file open for update and an element.");
    return false;
  }
  if (!RawFitForWriting(element)) return false;
  if (!handle->index_built && !DGNBuildIndex(handle)) return false;
  // The writer moves the FILE itself: the read-ahead goes first.
  dgnstream::Drop(handle);
  // An append on its own is a batch of one, in the file when this returns.
  if (element->offset == -1) {
    if (DGNBatchAppend(handle, element) && DGNCommitBatch(handle)) return true;
    // Not in the file: the element stays a new one.
    element->offset = -1;
    element->element_id = -1;
    return false;
  }
  // What is pending joins the file first: the rewrite may concern it.
  if (!DGNCommitBatch(handle)) return false;
  if (!RewriteElement(handle, element)) {
    handle->write_failed = 1;
    return false;
  }
  return true;
}

bool DGNMarkElementDeleted(DGNFile *handle, int32_t offset, bool deleted) {
  if (handle == nullptr || handle->fp == nullptr) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "DGNMarkElementDeleted() needs a design file open for update.");
    return false;
  }
  if (!handle->index_built && !DGNBuildIndex(handle)) return false;
  if (!DGNCommitBatch(handle)) return false;
  const int k = ElementStartingAt(handle, offset, "mark an element deleted");
  if (k < 0) return false;
  FILE *fp = handle->fp;
  dgnstream::Drop(handle);
  unsigned char header[4];
  if (GetAt(fp, offset, header, 4) != 4 || dgnraw::IsEndMarker(header)) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "Cannot mark element %d at %d deleted: it cannot be read.", k,
             static_cast<int>(offset));
    return false;
  }
  // Only the deleted bit of the type byte changes: a single byte written in
  // place, so the element is either wholly live or wholly deleted.  The seek
  // past the element puts the byte on disk, or tells that it did not land.
  const unsigned char type_byte = static_cast<unsigned char>(
      deleted ? header[dgnraw::kTypeByte] | 0x80 : header[dgnraw::kTypeByte] & 0x7F);
  if (!PutAt(fp, offset + dgnraw::kTypeByte, &type_byte, 1) ||
      !SeekTo(fp, offset + dgnraw::ElementSize(header))) {
    CPLError(CPLClassFailure, CPLNumGeneral, "Error writing the deleted flag of element %d at %d.",
             k, static_cast<int>(offset));
    handle->write_failed = 1;
    return false;
  }
  DGNIndexEntry &entry = handle->element_index[k];
  entry.flags =
      static_cast<uint8_t>(deleted ? entry.flags | DGNEF_DELETED : entry.flags & ~DGNEF_DELETED);
  handle->next_element_id = k + 1;
  return true;
}

// ---------------------------------------------------------------------------
// Copying elements
// ---------------------------------------------------------------------------

namespace {

// Copies a multi-point record up to the end of its last vertex.
DGNElement *CopyMultiPoint(const DGNMultiPointElement *source) {
  const int n = source->num_vertices > 0 ? source->num_vertices : 0;
  const size_t used = static_cast<size_t>(reinterpret_cast<const char *>(source->vertices + n) -
                                          reinterpret_cast<const char *>(source));
  auto *mp = CopyRecord(source, used, sizeof(DGNMultiPointElement));
  mp->num_vertices = n;
  return mp;
}

// Copies a text record: the fields before the text, then the text and its terminator.
DGNElement *CopyText(const DGNTextElement *source) {
  const size_t head = static_cast<size_t>(source->text - reinterpret_cast<const char *>(source));
  const size_t length = std::strlen(source->text);
  auto *text = CopyRecord(source, head, head + length + 1);
  std::memcpy(text->text, source->text, length + 1);
  return text;
}

// Copies a tag value record with a text of its own.
DGNElement *CopyTagValue(const DGNTagValueElement *source) {
  auto *tag = CopyRecord(source, sizeof(DGNTagValueElement), sizeof(DGNTagValueElement));
  if (tag->tag_type == DGNTT_TEXT) tag->value.string = DuplicateText(tag->value.string);
  return tag;
}

// Copies a tag set record with its own name and definitions.
DGNElement *CopyTagSet(const DGNTagSetElement *source) {
  auto *set = CopyRecord(source, sizeof(DGNTagSetElement), sizeof(DGNTagSetElement));
  set->tag_set_name = DuplicateText(set->tag_set_name);
  const DGNTagDefinition *defs = set->tag_list;
  if (defs == nullptr || set->tag_count <= 0) {
    set->tag_list = nullptr;
    set->tag_count = 0;
    return set;
  }
  set->tag_list = static_cast<DGNTagDefinition *>(
      CPLMalloc(set->tag_count * static_cast<int>(sizeof(DGNTagDefinition))));
  for (int i = 0; i < set->tag_count; ++i) {
    DGNTagDefinition &def = set->tag_list[i];
    def = defs[i];
    def.name = DuplicateText(def.name);
    def.prompt = DuplicateText(def.prompt);
    if (def.type == DGNTT_TEXT) def.default_value.string = DuplicateText(def.default_value.string);
  }
  return set;
}

// A record of a fixed size, copied whole.
template <typename Record>
DGNElement *CopyFixed(const DGNElement *element) {
  return CopyRecord(static_cast<const Record *>(element), sizeof(Record), sizeof(Record));
}

// Copies the decoded record of an element by its kind; null for cones and
// unknown kinds, which are not copied.
DGNElement *CopyDecodedRecord(const DGNElement *element) {
  switch (element->kind) {
    case DGNKIND_CORE: return CopyRecord(element, sizeof(DGNElement), sizeof(DGNElement));
    case DGNKIND_MULTIPOINT:
      return CopyMultiPoint(static_cast<const DGNMultiPointElement *>(element));
    case DGNKIND_COLOR_TABLE: return CopyFixed<DGNColorTableElement>(element);
    case DGNKIND_TCB: return CopyFixed<DGNTCBElement>(element);
    case DGNKIND_ARC: return CopyFixed<DGNArcElement>(element);
    case DGNKIND_TEXT: return CopyText(static_cast<const DGNTextElement *>(element));
    case DGNKIND_COMPLEX_HEADER: return CopyFixed<DGNComplexHeaderElement>(element);
    case DGNKIND_CELL_HEADER: return CopyFixed<DGNCellHeaderElement>(element);
    case DGNKIND_TAG_VALUE: return CopyTagValue(static_cast<const DGNTagValueElement *>(element));
    case DGNKIND_TAG_SET: return CopyTagSet(static_cast<const DGNTagSetElement *>(element));
    case DGNKIND_CELL_LIBRARY: return CopyFixed<DGNCellLibraryElement>(element);
    default: return nullptr;
  }
}

}  // namespace

DGNElement *DGNCloneElement(DGNFile *, DGNFile *destination, const DGNElement *element) {
  if (element == nullptr) return nullptr;
  // The destination's units are wanted from here on (by the writer of the copy).
  if (destination != nullptr) DGNLoadTCB(destination);

  DGNElement *copy = CopyDecodedRecord(element);
  if (copy == nullptr) return nullptr;

  // The copy owns its own raw and attribute bytes.
  copy->raw_data = nullptr;
  copy->attr_data = nullptr;
  if (element->raw_bytes > 0 && element->raw_data != nullptr) {
    copy->raw_data = DuplicateBytes(element->raw_data, element->raw_bytes);
  } else {
    copy->raw_bytes = 0;
  }
  if (element->attr_bytes > 0 && element->attr_data != nullptr) {
    copy->attr_data = DuplicateBytes(element->attr_data, element->attr_bytes);
  } else {
    copy->attr_bytes = 0;
  }
  // The copy belongs to no file until it is written.
  copy->offset = -1;
  copy->element_id = -1;
  return copy;
}

// ---------------------------------------------------------------------------
// Creation from a seed file
// ---------------------------------------------------------------------------

namespace {

// What a new file takes from its seed: the TCB's bytes and the elements to
// copy after it, read whole before the new file is made.
struct SeedParts {
  unsigned char *tcb = nullptr;  // CPLMalloc'ed
  int tcb_bytes = 0;
  DGNElement **copies = nullptr;  // CPLMalloc'ed, each element owned
  int copy_count = 0;

  // Releases the TCB bytes and the elements (freed as the seed is closed).
  void Release() {
    CPLSysFree(tcb);
    for (int i = 0; i < copy_count; ++i) DGNFreeElement(nullptr, copies[i]);
    CPLSysFree(copies);
    *this = SeedParts();
  }
};

// Reads the seed's TCB and the elements creation copies (the second and
// third elements, the colour table or everything, as the flags say), so that
// the seed is complete and closed before the new file is created (which also
// makes a seed that is its own output safe).  False, reported, when the seed
// cannot serve.
bool ReadSeed(const char *seed_file, int32_t creation_flags, SeedParts *parts) {
  DGNFile *seed = DGNOpen(seed_file, false);
  if (seed == nullptr) return false;
  DGNSetOptions(seed, DGN_OPTION_CAPTURE_RAW);

  // The seed's first element is taken for its TCB; it must hold every field
  // that is patched.  Checked before the new file is created or truncated.
  DGNElement *tcb = DGNReadElement(seed);
  if (tcb == nullptr || tcb->type != DGNTYPE_TCB || tcb->raw_data == nullptr ||
      tcb->raw_bytes < dgnraw::kTcbMinBytes) {
    // A read that ran out of memory has said why.
    if (!seed->read_failed) {
      CPLError(CPLClassFailure, CPLNumGeneral,
               "Seed file `%s' does not start with a TCB element of at least %d bytes.", seed_file,
               dgnraw::kTcbMinBytes);
    }
    DGNFreeElement(seed, tcb);
    DGNClose(seed);
    return false;
  }

  int copy_capacity = 0;
  for (DGNElement *element = DGNReadElement(seed); element != nullptr;
       element = DGNReadElement(seed)) {
    const bool wanted = (creation_flags & DGN_CREATE_WHOLE_SEED) != 0 ||
                        (element->kind == DGNKIND_COLOR_TABLE &&
                         (creation_flags & DGN_CREATE_SEED_COLOR_TABLE) != 0) ||
                        element->element_id == 1 || element->element_id == 2;
    if (!wanted) {
      DGNFreeElement(seed, element);
      continue;
    }
    if (parts->copy_count == copy_capacity) {
      copy_capacity = copy_capacity * 2 + 8;
      parts->copies = static_cast<DGNElement **>(
          CPLRealloc(parts->copies, copy_capacity * static_cast<int>(sizeof(DGNElement *))));
    }
    parts->copies[parts->copy_count++] = element;
  }
  // Part of the seed could not be read (reported): a new file without it
  // would not be the copy of its seed that it claims to be.
  const bool whole = !seed->read_failed;
  parts->tcb_bytes = tcb->raw_bytes;
  parts->tcb = DuplicateBytes(tcb->raw_data, tcb->raw_bytes);
  DGNFreeElement(seed, tcb);
  DGNClose(seed);
  if (!whole) parts->Release();
  return whole;
}

// Sets the units and the global origin of the new TCB, unless the flags keep
// the seed's.
void PatchTcb(unsigned char *raw, int tcb_bytes, int32_t creation_flags, double origin_x,
              double origin_y, double origin_z, int32_t subunits_per_master,
              int32_t uor_per_subunit, const char *master_units, const char *sub_units) {
  if ((creation_flags & DGN_CREATE_SEED_UNITS) == 0) {
    PutUnitName(raw + dgnraw::kTcbMasterUnits, master_units);
    PutUnitName(raw + dgnraw::kTcbSubUnits, sub_units);
    PutInt32(raw + dgnraw::kTcbSubunitsPerMaster, subunits_per_master);
    PutInt32(raw + dgnraw::kTcbUorPerSubunit, uor_per_subunit);
  } else {
    const DGNBytes b{raw, tcb_bytes};
    subunits_per_master = b.int32(dgnraw::kTcbSubunitsPerMaster);
    uor_per_subunit = b.int32(dgnraw::kTcbUorPerSubunit);
  }
  if ((creation_flags & DGN_CREATE_SEED_ORIGIN) == 0) {
    // Stored in design units: master units times design units per master
    // unit (formed without wrapping, as the reader forms it).
    const double per_master = dgninternal::UnitProduct(uor_per_subunit, subunits_per_master);
    PutDFloat(raw + dgnraw::kTcbOriginX, origin_x * per_master);
    PutDFloat(raw + dgnraw::kTcbOriginY, origin_y * per_master);
    PutDFloat(raw + dgnraw::kTcbOriginZ, origin_z * per_master);
  }
}

// Writes a file holding the TCB and the end-of-design marker and opens it
// for update; null, reported, when it cannot (nothing that looks like a
// design file is left then).
DGNFile *WriteNewFile(const char *new_file, const unsigned char *tcb, int tcb_bytes) {
  FILE *fp = CPLFOpen(new_file, "wb");
  if (fp == nullptr) {
    CPLError(CPLClassFailure, CPLNumOpenFailed, "Failed to open output file: %s", new_file);
    return nullptr;
  }
  const bool written =
      CPLFWrite(tcb, 1, static_cast<size_t>(tcb_bytes), fp) == static_cast<size_t>(tcb_bytes) &&
      CPLFWrite(kEndMarker, 1, 2, fp) == 2;
  const bool closed = CPLFClose(fp) == 0;
  if (!written || !closed) {
    CPLError(CPLClassFailure, CPLNumGeneral, "Failed to write the TCB of new file: %s", new_file);
    // A TCB cut short is no design file: leave nothing that looks like one.
    std::remove(new_file);
    return nullptr;
  }
  return DGNOpen(new_file, true);
}

// Appends the seed's elements to the new file.  A seed element that cannot
// be written (a full disk) would leave a file without the seed's colour
// table, whose colours every reader then shows wrongly: false then (the
// writer has reported the cause).
bool CopySeedElements(DGNFile *created, const SeedParts &parts) {
  for (int i = 0; i < parts.copy_count; ++i) {
    // The seed is closed already: its elements are copied as read.
    DGNElement *copy = DGNCloneElement(nullptr, created, parts.copies[i]);
    if (copy == nullptr) continue;
    const bool written = DGNWriteElement(created, copy);
    DGNFreeElement(created, copy);
    if (!written) return false;
  }
  return true;
}

}  // namespace

DGNFile *DGNCreate(const char *new_file, const char *seed_file, int32_t creation_flags,
                   double origin_x, double origin_y, double origin_z, int32_t subunits_per_master,
                   int32_t uor_per_subunit, const char *master_units, const char *sub_units) {
  if (new_file == nullptr || seed_file == nullptr) {
    CPLError(CPLClassFailure, CPLNumGeneral, "DGNCreate() needs a new file and a seed file.");
    return nullptr;
  }
  const bool seed_units = (creation_flags & DGN_CREATE_SEED_UNITS) != 0;
  if (!seed_units && (subunits_per_master <= 0 || uor_per_subunit <= 0)) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "DGNCreate(): %d sub-units per master unit and %d design units per sub-unit: "
             "both must be positive.",
             subunits_per_master, uor_per_subunit);
    return nullptr;
  }

  SeedParts parts;
  if (!ReadSeed(seed_file, creation_flags, &parts)) return nullptr;
  // The new TCB: the seed's, with units and origin patched.
  PatchTcb(parts.tcb, parts.tcb_bytes, creation_flags, origin_x, origin_y, origin_z,
           subunits_per_master, uor_per_subunit, master_units, sub_units);

  // Making the new file empties any file of that name: never one that
  // another map is writing into, whose work would be lost.
  DGNFile *created = nullptr;
  if (!dgninternal::HeldForUpdateElsewhere(new_file))
    created = WriteNewFile(new_file, parts.tcb, parts.tcb_bytes);
  const bool copied = created != nullptr && CopySeedElements(created, parts);
  if (created != nullptr) created->write_behind = 1;
  parts.Release();
  if (created != nullptr && !copied) {
    DGNClose(created);
    std::remove(new_file);
    return nullptr;
  }
  // The new file's name is on the disk only once its folder is.
  if (created != nullptr && !PlatSyncFolderOf(new_file)) {
    CPLError(CPLClassFailure, CPLNumGeneral, "Cannot put the folder of new file %s on the disk.",
             new_file);
    DGNClose(created);
    std::remove(new_file);
    return nullptr;
  }
  return created;
}

// ---------------------------------------------------------------------------
// Helpers the write batch shares (dgn_internal.h)
// ---------------------------------------------------------------------------

bool dgninternal::FindAppendEnd(DGNFile *handle, int64_t *end) { return AppendEnd(handle, end); }

bool dgninternal::CheckRawForWriting(const DGNElement *element) {
  return RawFitForWriting(element);
}

int dgninternal::ElementAtOffset(const DGNFile *handle, int64_t offset, const char *doing) {
  return ElementStartingAt(handle, offset, doing);
}

void dgninternal::ReportWriteFailure(int raw_bytes, int64_t offset) {
  ReportFailedWrite(raw_bytes, offset);
}

bool dgninternal::GrowIndex(DGNFile *handle, int more) { return MakeIndexRoom(handle, more); }

void dgninternal::TakeOverColorTable(DGNFile *handle, const unsigned char *raw, int raw_bytes) {
  AdoptColorTable(handle, raw, raw_bytes);
}
