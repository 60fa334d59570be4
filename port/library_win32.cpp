// Shared libraries on Windows (platform_library.h).
#include "platform_library.h"

#include <windows.h>

void *PlatLoadLibrary(const char *path, std::string &error) {
  HMODULE library = LoadLibraryA(path);
  if (library == nullptr)
    error = std::string("cannot load ") + path + " (error " + std::to_string(GetLastError()) + ")";
  return reinterpret_cast<void *>(library);
}

void *PlatFindSymbol(void *library, const char *name) {
  if (library == nullptr) return nullptr;
  return reinterpret_cast<void *>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}

void PlatFreeLibrary(void *library) {
  if (library != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(library));
}
