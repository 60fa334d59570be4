// The plug-in loaded as a host loads it: the library by path, its ten entry
// points resolved by name.  One loader for dgnhost, the plug-in's tests and
// the benchmarks; the plug-in itself does not contain it.
#ifndef DGN_PLUGIN_PLUGIN_LOADER_H
#define DGN_PLUGIN_PLUGIN_LOADER_H

#include <string>
#include <vector>

#include "plugin_records.h"

// The plug-in's file name on this platform ("Dgn_plugin.dll", "Dgn_plugin.so").
extern const char kPluginFileName[];

// The ten entry points.
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

// A loaded plug-in library, unloaded when this goes.
class PluginLibrary {
 public:
  // Loads the library at `path` and resolves the ten names.
  explicit PluginLibrary(const std::string &path);
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary &) = delete;
  PluginLibrary &operator=(const PluginLibrary &) = delete;

  // Gives whether the library loaded and exports all ten names.
  bool ok() const { return library_ != nullptr && missing_.empty(); }
  // Gives the loader's reason when the library did not load (empty otherwise).
  const std::string &error() const { return error_; }
  // Gives the names the library does not export.
  const std::vector<std::string> &missing() const { return missing_; }
  // Gives the entry points (null where missing).
  const PluginApi &api() const { return api_; }
  // Gives the address of any exported name, or null.
  void *Find(const char *name) const;

 private:
  void *library_ = nullptr;
  std::string error_;
  std::vector<std::string> missing_;
  PluginApi api_;
};

#endif  // DGN_PLUGIN_PLUGIN_LOADER_H
