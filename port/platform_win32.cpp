// Windows implementation of the platform layer: the system's own profile,
// file, drive, lock, debugger and module functions, and the C runtime's
// current directory.
#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <direct.h>
#include <io.h>
#include <windows.h>

namespace {

PlatFault g_fault = PLAT_FAULT_NONE;

std::string &ProgramPathOverride() {
  static std::string path;
  return path;
}

bool &ProgramPathOverridden() {
  static bool set = false;
  return set;
}

bool HasLineBreak(const char *s) { return std::strpbrk(s, "\r\n") != nullptr; }

// The system handle of an open stream, or INVALID_HANDLE_VALUE.
HANDLE HandleOf(FILE *stream) {
  if (stream == nullptr) return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// The byte the update lock covers: the first one past the largest design
// file the engine opens (2 GiB).  A lock on Windows stops every other
// handle from reading the bytes it covers, so it must not cover the file's
// own bytes.
constexpr DWORD kUpdateLockByteLow = 0x80000000u;
constexpr DWORD kUpdateLockByteHigh = 0;

}  // namespace

uint32_t PlatGetPrivateProfileString(const char *section, const char *key, const char *defaultText,
                                     char *buffer, uint32_t size, const char *fileName) {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  // Null section or key would enumerate names: not a value read.
  if (section == nullptr || key == nullptr) return 0;
  return GetPrivateProfileStringA(section, key, defaultText != nullptr ? defaultText : "", buffer,
                                  size, fileName);
}

bool PlatWritePrivateProfileString(const char *section, const char *key, const char *value,
                                   const char *fileName) {
  // Null value or key would delete entries; line breaks would split lines.
  if (section == nullptr || key == nullptr || value == nullptr || fileName == nullptr ||
      fileName[0] == '\0')
    return false;
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value) ||
      std::strchr(key, '=') != nullptr || std::strchr(section, ']') != nullptr)
    return false;
  if (g_fault != PLAT_FAULT_NONE) return false;
  return WritePrivateProfileStringA(section, key, value, fileName) != 0;
}

uint32_t PlatGetFileAttributes(const char *path) {
  if (path == nullptr || path[0] == '\0') return PLAT_INVALID_FILE_ATTRIBUTES;
  return GetFileAttributesA(path);
}

bool PlatHasDrives() { return true; }

uint32_t PlatGetLogicalDrives() { return GetLogicalDrives(); }

bool PlatQueryDebugger() {
  OSVERSIONINFOA version;
  std::memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;  // 148 bytes
  if (!GetVersionExA(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT) return false;
  HMODULE kernel = LoadLibraryA("kernel32.dll");
  if (kernel == nullptr) return false;
  typedef BOOL(WINAPI * IsDebuggerPresentFn)(void);
  const FARPROC proc = GetProcAddress(kernel, "IsDebuggerPresent");
  bool attached = false;
  if (proc != nullptr) {
    IsDebuggerPresentFn fn;
    static_assert(sizeof fn == sizeof proc, "function pointer sizes");
    std::memcpy(&fn, &proc, sizeof fn);
    attached = fn() != 0;
  }
  FreeLibrary(kernel);
  return attached;
}

void PlatDebugBreak() { DebugBreak(); }

std::string PlatProgramPath() {
  if (ProgramPathOverridden()) return ProgramPathOverride();
  // The system's own record of the host's executable: the first argument
  // holds only what was typed, a bare "host.exe" when the host was started
  // from PATH or from inside its own folder.  The answer is cut (and on
  // older systems left unterminated) when the buffer is too small, so the
  // buffer grows until the whole path fits.
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (n == 0) return std::string();
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    if (path.size() >= 65536) return std::string();
    path.resize(path.size() * 2);
  }
}

int PlatCurrentDrive() { return _getdrive() - 1; }

std::string PlatCurrentDirectory() {
  char *cwd = _getdcwd(0, nullptr, 0);
  if (cwd == nullptr) return std::string();
  const char *p = cwd;
  if (p[0] != '\0' && p[1] == ':') p += 2;
  while (*p == '\\') ++p;
  std::string result = p;
  std::free(cwd);
  return result;
}

std::string PlatToOsPath(const char *path) { return path != nullptr ? path : ""; }

std::string PlatFromOsPath(const char *path) { return path != nullptr ? path : ""; }

int64_t PlatStreamFileSize(FILE *stream) {
  const HANDLE h = HandleOf(stream);
  if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK) return -1;
  DWORD high = 0;
  const DWORD low = GetFileSize(h, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return -1;
  return (static_cast<int64_t>(high) << 32) | low;
}

PlatLockResult PlatLockForUpdate(FILE *stream) {
  const HANDLE h = HandleOf(stream);
  if (h == INVALID_HANDLE_VALUE) return PLAT_LOCK_UNSUPPORTED;
  // Locks belong to the handle: a second handle, in this process or
  // another, is refused at once.
  if (LockFile(h, kUpdateLockByteLow, kUpdateLockByteHigh, 1, 0)) return PLAT_LOCK_TAKEN;
  const DWORD error = GetLastError();
  if (error == ERROR_LOCK_VIOLATION || error == ERROR_SHARING_VIOLATION) return PLAT_LOCK_BUSY;
  return PLAT_LOCK_UNSUPPORTED;
}

