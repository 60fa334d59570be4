// Write batches: the one place that decides the order in which a change
// reaches a design file, so that a killed process or a power cut at any
// moment leaves every element whole, as it was or as it was meant to be.
//
// The file's end-of-design marker E is where a batch begins.  Appended
// elements are written from E on as they come, each followed by a fresh
// marker; the first one's two header bytes stay FF FF, so the file still
// ends at E and readers see nothing of the batch.  The commit then:
//   1. syncs the file: the bodies and the new marker are on the disk;
//   2. writes the first element's two header bytes over E (one sector,
//      cannot be torn): the whole batch joins the file at once, complex
//      headers with all their components;
//   3. syncs again when anything is to be retired, so that no deleted mark
//      can reach the disk before the new versions it makes way for;
//   4. marks the retired elements deleted and makes the queued rewrites.
// A rewrite in place of an element that lies in one 512-byte sector is one
// write, which the disk makes whole or not at all.  One that spans sectors
// could be torn into a live mixture of old and new bytes, so copies of the
// new versions are appended last in the batch and join the file in step 2
// (separate elements, outside any complex element); the old one is marked
// deleted and synced before its bytes are overwritten (type byte still
// deleted), synced, then brought back live with its new header, synced, and
// the copies leave again: the end-of-design marker goes back over the first
// of them, synced.  A crash in between leaves a copy (the new version) live;
// afterwards the file ends where it did, and element numbers are as if the
// copies had never been.
// A spanning rewrite of a complex component would leave, while the component
// is deleted, a live complex header whose line or area misses its points.
// So the header the caller names is marked deleted first, synced, before the
// component is; it comes back live (its own type byte) only once the
// component is live again, synced.  In between, the members are read as
// elements of their own, and the copy holds the new version.
#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "cpl_conv.h"
#include "cpl_error.h"
#include "dgn_bytes.h"
#include "dgn_internal.h"
#include "dgn_stream.h"
#include "dgnmodel.h"

namespace {

// A batch commits by itself, at a seal, once this many bytes wait: a sync
// per few megabytes keeps a large export fast and what a crash can take
// from it small.
constexpr int64_t kBatchBytes = 8 << 20;
// Writes in one sector of this size reach the disk whole or not at all.
constexpr int64_t kSectorBytes = 512;
// With write_behind, appended elements are written in pieces of this size.
constexpr size_t kHeldBytes = 256 << 10;
const unsigned char kMarker[2] = {dgnraw::kEndOfDesign, dgnraw::kEndOfDesign};

struct Rewrite {
  int32_t offset;  // the element rewritten in place
  int32_t copy;    // the appended copy of its new version, or -1
  int32_t header;  // the complex header hidden while it spans, or -1
  std::vector<unsigned char> raw;
};

struct Mark {
  size_t entries = 0;
  size_t retires = 0;
  size_t rewrites = 0;
  int64_t tail = -1;
};

}  // namespace

struct DGNWriteBatch {
  int64_t start = -1;                  // the old end-of-design marker; -1 while nothing is appended
  int64_t tail = -1;                   // where the next element goes (a marker stands there)
  unsigned char head[2] = {0, 0};      // header bytes of the first element
  int head_bytes = 0;                  // and its size
  std::vector<DGNIndexEntry> entries;  // the appended elements, in file order
  std::vector<int32_t> retires;
  std::vector<Rewrite> rewrites;
  std::vector<unsigned char> block;  // an element and the marker after it, as written
  // With write_behind: the bytes from `held_at` to the tail, not written yet.
  std::vector<unsigned char> held;
  int64_t held_at = -1;
  Mark sealed;  // what the last seal kept

  bool Empty() const { return entries.empty() && retires.empty() && rewrites.empty(); }
  void Clear() {
    start = tail = -1;
    held.clear();
    held_at = -1;
    entries.clear();
    retires.clear();
    rewrites.clear();
    sealed = Mark();
  }
};

