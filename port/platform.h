// Thin OS layer of the plug-in: INI profile access, file attributes, drives,
// debugger test, host program path and current directory; the size and the
// update lock of an open design file; a lock for state shared by threads;
// and the few file and console calls of the command-line host.
//
// Every platform #if of the support library and the tools lives behind this
// header: one implementation per platform (platform_win32.cpp,
// platform_posix.cpp).
//
// Paths inside the plug-in use the backslash as separator.  On POSIX each
// function below that takes a path, but for those of the command-line host,
// turns '\' into '/' itself before it asks the OS; callers that open files
// from such paths use PlatToOsPath.
#ifndef DGN_PORT_PLATFORM_H
#define DGN_PORT_PLATFORM_H

#include <cstdint>
#include <cstdio>
#include <string>

// Answers of PlatGetFileAttributes, with the values of the Windows API.
constexpr uint32_t PLAT_INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr uint32_t PLAT_FILE_ATTRIBUTE_DIRECTORY = 0x10u;
constexpr uint32_t PLAT_FILE_ATTRIBUTE_NORMAL = 0x80u;

// Reads the value of key in [section] of the INI file into buffer (size
// bytes, always NUL-terminated when size > 0).  A missing file, section or
// key copies defaultText (null counts as "").  A value longer than size - 1
// is cut to size - 1 characters and the call returns size - 1; otherwise it
// returns the value's length.  Section and key names ignore ASCII case.
// Null section or key, or size 0, give 0 (enumeration is not supported).
uint32_t PlatGetPrivateProfileString(const char *section, const char *key, const char *defaultText,
                                     char *buffer, uint32_t size, const char *fileName);

// Sets key=value in [section] of the INI file, creating the file, the
// section and the key as needed; true on success.  Only that value changes;
// the file is replaced atomically, so a failure leaves it as it was.
// Null arguments, and texts that would break the line layout (CR or LF
// anywhere, '=' in the key, ']' in the section), are refused with false.
bool PlatWritePrivateProfileString(const char *section, const char *key, const char *value,
                                   const char *fileName);

// Gives the attribute bits of the file or folder at path, or
// PLAT_INVALID_FILE_ATTRIBUTES when it cannot be reached.
uint32_t PlatGetFileAttributes(const char *path);

// Tells whether paths on this platform carry drive letters (false on POSIX,
// where the drive test of a complete path is skipped).
bool PlatHasDrives();

// Gives the mask of present logical drives, bit 0 for drive A (0 on POSIX).
uint32_t PlatGetLogicalDrives();

// Asks the OS whether a debugger is attached to the process right now
// (uncached; Debugger_present remembers the answer).
bool PlatQueryDebugger();

// Breaks into the attached debugger.
void PlatDebugBreak();

// Gives the absolute path of the host program in backslash form, or the
// empty text when it is not available.
std::string PlatProgramPath();

// Gives the current drive number (0 for drive A), or -1 on a platform
// without drives.
int PlatCurrentDrive();

// Gives the current directory in backslash form, without the drive and
// without the leading separator ("" at the root, or when it is unknown).
std::string PlatCurrentDirectory();

// Gives path in the OS form for opening files: on POSIX each '\' becomes
// '/', on Windows the path is unchanged.  Null gives "".
std::string PlatToOsPath(const char *path);

// Gives a path received from the host or a file in the plug-in's backslash
// form: on POSIX each '/' becomes '\', on Windows unchanged.  Null gives "".
std::string PlatFromOsPath(const char *path);

// --- Open files -----------------------------------------------------------

// Gives the size in bytes of the regular file an open stream reads (64 bits
// wide in every build), or -1 when the stream is no regular file (a pipe, a
// device, a folder) or its size cannot be learnt.
int64_t PlatStreamFileSize(FILE *stream);

// Answers of PlatLockForUpdate.
enum PlatLockResult {
  PLAT_LOCK_TAKEN = 0,   // this stream now holds the file's update lock
  PLAT_LOCK_BUSY,        // another stream, in this process or another, holds it
  PLAT_LOCK_UNSUPPORTED  // the file system keeps no locks: nothing was taken
};

// Takes the update lock of the file an open stream (opened for writing)
// reads, without waiting: one stream at a time may hold it, whichever
// process or handle it belongs to.  The lock covers one byte at 2 GiB, past
// every design file, so that readers of the file are never held up by it.
// It lasts until PlatUnlockForUpdate or until the stream is closed.
PlatLockResult PlatLockForUpdate(FILE *stream);

// Gives up the update lock that PlatLockForUpdate took on the stream.
void PlatUnlockForUpdate(FILE *stream);

// --- The command-line host ------------------------------------------------
// Paths here are in the OS form, as a command line gives them: unchanged on
// every platform.

// Tells whether two paths lead to one existing file: the same file on the
// same volume, however spelt (another folder path, a link).
bool PlatSameFile(const char *a, const char *b);

// Puts file `from` in the place of `to`, replacing any file there in one
// step; false with the system's reason in `error`.
bool PlatRenameOver(const char *from, const char *to, std::string &error);

// Puts file `from` in the place of `to` while `held`, a stream open on `to`
// that holds its update lock (PlatLockForUpdate), keeps every other writer
// out: through the rename where an open file can be replaced (POSIX); where
// it cannot (Windows), the stream is closed just before the rename.  `held`
// is closed either way; false with the system's reason in `error`.
bool PlatRenameOverHeld(FILE *held, const char *from, const char *to, std::string &error);

