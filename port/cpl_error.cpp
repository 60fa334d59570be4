// Error reporting: the last-error record, debug traces and the stream handler
// that writes one line per report to standard error or to the CPL_LOG file.
#include "cpl_error.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cpl_conv.h"
#include "platform.h"

namespace {

// Size of the last-error text, terminator included (1999 characters).
constexpr size_t kLastErrorSize = 2000;
// Size of a trace line's work buffer, terminator included.
constexpr size_t kTraceSize = 25000;

// The last error belongs to the thread whose operation reported it: maps
// used on different threads at once each read back their own failure.  The
// text's buffer is taken at the thread's first report and given back when the
// thread ends; only a pointer lives in thread-local storage, which a library
// loaded at run time must keep small.
struct LastError {
  char *text = nullptr;  // kLastErrorSize bytes once the thread has reported
  CPLErrNum num = CPLNumNone;
  CPLErrClass cls = CPLClassNone;
  LastError() = default;
  LastError(const LastError &) = delete;
  LastError &operator=(const LastError &) = delete;
  ~LastError() {
    CPLSysFree(text);
    text = nullptr;
  }
};
thread_local LastError t_lastError;

// Shown as the last error's text when the thread's buffer could not be had.
const char kNoRoomForText[] = "(out of memory: the text of the last error was not kept)";

std::atomic<CPLErrorHandlerFn> g_handler{CPLStreamErrorHandler};

// The stream handler's output, chosen once, at the first line written (by
// whichever thread writes it first).  CPL_LOG is read then and only then:
// the log stays where it started for the rest of the process, and is never
// closed so that it survives an abort.  A log that cannot be opened falls
// back to standard error without a word.
FILE *OpenLogStream() {
  if (CPLGetOption("CPL_LOG", nullptr) != nullptr) {
    FILE *log = CPLFOpen(CPLGetOption("CPL_LOG", ""), "wt");
    if (log != nullptr) return log;
  }
  return stderr;
}

FILE *LogStream() {
  static FILE *const stream = OpenLogStream();
  return stream;
}

// Guards the C library's one time-text buffer (CPLCTime) in traces.
PlatMutex &TimeTextLock() {
  static PlatMutex lock;
  return lock;
}

// True when the first n characters of a and b agree ignoring case; stops
// early at a terminator of either text, which then counts as a mismatch.
bool SameIgnoringCase(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const int ca = std::tolower(static_cast<unsigned char>(a[i]));
    const int cb = std::tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return false;
    if (ca == 0) return true;
  }
  return true;
}

// True when the whole of a equals the whole of b ignoring case.
bool EqualIgnoringCase(const char *a, const char *b) {
  return std::strlen(a) == std::strlen(b) && SameIgnoringCase(a, b, std::strlen(a));
}

// Formats into out (size bytes, size > 0) and always leaves it terminated,
// whatever the runtime's vsnprintf does on truncation.
void FormatInto(char *out, size_t size, const char *format, va_list args) {
  if (format == nullptr) format = "";
  const int n = std::vsnprintf(out, size, format, args);
  if (n < 0) out[0] = '\0';
  out[size - 1] = '\0';
}

// Appends text to the buffer holding `length` characters, within `size`.
void AppendInto(char *buffer, size_t size, size_t *length, const char *text) {
  for (; *text != '\0' && *length + 1 < size; ++text) buffer[(*length)++] = *text;
  buffer[*length] = '\0';
}

// True when CPL_DEBUG selects the category: "ON" or an empty value selects
// every category; any other value is a list scanned for the category name.
bool TraceSelected(const char *category) {
  const char *debug = CPLGetOption("CPL_DEBUG", nullptr);
  if (debug == nullptr) return false;
  if (debug[0] == '\0' || EqualIgnoringCase(debug, "ON")) return true;
  const size_t categoryLength = std::strlen(category);
  for (const char *p = debug; *p != '\0'; ++p) {
    if (SameIgnoringCase(category, p, categoryLength)) return true;
  }
  return false;
}

}  // namespace

