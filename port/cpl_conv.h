// Checked allocation, the thin wrappers over the C library's file, memory and
// time functions, option lookup and the build self-check.
//
// Every file access and every allocation of the DGN engine goes through these
// functions, never to the C library directly.  Blocks from any of them are
// released with CPLSysFree().
#ifndef DGN_PORT_CPL_CONV_H
#define DGN_PORT_CPL_CONV_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "cpl_error.h"

// ---- Checked allocation: never null for a non-empty request --------------
// Exhaustion (or a size that cannot be allocated, such as a negative one or a
// count * size product beyond int) is a fatal CPLNumNoMemory report, which
// ends the process.

// Gives a zero-filled block of count * size bytes; null (and no report) when
// the product is 0.
void *CPLCalloc(int count, int size);

// Gives a block of size bytes after running CPLVerifyConfiguration(); null
// (and no report) for size 0.
void *CPLMalloc(int size);

// Gives block resized to size bytes (a new block when block is null); size 0
// releases block and gives null.
void *CPLRealloc(void *block, int size);

// Gives a new copy of text; a null text is copied as the empty string, so the
// result is never null.
char *CPLStrdup(const char *text);

// ---- Soft allocation: for blocks whose size a file decides ------------------
// A design file can ask for an element index or a record far larger than the
// host can spare; that must fail the operation, not end the host's process.
// Each of these gives null after a CPLClassFailure / CPLNumNoMemory report
// ("...: Out of memory allocating %s bytes.") when the block cannot be had,
// and the caller returns its failure value.  A size of 0 gives null without a
// report (CPLTryRealloc then releases the block); a negative size fails.

// Gives a zero-filled block of count * size bytes, or null.
void *CPLTryCalloc(int count, int size);

// Gives a block of size bytes, or null.
void *CPLTryMalloc(int size);

// Gives block resized to size bytes (a new block when block is null), or
// null with block left as it was.
void *CPLTryRealloc(void *block, int size);

// Test hook: from now on the soft allocations above fail for requests of
// more than `bytes` bytes, as on an exhausted heap.  A negative value
// switches the hook off (the default).
void CPLSetSoftAllocLimit(long bytes);

// ---- Unchecked wrappers: one C library call each, same arguments and result

// Gives the opened stream (fopen), or null when the file cannot be opened.
FILE *CPLFOpen(const char *path, const char *mode);

// Closes the stream (fclose); gives 0 on success.
int CPLFClose(FILE *stream);

// Moves the stream position (fseek); gives 0 on success.
int CPLFSeek(FILE *stream, long offset, int whence);

// Sets the stream's buffering (setvbuf: mode _IOFBF, _IOLBF or _IONBF, an
// optional buffer of size bytes); only before the first read or write of the
// stream.  Gives 0 on success.
int CPLFSetBuffering(FILE *stream, char *buffer, int mode, size_t size);

// Gives the stream's byte position (ftell), -1 on failure.
long CPLFTell(FILE *stream);

// Moves the stream to its start and clears its error state (rewind).
void CPLFRewind(FILE *stream);

// Reads up to count items of size bytes (fread); gives the number of whole
// items read.
size_t CPLFRead(void *buffer, size_t size, size_t count, FILE *stream);

// Writes count items of size bytes (fwrite); gives the number of whole items
// written.  Honours the CPLSetWriteFailAfter() test hook.
size_t CPLFWrite(const void *buffer, size_t size, size_t count, FILE *stream);

// ---- Positioned file access and durability

// Writes count bytes at byte `offset` of the stream and pushes them out of
// the C library; true when all were written.  Honours the
// CPLSetWriteFailAfter() hook and the platform layer's write journal.
bool CPLFWriteAt(FILE *stream, int64_t offset, const void *bytes, size_t count);

// Reads up to count bytes at byte `offset` of the stream; gives the number read.
size_t CPLFReadAt(FILE *stream, int64_t offset, void *bytes, size_t count);

// Makes everything written through the stream durable (fsync,
// FlushFileBuffers); true when the system says it is on the disk.
bool CPLFSync(FILE *stream);

// Gives a zero-filled block (calloc), or null.
void *CPLSysCalloc(size_t count, size_t size);

// Gives a block (malloc), or null.
void *CPLSysMalloc(size_t size);

// Gives the resized block (realloc), or null.
void *CPLSysRealloc(void *block, size_t size);

// Releases a block (free); a null block is ignored.
void CPLSysFree(void *block);

// Gives a new copy of text (strdup), or null.
char *CPLSysStrdup(const char *text);

// Gives the current calendar time (time), also stored in *out when out is not
// null.
time_t CPLTime(time_t *out);

// Gives the C library's fixed-width local-time text for *t, ending in a
// newline (ctime); the text lives in a static buffer.
char *CPLCTime(const time_t *t);

// Test hook for disk-full tests: from now on CPLFWrite() writes at most
// `bytes` more bytes in total and then comes up short, as a full disk would.
// A negative value switches the hook off (the default).
void CPLSetWriteFailAfter(long bytes);

// ---- Options ------------------------------------------------------------

// Gives the value of key: from the process option list, else from the
// environment (an empty value counts as set), else defaultValue.  The text is
// not a copy and must not be freed.
const char *CPLGetOption(const char *key, const char *defaultValue);

// Gives the text after "key=" or "key:" (key compared ignoring case) in the
// first matching entry of a null-terminated list; null when none matches or
// when list or key is null.
const char *CPLFindOptionValue(const char *const *list, const char *key);

// Checks that GInt32 is 4 bytes and that the machine stores the least
// significant byte first; either fault is a fatal report.
void CPLVerifyConfiguration();

#endif  // DGN_PORT_CPL_CONV_H
