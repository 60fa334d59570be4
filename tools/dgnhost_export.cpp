// dgnhost export and update: GeoJSON features into a DGN file through the
// plug-in.  The GeoJSON is read completely and checked before the DGN file
// is created or opened, so a malformed input never leaves a half-made map;
// an export is made beside its target and takes its place only once whole.
#include "dgnhost_export.h"

#include "dgnhost_codepage.h"
#include "dgnhost_files.h"
#include "dgnhost_ini.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Nesting deeper than this is refused rather than followed (GeoJSON needs 6).
constexpr int kMaxJsonDepth = 256;

// ---------------------------------------------------------------------------
// A small JSON reader: the document as a tree of values.
// ---------------------------------------------------------------------------

struct Json {
  enum Type { kNull, kBool, kNumber, kString, kArray, kObject };
  Type type = kNull;
  bool boolean = false;
  double number = 0.0;
  std::string text;
  std::vector<Json> items;        // array elements, or object values
  std::vector<std::string> keys;  // object keys, parallel to items

  // The value of member `key` of an object, or null when there is none.
  const Json *Find(const char *key) const {
    if (type != kObject) return nullptr;
    for (size_t i = 0; i < keys.size(); ++i)
      if (keys[i] == key) return &items[i];
    return nullptr;
  }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string &text) : s_(text) {}

  // Reads the whole text as one value; false with a reason and place otherwise.
  bool Read(Json &out, std::string &error) {
    SkipSpace();
    if (!Value(out, 0)) {
      error = Where() + error_;
      return false;
    }
    SkipSpace();
    if (pos_ != s_.size()) {
      error = Where() + "text after the end of the document";
      return false;
    }
    return true;
  }

 private:
  std::string Where() const {
    size_t line = 1, column = 1;
    for (size_t i = 0; i < pos_ && i < s_.size(); ++i) {
      if (s_[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": ";
  }

  bool Fail(const char *why) {
    error_ = why;
    return false;
  }

  void SkipSpace() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
      ++pos_;
  }

  bool Literal(const char *word) {
    const size_t n = std::strlen(word);
    if (s_.compare(pos_, n, word) != 0) return Fail("unknown word");
    pos_ += n;
    return true;
  }

  bool Value(Json &out, int depth) {
    if (depth > kMaxJsonDepth) return Fail("nesting too deep");
    if (pos_ >= s_.size()) return Fail("unexpected end of the document");
    const char c = s_[pos_];
    if (c == '{') return Object(out, depth);
    if (c == '[') return Array(out, depth);
    if (c == '"') {
      out.type = Json::kString;
      return String(out.text);
    }
    if (c == 't' || c == 'f') {
      out.type = Json::kBool;
      out.boolean = c == 't';
      return Literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') {
      out.type = Json::kNull;
      return Literal("null");
    }
    return Number(out);
  }

  bool Object(Json &out, int depth) {
    out.type = Json::kObject;
    ++pos_;  // '{'
    SkipSpace();
    if (pos_ < s_.size() && s_[pos_] == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      SkipSpace();
      if (pos_ >= s_.size() || s_[pos_] != '"') return Fail("expected a member name");
      out.keys.emplace_back();
      if (!String(out.keys.back())) return false;
      SkipSpace();
      if (pos_ >= s_.size() || s_[pos_] != ':') return Fail("expected ':'");
      ++pos_;
      SkipSpace();
      out.items.emplace_back();
      if (!Value(out.items.back(), depth + 1)) return false;
      SkipSpace();
      if (pos_ < s_.size() && s_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < s_.size() && s_[pos_] == '}') {
        ++pos_;
        return true;
      }
      return Fail("expected ',' or '}'");
    }
  }

  bool Array(Json &out, int depth) {
    out.type = Json::kArray;
    ++pos_;  // '['
    SkipSpace();
    if (pos_ < s_.size() && s_[pos_] == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      SkipSpace();
      out.items.emplace_back();
      if (!Value(out.items.back(), depth + 1)) return false;
      SkipSpace();
      if (pos_ < s_.size() && s_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < s_.size() && s_[pos_] == ']') {
        ++pos_;
        return true;
      }
      return Fail("expected ',' or ']'");
    }
  }

  static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool Hex4(unsigned &value) {
    if (s_.size() - pos_ < 4) return Fail("short \\u escape");
    value = 0;
    for (int i = 0; i < 4; ++i) {
      const int d = HexDigit(s_[pos_ + static_cast<size_t>(i)]);
      if (d < 0) return Fail("bad \\u escape");
      value = value * 16 + static_cast<unsigned>(d);
    }
    pos_ += 4;
    return true;
  }

  static void AppendUtf8(std::string &out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  bool String(std::string &out) {
    ++pos_;  // opening quote
    for (;;) {
      if (pos_ >= s_.size()) return Fail("unterminated string");
      const char c = s_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) return Fail("unterminated string");
      const char e = s_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned cp = 0;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00 && s_.compare(pos_, 2, "\\u") == 0) {
            pos_ += 2;
            unsigned low = 0;
            if (!Hex4(low)) return false;
            if (low >= 0xDC00 && low < 0xE000) cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          return Fail("bad escape in a string");
      }
    }
  }

  bool Number(Json &out) {
    const size_t start = pos_;
    if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
    const size_t digits = pos_;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
    if (pos_ == digits) return Fail("expected a value");
    if (pos_ < s_.size() && s_[pos_] == '.') {
      ++pos_;
      const size_t frac = pos_;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
      if (pos_ == frac) return Fail("bad number");
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
      const size_t exp = pos_;
      while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
      if (pos_ == exp) return Fail("bad number");
    }
    out.type = Json::kNumber;
    out.number = std::strtod(s_.substr(start, pos_ - start).c_str(), nullptr);
    return true;
  }

  const std::string &s_;
  size_t pos_ = 0;
  std::string error_;
};