void PlatUnlockForUpdate(FILE *stream) {
  const HANDLE h = HandleOf(stream);
  if (h != INVALID_HANDLE_VALUE) UnlockFile(h, kUpdateLockByteLow, kUpdateLockByteHigh, 1, 0);
}

namespace {

// The volume and file number of an existing file; false when it cannot be opened.
bool FileIdentity(const char *path, BY_HANDLE_FILE_INFORMATION &info) {
  // No access is asked for: the handle only serves to ask who the file is.
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  return ok;
}

}  // namespace

bool PlatSameFile(const char *a, const char *b) {
  if (a == nullptr || b == nullptr) return false;
  BY_HANDLE_FILE_INFORMATION ia, ib;
  return FileIdentity(a, ia) && FileIdentity(b, ib) &&
         ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool PlatRenameOver(const char *from, const char *to, std::string &error) {
  // Write-through: the move is on the disk when the call returns.
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
    PlatJournalNote(PLAT_IO_RENAME, from, to);
    return true;
  }
  error = "error " + std::to_string(GetLastError());
  return false;
}

bool PlatRenameOverHeld(FILE *held, const char *from, const char *to, std::string &error) {
  // A file open here cannot be replaced: the hold ends just before.
  if (held != nullptr) std::fclose(held);
  return PlatRenameOver(from, to, error);
}

bool PlatSyncStream(FILE *stream) {
  if (stream == nullptr || std::fflush(stream) != 0) return false;
  const HANDLE h = HandleOf(stream);
  if (h == INVALID_HANDLE_VALUE || FlushFileBuffers(h) == 0) return false;
  PlatJournalSynced(stream);
  return true;
}

bool PlatSyncFolderOf(const char *path) {
  if (path == nullptr) return false;
  PlatJournalNote(PLAT_IO_SYNC_FOLDER, path);
  return true;
}

FILE *PlatCreateNewFile(const std::string &stem, const char *suffix, const char *like,
                        std::string &name, std::string &error) {
  DWORD attributes = FILE_ATTRIBUTE_NORMAL;
  if (like != nullptr) {
    const DWORD a = GetFileAttributesA(like);
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0)
      attributes = a & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
  }
  // A read-only target's copy must still be writable by us until it is done.
  attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
  for (int attempt = 0; attempt < 100; ++attempt) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    char part[48];
    std::snprintf(part, sizeof part, "%08lx%08lx%04x",
                  static_cast<unsigned long>(GetCurrentProcessId()),
                  static_cast<unsigned long>(now.LowPart),
                  static_cast<unsigned>(attempt * 7919u + GetTickCount()) & 0xFFFFu);
    name = stem + part + (suffix != nullptr ? suffix : "");
    // CREATE_NEW fails on any existing name, a link included.
    const HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 attributes, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      error = "error " + std::to_string(GetLastError());
      name.clear();
      return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), 0);
    FILE *stream = fd < 0 ? nullptr : _fdopen(fd, "w+b");
    if (stream == nullptr) {
      if (fd < 0) {
        CloseHandle(h);
      } else {
        _close(fd);
      }
      DeleteFileA(name.c_str());
      error = "cannot open the new file";
      name.clear();
      return nullptr;
    }
    PlatJournalOpened(stream, name.c_str(), true);
    return stream;
  }
  error = "no free name";
  name.clear();
  return nullptr;
}

bool PlatRemoveFile(const char *path) {
  if (path == nullptr || DeleteFileA(path) == 0) return false;
  PlatJournalNote(PLAT_IO_REMOVE, path);
  return true;
}

std::string PlatMakeTempFolder(const char *prefix) {
  char base[MAX_PATH];
  const DWORD n = GetTempPathA(sizeof base, base);
  if (n == 0 || n >= sizeof base) return std::string();
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    char name[MAX_PATH + 64];
    std::snprintf(name, sizeof name, "%s%s%lu-%u", base, prefix != nullptr ? prefix : "",
                  GetCurrentProcessId(), attempt);
    if (_mkdir(name) == 0) return std::string(name) + "\\";
  }
  return std::string();
}

bool PlatRemoveFolder(const char *path) { return path != nullptr && _rmdir(path) == 0; }

unsigned long PlatProcessId() { return GetCurrentProcessId(); }

bool PlatIsTerminal(FILE *stream) { return stream != nullptr && _isatty(_fileno(stream)) != 0; }

static_assert(sizeof(CRITICAL_SECTION) <= 64 && alignof(CRITICAL_SECTION) <= 16,
              "PlatMutex::storage_ holds a CRITICAL_SECTION");

PlatMutex::PlatMutex() { InitializeCriticalSection(new (storage_) CRITICAL_SECTION); }

PlatMutex::~PlatMutex() { DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION *>(storage_)); }

void PlatMutex::Lock() { EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION *>(storage_)); }

void PlatMutex::Unlock() { LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION *>(storage_)); }

void PlatSetProgramPathForTesting(const char *path) {
  ProgramPathOverridden() = path != nullptr;
  ProgramPathOverride() = path != nullptr ? path : "";
}

void PlatSetFaultForTesting(PlatFault fault) { g_fault = fault; }