void CPLErrorArgs(CPLErrClass errClass, CPLErrNum errNum, const char *format, va_list args) {
  // Format into a scratch buffer first: a caller may pass the last-error
  // text itself as an argument, and formatting a buffer into itself would
  // garble it.
  char text[kLastErrorSize];
  FormatInto(text, sizeof text, format, args);
  LastError &last = t_lastError;
  if (last.text == nullptr) last.text = static_cast<char *>(CPLSysMalloc(kLastErrorSize));
  if (last.text != nullptr) std::memcpy(last.text, text, sizeof text);
  last.num = errNum;
  last.cls = errClass;

  if (CPLGetOption("CPL_LOG_ERRORS", nullptr) != nullptr) {
    CPLTrace("CPLError", "%s", text);
  }
  const CPLErrorHandlerFn handler = g_handler.load();
  if (handler != nullptr) handler(errClass, errNum, last.text != nullptr ? last.text : text);

  // The library lives inside the host's process: a fatal report ends it,
  // with no clean-up, once the line is out.
  if (errClass == CPLClassFatal) std::abort();
}

void CPLError(CPLErrClass errClass, CPLErrNum errNum, const char *format, ...) {
  va_list args;
  va_start(args, format);
  CPLErrorArgs(errClass, errNum, format, args);
  va_end(args);
}

void CPLTrace(const char *category, const char *format, ...) {
  if (category == nullptr) category = "";
  if (!TraceSelected(category)) return;

  char *buffer = static_cast<char *>(CPLSysMalloc(kTraceSize));
  if (buffer == nullptr) return;  // a trace is not worth a report of its own
  size_t length = 0;
  buffer[0] = '\0';

  if (CPLGetOption("CPL_TIMESTAMP", nullptr) != nullptr) {
    const time_t now = CPLTime(nullptr);
    {
      PlatLockGuard guard(TimeTextLock());
      const char *stamp = CPLCTime(&now);
      if (stamp != nullptr) AppendInto(buffer, kTraceSize, &length, stamp);
    }
    // ctime() ends its text with a newline; the line goes on after it.
    if (length > 0 && buffer[length - 1] == '\n') buffer[--length] = '\0';
    AppendInto(buffer, kTraceSize, &length, ": ");
  }
  AppendInto(buffer, kTraceSize, &length, category);
  AppendInto(buffer, kTraceSize, &length, ": ");

  va_list args;
  va_start(args, format);
  FormatInto(buffer + length, kTraceSize - length, format, args);
  va_end(args);

  const CPLErrorHandlerFn handler = g_handler.load();
  if (handler != nullptr) handler(CPLClassDebug, CPLNumNone, buffer);
  CPLSysFree(buffer);
}

CPLErrClass CPLLastErrorClass() { return t_lastError.cls; }

CPLErrNum CPLLastErrorNum() { return t_lastError.num; }

const char *CPLLastErrorText() {
  const LastError &last = t_lastError;
  if (last.text != nullptr) return last.text;
  return last.cls == CPLClassNone ? "" : kNoRoomForText;
}

void CPLStreamErrorHandler(CPLErrClass errClass, CPLErrNum errNum, const char *text) {
  FILE *stream = LogStream();
  if (text == nullptr) text = "";

  // One call per line: the C library writes each call whole, so lines of
  // different threads do not interleave.
  if (errClass == CPLClassDebug) {
    std::fprintf(stream, "%s\n", text);
  } else if (errClass == CPLClassWarning) {
    std::fprintf(stream, "Warning %d: %s\n", static_cast<int>(errNum), text);
  } else {
    std::fprintf(stream, "ERROR %d: %s\n", static_cast<int>(errNum), text);
  }
  std::fflush(stream);
}

CPLErrorHandlerFn CPLSetErrorHandler(CPLErrorHandlerFn handler) {
  return g_handler.exchange(handler);
}
