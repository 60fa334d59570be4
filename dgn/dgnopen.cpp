// Opening and closing design files, and the test of a file's first bytes.
#include <cstring>

#include "cpl_conv.h"
#include "cpl_error.h"
#include "dgn_internal.h"
#include "dgn_stream.h"
#include "dgnmodel.h"
#include "platform.h"

namespace {

// A design file has no header of its own: its first four bytes are the header
// of its first element, which is either the TCB (type 9, level 8, 766 words to
// follow; 0xC8 in byte 0 marks a 3D file) or a type-5 element of 23 words.
const unsigned char kHeaderPatterns[][4] = {
    {0x08, 0x05, 0x17, 0x00},  // 2D, type-5 element first
    {0x08, 0x09, 0xFE, 0x02},  // 2D TCB
    {0xC8, 0x09, 0xFE, 0x02},  // 3D TCB
};

constexpr int kHeaderProbeBytes = 512;

// The report of a file that another handle holds open for update.
void ReportHeldForUpdate(const char *path) {
  CPLError(CPLClassFailure, CPLNumOpenFailed,
           "File `%s' is open for update elsewhere (by another map of this or another "
           "program); it cannot be opened for update until that map is closed.\n",
           path);
}

// Closes a stream that DGNOpen will not hand out, with its update lock.
void CloseRefused(FILE *fp, bool locked) {
  if (locked) PlatUnlockForUpdate(fp);
  CPLFClose(fp);
}

// An update appends after the last element the stream reaches.  A stream that
// stops at an element that does not fit in the file (a word count gone wrong,
// a file cut short) has bytes after that point that no reader reaches and an
// append would overwrite for good: such a file is not opened for update.  A
// stream that ends at the end-of-design marker, whatever follows it, or at
// the very end of the file is whole.  Indexing the stream now also means
// that the first append need not.
bool StreamFitForUpdate(DGNFile *handle, const char *path) {
  if (!DGNBuildIndex(handle)) return false;  // reported: the cause stands as the message
  if (handle->stream_cut) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "File `%s' cannot be opened for update: its element stream stops at offset %lld, "
             "at an element that does not fit in the file of %lld bytes, and an append would "
             "overwrite the bytes after it.\n",
             path, static_cast<long long>(handle->stream_end),
             static_cast<long long>(handle->file_bytes));
    return false;
  }
  return true;
}

// Opens the file at `path` for reading, and writing too for an update, and
// gives its size in `file_bytes`; null, reported, when it cannot be opened or
// is no file the engine can move about in.
FILE *OpenRandomAccess(const char *path, bool update, int64_t *file_bytes) {
  FILE *fp = CPLFOpen(path, update ? "rb+" : "rb");
  if (fp == nullptr) {
    CPLError(CPLClassFailure, CPLNumOpenFailed, "Unable to open `%s' for read access.\n", path);
    return nullptr;
  }
  // The engine moves about in a design file (index, rewind, element by
  // number): a pipe or a device cannot serve it, and reading one would stop
  // at whatever had arrived.  Offsets of 2 GiB and more fit neither the
  // element offsets nor the seeks of the 32-bit builds.
  *file_bytes = PlatStreamFileSize(fp);
  if (*file_bytes < 0) {
    CPLError(CPLClassFailure, CPLNumOpenFailed,
             "`%s' is not a regular file; a design file is read with random access, which a "
             "pipe or a device cannot give.\n",
             path);
    CPLFClose(fp);
    return nullptr;
  }
  if (*file_bytes > dgninternal::kMaxFileBytes) {
    CPLError(CPLClassFailure, CPLNumOpenFailed,
             "File `%s' has %lld bytes; design files of 2 GiB (%lld bytes) or more are not "
             "supported.\n",
             path, static_cast<long long>(*file_bytes),
             static_cast<long long>(dgninternal::kMaxFileBytes) + 1);
    CPLFClose(fp);
    return nullptr;
  }
  return fp;
}

// Takes the update lock of a stream opened for update; `locked` says whether
// a lock is now held.  False, reported and with the stream closed, when
// another handle holds it.
bool TakeUpdateLock(FILE *fp, const char *path, bool *locked) {
  // One writer at a time: a second handle open for update, here or in
  // another process, would append over the first one's elements.  Readers
  // are not held up.  Taken before anything is read, so that what the checks
  // after it see stays true while the handle is open.
  const PlatLockResult lock = PlatLockForUpdate(fp);
  if (lock == PLAT_LOCK_BUSY) {
    ReportHeldForUpdate(path);
    CPLFClose(fp);
    return false;
  }
  // A file system that keeps no locks still serves a lone writer.
  *locked = lock == PLAT_LOCK_TAKEN;
  return true;
}

