// The plug-in's exported entry points: the informational answers, opening and
// closing maps, and the import of a DGN file into the host's objects and
// layers.  Map creation from a seed file and the polyline export hang off the
// same entry points (CreateMapFromSeed and _QuarvelPlugIn_Add_Poliline_Vector_Map).
//
// Nothing thrown inside the library crosses into the host: every entry point
// that can reach a throwing operation catches at its boundary and answers with
// a message and false.
#include "Dgn_plugin.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "Configuracion.h"
#include "DString.h"
#include "NomFitx.h"
#include "Vector.h"
#include "cpl_error.h"
#include "dgnmodel.h"
#include "platform.h"

namespace {

const char kFileTypes[] = "6|DGN Vector Maps|dgn|";
const char kVersionText[] = "QuarvelGPS DGN Plug-In, version 1.00";

// Messages of the open entry point.
const char kOpenRefused[] = "Error in QuarvelPlugIn_Open_Vector_Map attribute file open.";
const char kOpenFailed[] = "Error in DGN (QuarvelPlugIn_Open_Vector_Map) opening file ";
const char kOpenNoPath[] =
    "Error in DGN (QuarvelPlugIn_Open_Vector_Map) opening file: no file name was given.";
const char kOpenNoMap[] = "Error in QuarvelPlugIn_Open_Vector_Map: no map record was given.";
const char kOpenException[] = "Exception Error opening DGN";

// Messages of the import.
const char kReadStop[] = "STOP";
const char kReadException[] = "Exception Error reading DGN";

// Names used in the "map is not open" messages.
const char kReadName[] = "QuarvelPlugIn_Read_Vector_Map3";
const char kAddName[] = "QuarvelPlugIn_Add_Poliline_Vector_Map";

// Host colour of pure white; the host takes 0 as its own default instead.
constexpr int32_t kHostWhite = 0xFFFFFF;

// Size of the buffer a layer name is formatted into.
constexpr int kLayerNameBytes = 100;

// ---------------------------------------------------------------------------
// Host callbacks.  A null table, object or sink is treated like one whose
// slots are all null: nothing is called through it.
// ---------------------------------------------------------------------------

void ShowMessage(TMessagePlugIn *sink, const char *text) {
  if (sink != nullptr && sink->Show != nullptr) sink->Show(sink, text);
}

const TProgressOpsPlugIn *ProgressOps(TProgressPlugIn *progress) {
  return progress != nullptr ? progress->ops : nullptr;
}

void ProgressSetTotal(TProgressPlugIn *progress, int32_t total) {
  const TProgressOpsPlugIn *ops = ProgressOps(progress);
  if (ops != nullptr && ops->SetTotal != nullptr) ops->SetTotal(progress, total);
}

void ProgressStep(TProgressPlugIn *progress) {
  const TProgressOpsPlugIn *ops = ProgressOps(progress);
  if (ops != nullptr && ops->Step != nullptr) ops->Step(progress, 1);
}

bool ProgressIsCancelled(TProgressPlugIn *progress) {
  const TProgressOpsPlugIn *ops = ProgressOps(progress);
  return ops != nullptr && ops->IsCancelled != nullptr && ops->IsCancelled(progress) != 0;
}

int32_t HostAddObject(TVectorCallbacksPlugIn *callbacks, TVectorObjectPlugIn *object) {
  if (callbacks == nullptr || callbacks->AddObject == nullptr) return -1;
  return callbacks->AddObject(callbacks, object);
}

void HostAddPoint(TVectorCallbacksPlugIn *callbacks, int32_t object, TVectorPointPlugIn *point,
                  int32_t flag) {
  if (callbacks != nullptr && callbacks->AddPoint != nullptr)
    callbacks->AddPoint(callbacks, object, point, flag);
}

void HostAddLayer(TVectorCallbacksPlugIn *callbacks, TVectorObjectPlugIn *layer) {
  if (callbacks != nullptr && callbacks->AddLayer != nullptr) callbacks->AddLayer(callbacks, layer);
}

// ---------------------------------------------------------------------------
// Open maps.  The handle in a host's map record is only trusted when this
// library opened it and has not closed it yet: a record that was never
// opened, was closed, or holds a stale copy of a closed handle is answered
// with a message instead of being dereferenced.
// ---------------------------------------------------------------------------

// Gives the files this library has opened and not yet closed.
std::vector<DGNFile *> &OpenFiles() {
  static std::vector<DGNFile *> files;
  return files;
}

// Gives whether a handle is one of the files this library holds open.
bool IsOpenFile(const void *handle) {
  if (handle == nullptr) return false;
  for (const DGNFile *f : OpenFiles())
    if (f == handle) return true;
  return false;
}

// Forgets an open file; true if it was one of ours.
bool ForgetFile(const void *handle) {
  std::vector<DGNFile *> &files = OpenFiles();
  for (size_t i = 0; i < files.size(); ++i) {
    if (files[i] == handle) {
      files.erase(files.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
  }
  return false;
}

// Gives the map its newly opened or created file: the file is registered,
// stored in `handle` and `openState` reset.  A file the record still held
// open is closed first, so that reopening a record without closing it does
// not leak the earlier file.  Every branch of open that succeeds ends here.
bool AttachFile(TVectorMapPlugIn *map, DGNFile *file) {
  try {
    OpenFiles().push_back(file);
  } catch (...) {
    DGNClose(file);
    throw;
  }
  if (map->handle != file && ForgetFile(map->handle)) DGNClose(static_cast<DGNFile *>(map->handle));
  map->handle = file;
  map->openState = 0;
  return true;
}

// Gives the open file of a map, or null after telling the host why there is none.
DGNFile *OpenFileOf(TVectorMapPlugIn *map, TMessagePlugIn *sink, const char *entry) {
  if (map == nullptr) {
    DString msg("Error in ");
    msg.Append(entry).Append(": no map record was given.");
    ShowMessage(sink, msg.CStr());
    return nullptr;
  }
  if (!IsOpenFile(map->handle)) {
    DString msg("Error in ");
    msg.Append(entry).Append(": the map is not open.");
    ShowMessage(sink, msg.CStr());
    return nullptr;
  }
  return static_cast<DGNFile *>(map->handle);
}

// Opens an existing DGN file for the import, or for update when the host
// wants write access.
bool OpenExistingMap(const char *path, TVectorMapPlugIn *map, TMessagePlugIn *sink) {
  if (path == nullptr) {
    ShowMessage(sink, kOpenNoPath);
    return false;
  }
  DGNFile *file = DGNOpen(path, map->writeFlag != 0);
  if (file == nullptr) {
    DString msg(kOpenFailed);
    msg.Append(path).Append(" ").Append(CPLLastErrorText());
    ShowMessage(sink, msg.CStr());
    return false;
  }
  return AttachFile(map, file);
}

// ---------------------------------------------------------------------------
// Map creation from a seed file, and the polyline export.
// ---------------------------------------------------------------------------

// The host's INI file, in the folder the map record names, and the setting
// in it that names the seed file.
const char kIniFileName[] = "gps.ini";
const char kSeedSection[] = "Mapa";
const char kSeedKey[] = "DGN_Seed_File";
const char kSeedDefault[] = "seed2d.dgn";
// Folder of the seed files, under the host program's folder.
const char kSeedFolder[] = "symbols\\dgnseeds";

// Messages of map creation.
const char kSeedMissing[] = "Error: Seed file not found (";
const char kCreateFailed[] = "Error Creating DGN file. Is the seed.dat file ok?";

// The seed file that the host's INI file names (the default name is written
// into the INI file when the setting is missing).  A name that is not a
// complete path is looked for in symbols\dgnseeds under the host program's
// folder, whatever folders the setting put in front of it.
TStringNomFitx SeedFilePath(const char *directory) {
  TStringNomFitx ini;
  ini.Join(directory, kIniFileName);
  TConfiguracion config(ini.CStr());
  // Declared after the configuration, so it unbinds itself before the
  // configuration goes.
  TstringConfig setting(kSeedSection, kSeedKey, &config, kSeedDefault);
  TStringNomFitx seed(setting.Value().CStr());
  if (!seed.IsComplete()) {
    seed.PlaceInProgramDir();
    seed.ChangeDir(kSeedFolder);
  }
  return seed;
}

// Creates a new DGN file at `path` from the seed file named in the host's
// INI file and attaches it to the map; false with a message to the host when
// it cannot.
bool CreateMapFromSeed(const char *path, TVectorMapPlugIn *map, TMessagePlugIn *sink) {
  if (path == nullptr) {
    ShowMessage(sink, kOpenNoPath);
    return false;
  }
  const TStringNomFitx seed = SeedFilePath(map->directory);
  // The engine and the host's messages take the path in the system's own form.
  const std::string seedPath = PlatToOsPath(seed.CStr());
  if (!seed.Exists()) {
    DString msg(kSeedMissing);
    msg.Append(seedPath.c_str()).Append(")");
    ShowMessage(sink, msg.CStr());
    return false;
  }
  // The new file keeps the seed's units and dimension; only its global
  // origin is set, to 0.  The unit counts and names are not used with
  // DGN_CREATE_SEED_UNITS.
  DGNFile *file = DGNCreate(path, seedPath.c_str(), DGN_CREATE_SEED_UNITS, 0.0, 0.0, 0.0, 1, 1,
                            "m", "m");
  if (file == nullptr) {
    ShowMessage(sink, kCreateFailed);
    return false;
  }
  // Appending the seed's colour table made it the handle's, so colours are
  // matched against the table the new file carries.
  return AttachFile(map, file);
}

// Messages of the polyline export.
const char kAddAlignment[] =
    "Data Aligment error in TVectorPointPlugIn, QuarvelPlugIn_Add_Poliline_Vector_Map DGN";
const char kAddCreateFailed[] = "Error in DGNCreateMultiPointElem ";
const char kAddWriteFailed[] = "Error in DGNWriteElement ";
const char kAddException[] = "Exception Error saving DGN";
const char kAddNoObject[] =
    "Error in QuarvelPlugIn_Add_Poliline_Vector_Map: no object record was given; nothing was "
    "written.";

// Size the host writes into every point record it passes.
constexpr int32_t kPointRecordSize = 36;

// Vertices between the starts of consecutive elements of one polyline; each
// element holds one more, the vertex it shares with the next.  An element
// must stay below 512 bytes: 51 vertices in a 2D file, 39 in a 3D one.
constexpr int kStep2D = 50;
constexpr int kStep3D = 38;
constexpr int kMaxRun = kStep2D + 1;

// Largest design coordinate an element stores; the encoder clamps beyond it.
constexpr double kDesignLimit = 2147483647.0;

// What the header of a DGN element can hold.
constexpr int kMaxLevel = 63;
constexpr int kMaxWeight = 31;
constexpr int kMaxStyle = 7;

int ClampInt(int value, int low, int high) { return value < low ? low : value > high ? high : value; }

// The line weight of a host width: truncated toward zero, kept in 0..31
// (also for widths no integer can hold, and for NaN).
int WeightOfWidth(float width) {
  if (!(width >= 1.0f)) return 0;
  if (width >= static_cast<float>(kMaxWeight)) return kMaxWeight;
  return static_cast<int>(width);
}

// The design coordinate a master-unit value is stored as, computed as the
// element encoder computes it.
double DesignCoordinate(double value, double origin, double scale) { return (value + origin) / scale; }

bool OnDesignPlane(double design) { return design >= -kDesignLimit && design <= kDesignLimit; }

// Appends to msg the master-unit span that one axis of the design plane covers.
void AppendAxisSpan(DString &msg, const char *axis, double origin, double scale) {
  double low = -kDesignLimit * scale - origin;
  double high = kDesignLimit * scale - origin;
  if (low > high) std::swap(low, high);
  char text[128];
  std::snprintf(text, sizeof text, "%s from %.10g to %.10g", axis, low, high);
  msg.Append(text);
}

// Checks that every vertex lies on the file's design plane.  The engine would
// clamp a coordinate beyond it and so store a different shape; such a
// polyline is refused whole, with a text naming its first stray vertex.
bool AllOnDesignPlane(DGNFile *file, int32_t count, const TVectorPointPlugIn *points,
                      TMessagePlugIn *sink) {
  const bool is3d = file->dimension == 3;
  for (int32_t i = 0; i < count; ++i) {
    const TVectorPointPlugIn &p = points[i];
    if (OnDesignPlane(DesignCoordinate(p.x, file->origin_x, file->scale)) &&
        OnDesignPlane(DesignCoordinate(p.y, file->origin_y, file->scale)) &&
        (!is3d || OnDesignPlane(DesignCoordinate(p.z, file->origin_z, file->scale))))
      continue;
    char text[200];
    if (is3d)
      std::snprintf(text, sizeof text, "point %d (x %.10g, y %.10g, z %.10g)", i, p.x, p.y, p.z);
    else
      std::snprintf(text, sizeof text, "point %d (x %.10g, y %.10g)", i, p.x, p.y);
    DString msg("Error in QuarvelPlugIn_Add_Poliline_Vector_Map: ");
    msg.Append(text).Append(" lies outside the design plane of the DGN file, which holds ");
    AppendAxisSpan(msg, "x", file->origin_x, file->scale);
    msg.Append(", ");
    AppendAxisSpan(msg, "y", file->origin_y, file->scale);
    if (is3d) {
      msg.Append(", ");
      AppendAxisSpan(msg, "z", file->origin_z, file->scale);
    }
    msg.Append(" (master units); the polyline was not written.");
    ShowMessage(sink, msg.CStr());
    return false;
  }
  return true;
}

// An element owned for the time of one scope, released on every way out.
struct HeldElement {
  explicit HeldElement(DGNFile *f, DGNElement *e = nullptr) : file(f), element(e) {}
  ~HeldElement() { DGNFreeElement(file, element); }
  HeldElement(const HeldElement &) = delete;
  HeldElement &operator=(const HeldElement &) = delete;
  DGNFile *file;
  DGNElement *element;
};

// Reads the element the stream stands on with its raw bytes, which marking
// it deleted writes back.
DGNElement *ReadWithRawBytes(DGNFile *file) {
  const int options = file->options;
  DGNSetOptions(file, options | DGN_OPTION_CAPTURE_RAW);
  DGNElement *element = DGNReadElement(file);
  DGNSetOptions(file, options);
  return element;
}

// Sets the deleted bit of an element of the file in place: its bytes are
// written back with only bit 7 of byte 1 changed, and its index entry says so.
void MarkDeleted(DGNFile *file, DGNElement *element) {
  if (element->raw_data == nullptr || element->raw_bytes < 4 || element->offset < 0) return;
  element->raw_data[1] = static_cast<unsigned char>(element->raw_data[1] | 0x80);  // deleted bit
  element->deleted = 0x80;
  if (!DGNWriteElement(file, element)) return;
  if (file->element_index != nullptr && element->element_id >= 0 &&
      element->element_id < file->element_count)
    file->element_index[element->element_id].flags |= DGNEF_DELETED;
}

// Writes one host polyline or polygon into the file as line strings or
// shapes of at most 51 vertices (39 in a 3D file), consecutive elements
// sharing their boundary vertex.  The first element replaces the element
// that `elementId` names in a file opened for update.
bool AddPolyline(TVectorMapPlugIn *map, DGNFile *file, const TVectorObjectPlugIn *object,
                 int32_t count, const TVectorPointPlugIn *points, TMessagePlugIn *sink) {
  if (object == nullptr) {
    ShowMessage(sink, kAddNoObject);
    return false;
  }
  if (count < 0 || (count > 0 && points == nullptr)) {
    char text[200];
    std::snprintf(text, sizeof text,
                  count < 0 ? "Error in QuarvelPlugIn_Add_Poliline_Vector_Map: the point count %d "
                              "is negative; nothing was written."
                            : "Error in QuarvelPlugIn_Add_Poliline_Vector_Map: %d points were "
                              "announced but no point array was given; nothing was written.",
                  count);
    ShowMessage(sink, text);
    return false;
  }
  if (count > 0 && points[0].size != kPointRecordSize) {
    ShowMessage(sink, kAddAlignment);
    return false;
  }

  // Building the index (once per file) decodes the TCB, whose units and
  // dimension the checks below use, and the file's colour table, against
  // which the host colour is matched.
  DGNGetElementIndex(file, nullptr);
  if (!AllOnDesignPlane(file, count, points, sink)) return false;

  const int type = object->objectKind == 1 ? DGNTYPE_SHAPE : DGNTYPE_LINE_STRING;
  const int step = file->dimension == 3 ? kStep3D : kStep2D;
  const int level = ClampInt(object->level, 0, kMaxLevel);
  const int weight = WeightOfWidth(object->width);
  const int style = object->style < 0 ? 0 : ClampInt(object->style, 0, kMaxStyle);
  const int color = DGNNearestColor(file, object->color);
  const bool mayReplace = map->createFlag == 0 && object->elementId > 0;

  DString pending;
  bool failed = false;
  DGNPoint run[kMaxRun];
  for (int64_t start = 0; start < count; start += step) {
    const int n = static_cast<int>(std::min<int64_t>(count - start, step + 1));
    if (n <= 1) continue;  // a lone trailing vertex makes no element
    for (int k = 0; k < n; ++k) {
      const TVectorPointPlugIn &p = points[start + k];
      run[k] = DGNPoint{p.x, p.y, p.z};
    }

    HeldElement replaced(file);
    if (start == 0 && mayReplace && DGNGotoElement(file, object->elementId))
      replaced.element = ReadWithRawBytes(file);

    HeldElement built(file, DGNCreateMultiPointElem(file, type, n, run));
    if (built.element == nullptr) {
      failed = true;
      pending.Assign(kAddCreateFailed).Append(CPLLastErrorText());
      continue;
    }
    DGNElement *element = built.element;
    DGNUpdateElemCore(file, element, level, 0, color, weight, style);

    if (replaced.element != nullptr) {
      if (replaced.element->size == element->raw_bytes) {
        // Same size: the new element takes the old one's place and number.
        element->offset = replaced.element->offset;
        element->element_id = replaced.element->element_id;
      } else {
        // Rewriting in place would overwrite the elements that follow, or
        // leave a gap before them: retire the old element, append the new.
        MarkDeleted(file, replaced.element);
      }
    }
    if (!DGNWriteElement(file, element)) {
      // A full disk or a file size limit: the engine has left the file at its
      // last complete element.  The host is told, as for an element that
      // could not be made, rather than taking the polyline for stored.
      failed = true;
      pending.Assign(kAddWriteFailed).Append(CPLLastErrorText());
    }
  }
  if (failed) ShowMessage(sink, pending.CStr());
  return true;
}

// ---------------------------------------------------------------------------
// Import
// ---------------------------------------------------------------------------

// An object record holding the defaults the host expects in every field.
TVectorObjectPlugIn MakeDefaultObject() {
  TVectorObjectPlugIn o{};
  o.size = QPLUGIN_OBJECT_SIZE;
  o.hostField4 = 0;
  o.elementId = 0;
  o.color = -1;
  o.color2 = -1;
  o.objectKind = 0;
  o.level = 0;
  o.name = nullptr;
  o.width = 1.0f;
  o.textInfo = nullptr;
  o.numPoints = -1;
  o.hostField44 = 0;
  o.hostField48 = 0;
  o.hostField52 = -1.0f;
  o.style = -1;
  o.hostField60 = -1;
  o.hostField64 = 0;
  o.hostField68 = -1.0f;
  o.hostField72 = 1;
  o.hostField76 = 0;
  o.hostField80 = 0;
  return o;
}

// The defaults, built once: the import sends one object per element.
TVectorObjectPlugIn DefaultObject() {
  static const TVectorObjectPlugIn defaults = MakeDefaultObject();
  return defaults;
}

TVectorPointPlugIn HostPoint(double x, double y, double z) {
  TVectorPointPlugIn p{};
  p.size = QPLUGIN_POINT_SIZE;
  p.x = x;
  p.y = y;
  p.z = z;
  p.hostField28 = -1.0;
  return p;
}

// The host colour (red bits 0-7, green 8-15, blue 16-23) of a colour index,
// with pure white sent as 0.
int32_t HostColor(DGNFile *file, int color_index) {
  int red = 0, green = 0, blue = 0;
  if (!DGNLookupColor(file, color_index, &red, &green, &blue)) return 0;
  const int32_t color = (red & 0xFF) | ((green & 0xFF) << 8) | ((blue & 0xFF) << 16);
  return color == kHostWhite ? 0 : color;
}

// Sends a line, line string or shape as one polyline and its vertices.
void SendPolyline(DGNFile *file, DGNMultiPointElement *element, int32_t objectKind,
                  TVectorCallbacksPlugIn *callbacks) {
  // The decoder never yields a negative count for a sane element, but a
  // badly truncated one must not make the host expect points that never come.
  const int32_t n = element->num_vertices > 0 ? element->num_vertices : 0;
  TVectorObjectPlugIn object = DefaultObject();
  object.elementId = element->element_id;
  object.color = HostColor(file, element->color);
  object.color2 = object.color;
  object.objectKind = objectKind;
  object.level = element->level;
  object.width = static_cast<float>(element->weight);
  object.numPoints = n;
  const int32_t handle = HostAddObject(callbacks, &object);
  for (int32_t i = 0; i < n; ++i) {
    const DGNPoint &v = element->vertices[i];
    TVectorPointPlugIn point = HostPoint(v.x, v.y, v.z);
    HostAddPoint(callbacks, handle, &point, i + 1 < n ? 1 : 0);
  }
}

// Sends a text element as a text object with its one origin point.
void SendText(DGNFile *file, DGNTextElement *element, TVectorCallbacksPlugIn *callbacks) {
  TVectorTextPlugIn text{};
  text.size = QPLUGIN_TEXT_SIZE;
  text.hostField4 = 0;
  text.height = static_cast<float>(element->height_mult);
  text.rotation = static_cast<float>(element->rotation);
  text.justification = element->justification;

  TVectorObjectPlugIn object = DefaultObject();
  object.elementId = element->element_id;
  object.color = HostColor(file, element->color);
  object.color2 = object.color;
  object.objectKind = 3;
  object.level = element->level;
  object.name = element->text;
  object.textInfo = &text;
  object.numPoints = 1;
  object.style = element->style;
  const int32_t handle = HostAddObject(callbacks, &object);

  TVectorPointPlugIn point = HostPoint(element->origin.x, element->origin.y, 0.0);
  HostAddPoint(callbacks, handle, &point, 1);
}

// Sends one element if it is a kind the host takes; gives the level it uses
// (the level list counts it) or -1 for a skipped type.
int SendElement(DGNFile *file, DGNElement *element, TVectorCallbacksPlugIn *callbacks) {
  switch (element->type) {
    case DGNTYPE_LINE:
    case DGNTYPE_LINE_STRING:
    case DGNTYPE_SHAPE:
      if (element->kind == DGNKIND_MULTIPOINT)
        SendPolyline(file, static_cast<DGNMultiPointElement *>(element),
                     element->type == DGNTYPE_SHAPE ? 1 : 0, callbacks);
      return element->level;
    case DGNTYPE_TEXT:
      if (element->kind == DGNKIND_TEXT)
        SendText(file, static_cast<DGNTextElement *>(element), callbacks);
      return element->level;
    default:
      return -1;
  }
}

bool HasLevel(const Vector<int> &levels, int level) {
  const int32_t end = levels.Base() + Min(levels.Count(), levels.Capacity());
  for (int32_t i = levels.Base(); i < end; ++i)
    if (levels.IsValid(i) && *levels.Get(i) == level) return true;
  return false;
}

void SendLayer(int level, TVectorCallbacksPlugIn *callbacks) {
  char name[kLayerNameBytes];
  std::snprintf(name, sizeof name, "Level %d", level);
  TVectorObjectPlugIn layer = DefaultObject();
  layer.level = level;
  layer.name = name;
  HostAddLayer(callbacks, &layer);
}

// Walks the whole file in element order, then sends one layer per level in
// the order the levels first appeared.  False when the host cancelled.
bool ImportMap(DGNFile *file, TVectorCallbacksPlugIn *callbacks, TMessagePlugIn *sink,
               TProgressPlugIn *progress) {
  int count = 0;
  DGNGetElementIndex(file, &count);
  ProgressSetTotal(progress, count);

  Vector<int> levels(100, 100);
  // Levels already in the list, as bits, so that the list is searched only
  // for a level it may not hold yet; element levels are 0..63.
  uint64_t listed = 0;
  for (;;) {
    DGNElement *element = DGNReadElement(file);
    if (element == nullptr) break;
    // The element is released before anything below can throw.
    const int level = SendElement(file, element, callbacks);
    DGNFreeElement(file, element);

    ProgressStep(progress);
    if (ProgressIsCancelled(progress)) {
      ShowMessage(sink, kReadStop);
      return false;
    }
    const bool inList = level >= 0 && level < 64 && ((listed >> level) & 1u) != 0;
    if (level >= 0 && !inList && !HasLevel(levels, level)) levels.Insert(&level, -1);
    if (level >= 0 && level < 64) listed |= uint64_t(1) << level;
  }

  const int32_t end = levels.Base() + Min(levels.Count(), levels.Capacity());
  for (int32_t i = levels.Base(); i < end; ++i)
    if (levels.IsValid(i)) SendLayer(*levels.Get(i), callbacks);
  return true;
}

}  // namespace

extern "C" {

int32_t _QuarvelPlugIn_Version(void) { return 4; }

int32_t _QuarvelPlugIn_VersionPriv(void) { return 1; }

TPlugInBool _QuarvelPlugIn_Init(void) { return 1; }

const char *_QuarvelPlugIn_GetTipoArchivos(void) { return kFileTypes; }

const char *_QuarvelPlugIn_VersionStr(void) { return kVersionText; }

TPlugInBool _QuarvelPlugIn_Read_Vector_Map3(TVectorMapPlugIn *map, TVectorCallbacksPlugIn *callbacks,
                                            TMessagePlugIn *sink, TProgressPlugIn *progress) {
  try {
    DGNFile *file = OpenFileOf(map, sink, kReadName);
    if (file == nullptr) return 0;
    return ImportMap(file, callbacks, sink, progress) ? 1 : 0;
  } catch (...) {
    ShowMessage(sink, kReadException);
    return 0;
  }
}

TPlugInBool _QuarvelPlugIn_Open_Vector_Map(const char *path, TVectorMapPlugIn *map,
                                           TMessagePlugIn *sink) {
  try {
    if (map == nullptr) {
      ShowMessage(sink, kOpenNoMap);
      return 0;
    }
    const bool read = map->readFlag != 0;
    const bool write = map->writeFlag != 0;
    const bool create = map->createFlag != 0;
    if (read && !create) return OpenExistingMap(path, map, sink) ? 1 : 0;
    if (!read && write && create) return CreateMapFromSeed(path, map, sink) ? 1 : 0;
    ShowMessage(sink, kOpenRefused);
    return 0;
  } catch (...) {
    ShowMessage(sink, kOpenException);
    return 0;
  }
}

TPlugInBool _QuarvelPlugIn_Add_Poliline_Vector_Map(TVectorMapPlugIn *map, TVectorObjectPlugIn *object,
                                                   int32_t count, TVectorPointPlugIn *points,
                                                   TMessagePlugIn *sink) {
  try {
    DGNFile *file = OpenFileOf(map, sink, kAddName);
    if (file == nullptr) return 0;
    return AddPolyline(map, file, object, count, points, sink) ? 1 : 0;
  } catch (...) {
    // Any pending message is dropped; elements already written stay.
    ShowMessage(sink, kAddException);
    return 0;
  }
}

TPlugInBool _QuarvelPlugIn_Add_Layer(void) { return 1; }

TPlugInBool _QuarvelPlugIn_Close_Vector_Map(TVectorMapPlugIn *map) {
  if (map == nullptr || map->handle == nullptr) return 1;
  // Only a file this library still holds open is closed; a stale or foreign
  // handle is simply dropped from the record.
  if (ForgetFile(map->handle)) DGNClose(static_cast<DGNFile *>(map->handle));
  map->handle = nullptr;
  return 1;
}

}  // extern "C"