// ---------------------------------------------------------------------------
// GeoJSON features as host polylines
// ---------------------------------------------------------------------------

// One add call: a line (kind 0), a ring of an area (kind 1) or a text (kind 3).
struct Part {
  int32_t kind = 0;
  bool hole = false;  // an inner ring of a polygon: it becomes a shape of its own
  std::vector<TVectorPointPlugIn> points;
  std::string text;  // a text: in the host's code page
  TVectorTextPlugIn textInfo{};
};

// The DGN attributes of a feature, from its properties; host defaults otherwise.
struct Style {
  int32_t level = 0;
  int32_t color = -1;
  float width = 1.0f;
  int32_t style = -1;
  int32_t elementId = 0;
};

struct Feature {
  int index = 0;  // position in the collection, for messages
  Style style;
  std::vector<Part> parts;
  bool lineOrArea = false;  // its geometry has a line or area type, even an empty one (or
                            // is a text, with the whole map)
};

struct Collection {
  std::vector<Feature> features;  // features with a line or area geometry
  int skipped = 0;  // features without a line or area (points, null geometry)
};

int32_t ToInt32(double v) {
  if (!std::isfinite(v)) return 0;
  if (v >= 2147483647.0) return 2147483647;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// A host colour (red bits 0-7, green 8-15, blue 16-23) from "#rrggbb".
bool ParseColor(const std::string &text, int32_t &color) {
  if (text.size() != 7 || text[0] != '#') return false;
  uint32_t rgb = 0;
  for (size_t i = 1; i < 7; ++i) {
    const char c = text[i];
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0) return false;
    rgb = rgb * 16 + static_cast<uint32_t>(d);
  }
  const uint32_t red = (rgb >> 16) & 0xFF, green = (rgb >> 8) & 0xFF, blue = rgb & 0xFF;
  color = static_cast<int32_t>(red | (green << 8) | (blue << 16));
  return true;
}

