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
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Configuracion.h"
#include "DString.h"
#include "NomFitx.h"
#include "Vector.h"
#include "cpl_error.h"
#include "dgnmodel.h"
#include "edit_rules.h"
#include "platform.h"
#include "whole_map.h"

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
const char kReadFailed[] = "Error in DGN (QuarvelPlugIn_Read_Vector_Map3) reading file: ";

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
// with a message instead of being dereferenced.  A host may open, read,
// write and close different maps on different threads at once: the registry
// is only touched under its lock.
// ---------------------------------------------------------------------------

// A file this library has opened, with the settings read when it was.
struct OpenMap {
  DGNFile *file;
  bool wholeMap;  // the host's INI setting DGN_Whole_Map was on
  // What the add calls have done to the map; used only by the thread that
  // makes them.
  std::shared_ptr<dgnplugin::EditSession> session;
};

// Gives the files this library has opened and not yet closed.
std::vector<OpenMap> &OpenFiles() {
  static std::vector<OpenMap> files;
  return files;
}

// Gives the lock of the registry of open files.
PlatMutex &OpenFilesLock() {
  static PlatMutex lock;
  return lock;
}

// Gives whether a handle is one of the files this library holds open, and
// copies its registry entry to *found when it is.  The entry is copied under
// the lock: another thread's open may move the registry at any moment.
bool FindOpenMap(const void *handle, OpenMap *found) {
  if (handle == nullptr) return false;
  PlatLockGuard guard(OpenFilesLock());
  for (const OpenMap &m : OpenFiles()) {
    if (m.file == handle) {
      if (found != nullptr) *found = m;
      return true;
    }
  }
  return false;
}

// Gives whether a handle is one of the files this library holds open.
bool IsOpenFile(const void *handle) { return FindOpenMap(handle, nullptr); }

// Gives whether the whole map was asked for when the file was opened.
bool IsWholeMap(const DGNFile *file) {
  OpenMap m{};
  return FindOpenMap(file, &m) && m.wholeMap;
}