// Reads the first bytes of the file and leaves the stream at its start again;
// false, reported, when they do not begin a design file.  `dimension` gets 3
// when the first element is a 3D TCB, else 2.
bool ProbeHeader(FILE *fp, const char *path, int *dimension) {
  unsigned char header[kHeaderProbeBytes];
  const size_t got = CPLFRead(header, 1, sizeof header, fp);
  // A file too short to hold one element header is no design file, whatever
  // the bytes it does hold.
  if (got < 4 || !DGNTestOpen(header, static_cast<int>(got))) {
    CPLError(CPLClassFailure, CPLNumGeneral, "File `%s' does not have expected DGN header.\n",
             path);
    return false;
  }
  *dimension = header[0] == 0xC8 ? 3 : 2;
  CPLFRewind(fp);
  return true;
}

// A new handle on the stream of a file that passed the checks above, with
// the units of a file whose TCB has not been read yet.
DGNFile *NewHandle(FILE *fp, int dimension, int64_t file_bytes, bool locked) {
  auto *handle = static_cast<DGNFile *>(CPLCalloc(1, static_cast<int>(sizeof(DGNFile))));
  handle->fp = fp;
  handle->next_element_id = 0;
  handle->got_tcb = 0;
  handle->dimension = dimension;
  handle->options = 0;
  handle->scale = 1.0;
  handle->origin_x = handle->origin_y = handle->origin_z = 0.0;
  handle->elem_bytes = 0;
  handle->file_bytes = file_bytes;
  handle->update_locked = locked ? 1 : 0;
  dgninternal::PoisonElementTail(handle);
  dgninternal::NoteFileOpened();
  return handle;
}
}  // namespace

bool dgninternal::HeldForUpdateElsewhere(const char *path) {
  FILE *fp = CPLFOpen(path, "rb+");
  if (fp == nullptr) return false;
  const PlatLockResult lock = PlatLockForUpdate(fp);
  if (lock == PLAT_LOCK_TAKEN) PlatUnlockForUpdate(fp);
  CPLFClose(fp);
  if (lock != PLAT_LOCK_BUSY) return false;
  ReportHeldForUpdate(path);
  return true;
}

bool DGNTestOpen(const unsigned char *header, int count) {
  // Too few bytes to tell: the caller decides what a short file means.
  if (count < 4) return true;
  if (header == nullptr) return false;
  for (const auto &pattern : kHeaderPatterns) {
    if (std::memcmp(header, pattern, 4) == 0) return true;
  }
  return false;
}

DGNFile *DGNOpen(const char *path, bool update) {
  if (path == nullptr) path = "";
  int64_t file_bytes = 0;
  FILE *fp = OpenRandomAccess(path, update, &file_bytes);
  if (fp == nullptr) return nullptr;
  bool locked = false;
  if (update && !TakeUpdateLock(fp, path, &locked)) return nullptr;
  // The handle reads ahead in blocks of its own (dgn_stream.h), so the
  // stream's buffer would only add a copy; and a buffered stream opened for
  // update turns every seek between the writes of an append into a read of
  // a whole block.  Unbuffered, each read and write is one system call.
  CPLFSetBuffering(fp, nullptr, _IONBF, 0);

  int dimension = 2;
  if (!ProbeHeader(fp, path, &dimension)) {
    CloseRefused(fp, locked);
    return nullptr;
  }
  DGNFile *handle = NewHandle(fp, dimension, file_bytes, locked);
  handle->for_update = update ? 1 : 0;
  if (update && !StreamFitForUpdate(handle, path)) {
    DGNClose(handle);
    return nullptr;
  }
  return handle;
}

void DGNSetOptions(DGNFile *handle, int options) {
  if (handle != nullptr) handle->options = options;
}

bool DGNClose(DGNFile *handle) {
  if (handle == nullptr) return true;
  bool durable = true;
  if (handle->fp != nullptr) {
    if (handle->for_update) {
      // What this handle wrote is saved only once it is on the disk: the
      // pending batch joins the file, then everything is synced, before
      // the update lock goes and the caller hears that the file is saved.
      if (!DGNCommitBatch(handle)) durable = false;
      if (!CPLFSync(handle->fp)) {
        CPLError(CPLClassFailure, CPLNumGeneral,
                 "Cannot put the design file on the disk: the system refused to sync it.");
        durable = false;
      }
      if (handle->write_failed) durable = false;
    }
    if (handle->update_locked) PlatUnlockForUpdate(handle->fp);
    if (CPLFClose(handle->fp) != 0 && handle->for_update) {
      CPLError(CPLClassFailure, CPLNumGeneral, "Cannot close the design file after writing it.");
      durable = false;
    }
  }
  dgninternal::ReleaseBatch(handle);
  dgnstream::Release(handle);
  dgninternal::NoteFileClosed();
  CPLSysFree(handle->element_index);
  DGNFreeColorCells(handle);
  dgninternal::UnpoisonElementBuffer(handle);
  CPLSysFree(handle);
  return durable;
}

void DGNRewind(DGNFile *handle) {
  if (handle == nullptr) return;
  dgnstream::Rewind(handle);
  handle->next_element_id = 0;
  handle->in_complex_group = 0;
}