// Reads the DGN attributes of a feature; a property of the wrong form is
// named in `warning` and left at its default.
Style ReadStyle(const Json *properties, std::string &warning) {
  Style st;
  if (properties == nullptr || properties->type != Json::kObject) return st;
  if (const Json *v = properties->Find("level")) {
    if (v->type == Json::kNumber) st.level = ToInt32(v->number);
    else if (v->type != Json::kNull) warning += " level is not a number;";
  }
  if (const Json *v = properties->Find("color")) {
    if (v->type == Json::kString) {
      if (!ParseColor(v->text, st.color)) warning += " color is not \"#rrggbb\";";
    } else if (v->type != Json::kNull) {
      warning += " color is not \"#rrggbb\";";
    }
  }
  if (const Json *v = properties->Find("width")) {
    if (v->type == Json::kNumber) st.width = static_cast<float>(v->number);
    else if (v->type != Json::kNull) warning += " width is not a number;";
  }
  if (const Json *v = properties->Find("style")) {
    if (v->type == Json::kNumber) st.style = ToInt32(v->number);
    else if (v->type != Json::kNull) warning += " style is not a number;";
  }
  if (const Json *v = properties->Find("elementId")) {
    if (v->type == Json::kNumber) st.elementId = ToInt32(v->number);
    else if (v->type != Json::kNull) warning += " elementId is not a number;";
  }
  return st;
}

TVectorPointPlugIn HostPoint(double x, double y, double z) {
  TVectorPointPlugIn p{};
  p.size = 36;
  p.x = x;
  p.y = y;
  p.z = z;
  p.hostField28 = -1.0;
  return p;
}

// A list of positions ([x, y] or [x, y, z]) as one part.
bool ReadPositions(const Json &coords, int32_t kind, Part &part, std::string &error) {
  if (coords.type != Json::kArray) {
    error = "coordinates are not a list of positions";
    return false;
  }
  part.kind = kind;
  part.points.reserve(coords.items.size());
  for (const Json &pos : coords.items) {
    if (pos.type != Json::kArray || pos.items.size() < 2 || pos.items[0].type != Json::kNumber ||
        pos.items[1].type != Json::kNumber ||
        (pos.items.size() > 2 && pos.items[2].type != Json::kNumber)) {
      error = "a position is not [x, y] or [x, y, z]";
      return false;
    }
    const double z = pos.items.size() > 2 ? pos.items[2].number : 0.0;
    part.points.push_back(HostPoint(pos.items[0].number, pos.items[1].number, z));
  }
  return true;
}

// Appends the lines and rings of a geometry to the feature's parts, in their order.
bool ReadGeometry(const Json &geometry, Feature &feature, std::string &error, int depth) {
  std::vector<Part> &parts = feature.parts;
  const Json *type = geometry.Find("type");
  if (type == nullptr || type->type != Json::kString) {
    error = "a geometry has no type";
    return false;
  }
  const std::string &t = type->text;
  if (t == "GeometryCollection") {
    const Json *list = geometry.Find("geometries");
    if (list == nullptr || list->type != Json::kArray || depth > 8) {
      error = "a geometry collection without a list of geometries";
      return false;
    }
    for (const Json &g : list->items)
      if (!ReadGeometry(g, feature, error, depth + 1)) return false;
    return true;
  }
  if (t == "Point" || t == "MultiPoint") return true;  // nothing to draw as a line (texts aside)
  const Json *coords = geometry.Find("coordinates");
  if (coords == nullptr || coords->type != Json::kArray) {
    error = t + " without coordinates";
    return false;
  }
  // Depth of nesting of the position lists: 1 for a line, 2 for rings or
  // lines of a multi-line, 3 for the polygons of a multi-polygon.
  int nesting = 0;
  int32_t kind = 0;
  if (t == "LineString") {
    nesting = 1;
  } else if (t == "MultiLineString") {
    nesting = 2;
  } else if (t == "Polygon") {
    nesting = 2;
    kind = 1;
  } else if (t == "MultiPolygon") {
    nesting = 3;
    kind = 1;
  } else {
    error = "unknown geometry type " + t;
    return false;
  }
  feature.lineOrArea = true;
  if (nesting == 1) {
    parts.emplace_back();
    return ReadPositions(*coords, kind, parts.back(), error);
  }
  // The rings of a polygon after its first are its holes.
  for (size_t i = 0; i < coords->items.size(); ++i) {
    const Json &inner = coords->items[i];
    if (nesting == 3) {
      if (inner.type != Json::kArray) {
        error = "a polygon of a MultiPolygon is not a list of rings";
        return false;
      }
      for (size_t k = 0; k < inner.items.size(); ++k) {
        parts.emplace_back();
        parts.back().hole = k > 0;
        if (!ReadPositions(inner.items[k], kind, parts.back(), error)) return false;
      }
    } else {
      parts.emplace_back();
      parts.back().hole = kind == 1 && i > 0;
      if (!ReadPositions(inner, kind, parts.back(), error)) return false;
    }
  }
  return true;
}

