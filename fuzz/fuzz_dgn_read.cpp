// libFuzzer target for the DGN reader: the input bytes are opened as a design
// file, indexed, walked element by element with DGNReadElement (every element
// freed), then walked again with raw capture and a spatial filter, and
// revisited through DGNGotoElement.  Any read outside an element, leak or
// undefined behaviour is a finding.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "cpl_conv.h"
#include "cpl_error.h"
#include "dgnmodel.h"

namespace {

// The engine reads files by path.  The input goes into one anonymous
// in-memory file per fuzzing process, opened by its /proc path, so nothing
// is ever left on disk, whenever the fuzzer stops.
int g_memfd = -1;
std::string g_path;

bool PutInput(const uint8_t *data, size_t size) {
  if (g_memfd < 0 || ftruncate(g_memfd, 0) != 0) return false;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pwrite(g_memfd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Walk(DGNFile *handle) {
  while (DGNElement *e = DGNReadElement(handle)) DGNFreeElement(handle, e);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  CPLSetErrorHandler(nullptr);  // warnings and failures are expected: keep them quiet
  g_memfd = memfd_create("fuzz_dgn_read", 0);
  if (g_memfd < 0) {
    std::perror("fuzz_dgn_read: memfd_create");
    return 1;
  }
  g_path = "/proc/self/fd/" + std::to_string(g_memfd);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!PutInput(data, size)) return 0;
  DGNFile *handle = DGNOpen(g_path.c_str(), false);
  if (handle == nullptr) return 0;

  int count = 0;
  DGNGetElementIndex(handle, &count);
  Walk(handle);

  // Second pass: every element keeps its raw bytes, and a filter around the
  // lower-left quarter of the file's extents exercises the range and
  // complex-group logic.
  DGNSetOptions(handle, DGN_OPTION_CAPTURE_RAW);
  if (handle->got_bounds) {
    DGNPoint low{static_cast<double>(handle->min_x) - 2147483648.0,
                 static_cast<double>(handle->min_y) - 2147483648.0, 0};
    DGNPoint high{static_cast<double>(handle->max_x) - 2147483648.0,
                  static_cast<double>(handle->max_y) - 2147483648.0, 0};
    DGNTransformPoint(handle, &low);
    DGNTransformPoint(handle, &high);
    DGNSetSpatialFilter(handle, low.x, low.y, (low.x + high.x) / 2, (low.y + high.y) / 2);
  }
  DGNRewind(handle);
  Walk(handle);

  // Random access: the last element, then the middle one and what follows it.
  if (count > 0 && DGNGotoElement(handle, count - 1)) Walk(handle);
  if (count > 1 && DGNGotoElement(handle, count / 2)) Walk(handle);
  DGNLoadTCB(handle);

  DGNClose(handle);
  return 0;
}