namespace {

DGNWriteBatch *BatchOf(DGNFile *handle) {
  if (handle->write_batch == nullptr) handle->write_batch = new (std::nothrow) DGNWriteBatch();
  if (handle->write_batch == nullptr)
    CPLError(CPLClassFailure, CPLNumNoMemory, "Cannot start a write batch: out of memory.");
  return handle->write_batch;
}

bool Usable(DGNFile *handle, const char *what) {
  if (handle == nullptr || handle->fp == nullptr) {
    CPLError(CPLClassFailure, CPLNumGeneral, "%s needs a design file open for update.", what);
    return false;
  }
  if (!handle->index_built && !DGNBuildIndex(handle)) return false;
  dgnstream::Drop(handle);
  return true;
}

// A write that failed: reported by the caller; the handle remembers it.
bool Failed(DGNFile *handle) {
  handle->write_failed = 1;
  return false;
}

bool Sync(DGNFile *handle) {
  if (CPLFSync(handle->fp)) return true;
  CPLError(CPLClassFailure, CPLNumGeneral,
           "Cannot put the design file on the disk: the system refused to sync it.");
  return Failed(handle);
}

bool PutByte(DGNFile *handle, int64_t at, unsigned char value) {
  if (CPLFWriteAt(handle->fp, at, &value, 1)) return true;
  CPLError(CPLClassFailure, CPLNumGeneral, "Error writing the header of the element at %d.",
           static_cast<int>(at));
  return Failed(handle);
}

// Writes the held bytes and a marker after them; false, reported, when that
// fails: the held elements are then dropped from the batch.
bool Flush(DGNFile *handle, DGNWriteBatch *batch) {
  if (batch->held.empty()) return true;
  const size_t n = batch->held.size();
  bool ok;
  try {
    batch->held.insert(batch->held.end(), kMarker, kMarker + 2);
    ok = CPLFWriteAt(handle->fp, batch->held_at, batch->held.data(), batch->held.size());
  } catch (const std::bad_alloc &) {
    ok = false;
  }
  const int64_t at = batch->held_at;
  batch->held.clear();
  batch->held_at = -1;
  if (ok) return true;
  dgninternal::ReportWriteFailure(static_cast<int>(n), at);
  // Past the file's end and unlinked; the marker goes back where a header
  // may have landed, and the batch ends where the held bytes began.
  if (at != batch->start) CPLFWriteAt(handle->fp, at, kMarker, 2);
  size_t keep = 0;
  while (keep < batch->entries.size() && batch->entries[keep].offset < at) ++keep;
  batch->entries.resize(keep);
  batch->tail = at;
  if (batch->sealed.tail > at || batch->sealed.entries > keep) {
    batch->sealed.tail = at;
    batch->sealed.entries = keep;
  }
  if (keep == 0) batch->start = batch->tail = -1;
  return Failed(handle);
}

// Holds an element in memory (write_behind); written when much is held, and
// at the commit.
bool Hold(DGNWriteBatch *batch, const unsigned char *raw, int n) {
  try {
    if (batch->held.empty()) batch->held_at = batch->tail;
    batch->held.insert(batch->held.end(), raw, raw + n);
  } catch (const std::bad_alloc &) {
    CPLError(CPLClassFailure, CPLNumNoMemory,
             "Cannot append an element of %d bytes: out of memory.", n);
    return false;
  }
  if (batch->entries.empty())
    std::memcpy(&batch->held[batch->held.size() - static_cast<size_t>(n)], kMarker, 2);
  return true;
}

// Writes `raw` (n bytes) at the batch's tail with a marker after it; the
// first element of a batch keeps FF FF in its header bytes until the commit.
bool WriteAtTail(DGNFile *handle, DGNWriteBatch *batch, const unsigned char *raw, int n) {
  if (handle->write_behind) return Hold(batch, raw, n);
  std::vector<unsigned char> &block = batch->block;
  try {
    block.resize(static_cast<size_t>(n) + 2);
  } catch (const std::bad_alloc &) {
    CPLError(CPLClassFailure, CPLNumNoMemory,
             "Cannot append an element of %d bytes: out of memory.", n);
    return false;
  }
  std::memcpy(block.data(), raw, static_cast<size_t>(n));
  if (batch->entries.empty()) std::memcpy(block.data(), kMarker, 2);
  std::memcpy(block.data() + n, kMarker, 2);
  if (CPLFWriteAt(handle->fp, batch->tail, block.data(), block.size())) return true;
  dgninternal::ReportWriteFailure(n, batch->tail);
  // Whatever part landed lies past the file's end, unlinked; the marker at
  // the tail is put back so that a later commit cannot link it.
  if (!batch->entries.empty()) CPLFWriteAt(handle->fp, batch->tail, kMarker, 2);
  return Failed(handle);
}

// Queues `raw` for appending; its future offset and number in *offset, *id.
bool Append(DGNFile *handle, const unsigned char *raw, int n, int32_t *offset, int32_t *id) {
  DGNWriteBatch *batch = BatchOf(handle);
  if (batch == nullptr) return false;
  if (batch->start < 0) {
    int64_t end = 0;
    if (!dgninternal::FindAppendEnd(handle, &end)) return false;
    batch->start = batch->tail = end;
  }
  if (batch->tail + n + 2 > dgninternal::kMaxFileBytes) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "Cannot append an element of %d bytes at %lld: the file would exceed %d bytes.", n,
             static_cast<long long>(batch->tail), INT32_MAX);
    return false;
  }
  if (batch->held.size() + static_cast<size_t>(n) > kHeldBytes && !Flush(handle, batch))
    return false;
  DGNIndexEntry entry;
  dgninternal::FillIndexEntry(&entry, raw, static_cast<uint32_t>(batch->tail));
  try {
    // Room first, so that nothing can fail once the element is written.
    if (batch->entries.size() == batch->entries.capacity())
      batch->entries.reserve(batch->entries.size() * 2 + 64);
  } catch (const std::bad_alloc &) {
    CPLError(CPLClassFailure, CPLNumNoMemory, "Cannot queue an element: out of memory.");
    return false;
  }
  if (!WriteAtTail(handle, batch, raw, n)) return false;
  if (batch->entries.empty()) {
    std::memcpy(batch->head, raw, 2);
    batch->head_bytes = n;
  }
  *offset = static_cast<int32_t>(batch->tail);
  *id = handle->element_count + static_cast<int32_t>(batch->entries.size());
  batch->entries.push_back(entry);
  batch->tail += n;
  dgninternal::MergeElementRange(handle, entry, raw, n);
  dgninternal::TakeOverColorTable(handle, raw, n);
  return true;
}