// Forgets an open file; true if it was one of ours.
bool ForgetFile(const void *handle) {
  PlatLockGuard guard(OpenFilesLock());
  std::vector<OpenMap> &files = OpenFiles();
  for (size_t i = 0; i < files.size(); ++i) {
    if (files[i].file == handle) {
      files.erase(files.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
  }
  return false;
}

// Whether the host's INI file turns the whole map on (with the other settings below).
bool WholeMapSetting(const char *directory);

// Gives the map its newly opened or created file: the file is registered
// with the settings of the host's INI file, stored in `handle` and
// `openState` reset.  A file the record still held open is closed first, so
// that reopening a record without closing it does not leak the earlier file.
// Every branch of open that succeeds ends here.
bool AttachFile(TVectorMapPlugIn *map, DGNFile *file) {
  try {
    // The setting is read before the lock is taken: it reads the INI file.
    const OpenMap entry{file, WholeMapSetting(map->directory),
                        std::make_shared<dgnplugin::EditSession>()};
    PlatLockGuard guard(OpenFilesLock());
    OpenFiles().push_back(entry);
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
// The setting that turns the whole map on, in the same section; off unless
// it says 1, yes, true or on.
const char kWholeMapKey[] = "DGN_Whole_Map";

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

// Gives whether the host's INI file turns the whole map on.  Only read: a
// missing setting is not written into the file, so that an import leaves the
// host's folder as it was.
bool WholeMapSetting(const char *directory) {
  if (directory == nullptr) return false;
  TStringNomFitx ini;
  ini.Join(directory, kIniFileName);
  TConfiguracion config(ini.CStr());
  DString value;
  if (!config.ReadString(value, kSeedSection, kWholeMapKey)) return false;
  std::string word(value.CStr());
  while (!word.empty() && (word.back() == ' ' || word.back() == '\t')) word.pop_back();
  for (char &c : word) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return word == "1" || word == "yes" || word == "true" || word == "on";
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
  DGNFile *file =
      DGNCreate(path, seedPath.c_str(), DGN_CREATE_SEED_UNITS, 0.0, 0.0, 0.0, 1, 1, "m", "m");
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
const char kAddCreateTextFailed[] = "Error in DGNCreateTextElem ";
const char kAddCreateComplexFailed[] = "Error in DGNCreateComplexHeaderFromElems ";
const char kAddTextWithoutPoint[] =
    "Error in QuarvelPlugIn_Add_Poliline_Vector_Map: a text object needs its point and its text "
    "record; nothing was written.";
const char kAddWriteFailed[] = "Error in DGNWriteElement ";
const char kAddException[] = "Exception Error saving DGN";
const char kAddNoObject[] =
    "Error in QuarvelPlugIn_Add_Poliline_Vector_Map: no object record was given; nothing was "
    "written.";

// Size the host writes into every point record it passes.
constexpr int32_t kPointRecordSize = 36;

// Vertices of the elements of one polyline: runs of at most 51 in a 2D
// file, as the host's maps have them, and of no more than the engine allows
// in a new element (39 in a 3D file); consecutive elements share a vertex.
constexpr int kMaxRun = 51;

// What the header of a DGN element can hold.
constexpr int kMaxLevel = 63;
constexpr int kMaxWeight = 31;
constexpr int kMaxStyle = 7;

int ClampInt(int value, int low, int high) {
  return value < low ? low : value > high ? high : value;
}

// The line weight of a host width: truncated toward zero, kept in 0..31
// (also for widths no integer can hold, and for NaN).
int WeightOfWidth(float width) {
  if (!(width >= 1.0f)) return 0;
  if (width >= static_cast<float>(kMaxWeight)) return kMaxWeight;
  return static_cast<int>(width);
}

// Copies n host points into a run of engine points.
void FillRun(const TVectorPointPlugIn *points, int n, DGNPoint *run) {
  for (int k = 0; k < n; ++k) run[k] = DGNPoint{points[k].x, points[k].y, points[k].z};
}

// The vertices between the starts of consecutive elements of one polyline.
int RunStep(const DGNFile *file) {
  const int most = DGNMaxNewVertices(file);
  return (most < kMaxRun ? most : kMaxRun) - 1;
}

// Appends to msg the master-unit span that one axis of the design plane covers.
void AppendAxisSpan(DString &msg, const DGNFile *file, const char *axis, int index) {
  double low = 0.0, high = 0.0;
  DGNDesignPlaneSpan(file, index, &low, &high);
  char text[128];
  std::snprintf(text, sizeof text, "%s from %.10g to %.10g", axis, low, high);
  msg.Append(text);
}

// Checks that every vertex lies on the file's design plane.  The engine would
// clamp a coordinate beyond it and so store a different shape; such a
// polyline is refused whole, with a text naming its first stray vertex.
bool AllOnDesignPlane(DGNFile *file, int32_t count, const TVectorPointPlugIn *points,
                      TMessagePlugIn *sink) {
  const bool is3d = DGNGetDimension(file) == 3;
  // The file's origin and scale, read once: each coordinate becomes design
  // units as DGNMasterToDesign makes them, (master + origin) / scale.
  const DGNPoint origin = DGNGetOrigin(file);
  const double scale = DGNGetScale(file);
  for (int32_t i = 0; i < count; ++i) {
    const TVectorPointPlugIn &p = points[i];
    if (DGNOnDesignPlane((p.x + origin.x) / scale) && DGNOnDesignPlane((p.y + origin.y) / scale) &&
        (!is3d || DGNOnDesignPlane((p.z + origin.z) / scale)))
      continue;
    char text[200];
    if (is3d)
      std::snprintf(text, sizeof text, "point %d (x %.10g, y %.10g, z %.10g)", i, p.x, p.y, p.z);
    else
      std::snprintf(text, sizeof text, "point %d (x %.10g, y %.10g)", i, p.x, p.y);
    DString msg("Error in QuarvelPlugIn_Add_Poliline_Vector_Map: ");
    msg.Append(text).Append(" lies outside the design plane of the DGN file, which holds ");
    AppendAxisSpan(msg, file, "x", 0);
    msg.Append(", ");
    AppendAxisSpan(msg, file, "y", 1);
    if (is3d) {
      msg.Append(", ");
      AppendAxisSpan(msg, file, "z", 2);
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

// Elements owned for the time of one scope (room for `room` of them made
// first), released on every way out.
struct HeldElements {
  HeldElements(DGNFile *f, size_t room) : file(f) { list.reserve(room); }
  ~HeldElements() {
    for (DGNElement *e : list) DGNFreeElement(file, e);
  }
  HeldElements(const HeldElements &) = delete;
  HeldElements &operator=(const HeldElements &) = delete;
  DGNFile *file;
  std::vector<DGNElement *> list;
};

// ---------------------------------------------------------------------------
// What the import makes of an element, and which element a host object may
// replace.  Both answers live here, so that the host can only replace what
// it was given, by an object of the same family.
// ---------------------------------------------------------------------------

// Kinds of host object (objectKind) that the import sends.
constexpr int32_t kObjectNone = -1;  // the import sends nothing for the element
constexpr int32_t kObjectPolyline = 0;
constexpr int32_t kObjectPolygon = 1;
constexpr int32_t kObjectText = 3;

// Bit 7 of the level byte: the element is a component of a complex element.
constexpr int32_t kComplexBit = 0x80;

// The kind of host object that the import sends for an element.  A deleted
// element is no longer part of the design: nothing is sent for it.
// With the whole map it also sends arcs and curves as polylines, ellipses as
// polygons, and a complex chain or shape header as the one polyline or
// polygon joined from its components.
int32_t ImportedKind(const DGNElement *element, bool wholeMap = false) {
  if (element->deleted) return kObjectNone;
  switch (element->type) {
    case DGNTYPE_LINE:
    case DGNTYPE_LINE_STRING:
      return element->kind == DGNKIND_MULTIPOINT ? kObjectPolyline : kObjectNone;
    case DGNTYPE_SHAPE: return element->kind == DGNKIND_MULTIPOINT ? kObjectPolygon : kObjectNone;
    case DGNTYPE_TEXT: return element->kind == DGNKIND_TEXT ? kObjectText : kObjectNone;
    case DGNTYPE_CURVE:
      return wholeMap && element->kind == DGNKIND_MULTIPOINT ? kObjectPolyline : kObjectNone;
    case DGNTYPE_ARC:
      return wholeMap && element->kind == DGNKIND_ARC ? kObjectPolyline : kObjectNone;
    case DGNTYPE_ELLIPSE:
      return wholeMap && element->kind == DGNKIND_ARC ? kObjectPolygon : kObjectNone;
    case DGNTYPE_COMPLEX_CHAIN_HEADER:
      return wholeMap && element->kind == DGNKIND_COMPLEX_HEADER ? kObjectPolyline : kObjectNone;
    case DGNTYPE_COMPLEX_SHAPE_HEADER:
      return wholeMap && element->kind == DGNKIND_COMPLEX_HEADER ? kObjectPolygon : kObjectNone;
    default: return kObjectNone;
  }
}

// True for a live complex chain or shape header that is not itself part of
// another complex element: the header of one line or area and its components.
bool IsComplexLineOrArea(const DGNElement *element) {
  return (element->type == DGNTYPE_COMPLEX_CHAIN_HEADER ||
          element->type == DGNTYPE_COMPLEX_SHAPE_HEADER) &&
         element->kind == DGNKIND_COMPLEX_HEADER && !element->deleted && !element->complex;
}

// True when a host object of kind `replacement` may take the place of one of
// kind `named`: polylines and polygons replace each other, texts texts.
bool SameFamily(int32_t named, int32_t replacement) {
  const auto lineOrArea = [](int32_t kind) {
    return kind == kObjectPolyline || kind == kObjectPolygon;
  };
  return (lineOrArea(named) && lineOrArea(replacement)) ||
         (named == kObjectText && replacement == kObjectText);
}

// How a host object takes the place of the element its elementId names.
enum class Replace {
  kAppend,                  // the id names nothing it may replace: appended, that untouched
  kInPlace,                 // written over the element, which keeps its place and number
  kDeleteAndAppend,         // the element is marked deleted, the object appended
  kDeleteComplexAndAppend,  // a complex header and its components marked deleted, then appended
  kRefused,                 // nothing is written; the host is told why
};

struct ReplacePlan {
  Replace how = Replace::kAppend;
  int32_t offset = -1;          // kInPlace: where the new element goes
  int32_t elementId = -1;       // kInPlace: the number it keeps
  bool component = false;       // kInPlace: the new element stays a complex component
  int32_t header = -1;          // kInPlace: the live complex header that joins it, or -1
  std::vector<int32_t> retire;  // the deleting kinds: offsets of the live elements to mark deleted
  DString refusal;              // kRefused: the message for the host
};

// Decides whether and how the first element of a host object, `first` (built,
// not yet written), takes the place of the element that `elementId` names in
// a file opened for update; the whole object makes `elements` elements.
//   - Only an element that the import delivers as an object of the same
//     family may be replaced.  An id naming anything else (a colour table, a
//     text, a cell, a deleted element, no element at all) counts as no id.
//   - A complex chain or shape header, one line or area with its components,
//     goes whole: the header and every live component are marked deleted.
//   - A complex component can only be rewritten in place, by one element of
//     its own type and size that stays a component; anything else would
//     break the complex element, and is refused.
//   - Any other element is rewritten in place when the sizes are equal;
//     otherwise it is marked deleted, so that the elements after it stay.
ReplacePlan PlanReplacement(DGNFile *file, int32_t elementId, const DGNElement *first,
                            int elements) {
  ReplacePlan plan;
  int count = 0;
  const DGNIndexEntry *index = DGNGetElementIndex(file, &count);
  if (index == nullptr || elementId <= 0 || elementId >= count || !DGNGotoElement(file, elementId))
    return plan;
  const HeldElement named(file, DGNReadElement(file));
  const DGNElement *old = named.element;
  if (old == nullptr && DGNReadFailed(file)) {
    // The named element is there but its record could not be had: nothing
    // may be written in its place or beside it.
    DString msg("Error in QuarvelPlugIn_Add_Poliline_Vector_Map: element ");
    msg.Append(std::to_string(elementId).c_str()).Append(" cannot be read: ");
    msg.Append(CPLLastErrorText()).Append(" Nothing was written.");
    plan.how = Replace::kRefused;
    plan.refusal.Assign(msg);
    return plan;
  }
  if (old == nullptr || old->element_id != elementId) return plan;

  const bool complexHeader = IsComplexLineOrArea(old);
  const bool wholeMap = IsWholeMap(file);
  int32_t namedKind = ImportedKind(old, wholeMap);
  if (complexHeader)
    namedKind = old->type == DGNTYPE_COMPLEX_SHAPE_HEADER ? kObjectPolygon : kObjectPolyline;
  if (!SameFamily(namedKind, ImportedKind(first, wholeMap))) return plan;

  if (complexHeader) {
    // Its components are the members that the whole-map import joins into
    // it, by the import's own rule; a member it delivers alone stays.
    plan.how = Replace::kDeleteComplexAndAppend;
    plan.retire.push_back(old->offset);
    int remaining = static_cast<const DGNComplexHeaderElement *>(old)->num_elements;
    for (int k = elementId + 1; k < count && remaining > 0; ++k) {
      const HeldElement next(file, DGNReadElement(file));
      if (next.element == nullptr && DGNReadFailed(file)) {
        DString msg("Error in QuarvelPlugIn_Add_Poliline_Vector_Map: a component of element ");
        msg.Append(std::to_string(elementId).c_str()).Append(" cannot be read: ");
        msg.Append(CPLLastErrorText()).Append(" Nothing was written.");
        plan.how = Replace::kRefused;
        plan.refusal.Assign(msg);
        plan.retire.clear();
        return plan;
      }
      if (next.element == nullptr || !dgnplugin::IsComplexMember(next.element, remaining)) break;
      --remaining;
      if (next.element->deleted == 0 && dgnplugin::JoinsItsComplex(next.element))
        plan.retire.push_back(next.element->offset);
    }
    return plan;
  }
  // A complex element (its header first) is never written over one element.
  const bool sameSize = first->raw_bytes == old->size && first->kind != DGNKIND_COMPLEX_HEADER;
  if (old->complex != 0) {
    if (elements == 1 && sameSize && first->type == old->type) {
      plan.how = Replace::kInPlace;
      plan.component = true;
      // While a rewrite across sectors has the component deleted, its
      // header is hidden too, so that no line or area is read without it.
      plan.header = dgnplugin::ComplexHeaderOf(file, elementId);
    } else {
      const std::string oldType = DGNTypeToName(old->type);
      char text[400];
      std::snprintf(text, sizeof text,
                    "Error in QuarvelPlugIn_Add_Poliline_Vector_Map: element %d is a component "
                    "of a complex element and can only be replaced in place, by one %s element "
                    "of its %d bytes; the polyline makes %d element(s), the first a %s of %d "
                    "bytes. Nothing was written.",
                    elementId, oldType.c_str(), old->size, elements, DGNTypeToName(first->type),
                    first->raw_bytes);
      plan.how = Replace::kRefused;
      plan.refusal.Assign(text);
      return plan;
    }
  } else {
    plan.how = sameSize ? Replace::kInPlace : Replace::kDeleteAndAppend;
  }
  if (plan.how == Replace::kInPlace) {
    plan.offset = old->offset;
    plan.elementId = old->element_id;
  } else {
    plan.retire.push_back(old->offset);
  }
  return plan;
}

// Drops everything the failed add queued: its elements never join the file
// and the elements it was to retire stay live (nothing was marked yet).
void RestoreRetired(DGNFile *file, const std::vector<int32_t> &retired) {
  (void)retired;
  DGNAbortBatch(file);
}

// Ends an add whose elements are all queued: a replacement is committed at
// once (its new version joins the file, then the old one is retired); plain
// appends wait for the batch to fill or for the close.  False, with the host
// told why, when the commit failed.
bool FinishObject(DGNFile *file, bool replaced, TMessagePlugIn *sink) {
  if (replaced ? DGNCommitBatch(file) : DGNBatchSeal(file)) return true;
  DString msg(kAddWriteFailed);
  msg.Append(CPLLastErrorText());
  ShowMessage(sink, msg.CStr());
  return false;
}

// Readies `element` for the place the plan gives it.  In place it takes the
// old element's offset and number (and stays a component); for the deleting
// kinds the elements to retire are queued (marked deleted only once the new
// version is in the file) and listed in `retired`.  False, with the host
// told why, when nothing may be written.
bool TakePlace(DGNFile *file, const ReplacePlan &plan, DGNElement *element,
               std::vector<int32_t> &retired, TMessagePlugIn *sink) {
  switch (plan.how) {
    case Replace::kAppend: return true;
    case Replace::kRefused: ShowMessage(sink, plan.refusal.CStr()); return false;
    case Replace::kInPlace:
      element->offset = plan.offset;
      element->element_id = plan.elementId;
      if (plan.component) {
        element->complex = kComplexBit;
        DGNStoreElemCore(file, element);
      }
      return true;
    case Replace::kDeleteAndAppend:
    case Replace::kDeleteComplexAndAppend:
      retired.reserve(plan.retire.size());  // nothing may throw once an element is queued
      for (const int32_t offset : plan.retire) {
        if (!DGNBatchRetire(file, offset)) {
          DString msg(kAddWriteFailed);
          msg.Append(CPLLastErrorText());
          RestoreRetired(file, retired);
          ShowMessage(sink, msg.CStr());
          return false;
        }
        retired.push_back(offset);
      }
      return true;
  }
  return true;
}

// Queues a built element for the file, first, with `replace`, in the place
// that PlanReplacement gives it of the element `elementId` names (the object
// makes `elements` elements); the elements it makes way for are queued for
// retiring and listed in `retired`, and `replaced` is set when it takes
// another's place.  False, with the host told why, when it was not written;
// everything the add queued is dropped then, and an element it was to
// replace stays as it was.
bool WriteReplacing(DGNFile *file, DGNElement *element, bool replace, int32_t elementId,
                    int elements, TMessagePlugIn *sink, std::vector<int32_t> &retired,
                    bool *replaced) {
  ReplacePlan plan;
  if (replace) plan = PlanReplacement(file, elementId, element, elements);
  if (replace && !TakePlace(file, plan, element, retired, sink)) {
    DGNAbortBatch(file);
    return false;
  }
  const bool inPlace = element->offset != -1;
  if (inPlace || !retired.empty()) *replaced = true;
  if (inPlace ? DGNBatchRewrite(file, element, plan.header) : DGNBatchAppend(file, element))
    return true;
  // A full disk or a file size limit: the engine has left the file at its
  // last complete element.
  DString msg(kAddWriteFailed);
  msg.Append(CPLLastErrorText());
  RestoreRetired(file, retired);
  ShowMessage(sink, msg.CStr());
  return false;
}

// With the whole map: writes a host text object as a text element at its
// first point, with the object's name as the text (16-bit when it holds a
// character beyond 8 bits) and the height, rotation and justification of its
// text record.  A text carries no line weight.  In a file opened for update
// it may take the place of the text `elementId` names.
bool AddText(TVectorMapPlugIn *map, DGNFile *file, const TVectorObjectPlugIn *object, int32_t count,
             const TVectorPointPlugIn *points, TMessagePlugIn *sink) {
  const TVectorTextPlugIn *info = object->textInfo;
  if (count < 1 || info == nullptr) {
    ShowMessage(sink, kAddTextWithoutPoint);
    return false;
  }
  const std::vector<uint16_t> chars = dgnplugin::CharactersOf(object->name);
  const DGNPoint origin{points[0].x, points[0].y, points[0].z};
  const bool mayReplace = map->createFlag == 0 && object->elementId > 0;
  const dgnplugin::KeptParts kept =
      mayReplace ? dgnplugin::ReadKeptParts(file, object->elementId) : dgnplugin::KeptParts();
  // A text that replaces one keeps its font and the shape of its characters:
  // the length multiplier (each character's width) scales with the height.
  // A new text's length multiplier is its height.
  HeldElement built(file, DGNCreateTextElem(file, chars.data(), static_cast<int>(chars.size()),
                                            kept.text ? ClampInt(kept.font, 0, 255) : 0,
                                            ClampInt(info->justification, 0, 255),
                                            dgnplugin::KeptLengthMult(kept, info->height),
                                            info->height, info->rotation, &origin));
  if (built.element == nullptr) {
    DString msg(kAddCreateTextFailed);
    msg.Append(CPLLastErrorText());
    ShowMessage(sink, msg.CStr());
    return false;
  }
  const int style = object->style < 0 ? 0 : ClampInt(object->style, 0, kMaxStyle);
  DGNUpdateElemCore(file, built.element, ClampInt(object->level, 0, kMaxLevel), 0,
                    dgnplugin::ColorIndexOfHost(file, object->color), 0, style);
  if (!dgnplugin::ApplyKeptParts(file, kept, built.element, true)) {
    DString msg(kAddCreateTextFailed);
    msg.Append(CPLLastErrorText());
    ShowMessage(sink, msg.CStr());
    return false;
  }
  std::vector<int32_t> retired;
  bool replaced = false;
  return WriteReplacing(file, built.element, mayReplace, object->elementId, 1, sink, retired,
                        &replaced) &&
         FinishObject(file, replaced, sink);
}

// Components of one complex element the export writes: as many as its header
// can count.  The 65535 words the header also counts end it first (293 full
// components in 2D, 259 in 3D, fewer with attribute linkage); a line or
// area beyond that is refused by the header's maker, with the counts, and
// nothing is written, rather than be cut into separate objects.
constexpr int kMaxComponents = 65535;

// With the whole map: writes a polyline or polygon of more vertices than one
// element holds as one complex chain or shape whose components are line
// strings of at most 51 vertices (39 in a 3D file), consecutive ones sharing
// their boundary vertex, so that it comes back as one object.  The complex
// element may take the place of the element `elementId` names in a file
// opened for update.
bool AddComplex(TVectorMapPlugIn *map, DGNFile *file, const TVectorObjectPlugIn *object,
                int32_t count, const TVectorPointPlugIn *points, TMessagePlugIn *sink) {
  const int type = object->objectKind == kObjectPolygon ? DGNTYPE_COMPLEX_SHAPE_HEADER
                                                        : DGNTYPE_COMPLEX_CHAIN_HEADER;
  const int step = RunStep(file);
  const int level = ClampInt(object->level, 0, kMaxLevel);
  const int weight = WeightOfWidth(object->width);
  const int style = object->style < 0 ? 0 : ClampInt(object->style, 0, kMaxStyle);
  const int color = dgnplugin::ColorIndexOfHost(file, object->color);
  const int64_t groupStep = static_cast<int64_t>(step) * kMaxComponents;
  const dgnplugin::KeptParts kept = map->createFlag == 0 && object->elementId > 0
                                        ? dgnplugin::ReadKeptParts(file, object->elementId)
                                        : dgnplugin::KeptParts();
  DGNPoint run[kMaxRun];
  bool replaced = false;
  for (int64_t group = 0; group + 1 < count; group += groupStep) {
    const int64_t end = std::min<int64_t>(count, group + groupStep + 1);
    // Room for every component, made first.
    HeldElements parts(file, static_cast<size_t>((end - group - 2) / step + 1));
    std::vector<DGNElement *> &components = parts.list;
    for (int64_t start = group; start + 1 < end; start += step) {
      const int n = static_cast<int>(std::min<int64_t>(end - start, step + 1));
      FillRun(points + start, n, run);
      DGNElement *component = DGNCreateMultiPointElem(file, DGNTYPE_LINE_STRING, n, run);
      if (component == nullptr) {
        DString msg(kAddCreateFailed);
        msg.Append(CPLLastErrorText());
        DGNAbortBatch(file);
        ShowMessage(sink, msg.CStr());
        return false;
      }
      components.push_back(component);  // room was made: nothing throws here
      DGNUpdateElemCore(file, component, level, 0, color, weight, style);
    }
    HeldElement header(
        file, DGNCreateComplexHeaderFromElems(file, type, static_cast<int>(components.size()),
                                              components.data()));
    if (header.element == nullptr) {
      DString msg(kAddCreateComplexFailed);
      msg.Append(CPLLastErrorText());
      DGNAbortBatch(file);
      ShowMessage(sink, msg.CStr());
      return false;
    }
    DGNUpdateElemCore(file, header.element, level, 0, color, weight, style);
    // The header of a replacement keeps the old element's attributes.
    if (!dgnplugin::ApplyKeptParts(file, kept, header.element, group == 0)) {
      DString msg(kAddCreateComplexFailed);
      msg.Append(CPLLastErrorText());
      ShowMessage(sink, msg.CStr());
      return false;
    }
    const bool replace = group == 0 && map->createFlag == 0 && object->elementId > 0;
    std::vector<int32_t> retired;
    if (!WriteReplacing(file, header.element, replace, object->elementId,
                        static_cast<int>(components.size()) + 1, sink, retired, &replaced))
      return false;
    for (DGNElement *component : components) {
      if (DGNBatchAppend(file, component)) continue;
      // A complex element cut short would join into less than the host
      // gave: nothing of the add joins the file, and what it was to
      // replace stays.
      DString msg(kAddWriteFailed);
      msg.Append(CPLLastErrorText());
      RestoreRetired(file, retired);
      ShowMessage(sink, msg.CStr());
      return false;
    }
  }
  // The header joins the file with all its components, in one commit.
  return FinishObject(file, replaced, sink);
}

// Checks the record and the point array of an add call; false, with the
// message to the host, when they cannot be used.
bool UsableAddArguments(const TVectorObjectPlugIn *object, int32_t count,
                        const TVectorPointPlugIn *points, TMessagePlugIn *sink) {
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
  return true;
}

// Writes a polyline as line strings or shapes of at most one run each,
// the first one replacing the element the record names when it may.
bool WriteRuns(TVectorMapPlugIn *map, DGNFile *file, const TVectorObjectPlugIn *object,
               int32_t count, const TVectorPointPlugIn *points, TMessagePlugIn *sink) {
  const int type = object->objectKind == kObjectPolygon ? DGNTYPE_SHAPE : DGNTYPE_LINE_STRING;
  const int step = RunStep(file);
  const int level = ClampInt(object->level, 0, kMaxLevel);
  const int weight = WeightOfWidth(object->width);
  const int style = object->style < 0 ? 0 : ClampInt(object->style, 0, kMaxStyle);
  const int color = dgnplugin::ColorIndexOfHost(file, object->color);
  const bool mayReplace = map->createFlag == 0 && object->elementId > 0;
  const dgnplugin::KeptParts kept =
      mayReplace ? dgnplugin::ReadKeptParts(file, object->elementId) : dgnplugin::KeptParts();
  // Elements the polyline makes: one per start that leaves two vertices or more.
  const int elements =
      count < 2 ? 0 : static_cast<int>((static_cast<int64_t>(count) - 2) / step + 1);

  DString pending;
  bool failed = false;
  bool replaced = false;
  DGNPoint run[kMaxRun];
  for (int64_t start = 0; start < count; start += step) {
    const int n = static_cast<int>(std::min<int64_t>(count - start, step + 1));
    if (n <= 1) continue;  // a lone trailing vertex makes no element
    FillRun(points + start, n, run);

    HeldElement built(file, DGNCreateMultiPointElem(file, type, n, run));
    if (built.element == nullptr) {
      failed = true;
      pending.Assign(kAddCreateFailed).Append(CPLLastErrorText());
      continue;
    }
    DGNElement *element = built.element;
    DGNUpdateElemCore(file, element, level, 0, color, weight, style);
    // Every element of a replacement keeps the old one's group and
    // properties; the first, which takes its place, also its linkage (a
    // linkage the element cannot hold is told, and the element written).
    if (!dgnplugin::ApplyKeptParts(file, kept, element, start == 0)) {
      failed = true;
      pending.Assign(kAddCreateFailed).Append(CPLLastErrorText());
    }

    // A failed write drops the whole polyline: it joins the file whole.
    std::vector<int32_t> retired;
    if (!WriteReplacing(file, element, start == 0 && mayReplace, object->elementId, elements, sink,
                        retired, &replaced))
      return false;
  }
  if (!FinishObject(file, replaced, sink)) return false;
  if (failed) ShowMessage(sink, pending.CStr());
  return true;
}

// Writes one host polyline or polygon into the file as line strings or
// shapes of at most 51 vertices (39 in a 3D file), consecutive elements
// sharing their boundary vertex.  In a file opened for update the first
// element may take the place of the element that `elementId` names
// (PlanReplacement).  False when nothing was written (the points were
// refused, or the replacement was) and when an element could not be written
// (a full disk): the polyline then stops at its last complete element, and
// if its first element failed, an element it was to replace stays as it was.
bool AddPolyline(TVectorMapPlugIn *map, DGNFile *file, const TVectorObjectPlugIn *object,
                 int32_t count, const TVectorPointPlugIn *points, TMessagePlugIn *sink) {
  if (!UsableAddArguments(object, count, points, sink)) return false;
  // Building the index (once per file) decodes the TCB, whose units and
  // dimension the checks below use, and the file's colour table, against
  // which the host colour is matched.
  DGNGetElementIndex(file, nullptr);
  if (!AllOnDesignPlane(file, count, points, sink)) return false;
  // The registry is looked up once per add: its setting and the session.
  OpenMap opened{};
  FindOpenMap(file, &opened);
  const bool wholeMap = opened.wholeMap;
  // The id decides here, once: what it names, and whether anything changed.
  TVectorObjectPlugIn edit = *object;
  const std::shared_ptr<dgnplugin::EditSession> session = std::move(opened.session);
  if (map->createFlag == 0 && session != nullptr) {
    int elementCount = 0;
    DGNGetElementIndex(file, &elementCount);
    dgnplugin::NoteOpenedElements(*session, elementCount);
    if (edit.elementId > 0) {
      dgnplugin::DeliveredObject named;
      switch (dgnplugin::FindNamedObject(file, *session, edit.elementId, wholeMap, &named)) {
        case dgnplugin::Named::kNoId: edit.elementId = 0; break;
        case dgnplugin::Named::kUnreadable: break;  // the replacement refuses it
        case dgnplugin::Named::kDelivered:
          // What the import gave, given back: the element stays as it is.
          if (dgnplugin::SameAsDelivered(file, named, *object, count, points)) return true;
          break;
      }
    }
  } else {
    edit.elementId = 0;
  }
  bool written;
  // The whole map keeps texts, and lines and areas too long for one element whole.
  if (wholeMap && edit.objectKind == kObjectText)
    written = AddText(map, file, &edit, count, points, sink);
  else if (wholeMap && count > RunStep(file) + 1)
    written = AddComplex(map, file, &edit, count, points, sink);
  else
    written = WriteRuns(map, file, &edit, count, points, sink);
  if (written && edit.elementId > 0) dgnplugin::NoteReplaced(*session, edit.elementId);
  return written;
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
const TVectorObjectPlugIn kDefaultObject = MakeDefaultObject();

TVectorObjectPlugIn DefaultObject() { return kDefaultObject; }

using dgnplugin::HostPoint;

// The host colour (red bits 0-7, green 8-15, blue 16-23) of a colour index,
// with pure white sent as 0.
int32_t HostColor(DGNFile *file, int color_index) {
  int red = 0, green = 0, blue = 0;
  if (!DGNLookupColor(file, color_index, &red, &green, &blue)) return 0;
  const int32_t color = (red & 0xFF) | ((green & 0xFF) << 8) | ((blue & 0xFF) << 16);
  return color == kHostWhite ? 0 : color;
}

}  // namespace

namespace dgnplugin {

int32_t SendObject(DGNFile *file, const DGNElement &element, int32_t objectKind, int32_t style,
                   int32_t n, TVectorCallbacksPlugIn *callbacks) {
  TVectorObjectPlugIn object = DefaultObject();
  object.elementId = element.element_id;
  object.color = HostColor(file, element.color);
  object.color2 = object.color;
  object.objectKind = objectKind;
  object.level = element.level;
  object.width = static_cast<float>(element.weight);
  object.numPoints = n;
  object.style = style;
  return HostAddObject(callbacks, &object);
}

void SendPoints(DGNFile *file, const DGNElement &element, int32_t objectKind, int32_t style,
                const DGNPoint *points, int32_t n, TVectorCallbacksPlugIn *callbacks) {
  const int32_t handle = SendObject(file, element, objectKind, style, n, callbacks);
  for (int32_t i = 0; i < n; ++i) SendPoint(callbacks, handle, points[i], i + 1 < n);
}

// Sends a line, line string or shape as one polyline and its vertices.
void SendPolyline(DGNFile *file, DGNMultiPointElement *element, int32_t objectKind,
                  TVectorCallbacksPlugIn *callbacks) {
  // The decoder never yields a negative count for a sane element, but a
  // badly truncated one must not make the host expect points that never come.
  const int32_t n = element->num_vertices > 0 ? element->num_vertices : 0;
  // Lines never carry a style.
  SendPoints(file, *element, objectKind, -1, element->vertices, n, callbacks);
}

void SendText(DGNFile *file, const DGNTextElement *element, const char *string,
              TVectorCallbacksPlugIn *callbacks) {
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
  object.objectKind = kObjectText;
  object.level = element->level;
  // The host takes the text as writable, but never changes it.
  object.name = const_cast<char *>(string);
  object.textInfo = &text;
  object.numPoints = 1;
  object.style = element->style;
  const int32_t handle = HostAddObject(callbacks, &object);

  TVectorPointPlugIn point = HostPoint(element->origin.x, element->origin.y, 0.0);
  HostAddPoint(callbacks, handle, &point, 1);
}

int SendElement(DGNFile *file, DGNElement *element, TVectorCallbacksPlugIn *callbacks) {
  const int32_t kind = ImportedKind(element);
  if (kind == kObjectPolyline || kind == kObjectPolygon)
    SendPolyline(file, static_cast<DGNMultiPointElement *>(element), kind, callbacks);
  else if (kind == kObjectText)
    SendText(file, static_cast<DGNTextElement *>(element),
             static_cast<DGNTextElement *>(element)->text, callbacks);
  return kind == kObjectNone ? -1 : element->level;
}

}  // namespace dgnplugin

namespace {

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

// Tells the host that the import failed, with the engine's reason.
void ShowReadFailure(TMessagePlugIn *sink) {
  DString msg(kReadFailed);
  msg.Append(CPLLastErrorText());
  ShowMessage(sink, msg.CStr());
}

// The levels an import sent objects on, in the order they first appeared.
class UsedLevels : public dgnplugin::LevelNotes {
 public:
  UsedLevels() : levels_(100, 100) {}

  // Notes the level of an object sent; a negative level is none.
  void Note(int level) override {
    const bool inList = level >= 0 && level < 64 && ((listed_ >> level) & 1u) != 0;
    if (level >= 0 && !inList && !HasLevel(levels_, level)) levels_.Insert(&level, -1);
    if (level >= 0 && level < 64) listed_ |= uint64_t(1) << level;
  }

  // Sends one layer per level noted.
  void Send(TVectorCallbacksPlugIn *callbacks) const {
    const int32_t end = levels_.Base() + Min(levels_.Count(), levels_.Capacity());
    for (int32_t i = levels_.Base(); i < end; ++i)
      if (levels_.IsValid(i)) SendLayer(*levels_.Get(i), callbacks);
  }

 private:
  Vector<int> levels_;
  // Levels already in the list, as bits, so that the list is searched only
  // for a level it may not hold yet; element levels are 0..63.
  uint64_t listed_ = 0;
};

// The host colours of the 256 colour indexes, looked up once: the colour
// table is the file's first one, which counting the elements has taken over.
class HostColors {
 public:
  explicit HostColors(DGNFile *file) : file_(file) { Fill(); }

  // The host colour of a colour index 0..255.
  int32_t Of(int index) {
    // A table taken over since (none in a file the count has passed).
    if (file_->got_color_table != table_) Fill();
    return colors_[index & 0xFF];
  }

 private:
  void Fill() {
    table_ = file_->got_color_table;
    for (int i = 0; i < 256; ++i) colors_[i] = HostColor(file_, i);
  }

  DGNFile *file_;
  int32_t table_ = 0;
  int32_t colors_[256];
};

// Sends a line, line string or shape as one polyline and its vertices,
// decoded straight from the element's bytes into the host's point record;
// gives its level.  The fields are those SendPolyline sends from the
// element's record.
int SendViewedPolyline(DGNFile *file, const DGNElementView &view, int32_t objectKind,
                       HostColors &colors, TVectorCallbacksPlugIn *callbacks) {
  DGNElement header{};
  DGNViewHeader(&view, &header);
  DGNVertexRun run{};
  DGNViewVertexRun(file, &view, &run);
  const int32_t n = run.count;
  TVectorObjectPlugIn object = kDefaultObject;
  object.elementId = header.element_id;
  object.color = colors.Of(header.color);
  object.color2 = object.color;
  object.objectKind = objectKind;
  object.level = header.level;
  object.width = static_cast<float>(header.weight);
  object.numPoints = n;
  // Lines never carry a style.
  object.style = -1;
  const int32_t handle = HostAddObject(callbacks, &object);
  for (int32_t i = 0; i < n; ++i) {
    const DGNPoint v = DGNRunVertex(run, i);
    TVectorPointPlugIn point = HostPoint(v.x, v.y, v.z);
    HostAddPoint(callbacks, handle, &point, i + 1 < n ? 1 : 0);
  }
  return header.level;
}

// The kind a line, line string or shape is sent as, or kObjectNone for
// every other type and for a deleted element (ImportedKind of its record).
int32_t ViewedKind(const DGNElementView &view) {
  if ((view.bytes[dgnraw::kTypeByte] & 0x80) != 0) return kObjectNone;  // bit 7: deleted
  switch (view.type) {
    case DGNTYPE_LINE:
    case DGNTYPE_LINE_STRING: return kObjectPolyline;
    case DGNTYPE_SHAPE: return kObjectPolygon;
    default: return kObjectNone;
  }
}

// Sends what one element gives the host: lines, line strings and shapes
// outside a complex element from their bytes; texts, complex elements (with
// or without the whole map, so that one cut short is named) and with the
// whole map every element that may be joined or stroked, from their record
// through `walk` (arcs and ellipses from a record read off their bytes).
// False when the record could not be had (read_failed set).
bool SendViewed(DGNFile *file, DGNElementView &view, TVectorCallbacksPlugIn *callbacks,
                dgnplugin::ImportWalk &walk, bool wholeMap, HostColors &colors,
                UsedLevels &levels) {
  if (!walk.Collecting()) {
    const int32_t kind = ViewedKind(view);
    if (kind != kObjectNone) {
      // Outside a complex element a line, line string or shape is sent as
      // the import always has, with the whole map or without it.
      levels.Note(SendViewedPolyline(file, view, kind, colors, callbacks));
      return true;
    }
    // Without the whole map nothing else is sent but a text, and only a
    // complex header starts what the walk must follow.
    if (!wholeMap && view.type != DGNTYPE_TEXT && view.type != DGNTYPE_COMPLEX_CHAIN_HEADER &&
        view.type != DGNTYPE_COMPLEX_SHAPE_HEADER)
      return true;
  }
  const bool complexBit = (view.bytes[dgnraw::kLevelByte] & 0x80) != 0;  // bit 7: complex
  if (wholeMap && (view.type == DGNTYPE_LINE || view.type == DGNTYPE_LINE_STRING) &&
      walk.AwaitsComponent(view.type, complexBit)) {
    // A line or line string of a complex element is joined to it from its
    // bytes, without a record of its vertices.
    DGNElement fields{};
    DGNViewHeader(&view, &fields);
    fields.kind = DGNKIND_MULTIPOINT;
    fields.offset = DGNViewOffset(file, &view);
    DGNVertexRun run{};
    DGNViewVertexRun(file, &view, &run);
    walk.Take(&fields, levels, &run);
    return true;
  }
  if (wholeMap && (view.type == DGNTYPE_ARC || view.type == DGNTYPE_ELLIPSE)) {
    // Arcs and ellipses own no blocks the import needs: their record is
    // decoded from the element's bytes where they lie, into the stack.
    DGNArcElement arc;
    DGNViewArc(file, &view, &arc);
    walk.Take(&arc, levels);
    return true;
  }
  DGNElement *element = DGNProcessView(file, &view);
  if (element == nullptr) return false;
  // The element is released before anything below can throw.
  try {
    walk.Take(element, levels);
  } catch (...) {
    DGNFreeElement(file, element);
    throw;
  }
  DGNFreeElement(file, element);
  return true;
}

// Reads the elements in file order and sends each as the import shows it
// (through `walk`, with or without the whole map), noting the levels used.
// False when the host cancelled.
bool SendElements(DGNFile *file, TVectorCallbacksPlugIn *callbacks, TMessagePlugIn *sink,
                  TProgressPlugIn *progress, dgnplugin::ImportWalk &walk, bool wholeMap,
                  UsedLevels &levels) {
  HostColors colors(file);
  DGNElementView view{};
  while (DGNReadElementView(file, &view)) {
    // A record that could not be had ends the walk as the end of the
    // stream does; the caller asks DGNReadFailed.
    if (!SendViewed(file, view, callbacks, walk, wholeMap, colors, levels)) return true;
    ProgressStep(progress);
    if (ProgressIsCancelled(progress)) {
      ShowMessage(sink, kReadStop);
      return false;
    }
  }
  return true;
}

// Bytes follow that no reader can reach (a word count gone wrong, a file
// cut short): what came before is the map as far as it can be read, and
// the host is told that it is not the whole file.
void WarnIfStreamCut(DGNFile *file, TMessagePlugIn *sink) {
  int64_t streamEnd = 0, fileBytes = 0;
  if (!DGNStreamCut(file, &streamEnd, &fileBytes)) return;
  char text[300];
  std::snprintf(text, sizeof text,
                "Warning in DGN (QuarvelPlugIn_Read_Vector_Map3): the element stream stops at "
                "offset %lld, at an element that does not fit in the file of %lld bytes; the "
                "bytes from there on cannot be read.",
                static_cast<long long>(streamEnd), static_cast<long long>(fileBytes));
  ShowMessage(sink, text);
}

// Walks the whole file in element order, then sends one layer per level in
// the order the levels first appeared.  False when the host cancelled.
bool ImportMap(DGNFile *file, TVectorCallbacksPlugIn *callbacks, TMessagePlugIn *sink,
               TProgressPlugIn *progress) {
  // The count of the elements gives the progress its total.  Only the count
  // is kept, not an index of where they lie: the walk below reads them in
  // order, and an index would grow with the file (8 bytes an element).
  int count = 0;
  DGNCountElements(file, &count);
  ProgressSetTotal(progress, count);

  UsedLevels levels;
  const bool wholeMap = IsWholeMap(file);
  dgnplugin::ImportWalk walk(file, callbacks, sink, wholeMap);
  if (!SendElements(file, callbacks, sink, progress, walk, wholeMap, levels)) return false;
  // A record the file asked for could not be had: the map is not complete.
  if (DGNReadFailed(file)) {
    ShowReadFailure(sink);
    return false;
  }
  walk.Finish(levels);
  WarnIfStreamCut(file, sink);
  levels.Send(callbacks);
  return true;
}

}  // namespace

extern "C" {

int32_t _QuarvelPlugIn_Version(void) { return 4; }

int32_t _QuarvelPlugIn_VersionPriv(void) { return 1; }

TPlugInBool _QuarvelPlugIn_Init(void) { return 1; }

const char *_QuarvelPlugIn_GetTipoArchivos(void) { return kFileTypes; }

const char *_QuarvelPlugIn_VersionStr(void) { return kVersionText; }

TPlugInBool _QuarvelPlugIn_Read_Vector_Map3(TVectorMapPlugIn *map,
                                            TVectorCallbacksPlugIn *callbacks, TMessagePlugIn *sink,
                                            TProgressPlugIn *progress) {
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

TPlugInBool _QuarvelPlugIn_Add_Poliline_Vector_Map(TVectorMapPlugIn *map,
                                                   TVectorObjectPlugIn *object, int32_t count,
                                                   TVectorPointPlugIn *points,
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
  // False when what was written is not all safely on the disk.
  bool saved = true;
  if (ForgetFile(map->handle)) saved = DGNClose(static_cast<DGNFile *>(map->handle));
  map->handle = nullptr;
  return saved ? 1 : 0;
}

}  // extern "C"
