// Checked allocation, C library wrappers, option lookup and the build
// self-check.
//
// Large-file opens in the i386 build too: a design file of 2 GiB or more must
// open, so that the engine can refuse it by its size with a clear message
// instead of failing inside fopen with an overflow.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "cpl_conv.h"

#include "platform.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The process option list: "key=value" or "key:value" entries, null
// terminated.  Nothing fills it, so lookups fall through to the environment;
// it stays so that an option list can be added without touching the lookups.
const char *const *g_options = nullptr;

// Bytes CPLFWrite() may still write before it comes up short; negative = off.
std::atomic<long> g_writeBudget{-1};

// Largest request the soft allocations grant; negative = no limit.
std::atomic<long> g_softAllocLimit{-1};

// Reports exhaustion of the checked family (fatal: the process ends) or of
// the soft one (a failure the caller answers).  The byte count goes through a
// decimal text so that any request, even one beyond int, is named exactly.
void ReportOutOfMemory(const char *function, long long bytes) {
  CPLError(CPLClassFatal, CPLNumNoMemory, "%s(): Out of memory allocating %s bytes.\n", function,
           std::to_string(bytes).c_str());
}

void ReportSoftFailure(const char *function, long long bytes) {
  CPLError(CPLClassFailure, CPLNumNoMemory, "%s(): Out of memory allocating %s bytes.", function,
           std::to_string(bytes).c_str());
}

// True when the soft-allocation test hook refuses a request of `bytes`.
bool SoftLimitRefuses(long long bytes) {
  const long limit = g_softAllocLimit.load(std::memory_order_relaxed);
  return limit >= 0 && bytes > limit;
}

// Which family an allocation belongs to: the report made when it fails.
struct Family {
  bool soft;
  const char *function;
  void Fail(long long bytes) const {
    if (soft) {
      ReportSoftFailure(function, bytes);
    } else {
      ReportOutOfMemory(function, bytes);
    }
  }
  bool Refuses(long long bytes) const { return soft && SoftLimitRefuses(bytes); }
};

void *AllocateZeroed(int count, int size, const Family &family) {
  // The product is taken in 64 bits: a 32-bit product could wrap to a small
  // positive value and hand back a block far smaller than the caller thinks.
  const long long bytes = static_cast<long long>(count) * size;
  if (bytes == 0) return nullptr;
  void *block = nullptr;
  if (bytes > 0 && bytes <= INT_MAX && !family.Refuses(bytes)) {
    block = CPLSysCalloc(static_cast<size_t>(count), static_cast<size_t>(size));
  }
  if (block == nullptr) family.Fail(bytes);
  return block;
}

void *Allocate(int size, const Family &family) {
  if (size == 0) return nullptr;
  // A negative size would turn into an enormous size_t request.
  void *block =
      size > 0 && !family.Refuses(size) ? CPLSysMalloc(static_cast<size_t>(size)) : nullptr;
  if (block == nullptr) family.Fail(size);
  return block;
}

void *Reallocate(void *block, int size, const Family &family) {
  if (size == 0) {
    CPLSysFree(block);
    return nullptr;
  }
  void *result = nullptr;
  if (size > 0 && !family.Refuses(size)) {
    result = block == nullptr ? CPLSysMalloc(static_cast<size_t>(size))
                              : CPLSysRealloc(block, static_cast<size_t>(size));
  }
  if (result == nullptr) family.Fail(size);
  return result;
}

}  // namespace

void *CPLTryCalloc(int count, int size) {
  return AllocateZeroed(count, size, {true, "CPLTryCalloc"});
}

void *CPLTryMalloc(int size) { return Allocate(size, {true, "CPLTryMalloc"}); }

void *CPLTryRealloc(void *block, int size) {
  return Reallocate(block, size, {true, "CPLTryRealloc"});
}

void CPLSetSoftAllocLimit(long bytes) { g_softAllocLimit = bytes < 0 ? -1 : bytes; }

void *CPLCalloc(int count, int size) { return AllocateZeroed(count, size, {false, "CPLCalloc"}); }

void *CPLMalloc(int size) {
  CPLVerifyConfiguration();
  return Allocate(size, {false, "CPLMalloc"});
}

void *CPLRealloc(void *block, int size) { return Reallocate(block, size, {false, "CPLRealloc"}); }

char *CPLStrdup(const char *text) {
  if (text == nullptr) text = "";
  char *copy = CPLSysStrdup(text);
  if (copy == nullptr) ReportOutOfMemory("CPLStrdup", static_cast<long long>(std::strlen(text)));
  return copy;
}

FILE *CPLFOpen(const char *path, const char *mode) {
  FILE *stream = std::fopen(path, mode);
  if (stream != nullptr && PlatJournalOn())
    PlatJournalOpened(stream, path, mode != nullptr && mode[0] == 'w');
  return stream;
}

int CPLFClose(FILE *stream) {
  PlatJournalClosed(stream);
  return std::fclose(stream);
}

int CPLFSeek(FILE *stream, long offset, int whence) { return std::fseek(stream, offset, whence); }

long CPLFTell(FILE *stream) { return std::ftell(stream); }