// Step 2 of the commit: the batch's elements join the file and its index.
bool Link(DGNFile *handle, DGNWriteBatch *batch) {
  const int more = static_cast<int>(batch->entries.size());
  if (!dgninternal::GrowIndex(handle, more)) return Failed(handle);
  if (!CPLFWriteAt(handle->fp, batch->start, batch->head, 2)) {
    dgninternal::ReportWriteFailure(batch->head_bytes, batch->start);
    return Failed(handle);
  }
  std::memcpy(handle->element_index + handle->element_count, batch->entries.data(),
              static_cast<size_t>(more) * sizeof(DGNIndexEntry));
  handle->element_count += more;
  handle->next_element_id = handle->element_count;
  handle->append_offset = static_cast<int32_t>(batch->tail);
  // The stream stands on the new end-of-design marker.
  CPLFSeek(handle->fp, static_cast<long>(batch->tail), SEEK_SET);
  return true;
}

void NoteDeleted(DGNFile *handle, int32_t offset) {
  const int k = dgninternal::ElementAtOffset(handle, offset, "find a retired element");
  if (k >= 0) handle->element_index[k].flags |= DGNEF_DELETED;
}

bool MarkDeleted(DGNFile *handle, int32_t offset) {
  unsigned char type_byte = 0;
  if (CPLFReadAt(handle->fp, offset + dgnraw::kTypeByte, &type_byte, 1) != 1 ||
      !PutByte(handle, offset + dgnraw::kTypeByte, static_cast<unsigned char>(type_byte | 0x80)))
    return Failed(handle);
  NoteDeleted(handle, offset);
  return true;
}