// Makes a new empty folder in the system's folder for temporary files, its
// name starting with `prefix`; gives its path with a trailing separator, or
// the empty text when none can be made.
std::string PlatMakeTempFolder(const char *prefix);

// Removes an empty folder; false when it cannot.
bool PlatRemoveFolder(const char *path);

// Gives the system's number of this process, which no other process running
// now has (for names of temporary files).
unsigned long PlatProcessId();

// Tells whether an open stream writes to a terminal (a console on Windows).
bool PlatIsTerminal(FILE *stream);

// --- Durability -----------------------------------------------------------

// Puts everything written through the stream on the disk (the C library's
// buffer flushed, then fsync; FlushFileBuffers on Windows); false when the
// system says it could not.
bool PlatSyncStream(FILE *stream);

// Puts the folder entry of the file at `path` on the disk: its creation, or a
// rename that brought it there (POSIX folders need a sync of their own for
// that; Windows commits them with the file, and the call just answers true).
// `path` is in the OS form.
bool PlatSyncFolderOf(const char *path);

// Creates a new empty file for writing, exclusively and never through a link
// (O_CREAT|O_EXCL|O_NOFOLLOW; CREATE_NEW on Windows), named `stem` followed
// by an unpredictable part and `suffix`, with the permissions of the file
// `like` when that exists.  Gives the stream ("w+b") and the name in `name`,
// or null with the system's reason in `error`.  Paths in the OS form.
FILE *PlatCreateNewFile(const std::string &stem, const char *suffix, const char *like,
                        std::string &name, std::string &error);

// Removes the file at `path` (OS form); false when it cannot.
bool PlatRemoveFile(const char *path);

// --- Write journal (test hook) ---------------------------------------------
// While a journal is set, every write, sync, creation, rename and removal
// made through this layer and the error layer's file wrappers is handed to it
// in order, so that a test can rebuild each state a crash could leave.  Off
// (no journal) in every use outside the tests.

enum PlatIoKind {
  PLAT_IO_CREATE,      // `path` created empty (or emptied)
  PLAT_IO_WRITE,       // `bytes` written at `offset` of `path`
  PLAT_IO_SYNC,        // `path` synced
  PLAT_IO_RENAME,      // `path` renamed over `to`
  PLAT_IO_REMOVE,      // `path` removed
  PLAT_IO_SYNC_FOLDER  // the folder of `path` synced
};

struct PlatIoEvent {
  PlatIoKind kind;
  std::string path;
  std::string to;
  int64_t offset;
  std::string bytes;
};

using PlatIoJournal = void (*)(const PlatIoEvent &event, void *context);

// Sets the journal (null switches it off).
void PlatSetIoJournalForTesting(PlatIoJournal journal, void *context);

// The journal's side of the stream wrappers: the path of a stream opened
// (`created`: emptied by the open), a stream closed, a write at `offset`.
// They do nothing while no journal is set.
void PlatJournalOpened(FILE *stream, const char *path, bool created);
void PlatJournalClosed(FILE *stream);
void PlatJournalWrite(FILE *stream, int64_t offset, const void *bytes, size_t count);
void PlatJournalSynced(FILE *stream);

// True while a journal is set.
bool PlatJournalOn();

// Hands an event to the journal, if one is set.
void PlatJournalNote(PlatIoKind kind, const std::string &path,
                     const std::string &to = std::string());

// --- Threads --------------------------------------------------------------

// A lock for process-wide state that calls on different threads share (the
// registry of open maps, remembered answers).  Not recursive.  Meant to live
// as a function-local static, built at its first use.
class PlatMutex {
 public:
  PlatMutex();
  ~PlatMutex();
  PlatMutex(const PlatMutex &) = delete;
  PlatMutex &operator=(const PlatMutex &) = delete;
  // Waits until this thread holds the lock.
  void Lock();
  // Releases the lock this thread holds.
  void Unlock();

 private:
  // Room for the system's lock object (checked where it is built).
  alignas(16) unsigned char storage_[64];
};

// Holds a lock (a PlatMutex, or another with Lock and Unlock) from its
// construction to the end of the scope.
template <class Lockable>
class PlatScopedLock {
 public:
  explicit PlatScopedLock(Lockable &lock) : lock_(lock) { lock_.Lock(); }
  ~PlatScopedLock() { lock_.Unlock(); }
  PlatScopedLock(const PlatScopedLock &) = delete;
  PlatScopedLock &operator=(const PlatScopedLock &) = delete;

 private:
  Lockable &lock_;
};
using PlatLockGuard = PlatScopedLock<PlatMutex>;

// --- Test hooks -----------------------------------------------------------

// Makes PlatProgramPath answer path (backslash form) instead of asking the
// OS; null goes back to the OS.
void PlatSetProgramPathForTesting(const char *path);

// Failure injection for the INI writer: the next writes fail at the chosen
// step (the temporary file is removed and the INI file is untouched).
enum PlatFault {
  PLAT_FAULT_NONE = 0,
  PLAT_FAULT_TEMP_CREATE,  // the temporary file cannot be created
  PLAT_FAULT_TEMP_WRITE,   // writing the temporary file fails
  PLAT_FAULT_RENAME        // replacing the INI file fails
};
void PlatSetFaultForTesting(PlatFault fault);

#endif
