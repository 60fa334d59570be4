// Fuzz target: the engine's element stream with random access: DGNOpen,
// DGNGetElementIndex, DGNGotoElement to element numbers chosen by the input,
// DGNReadElement after each jump, DGNLoadTCB and sequential reads.
//
// Input layout: byte 0 = options (bit 0 capture raw bytes, bit 1 open for
// update, bits 2-4 number of sequential reads after each jump), byte 1 = jump
// count k (0..31 used), then k little-endian 32-bit element numbers, then the
// bytes of the DGN file.  A number with its top bit clear is taken modulo the
// element count + 2, so that most jumps land on or next to real elements.
//
// What must hold: a jump succeeds exactly for 0 <= n < count; the element
// read after it carries element_id n, the offset and type of index entry n,
// and (with raw bytes captured) as many raw bytes as its header says; the
// reads that follow carry the next ids; a refused jump changes nothing that
// the next read sees; nothing leaks.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dgnmodel.h"
#include "cpl_error.h"
#include "fuzz_host.h"

using fuzzhost::Fail;

namespace {

uint32_t Le32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Checks an element read right after a jump to n (or a read that followed).
void CheckElement(const DGNElement *e, int n, const DGNIndexEntry *index, int count, bool raw) {
  if (e == nullptr) Fail("no element after a successful jump");
  if (e->element_id != n) Fail("element id differs from the jump target");
  if (n < 0 || n >= count) Fail("element beyond the index");
  const DGNIndexEntry &entry = index[n];
  if (static_cast<uint32_t>(e->offset) != entry.offset)
    Fail("element offset differs from its index entry");
  if (e->type != entry.type || e->level != entry.level)
    Fail("element type or level differs from its index entry");
  if (raw) {
    if (e->raw_data == nullptr || e->raw_bytes < 4) Fail("raw bytes not captured");
    const int words = e->raw_data[2] | (e->raw_data[3] << 8);
    if (e->raw_bytes != 4 + 2 * words || e->size != e->raw_bytes)
      Fail("raw byte count differs from the header");
  }
  if (e->kind == DGNKIND_MULTIPOINT) {
    const auto *mp = static_cast<const DGNMultiPointElement *>(e);
    if (mp->num_vertices < 0 || mp->num_vertices > e->size / 8)
      Fail("more vertices than the element can hold",
           "type " + std::to_string(e->type) + ", " + std::to_string(mp->num_vertices) +
               " vertices, " + std::to_string(e->size) + " bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Reports still reach the last-error record; writing thousands of them
  // to standard error would only slow the fuzzer down.
  CPLSetErrorHandler(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const uint8_t options = data[0];
  const size_t jumps = data[1] & 31;
  if (size < 2 + 4 * jumps) return 0;
  const uint8_t *numbers = data + 2;
  const uint8_t *file = numbers + 4 * jumps;
  const std::string path = fuzzhost::ScratchDir() + "/goto.dgn";
  fuzzhost::WriteBytes(path, file, size - 2 - 4 * jumps);

  const bool raw = (options & 1) != 0;
  const int follow = (options >> 2) & 7;
  DGNFile *h = DGNOpen(path.c_str(), (options & 2) != 0);
  if (h == nullptr) return 0;
  if (raw) DGNSetOptions(h, DGN_OPTION_CAPTURE_RAW);

  // A read before the index exists: building it later restarts the stream.
  DGNFreeElement(h, DGNReadElement(h));
  int count = -1;
  const DGNIndexEntry *index = DGNGetElementIndex(h, &count);
  if (count < 0 || (count > 0 && index == nullptr)) Fail("index count");
  for (int i = 1; i < count; ++i) {
    if (index[i].offset <= index[i - 1].offset) Fail("index offsets not increasing");
  }

  for (size_t j = 0; j < jumps; ++j) {
    const uint32_t word = Le32(numbers + 4 * j);
    const int n = (word & 0x80000000u) != 0 ? static_cast<int>(word)
                                            : static_cast<int>(word % (count + 2u)) - 1;
    const int before = h->next_element_id;
    const bool ok = DGNGotoElement(h, n);
    if (ok != (n >= 0 && n < count)) Fail("jump result differs from the index bounds");
    if (!ok) {
      if (h->next_element_id != before) Fail("a refused jump moved the stream");
      continue;
    }
    DGNElement *e = DGNReadElement(h);
    CheckElement(e, n, index, count, raw);
    DGNFreeElement(h, e);
    for (int k = 1; k <= follow; ++k) {
      DGNElement *next = DGNReadElement(h);
      if (next == nullptr) {
        if (n + k < count) Fail("sequential read ended before the indexed elements");
        break;
      }
      CheckElement(next, n + k, index, count, raw);
      DGNFreeElement(h, next);
    }
  }

  // The TCB search walks from wherever the stream is; it must end.
  DGNLoadTCB(h);
  // The handle's colour answers stay inside 0..255 for any index.
  int r = 0, g = 0, b = 0;
  for (int c : {-1, 0, 255, 256}) {
    if (DGNLookupColor(h, c, &r, &g, &b) &&
        (r < 0 || r > 255 || g < 0 || g > 255 || b < 0 || b > 255))
      Fail("colour out of range");
  }
  DGNClose(h);
  return 0;
}