// Gives UTF-8 text in the host's code page (Windows-1252): '?' for a
// character it does not hold, and for bytes that are not UTF-8.
std::string ToHostCodePage(const std::string &utf8) {
  std::string out;
  size_t i = 0;
  while (i < utf8.size()) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    unsigned cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < len; ++k) {
      const unsigned char d = i + k < utf8.size() ? static_cast<unsigned char>(utf8[i + k]) : 0;
      if ((d & 0xC0) != 0x80) {
        len = 0;
        break;
      }
      cp = (cp << 6) | (d & 0x3F);
    }
    if (len == 0) {
      out += '?';
      ++i;
      continue;
    }
    i += len;
    const int byte = CodePageByte(cp);
    out += byte >= 0 ? static_cast<char>(byte) : '?';
  }
  return out;
}

// A Point feature with a "text" property as a text part (the whole map
// writes host texts as text elements): the text in the host's code page,
// height, rotation and justification from the properties.
bool ReadTextPart(const Json &geometry, const Json *properties, Part &part) {
  const Json *type = geometry.Find("type");
  const Json *coords = geometry.Find("coordinates");
  const Json *text = properties != nullptr ? properties->Find("text") : nullptr;
  if (type == nullptr || type->type != Json::kString || type->text != "Point" ||
      coords == nullptr || text == nullptr || text->type != Json::kString)
    return false;
  Json list;
  list.type = Json::kArray;
  list.items.push_back(*coords);
  std::string error;
  if (!ReadPositions(list, 3, part, error)) return false;
  part.text = ToHostCodePage(text->text);
  part.textInfo.size = 20;
  auto number = [&](const char *key, double fallback) {
    const Json *v = properties->Find(key);
    return v != nullptr && v->type == Json::kNumber ? v->number : fallback;
  };
  part.textInfo.height = static_cast<float>(number("height", 1.0));
  part.textInfo.rotation = static_cast<float>(number("rotation", 0.0));
  part.textInfo.justification = ToInt32(number("justification", 0.0));
  return true;
}

bool ReadFile(const std::string &path, std::string &text) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "dgnhost: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  if (!ok) std::fprintf(stderr, "dgnhost: cannot read %s\n", path.c_str());
  return ok;
}