bool InOneSector(int64_t offset, int n) {
  return offset / kSectorBytes == (offset + n - 1) / kSectorBytes;
}

// The copies of the spanning rewrites are the file's last elements: the
// end-of-design marker goes back over the first, and is synced before
// anything else is written there.
bool DropCopies(DGNFile *handle, DGNWriteBatch *batch) {
  int32_t first = -1;
  int copies = 0;
  for (const Rewrite &r : batch->rewrites) {
    if (r.copy <= 0) continue;
    if (first < 0 || r.copy < first) first = r.copy;
    ++copies;
  }
  if (copies == 0) return true;
  if (!CPLFWriteAt(handle->fp, first, kMarker, 2)) {
    dgninternal::ReportWriteFailure(2, first);
    return Failed(handle);
  }
  if (!Sync(handle)) return false;
  handle->element_count -= copies;
  handle->next_element_id = handle->element_count;
  handle->append_offset = first;
  CPLFSeek(handle->fp, static_cast<long>(first), SEEK_SET);
  return true;
}

// A complex header hidden for the spanning rewrites: where, and its type
// byte as it was.
struct Hidden {
  int32_t offset;
  unsigned char type_byte;
};

// Marks deleted the live complex headers of the spanning rewrites, each
// once, and syncs; `hidden` gets them with their type bytes.
bool HideHeaders(DGNFile *handle, const DGNWriteBatch *batch, std::vector<Hidden> *hidden) {
  for (const Rewrite &r : batch->rewrites) {
    if (r.copy < 0 || r.header < 0) continue;
    bool seen = false;
    for (const Hidden &h : *hidden) seen = seen || h.offset == r.header;
    if (seen) continue;
    unsigned char type_byte = 0;
    if (CPLFReadAt(handle->fp, r.header + dgnraw::kTypeByte, &type_byte, 1) != 1) {
      CPLError(CPLClassFailure, CPLNumGeneral, "Cannot read the complex header at %d.", r.header);
      return Failed(handle);
    }
    if ((type_byte & 0x80) != 0) continue;  // deleted already: it collects nothing
    hidden->push_back(Hidden{r.header, type_byte});
  }
  if (hidden->empty()) return true;
  for (const Hidden &h : *hidden)
    if (!MarkDeleted(handle, h.offset)) return false;
  return Sync(handle);
}

// Brings the hidden complex headers back live, synced.
bool ShowHeaders(DGNFile *handle, const std::vector<Hidden> &hidden) {
  if (hidden.empty()) return true;
  for (const Hidden &h : hidden) {
    if (!PutByte(handle, h.offset + dgnraw::kTypeByte, h.type_byte)) return false;
    const int k = dgninternal::ElementAtOffset(handle, h.offset, "find a complex header");
    if (k >= 0) {
      DGNIndexEntry &entry = handle->element_index[k];
      entry.flags = static_cast<uint8_t>(entry.flags & ~DGNEF_DELETED);
    }
  }
  return Sync(handle);
}

