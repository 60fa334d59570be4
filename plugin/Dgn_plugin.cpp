// The plug-in's exported entry points.
#include "Dgn_plugin.h"

namespace {

const char kFileTypes[] = "6|DGN Vector Maps|dgn|";
const char kVersionText[] = "QuarvelGPS DGN Plug-In, version 1.00";

void SendMessage(TMessagePlugIn *sink, const char *text) {
  if (sink != nullptr && sink->Show != nullptr) sink->Show(sink, text);
}

}  // namespace

extern "C" {

int32_t _QuarvelPlugIn_Version(void) { return 4; }

int32_t _QuarvelPlugIn_VersionPriv(void) { return 1; }

TPlugInBool _QuarvelPlugIn_Init(void) { return 1; }

const char *_QuarvelPlugIn_GetTipoArchivos(void) { return kFileTypes; }

const char *_QuarvelPlugIn_VersionStr(void) { return kVersionText; }

TPlugInBool _QuarvelPlugIn_Read_Vector_Map3(TVectorMapPlugIn *, TVectorCallbacksPlugIn *,
                                            TMessagePlugIn *sink, TProgressPlugIn *) {
  SendMessage(sink, "Reading DGN maps is not available yet in this build.");
  return 0;
}

TPlugInBool _QuarvelPlugIn_Open_Vector_Map(const char *, TVectorMapPlugIn *, TMessagePlugIn *sink) {
  SendMessage(sink, "Opening DGN maps is not available yet in this build.");
  return 0;
}

TPlugInBool _QuarvelPlugIn_Add_Poliline_Vector_Map(TVectorMapPlugIn *, TVectorObjectPlugIn *,
                                                   int32_t, TVectorPointPlugIn *,
                                                   TMessagePlugIn *sink) {
  SendMessage(sink, "Saving DGN maps is not available yet in this build.");
  return 0;
}

TPlugInBool _QuarvelPlugIn_Add_Layer(void) { return 1; }

TPlugInBool _QuarvelPlugIn_Close_Vector_Map(TVectorMapPlugIn *map) {
  if (map != nullptr) map->handle = nullptr;
  return 1;
}

}  // extern "C"