// Reads a GeoJSON FeatureCollection; false with a message on standard error.
// With `texts`, Point features with a "text" property become texts.
bool ReadCollection(const std::string &path, Collection &out, bool texts) {
  std::string text;
  if (!ReadFile(path, text)) return false;
  Json doc;
  std::string error;
  if (!JsonReader(text).Read(doc, error)) {
    std::fprintf(stderr, "dgnhost: %s is not valid JSON: %s\n", path.c_str(), error.c_str());
    return false;
  }
  const Json *type = doc.Find("type");
  const Json *features = doc.Find("features");
  if (type == nullptr || type->type != Json::kString || type->text != "FeatureCollection" ||
      features == nullptr || features->type != Json::kArray) {
    std::fprintf(stderr, "dgnhost: %s is not a GeoJSON FeatureCollection\n", path.c_str());
    return false;
  }
  for (size_t i = 0; i < features->items.size(); ++i) {
    const Json &f = features->items[i];
    const Json *geometry = f.Find("geometry");
    Feature feature;
    feature.index = static_cast<int>(i);
    if (texts && geometry != nullptr && geometry->type == Json::kObject) {
      Part part;
      if (ReadTextPart(*geometry, f.Find("properties"), part)) {
        feature.parts.push_back(part);
        feature.lineOrArea = true;
      }
    }
    if (geometry != nullptr && geometry->type == Json::kObject &&
        !ReadGeometry(*geometry, feature, error, 0)) {
      std::fprintf(stderr, "dgnhost: %s: feature %d: %s\n", path.c_str(), static_cast<int>(i),
                   error.c_str());
      return false;
    }
    if (!feature.lineOrArea) {
      ++out.skipped;
      continue;
    }
    std::string warning;
    feature.style = ReadStyle(f.Find("properties"), warning);
    if (!warning.empty())
      std::fprintf(stderr, "dgnhost: %s: feature %d: property ignored:%s\n", path.c_str(),
                   static_cast<int>(i), warning.c_str());
    out.features.push_back(std::move(feature));
  }
  return true;
}

// ---------------------------------------------------------------------------
// Driving the plug-in
// ---------------------------------------------------------------------------

void OnShow(TMessagePlugIn *, const char *text) {
  // Engine texts may end in a newline of their own: print one line.
  std::string line = text != nullptr ? text : "";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::fprintf(stderr, "dgnhost: plug-in: %s\n", line.c_str());
}

// An object record holding the host's defaults, then the feature's attributes.
TVectorObjectPlugIn HostObject(const Style &st, int32_t kind, int32_t elementId, int32_t count) {
  TVectorObjectPlugIn o{};
  o.size = static_cast<int32_t>(sizeof(TVectorObjectPlugIn));
  o.elementId = elementId;
  o.color = st.color;
  o.color2 = st.color;
  o.objectKind = kind;
  o.level = st.level;
  o.width = st.width;
  o.numPoints = count;
  o.hostField52 = -1.0f;
  o.style = st.style;
  o.hostField60 = -1;
  o.hostField68 = -1.0f;
  o.hostField72 = 1;
  return o;
}

// What one session of add calls wrote.
struct Tally {
  long written = 0;     // features whose every line and area was written
  long notWritten = 0;  // features with a line or area that was not
  long parts = 0;       // polylines, polygons and texts written
  long texts = 0;       // texts among them
};