// Steps 3 and 4 of the commit (the batch's appends are linked already).
bool RetireAndRewrite(DGNFile *handle, DGNWriteBatch *batch) {
  if (batch->retires.empty() && batch->rewrites.empty()) return true;
  if (!Sync(handle)) return false;
  std::vector<Hidden> hidden;
  if (!HideHeaders(handle, batch, &hidden)) return false;
  bool spanning = false;
  for (const Rewrite &r : batch->rewrites) {
    if (r.copy >= 0) {
      spanning = true;
      if (!MarkDeleted(handle, r.offset)) return false;
    } else if (!CPLFWriteAt(handle->fp, r.offset, r.raw.data(), r.raw.size())) {
      dgninternal::ReportWriteFailure(static_cast<int>(r.raw.size()), r.offset);
      return Failed(handle);
    }
  }
  for (const int32_t offset : batch->retires)
    if (!MarkDeleted(handle, offset)) return false;
  if (spanning) {
    if (!Sync(handle)) return false;
    for (const Rewrite &r : batch->rewrites) {
      if (r.copy < 0) continue;
      // Bytes 1.. with the type byte still deleted: a torn write is a
      // deleted element, which readers pass over.
      std::vector<unsigned char> body(r.raw.begin() + 1, r.raw.end());
      body[0] = static_cast<unsigned char>(body[0] | 0x80);
      if (!CPLFWriteAt(handle->fp, r.offset + 1, body.data(), body.size())) {
        dgninternal::ReportWriteFailure(static_cast<int>(r.raw.size()), r.offset);
        return Failed(handle);
      }
    }
    if (!Sync(handle)) return false;
    for (const Rewrite &r : batch->rewrites) {
      if (r.copy < 0) continue;
      if (!CPLFWriteAt(handle->fp, r.offset, r.raw.data(), 2)) {
        dgninternal::ReportWriteFailure(static_cast<int>(r.raw.size()), r.offset);
        return Failed(handle);
      }
    }
    if (!Sync(handle)) return false;
    if (!ShowHeaders(handle, hidden)) return false;
    if (!DropCopies(handle, batch)) return false;
  }
  for (const Rewrite &r : batch->rewrites) {
    const int k = dgninternal::ElementAtOffset(handle, r.offset, "find a rewritten element");
    if (k >= 0)
      dgninternal::FillIndexEntry(&handle->element_index[k], r.raw.data(),
                                  static_cast<uint32_t>(r.offset));
  }
  return true;
}

// Appends the copies of the spanning rewrites, last in the batch.  A copy
// stands alone: it must not join a complex element before it.
bool AppendCopies(DGNFile *handle, DGNWriteBatch *batch) {
  for (Rewrite &r : batch->rewrites) {
    if (r.copy != 0) continue;
    std::vector<unsigned char> copy = r.raw;
    copy[dgnraw::kLevelByte] = static_cast<unsigned char>(copy[dgnraw::kLevelByte] & 0x7F);
    int32_t id = -1;
    if (!Append(handle, copy.data(), static_cast<int>(copy.size()), &r.copy, &id)) {
      // Without its copy the rewrite cannot be made safely: none is made.
      batch->rewrites.clear();
      return Failed(handle);
    }
  }
  return true;
}

}  // namespace

void dgninternal::ReleaseBatch(DGNFile *handle) {
  delete handle->write_batch;
  handle->write_batch = nullptr;
}

bool DGNBatchAppend(DGNFile *handle, DGNElement *element) {
  if (!Usable(handle, "DGNBatchAppend()") || element == nullptr) return false;
  if (!dgninternal::CheckRawForWriting(element)) return false;
  int32_t offset = -1;
  int32_t id = -1;
  if (!Append(handle, element->raw_data, element->raw_bytes, &offset, &id)) return false;
  element->offset = offset;
  element->element_id = id;
  element->size = element->raw_bytes;
  return true;
}

bool DGNBatchRetire(DGNFile *handle, int32_t offset) {
  if (!Usable(handle, "DGNBatchRetire()")) return false;
  if (dgninternal::ElementAtOffset(handle, offset, "mark an element deleted") < 0) return false;
  DGNWriteBatch *batch = BatchOf(handle);
  if (batch == nullptr) return false;
  try {
    batch->retires.push_back(offset);
  } catch (const std::bad_alloc &) {
    CPLError(CPLClassFailure, CPLNumNoMemory, "Cannot queue a deleted mark: out of memory.");
    return false;
  }
  return true;
}

