// dgnhost: a command-line host for the DGN plug-in.  It loads the plug-in at
// run time by path, exactly as the mapping host does, lays out the host's
// records and callback tables, and drives the plug-in through its ten exports.
//
//   dgnhost info                          the informational answers
//   dgnhost import FILE [--geojson OUT] [--svg OUT] [--summary] [--whole-map]
//
// Exit status: 0 done, 1 the plug-in or an output file failed, 2 usage,
// 130 the import was cancelled (Ctrl-C).
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dgnhost_codepage.h"
#include "dgnhost_export.h"
#include "dgnhost_files.h"
#include "dgnhost_ini.h"
#include "plugin_records.h"

#if defined(_WIN32)
#include <io.h>
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

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCancelled = 130;

// Imports of at least this many elements draw a progress bar on a terminal.
constexpr int32_t kProgressBarMinElements = 5000;

// ---------------------------------------------------------------------------
// Loading the plug-in
// ---------------------------------------------------------------------------

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

// Loads the plug-in library; null with the loader's reason in `error`.
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

// Unloads a library that LoadPlugin gave.
void UnloadPlugin(void *lib) {
#if defined(_WIN32)
  FreeLibrary(reinterpret_cast<HMODULE>(lib));
#else
  dlclose(lib);
#endif
}

// Gives the address of an exported name, or null.
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

// Resolves all ten exports; false (with a message per missing one) if any is absent.
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

// Gives whether standard error is a terminal (where a progress bar makes sense).
bool StderrIsTerminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(fileno(stderr)) != 0;
#endif
}

// ---------------------------------------------------------------------------
// What the plug-in hands over during an import
// ---------------------------------------------------------------------------

struct Vertex {
  double x, y, z;
};

struct ImportedObject {
  int32_t kind = 0;  // 0 open polyline, 1 closed polygon, 3 text
  int32_t level = 0;
  int32_t color = -1;
  float width = 1.0f;
  int32_t style = -1;
  int32_t elementId = 0;
  int32_t declaredPoints = -1;  // numPoints as the plug-in announced it
  bool hasText = false;
  std::string text;
  float height = 0.0f;
  float rotation = 0.0f;
  int32_t justification = 0;
  std::vector<Vertex> points;
};

struct ImportedLayer {
  int32_t level = 0;
  std::string name;
};

struct ImportResult {
  std::vector<ImportedObject> objects;
  std::vector<ImportedLayer> layers;
  int32_t total = 0;        // element count from SetTotal
  int64_t steps = 0;        // Step calls
  int64_t strayPoints = 0;  // points for an unknown object handle
  bool outOfMemory = false;
  bool badRecordSize = false;
};

// ---------------------------------------------------------------------------
// Ctrl-C: the handler only raises a flag; the plug-in sees it through
// IsCancelled after the element in hand.
// ---------------------------------------------------------------------------

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

// ---------------------------------------------------------------------------
// The host's records and callback tables.  Each table is the first member of
// a larger host object, so the table pointer the plug-in passes back leads to
// the object.
// ---------------------------------------------------------------------------

struct HostCallbacks {
  TVectorCallbacksPlugIn table;  // first: the plug-in passes &table back
  ImportResult *result;
};

struct HostProgress {
  TProgressPlugIn object;  // first: the plug-in passes &object back
  ImportResult *result;
  bool terminal;        // standard error is a terminal
  bool barShown;        // a bar is on the screen now
  int lastPercent;
  int64_t interruptAfter;  // test hook: raise SIGINT after this many steps (0: never)
};

struct HostSink {
  TMessagePlugIn object;  // first: the plug-in passes &object back
  HostProgress *progress;
  int messages;
};

HostCallbacks *CallbacksOf(TVectorCallbacksPlugIn *self) {
  return reinterpret_cast<HostCallbacks *>(self);
}
HostProgress *ProgressOf(TProgressPlugIn *self) { return reinterpret_cast<HostProgress *>(self); }
HostSink *SinkOf(TMessagePlugIn *self) { return reinterpret_cast<HostSink *>(self); }

