// dgnhost's file operations that differ between systems.
#include "dgnhost_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#if defined(_WIN32)

namespace {

// The volume and file number of an existing file; false when it cannot be opened.
bool FileIdentity(const std::string &path, BY_HANDLE_FILE_INFORMATION &info) {
  // No access is asked for: the handle only serves to ask who the file is.
  HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  return ok;
}

}  // namespace

bool SameFile(const std::string &a, const std::string &b) {
  if (a == b) return true;
  BY_HANDLE_FILE_INFORMATION ia, ib;
  return FileIdentity(a, ia) && FileIdentity(b, ib) &&
         ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

std::string TempNameBeside(const std::string &target) {
  return target + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
}

bool RenameOver(const std::string &from, const std::string &to, std::string &error) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0) return true;
  error = "error " + std::to_string(GetLastError());
  return false;
}

#else

bool SameFile(const std::string &a, const std::string &b) {
  if (a == b) return true;
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string TempNameBeside(const std::string &target) {
  return target + "." + std::to_string(static_cast<long>(getpid())) + ".tmp";
}

bool RenameOver(const std::string &from, const std::string &to, std::string &error) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  error = std::strerror(errno);
  return false;
}

#endif