// Adds every part of every feature to the open map, then closes it.  With
// `replace`, a feature's elementId goes with its first part, whose element
// then takes the place of the one it names.  A feature counts as written
// only when all its parts were; each one that was not is named on standard
// error with the reason, and so is an area whose holes became shapes of
// their own (a DGN shape has no holes).
Tally AddFeatures(const ExportApi &api, TVectorMapPlugIn &map, TMessagePlugIn &sink,
                  const Collection &c, bool replace) {
  Tally t;
  for (const Feature &f : c.features) {
    if (f.parts.empty())
      std::fprintf(stderr, "dgnhost: feature %d: its geometry is empty\n", f.index);
    long written = 0, holes = 0;
    for (size_t i = 0; i < f.parts.size(); ++i) {
      const Part &part = f.parts[i];
      const size_t n = part.points.size();
      if (n < 2 && part.kind != 3) {
        // The plug-in makes no element of fewer than two vertices (a text has one).
        std::fprintf(stderr, "dgnhost: feature %d: a %s of %d point%s cannot be written\n", f.index,
                     part.kind == 1 ? "ring" : "line", static_cast<int>(n), n == 1 ? "" : "s");
        continue;
      }
      const int32_t id = replace && i == 0 ? f.style.elementId : 0;
      std::vector<TVectorPointPlugIn> points = part.points;  // the plug-in takes them writable
      TVectorObjectPlugIn object = HostObject(f.style, part.kind, id, static_cast<int32_t>(n));
      std::string text = part.text;
      TVectorTextPlugIn textInfo = part.textInfo;
      if (part.kind == 3) {
        object.name = &text[0];
        object.textInfo = &textInfo;
      }
      if (api.AddPolyline(&map, &object, static_cast<int32_t>(n), points.data(), &sink)) {
        ++written;
        if (part.hole) ++holes;
        if (part.kind == 3) ++t.texts;
      }
    }
    t.parts += written;
    if (!f.parts.empty() && written == static_cast<long>(f.parts.size())) {
      ++t.written;
      if (holes > 0)
        std::fprintf(stderr, "dgnhost: feature %d: %ld hole%s of its area written as separate "
                     "shape%s\n", f.index, holes, holes == 1 ? "" : "s", holes == 1 ? "" : "s");
    } else {
      ++t.notWritten;
      if (written == 0)
        std::fprintf(stderr, "dgnhost: feature %d was not written\n", f.index);
      else
        std::fprintf(stderr, "dgnhost: feature %d was written only in part: %ld of %d lines and "
                     "areas\n", f.index, written, static_cast<int>(f.parts.size()));
    }
  }
  api.Close(&map);
  return t;
}

// Prints what was written, e.g. "exported 3 features as 4 polylines and polygons into OUT".
void PrintWritten(const char *verb, const Tally &t, const Collection &c, const std::string &out) {
  std::printf("%s %ld features as %ld polylines and polygons", verb, t.written, t.parts - t.texts);
  if (t.texts > 0) std::printf(" and %ld texts", t.texts);
  std::printf(" into %s", out.c_str());
  if (c.skipped > 0) std::printf(" (%d features without lines or areas skipped)", c.skipped);
  std::printf("\n");
}

int ExportUsage() {
  std::fprintf(stderr, "usage: dgnhost export IN.geojson OUT.dgn [--ini-dir DIR] [--whole-map]\n"
                       "       dgnhost update FILE.dgn IN.geojson [--whole-map]\n");
  return kExitUsage;
}

// The folder of the INI file the plug-in is to read: `iniDir`, or with the
// whole map a scratch copy of its gps.ini that turns the setting on.  Empty
// (after a message) when the copy cannot be made.
std::string IniDirFor(const std::string &iniDir, std::unique_ptr<WholeMapIni> &whole,
                      bool wholeMap) {
  if (!wholeMap) return iniDir;
  whole.reset(new WholeMapIni(iniDir));
  if (whole->ok()) return whole->dir();
  std::fprintf(stderr, "dgnhost: cannot make a scratch folder for the whole-map setting\n");
  return std::string();
}

}  // namespace

const char kExportUsage[] =
    "  export IN.geojson OUT.dgn [--ini-dir DIR] [--whole-map]\n"
    "            create OUT.dgn from the seed file named in DIR/gps.ini (default DIR: the\n"
    "            folder of dgnhost) and write every line and area of the GeoJSON into it;\n"
    "            properties level, color (\"#rrggbb\"), width and style are used.  OUT.dgn\n"
    "            is replaced only when every line and area was written.  --whole-map also\n"
    "            writes Point features with a text property as texts (height, rotation,\n"
    "            justification) and long lines and areas as complex chains and shapes\n"
    "  update FILE IN.geojson [--whole-map]\n"
    "            add every line and area of the GeoJSON to an existing DGN file; a\n"
    "            feature's elementId property names the element it replaces\n";