// Wipes the progress bar off the terminal line, if one is shown.
void ClearBar(HostProgress *p) {
  if (p != nullptr && p->barShown) {
    std::fprintf(stderr, "\r%60s\r", "");
    std::fflush(stderr);
    p->barShown = false;
  }
}

// Redraws the progress bar when the percentage changed (large imports on a terminal only).
void DrawBar(HostProgress *p) {
  const int32_t total = p->result->total;
  if (!p->terminal || total < kProgressBarMinElements) return;
  const int64_t done = p->result->steps < total ? p->result->steps : total;
  const int percent = static_cast<int>(done * 100 / total);
  if (percent == p->lastPercent) return;
  p->lastPercent = percent;
  char bar[31];
  const int filled = percent * 30 / 100;
  for (int i = 0; i < 30; ++i) bar[i] = i < filled ? '#' : '.';
  bar[30] = '\0';
  std::fprintf(stderr, "\rimporting [%s] %3d%% (%lld/%d)", bar, percent,
               static_cast<long long>(done), total);
  std::fflush(stderr);
  p->barShown = true;
}

int32_t OnAddObject(TVectorCallbacksPlugIn *self, TVectorObjectPlugIn *o) {
  ImportResult *r = CallbacksOf(self)->result;
  if (o == nullptr || r->outOfMemory) return -1;
  if (o->size != QPLUGIN_OBJECT_SIZE) r->badRecordSize = true;
  try {
    ImportedObject obj;
    obj.kind = o->objectKind;
    obj.level = o->level;
    obj.color = o->color;
    obj.width = o->width;
    obj.style = o->style;
    obj.elementId = o->elementId;
    obj.declaredPoints = o->numPoints;
    if (o->objectKind == 3) {
      // The name and text record live only during this call: copy them.
      obj.hasText = true;
      if (o->name != nullptr) obj.text = o->name;
      if (o->textInfo != nullptr) {
        if (o->textInfo->size != QPLUGIN_TEXT_SIZE) r->badRecordSize = true;
        obj.height = o->textInfo->height;
        obj.rotation = o->textInfo->rotation;
        obj.justification = o->textInfo->justification;
      }
    }
    if (o->numPoints > 0 && o->numPoints < 1000000)
      obj.points.reserve(static_cast<size_t>(o->numPoints));
    r->objects.push_back(std::move(obj));
  } catch (...) {
    r->outOfMemory = true;
    return -1;
  }
  return static_cast<int32_t>(r->objects.size() - 1);
}

int32_t OnAddPoint(TVectorCallbacksPlugIn *self, int32_t object, TVectorPointPlugIn *p, int32_t) {
  ImportResult *r = CallbacksOf(self)->result;
  if (p == nullptr || r->outOfMemory) return 0;
  if (p->size != QPLUGIN_POINT_SIZE) r->badRecordSize = true;
  if (object < 0 || static_cast<size_t>(object) >= r->objects.size()) {
    ++r->strayPoints;
    return 0;
  }
  try {
    r->objects[static_cast<size_t>(object)].points.push_back(Vertex{p->x, p->y, p->z});
  } catch (...) {
    r->outOfMemory = true;
  }
  return 0;
}

int32_t OnAddLayer(TVectorCallbacksPlugIn *self, TVectorObjectPlugIn *o) {
  ImportResult *r = CallbacksOf(self)->result;
  if (o == nullptr || r->outOfMemory) return 0;
  if (o->size != QPLUGIN_OBJECT_SIZE) r->badRecordSize = true;
  try {
    ImportedLayer layer;
    layer.level = o->level;
    if (o->name != nullptr) layer.name = o->name;
    r->layers.push_back(std::move(layer));
  } catch (...) {
    r->outOfMemory = true;
  }
  return 0;
}

void OnSetTotal(TProgressPlugIn *self, int32_t total) {
  HostProgress *p = ProgressOf(self);
  p->result->total = total;
  p->lastPercent = -1;
  DrawBar(p);
}

