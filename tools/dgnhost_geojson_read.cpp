// dgnhost's GeoJSON input (dgnhost_geojson.h): a SAX reader that keeps only
// the feature it is in.  Object members may come in any order, so a
// geometry's coordinates are kept as a list of tokens until its type is
// known, and the geometries of a collection until the collection ends.
#include "dgnhost_geojson.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rapidjson/error/en.h"
#include "rapidjson/filereadstream.h"
#include "rapidjson/reader.h"

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

TVectorPointPlugIn HostPoint(double x, double y, double z) {
  TVectorPointPlugIn p{};
  p.size = 36;
  p.x = x;
  p.y = y;
  p.z = z;
  p.hostField28 = -1.0;
  return p;
}

namespace {

// Numbers come as their text (converted as strtod would), nesting of any
// depth is followed without recursion.
constexpr unsigned kParseFlags =
    rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;

// One value of a geometry's coordinates: a number, a list (with the number
// of its items and the token after its last one) or anything else.
struct Token {
  enum Kind : uint8_t { kNumber, kList, kOther };
  Kind kind = kOther;
  uint32_t items = 0;
  uint32_t end = 0;
  double number = 0.0;
};

// The lines and rings a geometry gave, or why it is not GeoJSON.
struct GeoResult {
  std::vector<GeoPart> parts;
  bool lineOrArea = false;  // a line or area type, even an empty one
  std::string error;        // non-empty: not GeoJSON
};

// One geometry object while it is read.
struct GeoState {
  bool typeSeen = false, typeIsString = false;
  std::string type;
  bool coordsSeen = false;
  std::vector<Token> coords;
  bool listSeen = false, listIsArray = false;
  std::vector<GeoResult> children;  // the geometries of its "geometries" list
};

// A property value of interest: its JSON type, and its number or text.
struct PropValue {
  enum Kind : uint8_t { kMissing, kNumber, kString, kNull, kOther };
  Kind kind = kMissing;
  double number = 0.0;
  std::string text;
};

const char *const kPropNames[] = {"level", "color",  "width",    "style",        "elementId",
                                  "text",  "height", "rotation", "justification"};
enum Prop {
  kLevel,
  kColor,
  kWidth,
  kStyle,
  kElementId,  // the DGN attributes
  kText,
  kHeight,
  kRotation,
  kJustification,  // a text's (the whole map)
  kPropCount
};

int32_t ToInt32(double v) {
  if (!std::isfinite(v)) return 0;
  if (v >= 2147483647.0) return 2147483647;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// Reads the DGN attributes of a feature; a property of the wrong form is
// named in `warning` and left at its default.
GeoStyle ReadStyle(const PropValue (&props)[kPropCount], std::string &warning) {
  GeoStyle st;
  auto number = [&](Prop p, const char *complaint, auto set) {
    const PropValue &v = props[p];
    if (v.kind == PropValue::kNumber)
      set(v.number);
    else if (v.kind != PropValue::kNull && v.kind != PropValue::kMissing)
      warning += complaint;
  };
  number(kLevel, " level is not a number;", [&](double d) { st.level = ToInt32(d); });
  const PropValue &color = props[kColor];
  if (color.kind == PropValue::kString) {
    if (!ParseColor(color.text, st.color)) warning += " color is not \"#rrggbb\";";
  } else if (color.kind != PropValue::kNull && color.kind != PropValue::kMissing) {
    warning += " color is not \"#rrggbb\";";
  }
  number(kWidth, " width is not a number;", [&](double d) { st.width = static_cast<float>(d); });
  number(kStyle, " style is not a number;", [&](double d) { st.style = ToInt32(d); });
  number(kElementId, " elementId is not a number;", [&](double d) { st.elementId = ToInt32(d); });
  return st;
}

// The token after the value that starts at `at`.
uint32_t Next(const std::vector<Token> &t, uint32_t at) {
  return t[at].kind == Token::kList ? t[at].end : at + 1;
}

// A position ([x, y] or [x, y, z]) at token `at`; false when it is none.
bool ReadPosition(const std::vector<Token> &t, uint32_t at, TVectorPointPlugIn &point) {
  const Token &p = t[at];
  if (p.kind != Token::kList || p.items < 2) return false;
  const uint32_t x = at + 1, y = Next(t, x), z = p.items > 2 ? Next(t, y) : y;
  if (t[x].kind != Token::kNumber || t[y].kind != Token::kNumber ||
      (p.items > 2 && t[z].kind != Token::kNumber))
    return false;
  point = HostPoint(t[x].number, t[y].number, p.items > 2 ? t[z].number : 0.0);
  return true;
}

// A list of positions ([x, y] or [x, y, z]) as one part.
bool ReadPositions(const std::vector<Token> &t, uint32_t at, int32_t kind, GeoPart &part,
                   std::string &error) {
  if (t[at].kind != Token::kList) {
    error = "coordinates are not a list of positions";
    return false;
  }
  part.kind = kind;
  part.points.reserve(t[at].items);
  TVectorPointPlugIn point;
  for (uint32_t pos = at + 1; pos < t[at].end; pos = Next(t, pos)) {
    if (!ReadPosition(t, pos, point)) {
      error = "a position is not [x, y] or [x, y, z]";
      return false;
    }
    part.points.push_back(point);
  }
  return true;
}

// What a geometry collection gives once all its geometries are read: their
// lines and rings, or the first one's error.
GeoResult ResolveCollection(GeoState &g) {
  GeoResult r;
  if (!g.listSeen || !g.listIsArray) {
    r.error = "a geometry collection without a list of geometries";
    return r;
  }
  for (GeoResult &child : g.children) {
    if (!child.error.empty()) {
      r.error = child.error;
      return r;
    }
    r.lineOrArea = r.lineOrArea || child.lineOrArea;
    for (GeoPart &part : child.parts) r.parts.push_back(std::move(part));
  }
  return r;
}

// The depth of nesting of the position lists of a line or area type (1 for
// a line, 2 for rings or lines of a multi-line, 3 for the polygons of a
// multi-polygon) and its kind (0 line, 1 area); false for any other type.
bool LineOrAreaShape(const std::string &t, int &nesting, int32_t &kind) {
  kind = t == "Polygon" || t == "MultiPolygon" ? 1 : 0;
  if (t == "LineString") {
    nesting = 1;
  } else if (t == "MultiLineString" || t == "Polygon") {
    nesting = 2;
  } else if (t == "MultiPolygon") {
    nesting = 3;
  } else {
    return false;
  }
  return true;
}

// Reads the lines or rings of coordinates nested 2 or 3 deep into `r`;
// stops at the first that is not a list of positions, with `r.error` set.
void ReadNestedParts(const std::vector<Token> &c, int nesting, int32_t kind, GeoResult &r) {
  // The rings of a polygon after its first are its holes.
  uint32_t i = 0;
  for (uint32_t inner = 1; inner < c[0].end; inner = Next(c, inner), ++i) {
    if (nesting == 3) {
      if (c[inner].kind != Token::kList) {
        r.error = "a polygon of a MultiPolygon is not a list of rings";
        return;
      }
      uint32_t k = 0;
      for (uint32_t ring = inner + 1; ring < c[inner].end; ring = Next(c, ring), ++k) {
        r.parts.emplace_back();
        r.parts.back().hole = k > 0;
        if (!ReadPositions(c, ring, kind, r.parts.back(), r.error)) return;
      }
    } else {
      r.parts.emplace_back();
      r.parts.back().hole = kind == 1 && i > 0;
      if (!ReadPositions(c, inner, kind, r.parts.back(), r.error)) return;
    }
  }
}

// What a geometry gives once all its members are read.
GeoResult Resolve(GeoState &g) {
  GeoResult r;
  if (!g.typeSeen || !g.typeIsString) {
    r.error = "a geometry has no type";
    return r;
  }
  const std::string &t = g.type;
  if (t == "GeometryCollection") return ResolveCollection(g);
  if (t == "Point" || t == "MultiPoint") return r;  // nothing to draw as a line
  if (!g.coordsSeen || g.coords.empty() || g.coords[0].kind != Token::kList) {
    r.error = t + " without coordinates";
    return r;
  }
  int nesting = 0;
  int32_t kind = 0;
  if (!LineOrAreaShape(t, nesting, kind)) {
    r.error = "unknown geometry type " + t;
    return r;
  }
  r.lineOrArea = true;
  if (nesting == 1) {
    r.parts.emplace_back();
    ReadPositions(g.coords, 0, kind, r.parts.back(), r.error);
  } else {
    ReadNestedParts(g.coords, nesting, kind, r);
  }
  return r;
}

// Where the value about to start goes.
enum class Slot : uint8_t {
  kSkip,        // nowhere: skipped whole
  kRoot,        // the document
  kTopType,     // the collection's "type"
  kFeatures,    // the collection's "features"
  kFeature,     // an item of "features"
  kGeometry,    // a feature's "geometry" or an item of "geometries"
  kProperties,  // a feature's "properties"
  kProp,        // a property of interest
  kGeomType,    // a geometry's "type"
  kCoords,      // a geometry's "coordinates", or a value inside them
  kGeomList,    // a geometry's "geometries"
};

// The containers open around the reader.
enum class Frame : uint8_t {
  kRoot,
  kFeatureList,
  kFeature,
  kProperties,
  kGeometry,
  kGeomList,
  kCoords
};

class GeoReader : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, GeoReader> {
 public:
  GeoReader(bool texts, bool check, const std::function<void(const GeoFeature &)> &take,
            GeoCollection &out)
      : texts_(texts), check_(check), take_(take), out_(out) {}

  // The reader's own verdict once the text was read whole: empty when it is
  // a FeatureCollection of GeoJSON geometries.
  std::string Verdict() const {
    if (!topTypeIsCollection_ || !featuresIsList_) return "not a GeoJSON FeatureCollection";
    return featureError_;
  }
  void SetPath(const std::string &path) { path_ = path; }

  bool Null() { return Scalar(PropValue::kNull, nullptr, 0); }
  bool Bool(bool) { return Scalar(PropValue::kOther, nullptr, 0); }
  bool RawNumber(const char *s, rapidjson::SizeType n, bool) {
    return Scalar(PropValue::kNumber, s, n);
  }
  bool String(const char *s, rapidjson::SizeType n, bool) {
    return Scalar(PropValue::kString, s, n);
  }
  bool StartObject();
  bool Key(const char *s, rapidjson::SizeType n, bool);
  bool EndObject(rapidjson::SizeType) { return End(); }
  bool StartArray();
  bool EndArray(rapidjson::SizeType) { return End(); }

 private:
  struct Open {
    Frame frame;
    Slot pending = Slot::kSkip;  // objects: where the value of the current member goes
    uint32_t token = 0;          // coordinates: the list's token
    uint32_t seen = 0;           // objects: bits of the members already met
  };

  Slot NextSlot() const;
  bool Scalar(PropValue::Kind kind, const char *s, rapidjson::SizeType n);
  bool End();
  // A value that is not an object where a feature, geometry or the
  // properties go.
  void NotAnObject(Slot slot);
  // Counts a new value inside the coordinates list it is in.
  void CountCoordinate();
  void AfterValue() {
    if (!open_.empty()) open_.back().pending = Slot::kSkip;
  }
  void StartFeature();
  void FinishFeature();
  void FinishGeometry();
  void Deliver(GeoResult &&r);

  const bool texts_;
  const bool check_;
  const std::function<void(const GeoFeature &)> &take_;
  GeoCollection &out_;
  std::string path_;

  std::vector<Open> open_;
  int skip_ = 0;  // depth inside a skipped value
  bool rootDone_ = false;
  bool topTypeIsCollection_ = false;
  bool featuresIsList_ = false;
  std::string featureError_;  // the first feature that is not GeoJSON

  // The feature being read.
  int featureIndex_ = -1;
  bool geometryIsObject_ = false;
  GeoResult geometry_;
  bool textPoint_ = false;  // the geometry is a Point with a position (a text's place)
  TVectorPointPlugIn textPlace_{};
  PropValue props_[kPropCount];
  int propAt_ = 0;
  std::vector<GeoState> geoms_;  // open geometries, innermost last
  GeoFeature feature_;           // reused
};

Slot GeoReader::NextSlot() const {
  if (open_.empty()) return rootDone_ ? Slot::kSkip : Slot::kRoot;
  const Open &o = open_.back();
  switch (o.frame) {
    case Frame::kFeatureList: return Slot::kFeature;
    case Frame::kGeomList: return Slot::kGeometry;
    case Frame::kCoords: return Slot::kCoords;
    default: return o.pending;
  }
}

void GeoReader::CountCoordinate() {
  if (!open_.empty() && open_.back().frame == Frame::kCoords)
    ++geoms_.back().coords[open_.back().token].items;
}

void GeoReader::NotAnObject(Slot slot) {
  if (slot == Slot::kFeature) {
    StartFeature();
    FinishFeature();
  } else if (slot == Slot::kGeometry && open_.back().frame == Frame::kGeomList) {
    GeoResult r;
    r.error = "a geometry has no type";
    geoms_.back().children.push_back(std::move(r));
  }
}

bool GeoReader::Scalar(PropValue::Kind kind, const char *s, rapidjson::SizeType n) {
  if (skip_ > 0) return true;
  const Slot slot = NextSlot();
  switch (slot) {
    case Slot::kRoot: rootDone_ = true; break;
    case Slot::kTopType:
      topTypeIsCollection_ = kind == PropValue::kString && std::string(s, n) == "FeatureCollection";
      break;
    case Slot::kProp: {
      PropValue &v = props_[propAt_];
      v.kind = kind;
      if (kind == PropValue::kString) v.text.assign(s, n);
      if (kind == PropValue::kNumber) {
        // As strtod reads it: a number too large for a double is infinite.
        const std::from_chars_result r = std::from_chars(s, s + n, v.number);
        if (r.ec != std::errc()) v.number = std::strtod(std::string(s, n).c_str(), nullptr);
      }
      break;
    }
    case Slot::kGeomType:
      geoms_.back().typeIsString = kind == PropValue::kString;
      if (kind == PropValue::kString) geoms_.back().type.assign(s, n);
      break;
    case Slot::kCoords: {
      CountCoordinate();
      Token t;
      if (kind == PropValue::kNumber) {
        t.kind = Token::kNumber;
        const std::from_chars_result r = std::from_chars(s, s + n, t.number);
        if (r.ec != std::errc()) t.number = std::strtod(std::string(s, n).c_str(), nullptr);
      }
      geoms_.back().coords.push_back(t);
      break;
    }
    default: NotAnObject(slot); break;
  }
  AfterValue();
  return true;
}

bool GeoReader::StartObject() {
  if (skip_ > 0) {
    ++skip_;
    return true;
  }
  const Slot slot = NextSlot();
  switch (slot) {
    case Slot::kRoot: open_.push_back(Open{Frame::kRoot}); break;
    case Slot::kFeature:
      StartFeature();
      open_.push_back(Open{Frame::kFeature});
      break;
    case Slot::kGeometry:
      geoms_.emplace_back();
      open_.push_back(Open{Frame::kGeometry});
      break;
    case Slot::kProperties: open_.push_back(Open{Frame::kProperties}); break;
    case Slot::kCoords:
      CountCoordinate();
      geoms_.back().coords.emplace_back();  // an object among coordinates: no position
      skip_ = 1;
      break;
    default:
      if (slot == Slot::kProp) props_[propAt_].kind = PropValue::kOther;
      if (slot == Slot::kGeomType) geoms_.back().typeIsString = false;
      skip_ = 1;
      break;
  }
  return true;
}

bool GeoReader::StartArray() {
  if (skip_ > 0) {
    ++skip_;
    return true;
  }
  const Slot slot = NextSlot();
  switch (slot) {
    case Slot::kFeatures:
      featuresIsList_ = true;
      open_.push_back(Open{Frame::kFeatureList});
      break;
    case Slot::kGeomList:
      geoms_.back().listIsArray = true;
      open_.push_back(Open{Frame::kGeomList});
      break;
    case Slot::kCoords: {
      CountCoordinate();
      std::vector<Token> &c = geoms_.back().coords;
      Token t;
      t.kind = Token::kList;
      c.push_back(t);
      Open o{Frame::kCoords};
      o.token = static_cast<uint32_t>(c.size() - 1);
      open_.push_back(o);
      break;
    }
    default:
      if (slot == Slot::kRoot) rootDone_ = true;
      if (slot == Slot::kProp) props_[propAt_].kind = PropValue::kOther;
      if (slot == Slot::kGeomType) geoms_.back().typeIsString = false;
      NotAnObject(slot);
      skip_ = 1;
      break;
  }
  return true;
}

bool GeoReader::Key(const char *s, rapidjson::SizeType n, bool) {
  if (skip_ > 0) return true;
  Open &o = open_.back();
  const std::string key(s, n);
  // Only the first member of a name counts, whatever its value.
  auto first = [&](uint32_t bit) {
    const bool fresh = (o.seen & bit) == 0;
    o.seen |= bit;
    return fresh;
  };
  o.pending = Slot::kSkip;
  switch (o.frame) {
    case Frame::kRoot:
      if (key == "type" && first(1)) o.pending = Slot::kTopType;
      if (key == "features" && first(2)) o.pending = Slot::kFeatures;
      break;
    case Frame::kFeature:
      if (key == "geometry" && first(1)) o.pending = Slot::kGeometry;
      if (key == "properties" && first(2)) o.pending = Slot::kProperties;
      break;
    case Frame::kProperties:
      for (int p = 0; p < kPropCount; ++p) {
        if (key == kPropNames[p] && first(1u << p)) {
          o.pending = Slot::kProp;
          propAt_ = p;
        }
      }
      break;
    case Frame::kGeometry: {
      GeoState &g = geoms_.back();
      if (key == "type" && first(1)) {
        o.pending = Slot::kGeomType;
        g.typeSeen = true;
      }
      if (key == "coordinates" && first(2)) {
        o.pending = Slot::kCoords;
        g.coordsSeen = true;
      }
      if (key == "geometries" && first(4)) {
        o.pending = Slot::kGeomList;
        g.listSeen = true;
      }
      break;
    }
    default: break;
  }
  return true;
}

bool GeoReader::End() {
  if (skip_ > 0) {
    if (--skip_ == 0) AfterValue();
    return true;
  }
  const Open o = open_.back();
  open_.pop_back();
  switch (o.frame) {
    case Frame::kRoot: rootDone_ = true; break;
    case Frame::kFeature: FinishFeature(); break;
    case Frame::kGeometry: FinishGeometry(); break;
    case Frame::kCoords:
      geoms_.back().coords[o.token].end = static_cast<uint32_t>(geoms_.back().coords.size());
      break;
    default: break;
  }
  AfterValue();
  return true;
}

void GeoReader::StartFeature() {
  ++featureIndex_;
  geometryIsObject_ = false;
  geometry_ = GeoResult();
  textPoint_ = false;
  for (PropValue &p : props_) p = PropValue();
}

void GeoReader::FinishGeometry() {
  GeoState &g = geoms_.back();
  if (texts_ && open_.back().frame == Frame::kFeature) {
    textPoint_ = g.typeSeen && g.typeIsString && g.type == "Point" && g.coordsSeen &&
                 !g.coords.empty() && ReadPosition(g.coords, 0, textPlace_);
  }
  GeoResult r = Resolve(g);
  geoms_.pop_back();
  Deliver(std::move(r));
}

void GeoReader::Deliver(GeoResult &&r) {
  if (open_.back().frame == Frame::kGeomList) {
    geoms_.back().children.push_back(std::move(r));
  } else {
    geometryIsObject_ = true;
    geometry_ = std::move(r);
  }
}

void GeoReader::FinishFeature() {
  if (!featureError_.empty()) return;  // the file is refused: nothing more is taken
  if (!geometryIsObject_) {
    ++out_.skipped;
    return;
  }
  if (!geometry_.error.empty()) {
    featureError_ = "feature " + std::to_string(featureIndex_) + ": " + geometry_.error;
    return;
  }
  if (textPoint_ && props_[kText].kind == PropValue::kString) {
    // A text goes before whatever lines the feature has.
    GeoPart part;
    part.kind = 3;
    part.points.push_back(textPlace_);
    part.text = ToHostCodePage(props_[kText].text, &part.lostCharacters);
    part.textInfo.size = 20;
    auto number = [&](Prop p, double fallback) {
      return props_[p].kind == PropValue::kNumber ? props_[p].number : fallback;
    };
    part.textInfo.height = static_cast<float>(number(kHeight, 1.0));
    part.textInfo.rotation = static_cast<float>(number(kRotation, 0.0));
    part.textInfo.justification = ToInt32(number(kJustification, 0.0));
    geometry_.parts.insert(geometry_.parts.begin(), std::move(part));
    geometry_.lineOrArea = true;
  }
  if (!geometry_.lineOrArea) {
    ++out_.skipped;
    return;
  }
  std::string warning;
  feature_.index = featureIndex_;
  feature_.style = ReadStyle(props_, warning);
  feature_.parts = std::move(geometry_.parts);
  if (check_ && !warning.empty())
    std::fprintf(stderr, "dgnhost: %s: feature %d: property ignored:%s\n", path_.c_str(),
                 featureIndex_, warning.c_str());
  ++out_.features;
  if (take_) take_(feature_);
}

// Line and column (from 1) of byte `offset` of the text after any byte-order mark.
void Place(FILE *f, long start, size_t offset, size_t &line, size_t &column) {
  line = column = 1;
  if (std::fseek(f, start, SEEK_SET) != 0) return;
  char buf[65536];
  size_t at = 0, n;
  while (at < offset && (n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    for (size_t i = 0; i < n && at < offset; ++i, ++at) {
      if (buf[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
  }
}

}  // namespace

bool ReadGeoJson(const std::string &path, bool texts, bool check,
                 const std::function<void(const GeoFeature &)> &take, GeoCollection &out) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "dgnhost: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  // A UTF-8 byte-order mark is no part of the text.
  unsigned char bom[3] = {0, 0, 0};
  const size_t got = std::fread(bom, 1, 3, f);
  const long start = got == 3 && bom[0] == 0xEF && bom[1] == 0xBB && bom[2] == 0xBF ? 3 : 0;
  std::fseek(f, start, SEEK_SET);

  out = GeoCollection();
  GeoReader handler(texts, check, take, out);
  handler.SetPath(path);
  char buffer[65536];
  rapidjson::FileReadStream in(f, buffer, sizeof buffer);
  rapidjson::Reader reader;
  const rapidjson::ParseResult parsed = reader.Parse<kParseFlags>(in, handler);
  if (std::ferror(f) != 0) {
    std::fclose(f);
    std::fprintf(stderr, "dgnhost: cannot read %s\n", path.c_str());
    return false;
  }
  if (parsed.IsError()) {
    size_t line = 1, column = 1;
    Place(f, start, parsed.Offset(), line, column);
    std::fclose(f);
    std::fprintf(stderr, "dgnhost: %s is not valid JSON: line %zu, column %zu: %s\n", path.c_str(),
                 line, column, rapidjson::GetParseError_En(parsed.Code()));
    return false;
  }
  std::fclose(f);
  const std::string verdict = handler.Verdict();
  if (verdict == "not a GeoJSON FeatureCollection") {
    std::fprintf(stderr, "dgnhost: %s is not a GeoJSON FeatureCollection\n", path.c_str());
    return false;
  }
  if (!verdict.empty()) {
    std::fprintf(stderr, "dgnhost: %s: %s\n", path.c_str(), verdict.c_str());
    return false;
  }
  return true;
}
