// POSIX implementation of the platform layer.
//
// The INI profile functions are our own reader and writer with the
// behaviour the settings rely on (default on a missing file, section or
// key; values cut to size - 1; section and key names ignoring ASCII case).
// A write changes the bytes of one value, one key line or one new section
// and nothing else, and replaces the file atomically through a temporary
// file in the same folder.
// 64-bit file offsets and inode numbers in the i386 build too: without them
// stat and readdir fail with EOVERFLOW on large file systems.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Larger INI files are not read (the host's files are a few kilobytes).
constexpr size_t kMaxIniBytes = size_t(64) << 20;

PlatFault g_fault = PLAT_FAULT_NONE;

// The byte the update lock covers: the first one past the largest design
// file the engine opens (2 GiB), which no reader of a design file reads.
constexpr off_t kUpdateLockByte = off_t(1) << 31;

std::string &ProgramPathOverride() {
  static std::string path;
  return path;
}

bool &ProgramPathOverridden() {
  static bool set = false;
  return set;
}

std::string Replace(const char *path, char from, char to) {
  std::string s = path != nullptr ? path : "";
  for (char &c : s) {
    if (c == from) c = to;
  }
  return s;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Compares a trimmed name of the file with a caller's name, ignoring ASCII
// case and the caller's blanks around it: names in the file are read
// trimmed, so without this a section or key written with a blank at either
// end could never be found again, and each write would add another line.
bool EqualIgnoringCase(const std::string &a, size_t begin, size_t end, const char *b) {
  size_t n = std::strlen(b);
  while (n > 0 && IsBlank(*b)) {
    ++b;
    --n;
  }
  while (n > 0 && IsBlank(b[n - 1])) --n;
  if (end - begin != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (LowerAscii(a[begin + i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// One line of the file: [begin, end) is its content without the line
// ending, next is where the following line starts.
struct IniLine {
  enum Kind { OTHER, SECTION, KEY } kind = OTHER;
  size_t begin = 0, end = 0, next = 0;
  size_t nameBegin = 0, nameEnd = 0;    // section or key name, trimmed
  size_t valueBegin = 0, valueEnd = 0;  // key value, trimmed
};

std::vector<IniLine> ParseIni(const std::string &data) {
  std::vector<IniLine> lines;
  size_t pos = 0;
  // A UTF-8 byte order mark is not part of the first line's text.
  if (data.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
  while (pos < data.size()) {
    IniLine line;
    line.begin = pos;
    const size_t lf = data.find('\n', pos);
    line.next = lf == std::string::npos ? data.size() : lf + 1;
    line.end = lf == std::string::npos ? data.size() : lf;
    if (line.end > line.begin && data[line.end - 1] == '\r') --line.end;
    size_t s = line.begin;
    while (s < line.end && IsBlank(data[s])) ++s;
    if (s < line.end && data[s] == '[') {
      line.kind = IniLine::SECTION;
      size_t close = data.find(']', s + 1);
      if (close == std::string::npos || close > line.end) close = line.end;
      line.nameBegin = s + 1;
      line.nameEnd = close;
    } else if (s < line.end && data[s] != ';' && data[s] != '#') {
      const size_t eq = data.find('=', s);
      if (eq != std::string::npos && eq < line.end) {
        line.kind = IniLine::KEY;
        line.nameBegin = s;
        line.nameEnd = eq;
        line.valueBegin = eq + 1;
        line.valueEnd = line.end;
        // A NUL byte ends the value as it would end a C text.
        const void *nul =
            std::memchr(data.data() + line.valueBegin, '\0', line.valueEnd - line.valueBegin);
        if (nul != nullptr)
          line.valueEnd = static_cast<size_t>(static_cast<const char *>(nul) - data.data());
      }
    }
    if (line.kind != IniLine::OTHER) {
      while (line.nameBegin < line.nameEnd && IsBlank(data[line.nameBegin])) ++line.nameBegin;
      while (line.nameEnd > line.nameBegin && IsBlank(data[line.nameEnd - 1])) --line.nameEnd;
    }
    if (line.kind == IniLine::KEY) {
      while (line.valueBegin < line.valueEnd && IsBlank(data[line.valueBegin])) ++line.valueBegin;
      while (line.valueEnd > line.valueBegin && IsBlank(data[line.valueEnd - 1])) --line.valueEnd;
    }
    lines.push_back(line);
    pos = line.next;
  }
  return lines;
}

// Where key of [section] is, or where it would go.
struct IniPlace {
  int keyLine = -1;        // the key's line, -1 when absent
  int sectionLine = -1;    // header of the first [section], -1 when absent
  int lastInSection = -1;  // last header or key line of that section
};

IniPlace FindKey(const std::string &data, const std::vector<IniLine> &lines, const char *section,
                 const char *key) {
  IniPlace place;
  bool inSection = false;
  bool inFirst = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const IniLine &l = lines[i];
    if (l.kind == IniLine::SECTION) {
      inSection = EqualIgnoringCase(data, l.nameBegin, l.nameEnd, section);
      inFirst = inSection && place.sectionLine < 0;
      if (inFirst) {
        place.sectionLine = static_cast<int>(i);
        place.lastInSection = static_cast<int>(i);
      }
    } else if (l.kind == IniLine::KEY && inSection) {
      if (inFirst) place.lastInSection = static_cast<int>(i);
      if (EqualIgnoringCase(data, l.nameBegin, l.nameEnd, key)) {
        place.keyLine = static_cast<int>(i);
        return place;
      }
    }
  }
  return place;
}

enum ReadResult { READ_OK, READ_MISSING, READ_FAILED };

ReadResult ReadWholeFile(const std::string &osPath, std::string &data) {
  data.clear();
  FILE *f = std::fopen(osPath.c_str(), "rb");
  if (f == nullptr) return errno == ENOENT ? READ_MISSING : READ_FAILED;
  char chunk[4096];
  ReadResult result = READ_OK;
  for (;;) {
    const size_t got = std::fread(chunk, 1, sizeof chunk, f);
    data.append(chunk, got);
    if (data.size() > kMaxIniBytes) {
      result = READ_FAILED;
      break;
    }
    if (got < sizeof chunk) {
      if (std::ferror(f)) result = READ_FAILED;
      break;
    }
  }
  std::fclose(f);
  return result;
}

uint32_t CopyCut(const char *text, size_t length, char *buffer, uint32_t size) {
  const size_t n = length < size - 1 ? length : size - 1;
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
  return static_cast<uint32_t>(n);
}

bool HasLineBreak(const char *s) { return std::strpbrk(s, "\r\n") != nullptr; }

bool WriteAll(int fd, const std::string &data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t w = ::write(fd, data.data() + done, data.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(w);
  }
  return true;
}

// Replaces the file at osPath by data: the bytes go to a new file in the
// same folder, which then takes the old file's place in one rename.
bool ReplaceFile(const std::string &osPath, const std::string &data, const struct stat *old) {
  if (g_fault == PLAT_FAULT_TEMP_CREATE) return false;
  std::string temp;
  int fd = -1;
  // Threads writing INI files at once each get a name of their own.
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = osPath + ".tmp" + std::to_string(static_cast<long>(::getpid())) + "_" +
           std::to_string(++counter);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  bool ok = g_fault != PLAT_FAULT_TEMP_WRITE && WriteAll(fd, data);
  if (ok && old != nullptr) {
    // Keep the INI file's permissions (and, when allowed, its owner).
    ok = ::fchmod(fd, old->st_mode & 07777) == 0;
    if (ok && ::fchown(fd, old->st_uid, old->st_gid) != 0) {
      // Only a privileged process may give a file away; the content
      // matters more than the owner.
    }
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && g_fault != PLAT_FAULT_RENAME && std::rename(temp.c_str(), osPath.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // The rename is on the disk only once the folder is.
  return PlatSyncFolderOf(osPath.c_str());
}

}  // namespace

uint32_t PlatGetPrivateProfileString(const char *section, const char *key, const char *defaultText,
                                     char *buffer, uint32_t size, const char *fileName) {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  if (section == nullptr || key == nullptr) return 0;
  const char *def = defaultText != nullptr ? defaultText : "";
  std::string data;
  if (fileName != nullptr && ReadWholeFile(PlatToOsPath(fileName), data) == READ_OK) {
    const std::vector<IniLine> lines = ParseIni(data);
    const IniPlace place = FindKey(data, lines, section, key);
    if (place.keyLine >= 0) {
      const IniLine &l = lines[static_cast<size_t>(place.keyLine)];
      return CopyCut(data.data() + l.valueBegin, l.valueEnd - l.valueBegin, buffer, size);
    }
  }
  return CopyCut(def, std::strlen(def), buffer, size);
}

bool PlatWritePrivateProfileString(const char *section, const char *key, const char *value,
                                   const char *fileName) {
  if (section == nullptr || key == nullptr || value == nullptr || fileName == nullptr ||
      fileName[0] == '\0')
    return false;
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value) ||
      std::strchr(key, '=') != nullptr || std::strchr(section, ']') != nullptr)
    return false;
  // A key that starts like a section or a comment could not be read back.
  size_t k = 0;
  while (IsBlank(key[k])) ++k;
  if (key[k] == '\0' || key[k] == '[' || key[k] == ';' || key[k] == '#') return false;

  std::string osPath = PlatToOsPath(fileName);
  struct stat st;
  if (::lstat(osPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // Write through a link to its file, not over the link.
    char *real = ::realpath(osPath.c_str(), nullptr);
    if (real == nullptr) return false;
    osPath = real;
    std::free(real);
  }
  std::string data;
  const ReadResult read = ReadWholeFile(osPath, data);
  if (read == READ_FAILED) return false;
  const bool existed = read == READ_OK;
  if (existed) {
    if (::stat(osPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    // A read-only INI file is not replaced behind its owner's back.
    if (::access(osPath.c_str(), W_OK) != 0) return false;
  }

  const std::vector<IniLine> lines = ParseIni(data);
  const IniPlace place = FindKey(data, lines, section, key);
  std::string eol = "\n";
  const size_t firstLf = data.find('\n');
  if (firstLf != std::string::npos && firstLf > 0 && data[firstLf - 1] == '\r') eol = "\r\n";
  const bool endsWithNewline = data.empty() || data.back() == '\n';
  // What ends the file's last line before anything is added after it.  A
  // last line that ends in a lone CR only needs the LF of its CRLF: a whole
  // line break after the CR would leave the CR in that line's value.
  const std::string lastLineEnd = !data.empty() && data.back() == '\r' ? "\n" : eol;

  std::string updated;
  if (place.keyLine >= 0) {
    const IniLine &l = lines[static_cast<size_t>(place.keyLine)];
    if (data.compare(l.valueBegin, l.valueEnd - l.valueBegin, value) == 0)
      return true;  // already holds this value: nothing to change
    updated = data.substr(0, l.valueBegin) + value + data.substr(l.valueEnd);
  } else if (place.sectionLine >= 0) {
    const IniLine &l = lines[static_cast<size_t>(place.lastInSection)];
    const std::string entry = std::string(key) + "=" + value;
    if (l.next == data.size() && !endsWithNewline)
      updated = data + lastLineEnd + entry;  // the file still ends without a newline
    else
      updated = data.substr(0, l.next) + entry + eol + data.substr(l.next);
  } else {
    const std::string block = "[" + std::string(section) + "]" + eol + key + "=" + value;
    if (endsWithNewline)
      updated = data + block + eol;
    else
      updated = data + lastLineEnd + block;
  }
  return ReplaceFile(osPath, updated, existed ? &st : nullptr);
}

uint32_t PlatGetFileAttributes(const char *path) {
  if (path == nullptr || path[0] == '\0') return PLAT_INVALID_FILE_ATTRIBUTES;
  struct stat st;
  if (::stat(PlatToOsPath(path).c_str(), &st) != 0) return PLAT_INVALID_FILE_ATTRIBUTES;
  return S_ISDIR(st.st_mode) ? PLAT_FILE_ATTRIBUTE_DIRECTORY : PLAT_FILE_ATTRIBUTE_NORMAL;
}

bool PlatHasDrives() { return false; }

uint32_t PlatGetLogicalDrives() { return 0; }

bool PlatQueryDebugger() {
  FILE *f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return false;
  char line[256];
  bool traced = false;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "TracerPid:", 10) == 0) {
      traced = std::strtol(line + 10, nullptr, 10) != 0;
      break;
    }
  }
  std::fclose(f);
  return traced;
}

void PlatDebugBreak() { std::raise(SIGTRAP); }

std::string PlatProgramPath() {
  if (ProgramPathOverridden()) return ProgramPathOverride();
  std::vector<char> buf(256);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < buf.size())
      return Replace(std::string(buf.data(), static_cast<size_t>(n)).c_str(), '/', '\\');
    if (buf.size() >= 65536) return std::string();
    buf.resize(buf.size() * 2);
  }
}

int PlatCurrentDrive() { return -1; }

std::string PlatCurrentDirectory() {
  std::vector<char> buf(266);
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE || buf.size() >= 65536) return std::string();
    buf.resize(buf.size() * 2);
  }
  const char *p = buf.data();
  while (*p == '/') ++p;
  return Replace(p, '/', '\\');
}

std::string PlatToOsPath(const char *path) { return Replace(path, '\\', '/'); }

std::string PlatFromOsPath(const char *path) { return Replace(path, '/', '\\'); }

int64_t PlatStreamFileSize(FILE *stream) {
  if (stream == nullptr) return -1;
  struct stat st;
  if (::fstat(::fileno(stream), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool PlatSameFile(const char *a, const char *b) {
  if (a == nullptr || b == nullptr) return false;
  struct stat sa, sb;
  return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

bool PlatRenameOver(const char *from, const char *to, std::string &error) {
  if (std::rename(from, to) == 0) {
    PlatJournalNote(PLAT_IO_RENAME, from, to);
    return true;
  }
  error = std::strerror(errno);
  return false;
}

bool PlatRenameOverHeld(FILE *held, const char *from, const char *to, std::string &error) {
  const bool renamed = PlatRenameOver(from, to, error);
  // The lock goes with the old file, after the new one took its name.
  if (held != nullptr) std::fclose(held);
  return renamed;
}

bool PlatSyncStream(FILE *stream) {
  if (stream == nullptr || std::fflush(stream) != 0) return false;
  int result;
  do {
    result = ::fsync(::fileno(stream));
  } while (result != 0 && errno == EINTR);
  if (result != 0) return false;
  PlatJournalSynced(stream);
  return true;
}

bool PlatSyncFolderOf(const char *path) {
  if (path == nullptr) return false;
  const std::string p = path;
  const size_t slash = p.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : p.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int result;
  do {
    result = ::fsync(fd);
  } while (result != 0 && errno == EINTR);
  // Some file systems cannot sync a folder (EINVAL): their entries are
  // committed with the files.
  const bool ok = result == 0 || errno == EINVAL;
  ::close(fd);
  if (ok) PlatJournalNote(PLAT_IO_SYNC_FOLDER, path);
  return ok;
}

FILE *PlatCreateNewFile(const std::string &stem, const char *suffix, const char *like,
                        std::string &name, std::string &error) {
  mode_t mode = 0666;
  struct stat st;
  if (like != nullptr && ::stat(like, &st) == 0 && S_ISREG(st.st_mode)) mode = st.st_mode & 0777;
  // The unpredictable part comes from the system's random source, so that
  // nobody can place a link or a file at the name beforehand.
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[8] = {0};
    FILE *urandom = std::fopen("/dev/urandom", "rb");
    const bool got =
        urandom != nullptr && std::fread(random, 1, sizeof random, urandom) == sizeof random;
    if (urandom != nullptr) std::fclose(urandom);
    char part[40];
    if (got) {
      std::snprintf(part, sizeof part, "%02x%02x%02x%02x%02x%02x%02x%02x", random[0], random[1],
                    random[2], random[3], random[4], random[5], random[6], random[7]);
    } else {
      std::snprintf(part, sizeof part, "%lx%x%lx", static_cast<unsigned long>(::getpid()),
                    ++counter, static_cast<unsigned long>(reinterpret_cast<uintptr_t>(&st)));
    }
    name = stem + part + (suffix != nullptr ? suffix : "");
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      error = std::strerror(errno);
      name.clear();
      return nullptr;
    }
    // The umask may have taken bits away: the target's permissions win.
    if (like != nullptr && mode != 0666 && ::fchmod(fd, mode) != 0) {
      // Permissions are a courtesy; the file is still ours alone to write.
    }
    FILE *stream = ::fdopen(fd, "w+b");
    if (stream == nullptr) {
      error = std::strerror(errno);
      ::close(fd);
      ::unlink(name.c_str());
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
  if (path == nullptr || ::unlink(path) != 0) return false;
  PlatJournalNote(PLAT_IO_REMOVE, path);
  return true;
}

std::string PlatMakeTempFolder(const char *prefix) {
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" +
                        (prefix != nullptr ? prefix : "") + "XXXXXX";
  if (::mkdtemp(&pattern[0]) == nullptr) return std::string();
  return pattern + "/";
}

bool PlatRemoveFolder(const char *path) { return path != nullptr && ::rmdir(path) == 0; }

unsigned long PlatProcessId() { return static_cast<unsigned long>(::getpid()); }

bool PlatIsTerminal(FILE *stream) { return stream != nullptr && ::isatty(::fileno(stream)) != 0; }

namespace {

// Sets (F_WRLCK) or clears (F_UNLCK) the update lock on a descriptor; gives 0
// or the errno of the failure.
int SetUpdateLock(int fd, short type) {
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = kUpdateLockByte;
  lock.l_len = 1;
#ifdef F_OFD_SETLK
  // Locks of the open file description belong to the stream, not to the
  // process: two handles of one process exclude each other too, and the
  // close of some other descriptor of the file leaves the lock in place.
  if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return 0;
  if (errno != EINVAL) return errno;
    // A kernel without them: the process-wide kind, which does not keep
    // out the other handles of this process, and which the close of any
    // stream of this process on the file gives up.
#endif
  return ::fcntl(fd, F_SETLK, &lock) == 0 ? 0 : errno;
}

}  // namespace

PlatLockResult PlatLockForUpdate(FILE *stream) {
  if (stream == nullptr) return PLAT_LOCK_UNSUPPORTED;
  const int error = SetUpdateLock(::fileno(stream), F_WRLCK);
  if (error == 0) return PLAT_LOCK_TAKEN;
  if (error == EAGAIN || error == EACCES) return PLAT_LOCK_BUSY;
  // ENOLCK, EINVAL, EOPNOTSUPP...: a file system without locks.
  return PLAT_LOCK_UNSUPPORTED;
}

void PlatUnlockForUpdate(FILE *stream) {
  if (stream != nullptr) SetUpdateLock(::fileno(stream), F_UNLCK);
}

static_assert(sizeof(pthread_mutex_t) <= 64 && alignof(pthread_mutex_t) <= 16,
              "PlatMutex::storage_ holds a pthread_mutex_t");

PlatMutex::PlatMutex() {
  auto *mutex = new (storage_) pthread_mutex_t;
  pthread_mutex_init(mutex, nullptr);
}

PlatMutex::~PlatMutex() { pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t *>(storage_)); }

void PlatMutex::Lock() { pthread_mutex_lock(reinterpret_cast<pthread_mutex_t *>(storage_)); }

void PlatMutex::Unlock() { pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t *>(storage_)); }

void PlatSetProgramPathForTesting(const char *path) {
  ProgramPathOverridden() = path != nullptr;
  ProgramPathOverride() = path != nullptr ? path : "";
}

void PlatSetFaultForTesting(PlatFault fault) { g_fault = fault; }
