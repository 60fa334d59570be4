// dgnhost's GeoJSON output (dgnhost_geojson.h).
#include "dgnhost_geojson.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

const char *KindName(int32_t kind) {
  switch (kind) {
    case 0: return "polyline";
    case 1: return "polygon";
    case 3: return "text";
    default: return "other";
  }
}

// Room a position takes at most: three numbers, their brackets and commas.
constexpr size_t kPositionRoom = 3 * kNumberRoom + 4;

// Writes one position at p (with kPositionRoom bytes); gives the end.
char *WritePosition(char *p, const Vertex &v, bool withZ) {
  *p++ = '[';
  p = WriteNum(p, v.x);
  *p++ = ',';
  p = WriteNum(p, v.y);
  if (withZ) {
    *p++ = ',';
    p = WriteNum(p, v.z);
  }
  *p++ = ']';
  return p;
}

// Writes the positions straight into the text: the coordinates are nearly
// all of a GeoJSON file's bytes.
void WritePositions(TextBuffer &out, const Vertex *pts, size_t n, bool closeRing, bool withZ) {
  char *p = out.Room(1);
  *p++ = '[';
  out.Advance(p);
  for (size_t i = 0; i < n; ++i) {
    p = out.Room(kPositionRoom + 1);
    if (i > 0) *p++ = ',';
    out.Advance(WritePosition(p, pts[i], withZ));
  }
  p = out.Room(kPositionRoom + 2);
  if (closeRing) {
    *p++ = ',';
    p = WritePosition(p, pts[0], withZ);
  }
  *p++ = ']';
  out.Advance(p);
}

bool SamePlace(const Vertex &a, const Vertex &b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

void WriteGeometry(TextBuffer &out, const ObjectAttributes &o, const Vertex *all, size_t count) {
  std::vector<Vertex> usable;  // the finite vertices, when a damaged file gave others
  if (!AllFinite(all, count)) {
    usable = UsablePoints(all, count);
    all = usable.data();
    count = usable.size();
  }
  const Vertex *pts = all;
  bool withZ = false;
  for (size_t i = 0; i < count; ++i) withZ = withZ || pts[i].z != 0.0;
  if (count == 0) {
    out.Append("null", 4);
    return;
  }
  if (o.kind == 3 || count == 1) {
    out.Append("{\"type\":\"Point\",\"coordinates\":");
    char *p = out.Room(kPositionRoom + 1);
    p = WritePosition(p, pts[0], withZ);
    *p++ = '}';
    out.Advance(p);
    return;
  }
  if (o.kind == 1) {
    const bool close = !SamePlace(pts[0], pts[count - 1]);
    if (count + (close ? 1 : 0) >= 4) {
      out.Append("{\"type\":\"Polygon\",\"coordinates\":[");
      WritePositions(out, pts, count, close, withZ);
      out.Append("]}", 2);
      return;
    }
  }
  out.Append("{\"type\":\"LineString\",\"coordinates\":");
  WritePositions(out, pts, count, false, withZ);
  out.Append("}", 1);
}

// Writes text without its terminating zero at p; gives the end.
template <size_t N>
char *Put(char *p, const char (&text)[N]) {
  std::memcpy(p, text, N - 1);
  return p + N - 1;
}

char *PutInt(char *p, int32_t v) { return std::to_chars(p, p + 11, v).ptr; }

// A float property: its number, or null when it is not finite.
char *PutFloat(char *p, float v) { return std::isfinite(v) ? WriteNum(p, v) : Put(p, "null"); }

// Appends raw 8-bit host text as a JSON string where `p` stands; gives
// where the writing goes on, with `room` bytes of room again.
char *PutJsonString(TextBuffer &out, char *p, const std::string &raw, size_t room) {
  out.Advance(p);
  std::string json;
  AppendJsonString(json, raw);
  out.Append(json);
  return out.Room(room);
}

// Writes the feature's properties and closes the feature, in place: after
// the coordinates they are the most of a GeoJSON file.
void WriteProperties(TextBuffer &out, const ObjectAttributes &o, const std::string *layer) {
  constexpr size_t kRoom = 256;  // the properties but the texts, with a number's room
  char *p = out.Room(kRoom);
  p = Put(p, ",\"properties\":{\"kind\":\"");
  const char *kind = KindName(o.kind);
  const size_t kindLength = std::strlen(kind);
  std::memcpy(p, kind, kindLength);
  p = Put(p + kindLength, "\",\"level\":");
  p = PutInt(p, o.level);
  p = Put(p, ",\"layer\":");
  if (layer != nullptr) {
    p = PutJsonString(out, p, *layer, kRoom);
  } else {  // "Level N" needs no escaping
    p = Put(p, "\"Level ");
    p = PutInt(p, o.level);
    *p++ = '"';
  }
  p = Put(p, ",\"color\":\"");
  p = WriteHexColor(p, o.color);
  p = Put(p, "\",\"width\":");
  p = PutFloat(p, o.width);
  p = Put(p, ",\"style\":");
  p = o.style >= 0 ? PutInt(p, o.style) : Put(p, "null");
  p = Put(p, ",\"elementId\":");
  p = PutInt(p, o.elementId);
  if (o.hasText) {
    p = PutJsonString(out, Put(p, ",\"text\":"), o.text, kRoom);
    p = Put(p, ",\"height\":");
    p = PutFloat(p, o.height);
    p = Put(p, ",\"rotation\":");
    p = PutFloat(p, o.rotation);
    p = Put(p, ",\"justification\":");
    p = PutInt(p, o.justification);
  }
  out.Advance(Put(p, "}}"));
}

}  // namespace

