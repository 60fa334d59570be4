// Shared libraries loaded at run time, as a host loads the plug-in: the one
// place where the tools, tests and benchmarks reach the system's loader
// (dlopen / LoadLibraryA), with one implementation per platform
// (library_posix.cpp, library_win32.cpp).  The plug-in itself never loads a
// library, so this is a library of its own (platform_library).
#ifndef DGN_PORT_PLATFORM_LIBRARY_H
#define DGN_PORT_PLATFORM_LIBRARY_H

#include <string>

// Loads the shared library at `path` (OS form); null with the loader's
// reason in `error` when it cannot.
void *PlatLoadLibrary(const char *path, std::string &error);
// Gives the address of an exported name of a loaded library, or null.
void *PlatFindSymbol(void *library, const char *name);
// Unloads a library PlatLoadLibrary gave; null is ignored.
void PlatFreeLibrary(void *library);

#endif  // DGN_PORT_PLATFORM_LIBRARY_H