void OnStep(TProgressPlugIn *self, int32_t steps) {
  HostProgress *p = ProgressOf(self);
  p->result->steps += steps;
  if (p->interruptAfter > 0 && p->result->steps == p->interruptAfter) std::raise(SIGINT);
  DrawBar(p);
}

TPlugInBool OnIsCancelled(TProgressPlugIn *self) {
  HostProgress *p = ProgressOf(self);
  return (g_interrupted != 0 || p->result->outOfMemory) ? 1 : 0;
}

void OnShow(TMessagePlugIn *self, const char *text) {
  HostSink *s = SinkOf(self);
  ClearBar(s->progress);
  ++s->messages;
  // Engine texts may end in a newline of their own: print one line.
  std::string line = text != nullptr ? text : "";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::fprintf(stderr, "dgnhost: plug-in: %s\n", line.c_str());
}

const TProgressOpsPlugIn kProgressOps = {OnSetTotal, OnStep, nullptr, OnIsCancelled};

// ---------------------------------------------------------------------------
// Text and number output
// ---------------------------------------------------------------------------

// Appends the UTF-8 form of one host code-page byte (0x80 or above).
void AppendCodePageByte(std::string &out, unsigned char c) {
  const unsigned cp = CodePageCharacter(c);
  if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  }
  out += static_cast<char>(0x80 | (cp & 0x3F));
}

// Copies 8-bit text into valid UTF-8: well-formed UTF-8 sequences are kept,
// any other byte of 0x80 or above is taken in the host's code page.
std::string ToUtf8(const std::string &in) {
  std::string out;
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(in[i]);
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;  // no UTF-16 surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    bool ok = len > 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) {
      const unsigned char d = static_cast<unsigned char>(in[i + k]);
      ok = k == 1 ? (d >= lo && d <= hi) : (d >= 0x80 && d <= 0xBF);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else if (ok) {
      out.append(in, i, len);
      i += len;
    } else {
      AppendCodePageByte(out, c);
      ++i;
    }
  }
  return out;
}

// Gives raw 8-bit text as a quoted JSON string.
std::string JsonString(const std::string &raw) {
  const std::string s = ToUtf8(raw);
  std::string out = "\"";
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

// XML character data: markup characters escaped, and the control characters
// XML cannot carry replaced by U+FFFD.
std::string XmlText(const std::string &raw) {
  const std::string s = ToUtf8(raw);
  std::string out;
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default:
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
          out += "\xEF\xBF\xBD";
        else
          out += ch;
    }
  }
  return out;
}

