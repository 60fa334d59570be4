// Shared libraries on POSIX systems (platform_library.h).
#include "platform_library.h"

#include <dlfcn.h>

void *PlatLoadLibrary(const char *path, std::string &error) {
  void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char *why = dlerror();
    error = why != nullptr ? why : std::string("cannot load ") + path;
  }
  return library;
}

void *PlatFindSymbol(void *library, const char *name) {
  return library != nullptr ? dlsym(library, name) : nullptr;
}

void PlatFreeLibrary(void *library) {
  if (library != nullptr) dlclose(library);
}
