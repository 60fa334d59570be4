// The read-ahead element stream; see dgn_stream.h.
#include <cstdio>

#include "cpl_conv.h"
#include "dgn_stream.h"

namespace dgnstream {

const unsigned char *PeekSlow(DGNFile *handle, size_t n) {
  if (handle->fp == nullptr || n > static_cast<size_t>(kReadAheadBytes)) return nullptr;
  const bool was_empty = handle->ra_bytes == 0;
  const int32_t keep = handle->ra_bytes - handle->ra_next;  // bytes not read yet
  // The FILE stands at the end of what the buffer holds (or, with an empty
  // buffer, where the stream stands).
  const long position = CPLFTell(handle->fp);
  if (position < 0) return nullptr;
  // A stream open for update may only turn from writing to reading through a
  // seek; an empty buffer may follow a write.
  if (was_empty && CPLFSeek(handle->fp, position, SEEK_SET) != 0) return nullptr;
  if (handle->ra_data == nullptr) {
    handle->ra_data = static_cast<unsigned char *>(CPLMalloc(kReadAheadBytes));
  }
  if (keep > 0 && handle->ra_next > 0) {
    std::memmove(handle->ra_data, handle->ra_data + handle->ra_next, static_cast<size_t>(keep));
  }
  handle->ra_offset = position - keep;
  handle->ra_next = 0;
  handle->ra_bytes = keep;
  const size_t got =
      CPLFRead(handle->ra_data + keep, 1, static_cast<size_t>(kReadAheadBytes - keep), handle->fp);
  handle->ra_bytes += static_cast<int32_t>(got);
  return static_cast<size_t>(handle->ra_bytes) >= n ? handle->ra_data : nullptr;
}

size_t ReadSlow(DGNFile *handle, unsigned char *out, size_t n) {
  if (n == 0 || handle->fp == nullptr) return 0;
  if (n <= static_cast<size_t>(kReadAheadBytes)) {
    // Brings as much as the file holds, up to n, into the buffer.
    PeekSlow(handle, n);
    size_t left = static_cast<size_t>(handle->ra_bytes - handle->ra_next);
    if (left > n) left = n;
    if (left > 0) std::memcpy(out, handle->ra_data + handle->ra_next, left);
    handle->ra_next += static_cast<int32_t>(left);
    return left;
  }
  // Larger than the buffer: what is buffered, then the rest straight from the FILE.
  size_t done = static_cast<size_t>(handle->ra_bytes - handle->ra_next);
  if (done > 0) std::memcpy(out, handle->ra_data + handle->ra_next, done);
  if (handle->ra_bytes == 0) {
    // As in PeekSlow: a seek before reading, in case the FILE was written last.
    const long position = CPLFTell(handle->fp);
    if (position < 0 || CPLFSeek(handle->fp, position, SEEK_SET) != 0) return 0;
  }
  handle->ra_bytes = 0;
  handle->ra_next = 0;
  return done + CPLFRead(out + done, 1, n - done, handle->fp);
}

long TellSlow(DGNFile *handle) { return handle->fp != nullptr ? CPLFTell(handle->fp) : -1; }

bool Seek(DGNFile *handle, long position) {
  if (handle->ra_bytes > 0 && position >= handle->ra_offset &&
      position - handle->ra_offset <= handle->ra_bytes) {
    handle->ra_next = static_cast<int32_t>(position - handle->ra_offset);
    return true;
  }
  handle->ra_bytes = 0;
  handle->ra_next = 0;
  return handle->fp != nullptr && CPLFSeek(handle->fp, position, SEEK_SET) == 0;
}

void Rewind(DGNFile *handle) {
  handle->ra_bytes = 0;
  handle->ra_next = 0;
  if (handle->fp != nullptr) CPLFRewind(handle->fp);
}

bool Drop(DGNFile *handle) {
  if (handle->ra_bytes == 0) return true;
  const long position = static_cast<long>(handle->ra_offset + handle->ra_next);
  handle->ra_bytes = 0;
  handle->ra_next = 0;
  return CPLFSeek(handle->fp, position, SEEK_SET) == 0;
}

void Release(DGNFile *handle) {
  CPLSysFree(handle->ra_data);
  handle->ra_data = nullptr;
  handle->ra_bytes = 0;
  handle->ra_next = 0;
}

}  // namespace dgnstream
