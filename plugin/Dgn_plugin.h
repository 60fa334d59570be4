// The ten entry points that the host finds by name in the plug-in library.
#ifndef DGN_PLUGIN_H
#define DGN_PLUGIN_H

#include "plugin_records.h"

#if defined(_WIN32)
#define QPLUGIN_EXPORT  // exported by name through Dgn_plugin.def
#else
#define QPLUGIN_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Interface version the host checks: 4.
QPLUGIN_EXPORT int32_t _QuarvelPlugIn_Version(void);
// Private interface version: 1.
QPLUGIN_EXPORT int32_t _QuarvelPlugIn_VersionPriv(void);
// Initialises nothing; always true.
QPLUGIN_EXPORT TPlugInBool _QuarvelPlugIn_Init(void);
// The file-type text "6|DGN Vector Maps|dgn|" (static, never freed).
QPLUGIN_EXPORT const char *_QuarvelPlugIn_GetTipoArchivos(void);
// The version text (static, never freed).
QPLUGIN_EXPORT const char *_QuarvelPlugIn_VersionStr(void);
// Sends every line, line string, shape and text of the open map to the host,
// then one layer per level used; false only when the host cancels.
QPLUGIN_EXPORT TPlugInBool _QuarvelPlugIn_Read_Vector_Map3(TVectorMapPlugIn *map,
                                                           TVectorCallbacksPlugIn *callbacks,
                                                           TMessagePlugIn *sink,
                                                           TProgressPlugIn *progress);
// Opens an existing DGN file or creates a new one from the seed file; true when open.
QPLUGIN_EXPORT TPlugInBool _QuarvelPlugIn_Open_Vector_Map(const char *path, TVectorMapPlugIn *map,
                                                          TMessagePlugIn *sink);
// Writes one host polyline or polygon into the open map as line strings or shapes.
QPLUGIN_EXPORT TPlugInBool _QuarvelPlugIn_Add_Poliline_Vector_Map(TVectorMapPlugIn *map,
                                                                  TVectorObjectPlugIn *object,
                                                                  int32_t count,
                                                                  TVectorPointPlugIn *points,
                                                                  TMessagePlugIn *sink);
// Accepts a layer and does nothing with it; always true.
QPLUGIN_EXPORT TPlugInBool _QuarvelPlugIn_Add_Layer(void);
// Closes the map's file and empties its handle; always true.
QPLUGIN_EXPORT TPlugInBool _QuarvelPlugIn_Close_Vector_Map(TVectorMapPlugIn *map);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // DGN_PLUGIN_H