int CPLFSetBuffering(FILE *stream, char *buffer, int mode, size_t size) {
  return std::setvbuf(stream, buffer, mode, size);
}

void CPLFRewind(FILE *stream) { std::rewind(stream); }

size_t CPLFRead(void *buffer, size_t size, size_t count, FILE *stream) {
  return std::fread(buffer, size, count, stream);
}

namespace {

size_t WriteItems(const void *buffer, size_t size, size_t count, FILE *stream) {
  const long budget = g_writeBudget.load(std::memory_order_relaxed);
  if (budget < 0 || size == 0) return std::fwrite(buffer, size, count, stream);

  // Test hook: write what the budget allows, byte-wise so that a partial
  // item reaches the file as it would on a full disk, and count whole items.
  const size_t wanted = count > SIZE_MAX / size ? SIZE_MAX : size * count;
  const size_t allowed =
      static_cast<size_t>(budget) < wanted ? static_cast<size_t>(budget) : wanted;
  const size_t written = std::fwrite(buffer, 1, allowed, stream);
  g_writeBudget -= static_cast<long>(written);
  if (written < wanted) errno = ENOSPC;
  return written / size;
}

}  // namespace

size_t CPLFWrite(const void *buffer, size_t size, size_t count, FILE *stream) {
  if (!PlatJournalOn()) return WriteItems(buffer, size, count, stream);
  const long at = std::ftell(stream);
  const size_t items = WriteItems(buffer, size, count, stream);
  // What reached the file (a short item too) is what the journal keeps.
  const long after = std::ftell(stream);
  if (at >= 0 && after > at) PlatJournalWrite(stream, at, buffer, static_cast<size_t>(after - at));
  return items;
}

bool CPLFWriteAt(FILE *stream, int64_t offset, const void *bytes, size_t count) {
  if (stream == nullptr || offset < 0 || offset > LONG_MAX) return false;
  if (std::fseek(stream, static_cast<long>(offset), SEEK_SET) != 0) return false;
  if (CPLFWrite(bytes, 1, count, stream) != count) return false;
  // The stream is unbuffered for design files; for any other, the bytes
  // leave the C library's buffer here, so that a failure shows now.
  return std::fflush(stream) == 0;
}

size_t CPLFReadAt(FILE *stream, int64_t offset, void *bytes, size_t count) {
  if (stream == nullptr || offset < 0 || offset > LONG_MAX) return 0;
  if (std::fseek(stream, static_cast<long>(offset), SEEK_SET) != 0) return 0;
  return std::fread(bytes, 1, count, stream);
}

bool CPLFSync(FILE *stream) { return PlatSyncStream(stream); }

void CPLSetWriteFailAfter(long bytes) { g_writeBudget = bytes < 0 ? -1 : bytes; }

void *CPLSysCalloc(size_t count, size_t size) { return std::calloc(count, size); }

void *CPLSysMalloc(size_t size) { return std::malloc(size); }

void *CPLSysRealloc(void *block, size_t size) { return std::realloc(block, size); }

void CPLSysFree(void *block) {
  if (block != nullptr) std::free(block);
}

char *CPLSysStrdup(const char *text) {
  // strdup is not standard C++; this is the same allocation made by hand.
  const size_t length = std::strlen(text);
  char *copy = static_cast<char *>(std::malloc(length + 1));
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

time_t CPLTime(time_t *out) { return std::time(out); }

char *CPLCTime(const time_t *t) { return std::ctime(t); }

const char *CPLGetOption(const char *key, const char *defaultValue) {
  if (key == nullptr) return defaultValue;
  const char *value = CPLFindOptionValue(g_options, key);
  if (value == nullptr) value = std::getenv(key);
  return value != nullptr ? value : defaultValue;
}

const char *CPLFindOptionValue(const char *const *list, const char *key) {
  if (list == nullptr || key == nullptr) return nullptr;
  const size_t keyLength = std::strlen(key);
  for (; *list != nullptr; ++list) {
    const char *entry = *list;
    size_t i = 0;
    while (i < keyLength && entry[i] != '\0' &&
           std::tolower(static_cast<unsigned char>(entry[i])) ==
               std::tolower(static_cast<unsigned char>(key[i]))) {
      ++i;
    }
    // The separator must follow the whole key at once, so that an entry
    // for CPL_LOG_ERRORS does not answer CPL_LOG.
    if (i == keyLength && (entry[i] == '=' || entry[i] == ':')) return entry + i + 1;
  }
  return nullptr;
}

void CPLVerifyConfiguration() {
  if (sizeof(GInt32) != 4) {
    CPLError(CPLClassFatal, CPLNumGeneral, "sizeof(GInt32) == %d ... yow!\n",
             static_cast<int>(sizeof(GInt32)));
  }
  // DGN words are assembled byte by byte, but the build is meant for
  // machines that keep the least significant byte first.
  const GInt32 one = 1;
  unsigned char first = 0;
  std::memcpy(&first, &one, 1);
  if (first != 1) {
    CPLError(CPLClassFatal, CPLNumGeneral, "CPLVerifyConfiguration(): byte order set wrong.\n");
  }
}
