// dgnhost's GeoJSON output (dgnhost_geojson.h).
#include "dgnhost_geojson.h"

#include <cmath>

namespace {

const char *KindName(int32_t kind) {
  switch (kind) {
    case 0: return "polyline";
    case 1: return "polygon";
    case 3: return "text";
    default: return "other";
  }
}

void AppendPosition(std::string &s, const Vertex &v, bool withZ) {
  s += '[';
  AppendNum(s, v.x);
  s += ',';
  AppendNum(s, v.y);
  if (withZ) {
    s += ',';
    AppendNum(s, v.z);
  }
  s += ']';
}

void AppendPositions(std::string &s, const std::vector<Vertex> &pts, bool closeRing, bool withZ) {
  s += '[';
  for (size_t i = 0; i < pts.size(); ++i) {
    if (i > 0) s += ',';
    AppendPosition(s, pts[i], withZ);
  }
  if (closeRing) {
    s += ',';
    AppendPosition(s, pts.front(), withZ);
  }
  s += ']';
}

bool SamePlace(const Vertex &a, const Vertex &b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

void AppendGeometry(std::string &s, const ImportedObject &o) {
  std::vector<Vertex> usable;
  const std::vector<Vertex> &pts = AllFinite(o) ? o.points : (usable = UsablePoints(o));
  bool withZ = false;
  for (const Vertex &v : pts) withZ = withZ || v.z != 0.0;
  if (pts.empty()) {
    s += "null";
    return;
  }
  if (o.kind == 3 || pts.size() == 1) {
    s += "{\"type\":\"Point\",\"coordinates\":";
    AppendPosition(s, pts[0], withZ);
    s += '}';
    return;
  }
  if (o.kind == 1) {
    const bool close = !SamePlace(pts.front(), pts.back());
    if (pts.size() + (close ? 1 : 0) >= 4) {
      s += "{\"type\":\"Polygon\",\"coordinates\":[";
      AppendPositions(s, pts, close, withZ);
      s += "]}";
      return;
    }
  }
  s += "{\"type\":\"LineString\",\"coordinates\":";
  AppendPositions(s, pts, false, withZ);
  s += '}';
}

// A float property: its number, or null when it is not finite.
void AppendFloat(std::string &s, float v) {
  if (std::isfinite(v))
    AppendNum(s, v);
  else
    s += "null";
}

// The layer's name as a JSON string ("Level N" needs no escaping).
void AppendLayer(std::string &s, const std::vector<ImportedLayer> &layers, int32_t level) {
  for (const ImportedLayer &l : layers) {
    if (l.level == level) {
      AppendJsonString(s, l.name);
      return;
    }
  }
  s += "\"Level ";
  AppendInt(s, level);
  s += '"';
}

void AppendProperties(std::string &s, const ImportedObject &o,
                      const std::vector<ImportedLayer> &layers) {
  s += "{\"kind\":\"";
  s += KindName(o.kind);
  s += "\",\"level\":";
  AppendInt(s, o.level);
  s += ",\"layer\":";
  AppendLayer(s, layers, o.level);
  s += ",\"color\":\"";
  AppendHexColor(s, o.color);
  s += "\",\"width\":";
  AppendFloat(s, o.width);
  s += ",\"style\":";
  if (o.style >= 0)
    AppendInt(s, o.style);
  else
    s += "null";
  s += ",\"elementId\":";
  AppendInt(s, o.elementId);
  if (o.hasText) {
    s += ",\"text\":";
    AppendJsonString(s, o.text);
    s += ",\"height\":";
    AppendFloat(s, o.height);
    s += ",\"rotation\":";
    AppendFloat(s, o.rotation);
    s += ",\"justification\":" + std::to_string(o.justification);
  }
  s += '}';
}

}  // namespace

GeoJsonSink::GeoJsonSink(OutputFile &out) : out_(out) {
  out_.Write("{\"type\":\"FeatureCollection\",\"features\":[");
}

void GeoJsonSink::Take(const ImportedObject &o, const std::vector<ImportedLayer> &layers) {
  std::string &s = out_.Buffer();
  s += first_ ? "\n" : ",\n";
  first_ = false;
  s += "{\"type\":\"Feature\",\"geometry\":";
  AppendGeometry(s, o);
  s += ",\"properties\":";
  AppendProperties(s, o, layers);
  s += '}';
  out_.Wrote();
}

void GeoJsonSink::Finish() { out_.Write("\n]}\n"); }