int RunExportCommand(const ExportApi &api, const std::string &programDir, int argc, char **argv) {
  std::string in, out, iniDir = programDir;
  bool wholeMap = false;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--ini-dir" && i + 1 < argc) {
      iniDir = argv[++i];
    } else if (a == "--whole-map") {
      wholeMap = true;
    } else if (!a.empty() && a[0] != '-' && in.empty()) {
      in = a;
    } else if (!a.empty() && a[0] != '-' && out.empty()) {
      out = a;
    } else {
      std::fprintf(stderr, "dgnhost: export: unexpected argument '%s'\n", a.c_str());
      return ExportUsage();
    }
  }
  if (in.empty() || out.empty()) return ExportUsage();

  if (SameFile(in, out)) {
    std::fprintf(stderr, "dgnhost: export: %s is the GeoJSON being exported; refusing to write "
                 "the DGN file over it\n", out.c_str());
    return kExitUsage;
  }

  Collection c;
  if (!ReadCollection(in, c, wholeMap)) return kExitFailed;
  std::unique_ptr<WholeMapIni> whole;
  std::string directory = IniDirFor(iniDir, whole, wholeMap);
  if (directory.empty() && wholeMap) return kExitFailed;

  // The map is made under a temporary name beside OUT and takes OUT's place
  // only when every feature is in it: a failed export leaves an existing OUT
  // as it was.  The map record is filled as the host fills it to create a
  // map: write and create flags, and the folder of its INI file.
  const std::string temp = TempNameBeside(out);
  TMessagePlugIn sink{OnShow};
  TVectorMapPlugIn map{};
  map.directory = &directory[0];
  map.writeFlag = 1;
  map.createFlag = 1;
  if (!api.Open(temp.c_str(), &map, &sink)) {
    std::remove(temp.c_str());
    std::fprintf(stderr, "dgnhost: cannot create %s\n", out.c_str());
    return kExitFailed;
  }
  const Tally t = AddFeatures(api, map, sink, c, false);
  if (t.notWritten > 0) {
    std::remove(temp.c_str());
    std::fprintf(stderr, "dgnhost: %ld of %d line and area features were not written; nothing "
                 "was written to %s\n", t.notWritten, static_cast<int>(c.features.size()),
                 out.c_str());
    return kExitFailed;
  }
  std::string error;
  if (!RenameOver(temp, out, error)) {
    std::remove(temp.c_str());
    std::fprintf(stderr, "dgnhost: cannot put the new map in the place of %s: %s\n", out.c_str(),
                 error.c_str());
    return kExitFailed;
  }
  PrintWritten("exported", t, c, out);
  return kExitOk;
}

int RunUpdateCommand(const ExportApi &api, const std::string &programDir, int argc, char **argv) {
  std::string file, in;
  bool wholeMap = false;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--whole-map") {
      wholeMap = true;
    } else if (!a.empty() && a[0] != '-' && file.empty()) {
      file = a;
    } else if (!a.empty() && a[0] != '-' && in.empty()) {
      in = a;
    } else {
      std::fprintf(stderr, "dgnhost: update: unexpected argument '%s'\n", a.c_str());
      return ExportUsage();
    }
  }
  if (file.empty() || in.empty()) return ExportUsage();

  Collection c;
  if (!ReadCollection(in, c, wholeMap)) return kExitFailed;
  std::unique_ptr<WholeMapIni> whole;
  std::string directory = IniDirFor(programDir, whole, wholeMap);
  if (directory.empty() && wholeMap) return kExitFailed;
  TMessagePlugIn sink{OnShow};
  TVectorMapPlugIn map{};
  map.directory = &directory[0];
  map.readFlag = 1;
  map.writeFlag = 1;
  if (!api.Open(file.c_str(), &map, &sink)) {
    std::fprintf(stderr, "dgnhost: cannot open %s for update\n", file.c_str());
    return kExitFailed;
  }
  const Tally t = AddFeatures(api, map, sink, c, true);
  PrintWritten("added", t, c, file);
  if (t.notWritten > 0) {
    std::fprintf(stderr, "dgnhost: %ld of %d line and area features were not written\n",
                 t.notWritten, static_cast<int>(c.features.size()));
    return kExitFailed;
  }
  return kExitOk;
}
