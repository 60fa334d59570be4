// Engine-internal helpers: sanitizer poisoning of the handle's element buffer
// and the test hook for the element index limits.  Not for the plug-in.
#ifndef DGN_DGN_INTERNAL_H
#define DGN_DGN_INTERNAL_H

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "dgn_bytes.h"
#include "dgnmodel.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DGN_HAVE_ASAN 1
#endif
#endif
#if !defined(DGN_HAVE_ASAN) && defined(__SANITIZE_ADDRESS__)
#define DGN_HAVE_ASAN 1
#endif

#if defined(DGN_HAVE_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace dgninternal {

// The kind the element index records for an element of this type and level.
// Index building and appending share it, so that an appended entry equals the
// one a fresh index of the file gives.  (Type 1 is recorded as kind 1, though
// it decodes as a cell library.)
inline uint8_t IndexKind(int type, int level) {
  switch (type) {
    case DGNTYPE_LINE:
    case DGNTYPE_LINE_STRING:
    case DGNTYPE_SHAPE:
    case DGNTYPE_CURVE:
    case DGNTYPE_BSPLINE: return DGNKIND_MULTIPOINT;
    case DGNTYPE_GROUP_DATA: return level == 1 ? DGNKIND_COLOR_TABLE : DGNKIND_CORE;
    case DGNTYPE_ELLIPSE:
    case DGNTYPE_ARC: return DGNKIND_ARC;
    case DGNTYPE_COMPLEX_CHAIN_HEADER:
    case DGNTYPE_COMPLEX_SHAPE_HEADER:
    case DGNTYPE_3DSURFACE_HEADER:
    case DGNTYPE_3DSOLID_HEADER: return DGNKIND_COMPLEX_HEADER;
    case DGNTYPE_TEXT: return DGNKIND_TEXT;
    case DGNTYPE_TAG_VALUE: return DGNKIND_TAG_VALUE;
    case DGNTYPE_APPLICATION_ELEM: return level == 24 ? DGNKIND_TAG_SET : DGNKIND_CORE;
    case DGNTYPE_TCB: return DGNKIND_TCB;
    case DGNTYPE_CONE: return DGNKIND_CONE;
    default: return DGNKIND_CORE;
  }
}

// Fills an index entry for the element at `offset` from its first two raw
// bytes.  Index building and appending share it.
inline void FillIndexEntry(DGNIndexEntry *entry, const unsigned char *raw, uint32_t offset) {
  const int level = raw[dgnraw::kLevelByte] & 0x3F;
  const int type = raw[dgnraw::kTypeByte] & 0x7F;
  entry->level = static_cast<uint8_t>(level);
  entry->type = static_cast<uint8_t>(type);
  entry->kind = IndexKind(type, level);
  entry->flags = 0;
  if (raw[dgnraw::kLevelByte] & 0x80) entry->flags |= DGNEF_COMPLEX;
  if (raw[dgnraw::kTypeByte] & 0x80) entry->flags |= DGNEF_DELETED;
  entry->offset = offset;
}

// Widens the handle's file extents by one element's stored range (raw range
// coding), or starts them with it.  Index building and appending share it, so
// a handle that wrote elements holds the extents a fresh index would give.
inline void MergeBounds(DGNFile *handle, const uint32_t lo[3], const uint32_t hi[3]) {
  if (!handle->got_bounds) {
    handle->min_x = lo[0];
    handle->min_y = lo[1];
    handle->min_z = lo[2];
    handle->max_x = hi[0];
    handle->max_y = hi[1];
    handle->max_z = hi[2];
    handle->got_bounds = 1;
    return;
  }
  if (lo[0] < handle->min_x) handle->min_x = lo[0];
  if (lo[1] < handle->min_y) handle->min_y = lo[1];
  if (lo[2] < handle->min_z) handle->min_z = lo[2];
  if (hi[0] > handle->max_x) handle->max_x = hi[0];
  if (hi[1] > handle->max_y) handle->max_y = hi[1];
  if (hi[2] > handle->max_z) handle->max_z = hi[2];
}

// Widens the handle's file extents with the stored range of an element that
// is neither deleted nor a component (raw: its bytes), as index building
// does for the same element.
inline void MergeElementRange(DGNFile *handle, const DGNIndexEntry &entry, const unsigned char *raw,
                              int raw_bytes) {
  uint32_t lo[3];
  uint32_t hi[3];
  if (entry.flags != 0 || !DGNGetRawExtents(handle, entry.type, raw, raw_bytes, &lo[0], &lo[1],
                                            &lo[2], &hi[0], &hi[1], &hi[2])) {
    return;
  }
  MergeBounds(handle, lo, hi);
}

// Master units divided by the scale often come back a hair off the whole
// number of design units they stand for (0.29 m / 0.01 m is
// 28.999999999999996): a design value within this much of a whole number is
// taken as that number before it is truncated or rounded to a stored one.
constexpr double kWholeDesignTolerance = 1e-6;

// Design units per master unit: the product of the TCB's two unit counts,
// formed exactly so that large counts cannot wrap.  Reading and creation
// share it.
inline double UnitProduct(int32_t uor_per_subunit, int32_t subunits_per_master) {
  return static_cast<double>(static_cast<int64_t>(uor_per_subunit) * subunits_per_master);
}

// Limits a design value to what a stored 32-bit coordinate can hold (the
// edge of the design plane); a value that is not a number becomes 0.
inline double ClampDesign(double value) {
  if (std::isnan(value)) return 0.0;
  if (value > dgnraw::kMaxDesign) return dgnraw::kMaxDesign;
  if (value < -dgnraw::kMaxDesign) return -dgnraw::kMaxDesign;
  return value;
}

