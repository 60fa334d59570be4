// The plug-in loaded as a host loads it (plugin_loader.h).
#include "plugin_loader.h"

#include "platform_library.h"

#if defined(_WIN32)
const char kPluginFileName[] = "Dgn_plugin.dll";
#else
const char kPluginFileName[] = "Dgn_plugin.so";
#endif

namespace {

template <typename F>
void Resolve(void *library, const char *name, F &slot, std::vector<std::string> &missing) {
  void *p = PlatFindSymbol(library, name);
  if (p == nullptr) missing.push_back(name);
  slot = reinterpret_cast<F>(p);
}

}  // namespace

PluginLibrary::PluginLibrary(const std::string &path) {
  library_ = PlatLoadLibrary(path.c_str(), error_);
  if (library_ == nullptr) return;
  Resolve(library_, "_QuarvelPlugIn_Version", api_.Version, missing_);
  Resolve(library_, "_QuarvelPlugIn_VersionPriv", api_.VersionPriv, missing_);
  Resolve(library_, "_QuarvelPlugIn_Init", api_.Init, missing_);
  Resolve(library_, "_QuarvelPlugIn_GetTipoArchivos", api_.GetTipoArchivos, missing_);
  Resolve(library_, "_QuarvelPlugIn_VersionStr", api_.VersionStr, missing_);
  Resolve(library_, "_QuarvelPlugIn_Read_Vector_Map3", api_.Read, missing_);
  Resolve(library_, "_QuarvelPlugIn_Open_Vector_Map", api_.Open, missing_);
  Resolve(library_, "_QuarvelPlugIn_Add_Poliline_Vector_Map", api_.AddPolyline, missing_);
  Resolve(library_, "_QuarvelPlugIn_Add_Layer", api_.AddLayer, missing_);
  Resolve(library_, "_QuarvelPlugIn_Close_Vector_Map", api_.Close, missing_);
}

PluginLibrary::~PluginLibrary() { PlatFreeLibrary(library_); }

void *PluginLibrary::Find(const char *name) const { return PlatFindSymbol(library_, name); }
