// Error reporting for the DGN engine: one path for failures, warnings and
// debug texts, with a process-wide record of the last report.
//
// An engine function that fails reports the reason through CPLError() with a
// class and a number, then returns its failure value (null, 0 or false).  The
// plug-in reads CPLLastErrorText() right after such a failure to build the
// message it shows the host.  The last-error record is kept per thread (the
// failure of an operation belongs to the thread that ran it); the handler and
// the log stream are shared by all threads and safe to use from several.
#ifndef DGN_PORT_CPL_ERROR_H
#define DGN_PORT_CPL_ERROR_H

#include <cstdarg>
#include <cstdint>

// printf-style argument checking, matched to the stdio that does the
// formatting (the MinGW runtime's own printf family on Windows).
#if defined(__MINGW32__) && defined(__MINGW_PRINTF_FORMAT)
#define CPL_PRINTF_FORMAT(fmt, first) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, first)))
#elif defined(__GNUC__)
#define CPL_PRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define CPL_PRINTF_FORMAT(fmt, first)
#endif

// A signed integer of exactly 32 bits (checked at run time by
// CPLVerifyConfiguration()).
typedef int GInt32;

// How bad a report is; carried as one byte.
enum CPLErrClass : unsigned char {
  CPLClassNone = 0,     // no error: the last-error class before the first report
  CPLClassDebug = 1,    // a debug text from CPLTrace()
  CPLClassWarning = 2,  // something odd was found and handled; the operation goes on
  CPLClassFailure = 3,  // the operation failed; the caller returns its failure value
  CPLClassFatal = 4     // the process cannot go on: aborted after the report
};

// What kind of failure a report is about: a signed 32-bit number.
typedef GInt32 CPLErrNum;
constexpr CPLErrNum CPLNumNone = 0;        // debug texts
constexpr CPLErrNum CPLNumGeneral = 1;     // bad file content, failed write, element too large...
constexpr CPLErrNum CPLNumNoMemory = 2;    // an allocation of the checked family failed
constexpr CPLErrNum CPLNumOpenFailed = 4;  // a file cannot be opened

// A handler receives every report (class, number, formatted text).
typedef void (*CPLErrorHandlerFn)(CPLErrClass errClass, CPLErrNum errNum, const char *text);

// Reports a printf-formatted text with a class and number: records it as the
// last error, hands it to the current handler, and aborts the process when the
// class is CPLClassFatal.
void CPLError(CPLErrClass errClass, CPLErrNum errNum, const char *format, ...)
    CPL_PRINTF_FORMAT(3, 4);

// CPLError() with an already started argument list.
void CPLErrorArgs(CPLErrClass errClass, CPLErrNum errNum, const char *format, va_list args)
    CPL_PRINTF_FORMAT(3, 0);

// Writes a debug text under a category, only when CPL_DEBUG selects that
// category; the last-error record is not touched.
void CPLTrace(const char *category, const char *format, ...) CPL_PRINTF_FORMAT(2, 3);

// Gives the class of the calling thread's most recent CPLError();
// CPLClassNone before any.
CPLErrClass CPLLastErrorClass();

// Gives the number of the calling thread's most recent CPLError();
// CPLNumNone before any.
CPLErrNum CPLLastErrorNum();

// Gives the text of the calling thread's most recent CPLError() (at most
// 1999 characters); empty before any.  Valid until the thread's next
// CPLError().
const char *CPLLastErrorText();

// The default handler: writes one line per report to standard error, or to the
// file named by CPL_LOG at the first line written, and flushes it.
void CPLStreamErrorHandler(CPLErrClass errClass, CPLErrNum errNum, const char *text);

// Installs a handler for every later report and gives back the previous one.
// A null handler means reports are recorded as the last error but written
// nowhere (a fatal report still aborts).  The default is CPLStreamErrorHandler.
CPLErrorHandlerFn CPLSetErrorHandler(CPLErrorHandlerFn handler);

#endif  // DGN_PORT_CPL_ERROR_H