bool DGNBatchRewrite(DGNFile *handle, DGNElement *element, int32_t complex_header) {
  if (!Usable(handle, "DGNBatchRewrite()") || element == nullptr) return false;
  if (!dgninternal::CheckRawForWriting(element)) return false;
  const int n = element->raw_bytes;
  const int64_t offset = element->offset;
  const int k = dgninternal::ElementAtOffset(handle, offset, "rewrite an element");
  if (k < 0) return false;
  if (complex_header >= offset) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "Cannot rewrite element %d in place: its complex header at %d does not precede it.", k,
             complex_header);
    return false;
  }
  if (complex_header >= 0 &&
      dgninternal::ElementAtOffset(handle, complex_header, "find a complex header") < 0)
    return false;
  unsigned char header[4];
  if (CPLFReadAt(handle->fp, offset, header, 4) != 4 || dgnraw::ElementSize(header) != n) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "Cannot rewrite element %d in place: it does not have the new element's %d bytes.", k,
             n);
    return false;
  }
  DGNWriteBatch *batch = BatchOf(handle);
  if (batch == nullptr) return false;
  Rewrite r;
  r.offset = static_cast<int32_t>(offset);
  r.copy = -1;
  r.header = complex_header;
  try {
    r.raw.assign(element->raw_data, element->raw_data + n);
    if (batch->rewrites.size() == batch->rewrites.capacity())
      batch->rewrites.reserve(batch->rewrites.size() * 2 + 4);
  } catch (const std::bad_alloc &) {
    CPLError(CPLClassFailure, CPLNumNoMemory, "Cannot queue a rewrite: out of memory.");
    return false;
  }
  // Spanning sectors: its copy is appended at the commit (copy 0 until then).
  if (!InOneSector(offset, n)) r.copy = 0;
  batch->rewrites.push_back(std::move(r));
  element->element_id = k;
  element->size = n;
  return true;
}

bool DGNBatchSeal(DGNFile *handle) {
  if (handle == nullptr || handle->write_batch == nullptr) return true;
  DGNWriteBatch *batch = handle->write_batch;
  batch->sealed.entries = batch->entries.size();
  batch->sealed.retires = batch->retires.size();
  batch->sealed.rewrites = batch->rewrites.size();
  batch->sealed.tail = batch->tail;
  if (batch->tail - batch->start < kBatchBytes) return true;
  return DGNCommitBatch(handle);
}

void DGNAbortBatch(DGNFile *handle) {
  if (handle == nullptr || handle->write_batch == nullptr) return;
  DGNWriteBatch *batch = handle->write_batch;
  const Mark m = batch->sealed;
  if (batch->entries.size() > m.entries) {
    if (m.entries == 0) {
      // Nothing of the batch's appends stays; the first one's header was
      // never written.
      batch->held.clear();
    } else if (batch->held_at >= 0 && m.tail >= batch->held_at) {
      // The dropped elements were only held.
      batch->held.resize(static_cast<size_t>(m.tail - batch->held_at));
    } else {
      // The first dropped element's header stands at the sealed tail: the
      // marker goes back over it, so that no later commit links it.
      batch->held.clear();
      if (!CPLFWriteAt(handle->fp, m.tail, kMarker, 2)) Failed(handle);
    }
    if (batch->held.empty()) batch->held_at = -1;
  }
  batch->entries.resize(m.entries);
  batch->retires.resize(m.retires);
  batch->rewrites.resize(m.rewrites);
  if (m.entries == 0) {
    batch->start = batch->tail = -1;
  } else {
    batch->tail = m.tail;
  }
}

bool DGNCommitBatch(DGNFile *handle) {
  if (handle == nullptr || handle->write_batch == nullptr || handle->write_batch->Empty())
    return true;
  DGNWriteBatch *batch = handle->write_batch;
  dgnstream::Drop(handle);
  bool ok = AppendCopies(handle, batch);
  if (ok && !batch->entries.empty()) ok = Flush(handle, batch);
  if (ok && !batch->entries.empty()) ok = Sync(handle) && Link(handle, batch);
  // Nothing is retired unless its new version joined the file.
  ok = ok && RetireAndRewrite(handle, batch);
  batch->Clear();
  return ok;
}
