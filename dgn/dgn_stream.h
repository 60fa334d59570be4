// The element stream of an open design file, read ahead in large blocks.
// Internal to the engine.
//
// Elements are small (a line string is typically 50 to 500 bytes): reading
// each with two stream calls and asking the stream for its position costs
// more than decoding it.  The handle therefore reads the file in blocks of
// kReadAheadBytes into its own buffer and hands elements out of it.
//
// Where the stream stands:
//   - with buffered bytes (ra_bytes > 0): at ra_offset + ra_next, while the
//     FILE itself stands at ra_offset + ra_bytes, the end of what was read;
//   - with none (ra_bytes == 0): where the FILE stands.
// Everything that moves or writes the FILE itself first calls Drop, which
// puts the FILE back where the stream stands and empties the buffer; the
// writer leaves the FILE where the stream is to continue.  The FILE is
// unbuffered (DGNOpen), so no second copy of the bytes sits in the C library.
#ifndef DGN_DGN_STREAM_H
#define DGN_DGN_STREAM_H

#include <cstddef>
#include <cstring>

#include "dgnmodel.h"

namespace dgnstream {

// Size of the read-ahead block: large enough that the system calls vanish
// in the copying, small enough to stay in the processor's cache.
constexpr int kReadAheadBytes = 64 * 1024;

// Reads up to n bytes at the stream position (fewer at the end of the file).
size_t ReadSlow(DGNFile *handle, unsigned char *out, size_t n);
// Brings n bytes at the stream position into the buffer; null if the file
// holds fewer or n exceeds kReadAheadBytes.
const unsigned char *PeekSlow(DGNFile *handle, size_t n);

// The n bytes at the stream position, in the buffer, without moving the
// stream; null if the file holds fewer or n exceeds kReadAheadBytes.  Valid
// until the next call on the stream.
inline const unsigned char *Peek(DGNFile *handle, size_t n) {
  if (handle->ra_bytes > 0 && n <= static_cast<size_t>(handle->ra_bytes - handle->ra_next)) {
    return handle->ra_data + handle->ra_next;
  }
  return PeekSlow(handle, n);
}

// The bytes already buffered at the stream position, without reading; their
// number in *n (0 with an empty buffer).  Valid until the next call on the stream.
inline const unsigned char *Buffered(const DGNFile *handle, size_t *n) {
  if (handle->ra_bytes <= 0) {
    *n = 0;
    return nullptr;
  }
  *n = static_cast<size_t>(handle->ra_bytes - handle->ra_next);
  return handle->ra_data + handle->ra_next;
}

// Moves the stream past n bytes that a Peek has just shown.
inline void Skip(DGNFile *handle, size_t n) { handle->ra_next += static_cast<int32_t>(n); }

// Reads up to n bytes at the stream position into out; gives the number read.
inline size_t Read(DGNFile *handle, unsigned char *out, size_t n) {
  const size_t left = static_cast<size_t>(handle->ra_bytes - handle->ra_next);
  if (n <= left && handle->ra_bytes > 0) {
    std::memcpy(out, handle->ra_data + handle->ra_next, n);
    handle->ra_next += static_cast<int32_t>(n);
    return n;
  }
  return ReadSlow(handle, out, n);
}

// The stream position (the offset of the next byte to be read), or -1.
long TellSlow(DGNFile *handle);
inline long Tell(DGNFile *handle) {
  if (handle->ra_bytes > 0) return static_cast<long>(handle->ra_offset + handle->ra_next);
  return TellSlow(handle);
}
// Moves the stream to `position` from the start of the file; false if the
// FILE cannot be moved there.  A position inside the buffer costs nothing.
bool Seek(DGNFile *handle, long position);
// Back to the first byte of the file.
void Rewind(DGNFile *handle);
// Empties the buffer and puts the FILE where the stream stands, so that the
// FILE can be moved or written directly; false if the FILE cannot be moved.
bool Drop(DGNFile *handle);
// Releases the buffer (the handle is being closed).
void Release(DGNFile *handle);

}  // namespace dgnstream

#endif  // DGN_DGN_STREAM_H