// The design value, or the whole number within kWholeDesignTolerance of it.
inline double SnapToWhole(double design) {
  const double whole = std::round(design);
  return std::fabs(design - whole) <= kWholeDesignTolerance ? whole : design;
}

// The stored 32-bit coordinate of a design value on the design plane (as
// ClampDesign leaves it): SnapToWhole(design) truncated towards zero, without
// a call to round.  Only the whole number next to the truncation, away from
// zero, can be within the tolerance and differ from it; the fraction and its
// distance to 1 are exact in binary floating point, as is the difference
// SnapToWhole measures, so the two agree for every value.
inline int32_t StoredDesign(double design) {
  const int32_t whole = static_cast<int32_t>(design);
  const double fraction = design - static_cast<double>(whole);  // exact, in (-1, 1)
  if (1.0 - fraction <= kWholeDesignTolerance) return whole + 1;
  if (1.0 + fraction <= kWholeDesignTolerance) return whole - 1;
  return whole;
}

// Marks the bytes of elem_buffer past elem_bytes as unreadable in sanitizer
// builds, so that a decoder reading beyond the element it decodes (into what a
// previous, longer element left behind) fails at once.
inline void PoisonElementTail(DGNFile *handle) {
#if defined(DGN_HAVE_ASAN)
  int used = handle->elem_bytes;
  if (used < 0) used = 0;
  if (used > DGN_ELEM_BUFFER_BYTES) used = DGN_ELEM_BUFFER_BYTES;
  ASAN_POISON_MEMORY_REGION(handle->elem_buffer + used,
                            static_cast<size_t>(DGN_ELEM_BUFFER_BYTES - used));
#else
  (void)handle;
#endif
}

// Makes the whole of elem_buffer writable again (before it is refilled or freed).
inline void UnpoisonElementBuffer(DGNFile *handle) {
#if defined(DGN_HAVE_ASAN)
  ASAN_UNPOISON_MEMORY_REGION(handle->elem_buffer, sizeof handle->elem_buffer);
#else
  (void)handle;
#endif
}

// Marks `bytes` bytes at `block` unreadable (sanitizer builds): a kept record
// block while nobody owns it, or the unused tail of one lent out.
inline void PoisonBlock(void *block, size_t bytes) {
#if defined(DGN_HAVE_ASAN)
  ASAN_POISON_MEMORY_REGION(block, bytes);
#else
  (void)block;
  (void)bytes;
#endif
}

// Makes `bytes` bytes at `block` usable again.
inline void UnpoisonBlock(void *block, size_t bytes) {
#if defined(DGN_HAVE_ASAN)
  ASAN_UNPOISON_MEMORY_REGION(block, bytes);
#else
  (void)block;
  (void)bytes;
#endif
}

// Counts the files the calling thread has open (DGNOpen, DGNClose): decoded
// records reuse a kept block only while one is open, and the last close
// releases it.
void NoteFileOpened();
void NoteFileClosed();

// True, after the report a refused open for update makes, when another handle
// (in this process or another) holds the file at `path` open for update: a
// new file must not be made over it.  False when it exists unheld or not at
// all.
bool HeldForUpdateElsewhere(const char *path);

// Largest design file the engine opens or writes: element offsets live in the
// int32 `offset` of an element and are sought with a long, 32 bits wide in
// the 32-bit builds.  Files of 2 GiB and more are refused at open.
constexpr int64_t kMaxFileBytes = 0x7FFFFFFF;

// Largest number of index entries: the entry array's byte size must stay within
// the int that the checked allocator takes.
constexpr int64_t kMaxIndexEntries = 0x7FFFFFFF / static_cast<int64_t>(sizeof(DGNIndexEntry));
// Largest element offset an index entry can hold.
constexpr int64_t kMaxIndexOffset = 0xFFFFFFFFLL;

// ---- Shared by the writer (dgnwrite.cpp) and the write batch (dgnbatch.cpp)

// Finds where the next element goes: right after the last indexed element,
// on the end-of-design marker (or the end of the file).  False, reported,
// when it cannot be read or elements the index does not cover follow it.
bool FindAppendEnd(DGNFile *handle, int64_t *end);
// Checks the raw bytes an element must have to be written; reports and
// gives false when they are unusable.
bool CheckRawForWriting(const DGNElement *element);
// The number of the file's element that starts at `offset`, or -1 (reported
// as "Cannot <doing> at <offset>").
int ElementAtOffset(const DGNFile *handle, int64_t offset, const char *doing);
// Reports a failed write of an element of `raw_bytes` bytes at `offset`.
void ReportWriteFailure(int raw_bytes, int64_t offset);
// Makes room in the element index for `more` entries; false, reported, when
// it cannot grow.
bool GrowIndex(DGNFile *handle, int more);
// A colour table appended to a file without one becomes the handle's.
void TakeOverColorTable(DGNFile *handle, const unsigned char *raw, int raw_bytes);
// Releases the handle's write batch (DGNClose).
void ReleaseBatch(DGNFile *handle);

}  // namespace dgninternal

// Test hook: lowers the index limits (entries, byte offset) so that tests can
// reach the "file does not fit the index" path with small files.  Values <= 0
// restore the defaults.
void DGNSetIndexLimitsForTest(int64_t max_entries, int64_t max_offset);

#endif  // DGN_DGN_INTERNAL_H