void GeoJsonBatch::Clear() {
  count = 0;
  opens = false;
  if (points.capacity() > 4 * kPoints)
    std::vector<Vertex>().swap(points);  // a giant object passed: give its room back
  points.clear();
}

void GeoJsonBatch::Add(const ImportedObject &o, const ImportedLayer *layer) {
  // The feature counts only once all of it is in: an allocation that fails
  // on the way leaves the batch as it was (but for unused vertices).
  const size_t first = points.size();
  points.insert(points.end(), o.points.begin(), o.points.end());
  if (count == features.size()) features.emplace_back();
  Feature &f = features[count];
  f.attributes = o;  // reuses the text's room of the feature that held the place before
  f.namedLayer = layer != nullptr;
  if (layer != nullptr) f.layer = layer->name;
  f.first = first;
  f.count = o.points.size();
  ++count;
}

void GeoJsonBatch::Format(TextBuffer &text, TextSpill &spill) const {
  for (size_t i = 0; i < count; ++i) {
    const Feature &f = features[i];
    text.Append(opens && i == 0 ? "\n{\"type\":\"Feature\",\"geometry\":"
                                : ",\n{\"type\":\"Feature\",\"geometry\":");
    WriteGeometry(text, f.attributes, points.data() + f.first, f.count);
    WriteProperties(text, f.attributes, f.namedLayer ? &f.layer : nullptr);
    spill.Check(text);
  }
}

GeoJsonSink::GeoJsonSink(OutputFile &out, unsigned threads) : out_(out), workers_(out, threads) {
  out_.Write("{\"type\":\"FeatureCollection\",\"features\":[");
}

void GeoJsonSink::Take(const ImportedObject &o, const std::vector<ImportedLayer> &layers) {
  GeoJsonBatch &batch = workers_.Current();
  if (first_) batch.opens = true;
  first_ = false;
  batch.Add(o, layers.empty() ? nullptr : FindLayer(layers, o.level));
  if (batch.points.size() >= GeoJsonBatch::kPoints || batch.count >= GeoJsonBatch::kObjects)
    workers_.Hand();
}

void GeoJsonSink::Finish() {
  if (workers_.Current().count > 0) workers_.Hand();
  workers_.Finish();
  if (workers_.Failed()) out_.Fail();
  out_.Write("\n]}\n");
}
