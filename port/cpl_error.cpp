// Error reporting: the last-error record, debug traces and the stream handler
// that writes one line per report to standard error or to the CPL_LOG file.
#include "cpl_error.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cpl_conv.h"

namespace {

// Size of the last-error text, terminator included (1999 characters).
constexpr size_t kLastErrorSize = 2000;
// Size of a trace line's work buffer, terminator included.
constexpr size_t kTraceSize = 25000;

char g_lastErrorText[kLastErrorSize] = "";
CPLErrNum g_lastErrorNum = CPLNumNone;
CPLErrClass g_lastErrorClass = CPLClassNone;
CPLErrorHandlerFn g_handler = CPLStreamErrorHandler;

// The stream handler's output, chosen at the first line written.
bool g_streamReady = false;
FILE *g_stream = nullptr;

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
    std::memcpy(g_lastErrorText, text, sizeof text);
    g_lastErrorNum = errNum;
    g_lastErrorClass = errClass;

    if (CPLGetOption("CPL_LOG_ERRORS", nullptr) != nullptr) {
        CPLTrace("CPLError", "%s", g_lastErrorText);
    }
    if (g_handler != nullptr) g_handler(errClass, errNum, g_lastErrorText);

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
        const char *stamp = CPLCTime(&now);
        if (stamp != nullptr) AppendInto(buffer, kTraceSize, &length, stamp);
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

    if (g_handler != nullptr) g_handler(CPLClassDebug, CPLNumNone, buffer);
    CPLSysFree(buffer);
}

CPLErrClass CPLLastErrorClass() { return g_lastErrorClass; }

CPLErrNum CPLLastErrorNum() { return g_lastErrorNum; }

const char *CPLLastErrorText() { return g_lastErrorText; }

void CPLStreamErrorHandler(CPLErrClass errClass, CPLErrNum errNum, const char *text) {
    if (!g_streamReady) {
        // CPL_LOG is read once, at the first line: the log stays where it
        // started for the rest of the process, and is never closed so that
        // it survives an abort.  A log that cannot be opened falls back to
        // standard error without a word.
        g_streamReady = true;
        g_stream = stderr;
        if (CPLGetOption("CPL_LOG", nullptr) != nullptr) {
            FILE *log = CPLFOpen(CPLGetOption("CPL_LOG", ""), "wt");
            if (log != nullptr) g_stream = log;
        }
    }
    if (text == nullptr) text = "";

    if (errClass == CPLClassDebug) {
        std::fprintf(g_stream, "%s\n", text);
    } else if (errClass == CPLClassWarning) {
        std::fprintf(g_stream, "Warning %d: %s\n", static_cast<int>(errNum), text);
    } else {
        std::fprintf(g_stream, "ERROR %d: %s\n", static_cast<int>(errNum), text);
    }
    std::fflush(g_stream);
}

CPLErrorHandlerFn CPLSetErrorHandler(CPLErrorHandlerFn handler) {
    CPLErrorHandlerFn previous = g_handler;
    g_handler = handler;
    return previous;
}
