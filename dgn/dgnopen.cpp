// Opening and closing design files, and the test of a file's first bytes.
#include <cstring>

#include "cpl_conv.h"
#include "cpl_error.h"
#include "dgn_internal.h"
#include "dgn_stream.h"
#include "dgnmodel.h"

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

}  // namespace

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
  FILE *fp = CPLFOpen(path, update ? "rb+" : "rb");
  if (fp == nullptr) {
    CPLError(CPLClassFailure, CPLNumOpenFailed, "Unable to open `%s' for read access.\n", path);
    return nullptr;
  }
  // The handle reads ahead in blocks of its own (dgn_stream.h), so the
  // stream's buffer would only add a copy; and a buffered stream opened for
  // update turns every seek between the writes of an append into a read of
  // a whole block.  Unbuffered, each read and write is one system call.
  CPLFSetBuffering(fp, nullptr, _IONBF, 0);

  unsigned char header[kHeaderProbeBytes];
  const size_t got = CPLFRead(header, 1, sizeof header, fp);
  // A file too short to hold one element header is no design file, whatever
  // the bytes it does hold.
  if (got < 4 || !DGNTestOpen(header, static_cast<int>(got))) {
    CPLError(CPLClassFailure, CPLNumGeneral, "File `%s' does not have expected DGN header.\n",
             path);
    CPLFClose(fp);
    return nullptr;
  }
  CPLFRewind(fp);

  auto *handle = static_cast<DGNFile *>(CPLCalloc(1, static_cast<int>(sizeof(DGNFile))));
  handle->fp = fp;
  handle->next_element_id = 0;
  handle->got_tcb = 0;
  handle->dimension = header[0] == 0xC8 ? 3 : 2;
  handle->options = 0;
  handle->scale = 1.0;
  handle->origin_x = handle->origin_y = handle->origin_z = 0.0;
  handle->elem_bytes = 0;
  dgninternal::PoisonElementTail(handle);
  dgninternal::NoteFileOpened();
  return handle;
}

void DGNSetOptions(DGNFile *handle, int options) {
  if (handle != nullptr) handle->options = options;
}

void DGNClose(DGNFile *handle) {
  if (handle == nullptr) return;
  if (handle->fp != nullptr) CPLFClose(handle->fp);
  dgnstream::Release(handle);
  dgninternal::NoteFileClosed();
  CPLSysFree(handle->element_index);
  dgninternal::UnpoisonElementBuffer(handle);
  CPLSysFree(handle);
}

void DGNRewind(DGNFile *handle) {
  if (handle == nullptr) return;
  dgnstream::Rewind(handle);
  handle->next_element_id = 0;
  handle->in_complex_group = 0;
}
