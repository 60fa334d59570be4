// dgnhost: a command-line host for the DGN plug-in.  It loads the plug-in at
// run time by path, exactly as the mapping host does, and drives it through
// its ten exports.
#include <cstdio>
#include <cstring>
#include <string>

#include "plugin_records.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace {

#if defined(_WIN32)
const char kPluginFile[] = "Dgn_plugin.dll";
#else
const char kPluginFile[] = "Dgn_plugin.so";
#endif

// The plug-in's exports, resolved by name.
struct PluginApi {
  int32_t (*Version)(void) = nullptr;
  int32_t (*VersionPriv)(void) = nullptr;
  TPlugInBool (*Init)(void) = nullptr;
  const char *(*GetTipoArchivos)(void) = nullptr;
  const char *(*VersionStr)(void) = nullptr;
  TPlugInBool (*Read)(TVectorMapPlugIn *, TVectorCallbacksPlugIn *, TMessagePlugIn *,
                      TProgressPlugIn *) = nullptr;
  TPlugInBool (*Open)(const char *, TVectorMapPlugIn *, TMessagePlugIn *) = nullptr;
  TPlugInBool (*AddPolyline)(TVectorMapPlugIn *, TVectorObjectPlugIn *, int32_t,
                             TVectorPointPlugIn *, TMessagePlugIn *) = nullptr;
  TPlugInBool (*AddLayer)(void) = nullptr;
  TPlugInBool (*Close)(TVectorMapPlugIn *) = nullptr;
};

void *LoadPlugin(const std::string &path, std::string &error) {
#if defined(_WIN32)
  HMODULE h = LoadLibraryA(path.c_str());
  if (h == nullptr) error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
  return reinterpret_cast<void *>(h);
#else
  void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) error = dlerror();
  return h;
#endif
}

void *FindExport(void *lib, const char *name) {
#if defined(_WIN32)
  return reinterpret_cast<void *>(GetProcAddress(reinterpret_cast<HMODULE>(lib), name));
#else
  return dlsym(lib, name);
#endif
}

template <typename F>
bool Resolve(void *lib, const char *name, F &slot) {
  void *p = FindExport(lib, name);
  if (p == nullptr) {
    std::fprintf(stderr, "dgnhost: the plug-in has no export %s\n", name);
    return false;
  }
  slot = reinterpret_cast<F>(p);
  return true;
}

bool ResolveAll(void *lib, PluginApi &api) {
  bool ok = true;
  ok &= Resolve(lib, "_QuarvelPlugIn_Version", api.Version);
  ok &= Resolve(lib, "_QuarvelPlugIn_VersionPriv", api.VersionPriv);
  ok &= Resolve(lib, "_QuarvelPlugIn_Init", api.Init);
  ok &= Resolve(lib, "_QuarvelPlugIn_GetTipoArchivos", api.GetTipoArchivos);
  ok &= Resolve(lib, "_QuarvelPlugIn_VersionStr", api.VersionStr);
  ok &= Resolve(lib, "_QuarvelPlugIn_Read_Vector_Map3", api.Read);
  ok &= Resolve(lib, "_QuarvelPlugIn_Open_Vector_Map", api.Open);
  ok &= Resolve(lib, "_QuarvelPlugIn_Add_Poliline_Vector_Map", api.AddPolyline);
  ok &= Resolve(lib, "_QuarvelPlugIn_Add_Layer", api.AddLayer);
  ok &= Resolve(lib, "_QuarvelPlugIn_Close_Vector_Map", api.Close);
  return ok;
}

// The folder of the running program, with its trailing separator.
std::string ProgramDir(const char *argv0) {
#if defined(_WIN32)
  char buf[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  std::string p = (n > 0 && n < sizeof buf) ? std::string(buf, n) : std::string(argv0);
  size_t slash = p.find_last_of("\\/");
#else
  std::string p;
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  p = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string(argv0);
  size_t slash = p.find_last_of('/');
#endif
  return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

int Usage(FILE *out) {
  std::fprintf(out,
               "usage: dgnhost [--plugin PATH] COMMAND [ARGS]\n"
               "\n"
               "commands:\n"
               "  info      print the plug-in's version and file-type answers\n"
               "\n"
               "--plugin PATH  the plug-in library to load (default: %s beside dgnhost)\n",
               kPluginFile);
  return out == stdout ? 0 : 2;
}

int CmdInfo(const PluginApi &api) {
  std::printf("interface version: %d\n", api.Version());
  std::printf("private version:   %d\n", api.VersionPriv());
  std::printf("init:              %s\n", api.Init() ? "true" : "false");
  std::printf("file types:        %s\n", api.GetTipoArchivos());
  std::printf("version text:      %s\n", api.VersionStr());
  std::printf("add layer:         %s\n", api.AddLayer() ? "true" : "false");
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::string pluginPath;
  int i = 1;
  for (; i < argc; ++i) {
    if (std::strcmp(argv[i], "--plugin") == 0 && i + 1 < argc) {
      pluginPath = argv[++i];
    } else if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      return Usage(stdout);
    } else {
      break;
    }
  }
  if (i >= argc) return Usage(stderr);
  if (pluginPath.empty()) pluginPath = ProgramDir(argv[0]) + kPluginFile;

  std::string error;
  void *lib = LoadPlugin(pluginPath, error);
  if (lib == nullptr) {
    std::fprintf(stderr, "dgnhost: %s\n", error.c_str());
    return 1;
  }
  PluginApi api;
  if (!ResolveAll(lib, api)) return 1;

  const std::string cmd = argv[i];
  if (cmd == "info") return CmdInfo(api);
  std::fprintf(stderr, "dgnhost: unknown command '%s'\n", cmd.c_str());
  return Usage(stderr);
}