// Shortest of %.15g / %.17g that reads back as the same double.
std::string Num(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  if (std::strtod(buf, nullptr) != v) std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// A number rounded for drawing: two decimals are plenty for pixels.
std::string Px(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

// Host colour (red bits 0-7) as #rrggbb; a record without colour draws black.
std::string HexColor(int32_t color) {
  if (color < 0) color = 0;
  char buf[8];
  std::snprintf(buf, sizeof buf, "#%02x%02x%02x", color & 0xFF, (color >> 8) & 0xFF,
                (color >> 16) & 0xFF);
  return buf;
}

bool Finite(const Vertex &v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// The vertices of an object that can be written out (non-finite ones from a
// damaged file are dropped).
std::vector<Vertex> UsablePoints(const ImportedObject &o) {
  std::vector<Vertex> pts;
  for (const Vertex &v : o.points)
    if (Finite(v)) pts.push_back(v);
  return pts;
}

std::string LayerName(const ImportResult &r, int32_t level) {
  for (const ImportedLayer &l : r.layers)
    if (l.level == level) return l.name;
  return "Level " + std::to_string(level);
}

const char *KindName(int32_t kind) {
  switch (kind) {
    case 0: return "polyline";
    case 1: return "polygon";
    case 3: return "text";
    default: return "other";
  }
}

// ---------------------------------------------------------------------------
// GeoJSON
// ---------------------------------------------------------------------------

std::string Position(const Vertex &v, bool withZ) {
  std::string s = "[" + Num(v.x) + "," + Num(v.y);
  if (withZ) s += "," + Num(v.z);
  return s + "]";
}

std::string Positions(const std::vector<Vertex> &pts, bool withZ) {
  std::string s = "[";
  for (size_t i = 0; i < pts.size(); ++i) {
    if (i > 0) s += ",";
    s += Position(pts[i], withZ);
  }
  return s + "]";
}

bool SamePlace(const Vertex &a, const Vertex &b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

// The geometry of one object: texts are Points, polylines LineStrings and
// polygons Polygons with a closed ring.  Objects with too few points for
// their kind fall back to the simpler geometry (null for none at all).
std::string Geometry(const ImportedObject &o) {
  std::vector<Vertex> pts = UsablePoints(o);
  bool withZ = false;
  for (const Vertex &v : pts) withZ = withZ || v.z != 0.0;
  if (pts.empty()) return "null";
  if (o.kind == 3 || pts.size() == 1)
    return "{\"type\":\"Point\",\"coordinates\":" + Position(pts[0], withZ) + "}";
  if (o.kind == 1) {
    std::vector<Vertex> ring = pts;
    if (!SamePlace(ring.front(), ring.back())) ring.push_back(ring.front());
    if (ring.size() >= 4)
      return "{\"type\":\"Polygon\",\"coordinates\":[" + Positions(ring, withZ) + "]}";
  }
  return "{\"type\":\"LineString\",\"coordinates\":" + Positions(pts, withZ) + "}";
}

std::string Properties(const ImportResult &r, const ImportedObject &o) {
  std::string s = "{\"kind\":\"" + std::string(KindName(o.kind)) + "\"";
  s += ",\"level\":" + std::to_string(o.level);
  s += ",\"layer\":" + JsonString(LayerName(r, o.level));
  s += ",\"color\":\"" + HexColor(o.color) + "\"";
  s += ",\"width\":" + (std::isfinite(o.width) ? Num(o.width) : std::string("null"));
  s += ",\"style\":" + (o.style >= 0 ? std::to_string(o.style) : std::string("null"));
  s += ",\"elementId\":" + std::to_string(o.elementId);
  if (o.hasText) {
    s += ",\"text\":" + JsonString(o.text);
    s += ",\"height\":" + (std::isfinite(o.height) ? Num(o.height) : std::string("null"));
    s += ",\"rotation\":" + (std::isfinite(o.rotation) ? Num(o.rotation) : std::string("null"));
    s += ",\"justification\":" + std::to_string(o.justification);
  }
  return s + "}";
}

// Gives the import as a GeoJSON FeatureCollection, one Feature per object.
std::string GeoJson(const ImportResult &r) {
  std::string s = "{\"type\":\"FeatureCollection\",\"features\":[";
  for (size_t i = 0; i < r.objects.size(); ++i) {
    const ImportedObject &o = r.objects[i];
    s += i > 0 ? ",\n" : "\n";
    s += "{\"type\":\"Feature\",\"geometry\":" + Geometry(o) +
         ",\"properties\":" + Properties(r, o) + "}";
  }
  return s + "\n]}\n";
}

// ---------------------------------------------------------------------------
// SVG: the map as a user would look at it.  Polygons under lines under
// texts, y axis up, the view fitted to the data.
// ---------------------------------------------------------------------------

constexpr double kSvgSide = 1000.0;   // pixels along the longer side of the data
constexpr double kSvgMargin = 20.0;   // pixels around it
constexpr double kCapHeight = 0.72;   // cap height of a sans-serif font, in em

struct Bounds {
  bool any = false;
  double minX = 0, minY = 0, maxX = 0, maxY = 0;
  void Add(double x, double y) {
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    if (!any) {
      minX = maxX = x;
      minY = maxY = y;
      any = true;
      return;
    }
    if (x < minX) minX = x;
    if (x > maxX) maxX = x;
    if (y < minY) minY = y;
    if (y > maxY) maxY = y;
  }
};

// Horizontal anchor and the fraction of the text height the baseline sits
// below the origin, from the DGN justification code (left 0-5, centre 6-8,
// right 9-14; top, centre, bottom repeating).
void Justify(int32_t code, const char **anchor, double *drop) {
  if (code < 0 || code > 14) code = 2;  // unknown: left bottom
  *anchor = code <= 5 ? "start" : (code <= 8 ? "middle" : "end");
  static const double kDrop[3] = {1.0, 0.5, 0.0};
  *drop = kDrop[code % 3];
}

// Adds the rough box of a text (0.6 of its height per character) to bounds.
void AddTextBox(Bounds &b, const ImportedObject &o, const Vertex &origin) {
  if (!std::isfinite(o.height) || o.height <= 0 || !std::isfinite(o.rotation)) {
    b.Add(origin.x, origin.y);
    return;
  }
  const char *anchor;
  double drop;
  Justify(o.justification, &anchor, &drop);
  const double len = 0.6 * o.height * static_cast<double>(o.text.size());
  const double h = o.height;
  const double startX = anchor[0] == 's' ? 0.0 : (anchor[0] == 'm' ? -len / 2 : -len);
  const double baseY = -drop * h;
  const double a = o.rotation * 3.14159265358979323846 / 180.0;
  const double c = std::cos(a), s = std::sin(a);
  const double xs[2] = {startX, startX + len};
  const double ys[2] = {baseY, baseY + h};
  for (double lx : xs)
    for (double ly : ys) b.Add(origin.x + lx * c - ly * s, origin.y + lx * s + ly * c);
}

// Gives the import drawn as an SVG document.
std::string Svg(const ImportResult &r, const std::string &title) {
  Bounds b;
  for (const ImportedObject &o : r.objects) {
    for (const Vertex &v : UsablePoints(o)) {
      if (o.kind == 3)
        AddTextBox(b, o, v);
      else
        b.Add(v.x, v.y);
    }
  }
  if (!b.any) b.Add(0, 0);
  double dx = b.maxX - b.minX, dy = b.maxY - b.minY;
  if (!(dx > 0) && !(dy > 0)) dx = dy = 1.0;  // a single place: any scale shows it
  const double longer = dx > dy ? dx : dy;
  double s = kSvgSide / longer;
  if (!std::isfinite(s) || s <= 0) s = 1.0;
  const double width = dx * s + 2 * kSvgMargin, height = dy * s + 2 * kSvgMargin;
  auto X = [&](double x) { return kSvgMargin + (x - b.minX) * s; };
  auto Y = [&](double y) { return kSvgMargin + (b.maxY - y) * s; };  // y up on the map
  auto Stroke = [](float w) {
    return std::isfinite(w) && w > 0 ? 1.0 + static_cast<double>(w) : 1.0;
  };

  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Px(width) + "\" height=\"" +
         Px(height) + "\" viewBox=\"0 0 " + Px(width) + " " + Px(height) + "\">\n";
  out += "<title>" + XmlText(title) + "</title>\n";
  out += "<rect x=\"0\" y=\"0\" width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";

  // Pass 0: polygons, 1: polylines, 2: texts.
  static const char *kGroups[3] = {"polygons", "polylines", "texts"};
  for (int pass = 0; pass < 3; ++pass) {
    out += "<g id=\"" + std::string(kGroups[pass]) + "\">\n";
    for (const ImportedObject &o : r.objects) {
      const int want = o.kind == 1 ? 0 : (o.kind == 3 ? 2 : 1);
      if (want != pass) continue;
      const std::vector<Vertex> pts = UsablePoints(o);
      if (pts.empty()) continue;
      const std::string color = HexColor(o.color);
      const std::string cls = " class=\"level-" + std::to_string(o.level) + "\"";
      if (pass == 2) {
        if (!std::isfinite(o.height) || o.height <= 0 || o.text.empty()) continue;
        const char *anchor;
        double drop;
        Justify(o.justification, &anchor, &drop);
        const double px = X(pts[0].x), py = Y(pts[0].y), size = o.height * s;
        const double rot = std::isfinite(o.rotation) ? -static_cast<double>(o.rotation) : 0.0;
        out += "<text" + cls + " x=\"" + Px(px) + "\" y=\"" + Px(py) + "\" dy=\"" +
               Px(drop * size) + "\" font-family=\"sans-serif\" font-size=\"" +
               Px(size / kCapHeight) + "\" text-anchor=\"" + anchor + "\" fill=\"" + color +
               "\" transform=\"rotate(" + Px(rot) + " " + Px(px) + " " + Px(py) + ")\">" +
               XmlText(o.text) + "</text>\n";
        continue;
      }
      std::string coords;
      for (const Vertex &v : pts) {
        if (!coords.empty()) coords += " ";
        coords += Px(X(v.x)) + "," + Px(Y(v.y));
      }
      if (pts.size() == 1) {
        out += "<circle" + cls + " cx=\"" + Px(X(pts[0].x)) + "\" cy=\"" + Px(Y(pts[0].y)) +
               "\" r=\"" + Px(Stroke(o.width)) + "\" fill=\"" + color + "\"/>\n";
      } else if (pass == 0) {
        out += "<polygon" + cls + " points=\"" + coords + "\" fill=\"" + color +
               "\" fill-opacity=\"0.15\" stroke=\"" + color + "\" stroke-width=\"" +
               Px(Stroke(o.width)) + "\" stroke-linejoin=\"round\"/>\n";
      } else {
        out += "<polyline" + cls + " points=\"" + coords + "\" fill=\"none\" stroke=\"" + color +
               "\" stroke-width=\"" + Px(Stroke(o.width)) +
               "\" stroke-linecap=\"round\" stroke-linejoin=\"round\"/>\n";
      }
    }
    out += "</g>\n";
  }
  return out + "</svg>\n";
}

// ---------------------------------------------------------------------------
// Summary: objects per layer and kind.
// ---------------------------------------------------------------------------

// Prints the objects per layer and kind, and their points, on standard output.
void PrintSummary(const ImportResult &r, const std::string &file) {
  struct Row {
    int64_t lines = 0, polygons = 0, texts = 0, points = 0;
  };
  std::map<int32_t, Row> rows;
  Row total;
  for (const ImportedObject &o : r.objects) {
    Row &row = rows[o.level];
    int64_t *slot = o.kind == 1 ? &row.polygons : (o.kind == 3 ? &row.texts : &row.lines);
    int64_t *tslot = o.kind == 1 ? &total.polygons : (o.kind == 3 ? &total.texts : &total.lines);
    ++*slot;
    ++*tslot;
    row.points += static_cast<int64_t>(o.points.size());
    total.points += static_cast<int64_t>(o.points.size());
  }
  std::printf("%s: %d elements read, %zu objects on %zu layers\n", file.c_str(), r.total,
              r.objects.size(), r.layers.size());
  std::printf("  %-12s %9s %9s %9s %9s\n", "layer", "polylines", "polygons", "texts", "points");
  // Layers in the order the plug-in sent them, then any level without one.
  std::vector<int32_t> order;
  for (const ImportedLayer &l : r.layers)
    if (rows.count(l.level) != 0) order.push_back(l.level);
  for (const auto &kv : rows) {
    bool seen = false;
    for (int32_t lv : order) seen = seen || lv == kv.first;
    if (!seen) order.push_back(kv.first);
  }
  for (int32_t lv : order) {
    const Row &row = rows[lv];
    std::printf("  %-12s %9lld %9lld %9lld %9lld\n", LayerName(r, lv).c_str(),
                static_cast<long long>(row.lines), static_cast<long long>(row.polygons),
                static_cast<long long>(row.texts), static_cast<long long>(row.points));
  }
  std::printf("  %-12s %9lld %9lld %9lld %9lld\n", "total", static_cast<long long>(total.lines),
              static_cast<long long>(total.polygons), static_cast<long long>(total.texts),
              static_cast<long long>(total.points));
}

// Writes text to path ("-": standard output); false with a message on failure.
bool WriteOutput(const std::string &path, const std::string &text) {
  if (path == "-") {
    const bool ok = std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
                    std::fflush(stdout) == 0;
    if (!ok) std::fprintf(stderr, "dgnhost: cannot write to standard output\n");
    return ok;
  }
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::fprintf(stderr, "dgnhost: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) std::fprintf(stderr, "dgnhost: cannot write %s\n", path.c_str());
  return ok;
}

std::string BaseName(const std::string &path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ---------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------

struct Context {
  PluginApi api;
  std::string programDir;
};

int Usage(FILE *out) {
  std::fprintf(out,
               "usage: dgnhost [--plugin PATH] COMMAND [ARGS]\n"
               "\n"
               "commands:\n"
               "  info      print the plug-in's version and file-type answers\n"
               "  import FILE [--geojson OUT] [--svg OUT] [--summary] [--whole-map]\n"
               "            import a DGN file through the plug-in; OUT '-' is standard output;\n"
               "            --whole-map also brings arcs, ellipses, curves and complex\n"
               "            chains and shapes (the DGN_Whole_Map setting, for this run)\n"
               "%s"
               "\n"
               "--plugin PATH  the plug-in library to load (default: %s beside dgnhost)\n"
               "\n"
               "exit status: 0 done, 1 failed, 2 usage, 130 import cancelled (Ctrl-C)\n",
               kExportUsage, kPluginFile);
  return out == stdout ? kExitOk : kExitUsage;
}

// `info`: prints the informational answers; gives the exit status.
int CmdInfo(Context &ctx, int argc, char **) {
  if (argc != 0) return Usage(stderr);
  const PluginApi &api = ctx.api;
  std::printf("interface version: %d\n", api.Version());
  std::printf("private version:   %d\n", api.VersionPriv());
  std::printf("init:              %s\n", api.Init() ? "true" : "false");
  std::printf("file types:        %s\n", api.GetTipoArchivos());
  std::printf("version text:      %s\n", api.VersionStr());
  std::printf("add layer:         %s\n", api.AddLayer() ? "true" : "false");
  return kExitOk;
}

// `import`: the whole import through the exports, then the outputs asked for;
// gives the exit status.
int CmdImport(Context &ctx, int argc, char **argv) {
  std::string file, geojsonPath, svgPath;
  bool summary = false;
  bool wholeMap = false;
  long long interruptAfter = 0;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--geojson" && i + 1 < argc) {
      geojsonPath = argv[++i];
    } else if (a == "--svg" && i + 1 < argc) {
      svgPath = argv[++i];
    } else if (a == "--summary") {
      summary = true;
    } else if (a == "--whole-map") {
      wholeMap = true;
    } else if (a == "--interrupt-after" && i + 1 < argc) {
      // Test hook: behave as if Ctrl-C were pressed after N elements.
      interruptAfter = std::atoll(argv[++i]);
    } else if (file.empty() && !a.empty() && a[0] != '-') {
      file = a;
    } else {
      std::fprintf(stderr, "dgnhost: import: unexpected argument '%s'\n", a.c_str());
      return Usage(stderr);
    }
  }
  if (file.empty()) return Usage(stderr);
  // The outputs are written after the whole import: one that is the map
  // itself would replace the map by its own GeoJSON or drawing.
  for (const std::string *out : {&geojsonPath, &svgPath}) {
    if (!out->empty() && *out != "-" && SameFile(file, *out)) {
      std::fprintf(stderr, "dgnhost: import: %s is the map being imported; refusing to write "
                   "an output over it\n", out->c_str());
      return kExitUsage;
    }
  }

  ImportResult result;
  HostCallbacks callbacks{};
  callbacks.table.AddLayer = OnAddLayer;
  callbacks.table.AddObject = OnAddObject;
  callbacks.table.AddPoint = OnAddPoint;
  callbacks.result = &result;
  HostProgress progress{};
  progress.object.ops = &kProgressOps;
  progress.result = &result;
  progress.terminal = StderrIsTerminal();
  progress.lastPercent = -1;
  progress.interruptAfter = interruptAfter;
  HostSink sink{};
  sink.object.Show = OnShow;
  sink.progress = &progress;

  // The map record as the host fills it for an import: read flag only; the
  // directory is the host's own folder, where its INI file lives (or a copy
  // of that file with the whole map on).
  std::string directory = ctx.programDir;
  std::unique_ptr<WholeMapIni> wholeMapIni;
  if (wholeMap) {
    wholeMapIni.reset(new WholeMapIni(ctx.programDir));
    if (!wholeMapIni->ok()) {
      std::fprintf(stderr, "dgnhost: cannot make a scratch folder for the whole-map setting\n");
      return kExitFailed;
    }
    directory = wholeMapIni->dir();
  }
  TVectorMapPlugIn map{};
  map.directory = &directory[0];
  map.readFlag = 1;
  if (!ctx.api.Open(file.c_str(), &map, &sink.object)) return kExitFailed;

  g_interrupted = 0;
  void (*previous)(int) = std::signal(SIGINT, OnInterrupt);
  const bool read = ctx.api.Read(&map, &callbacks.table, &sink.object, &progress.object) != 0;
  std::signal(SIGINT, previous == SIG_ERR ? SIG_DFL : previous);
  ClearBar(&progress);
  ctx.api.Close(&map);

  if (result.badRecordSize)
    std::fprintf(stderr, "dgnhost: warning: the plug-in sent records with a wrong size field\n");
  if (result.strayPoints > 0)
    std::fprintf(stderr, "dgnhost: warning: %lld points arrived for no object\n",
                 static_cast<long long>(result.strayPoints));
  if (result.outOfMemory) {
    std::fprintf(stderr, "dgnhost: out of memory while importing %s\n", file.c_str());
    return kExitFailed;
  }
  if (!read) {
    if (g_interrupted != 0) {
      std::fprintf(stderr, "dgnhost: import of %s cancelled after %lld of %d elements\n",
                   file.c_str(), static_cast<long long>(result.steps), result.total);
      return kExitCancelled;
    }
    std::fprintf(stderr, "dgnhost: import of %s failed\n", file.c_str());
    return kExitFailed;
  }

  bool ok = true;
  if (!geojsonPath.empty()) ok = WriteOutput(geojsonPath, GeoJson(result)) && ok;
  if (!svgPath.empty()) ok = WriteOutput(svgPath, Svg(result, BaseName(file))) && ok;
  if (summary) PrintSummary(result, BaseName(file));
  return ok ? kExitOk : kExitFailed;
}

// export and update live in dgnhost_export.cpp; they need open, add and close.
ExportApi ExportApiOf(const PluginApi &api) {
  ExportApi e;
  e.Open = api.Open;
  e.AddPolyline = api.AddPolyline;
  e.Close = api.Close;
  return e;
}

int CmdExport(Context &ctx, int argc, char **argv) {
  return RunExportCommand(ExportApiOf(ctx.api), ctx.programDir, argc, argv);
}

int CmdUpdate(Context &ctx, int argc, char **argv) {
  return RunUpdateCommand(ExportApiOf(ctx.api), ctx.programDir, argc, argv);
}

// The commands dgnhost offers, by name.
struct Command {
  const char *name;
  int (*run)(Context &ctx, int argc, char **argv);
};

const Command kCommands[] = {
    {"info", CmdInfo},
    {"import", CmdImport},
    {"export", CmdExport},
    {"update", CmdUpdate},
};

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
  const Command *command = nullptr;
  for (const Command &c : kCommands)
    if (std::strcmp(argv[i], c.name) == 0) command = &c;
  if (command == nullptr) {
    std::fprintf(stderr, "dgnhost: unknown command '%s'\n", argv[i]);
    return Usage(stderr);
  }

  Context ctx;
  ctx.programDir = ProgramDir(argv[0]);
  if (pluginPath.empty()) pluginPath = ctx.programDir + kPluginFile;
  std::string error;
  void *lib = LoadPlugin(pluginPath, error);
  if (lib == nullptr) {
    std::fprintf(stderr, "dgnhost: %s\n", error.c_str());
    return kExitFailed;
  }
  if (!ResolveAll(lib, ctx.api)) {
    UnloadPlugin(lib);
    return kExitFailed;
  }
  const int status = command->run(ctx, argc - i - 1, argv + i + 1);
  UnloadPlugin(lib);
  return status;
}
