// dgnhost's GeoJSON: the import written as a FeatureCollection as the
// objects arrive, and GeoJSON read one feature at a time for export and
// update.
#ifndef DGN_TOOLS_DGNHOST_GEOJSON_H
#define DGN_TOOLS_DGNHOST_GEOJSON_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dgnhost_import.h"
#include "dgnhost_text.h"
#include "dgnhost_workers.h"
#include "plugin_records.h"

// A run of objects that one thread turns into GeoJSON features.
struct GeoJsonBatch {
  // It is handed over at this many vertices or objects: a few milliseconds
  // of work, and little memory for the batches on their way.
  static constexpr size_t kPoints = 8192;
  static constexpr size_t kObjects = 1024;

  struct Feature {
    ObjectAttributes attributes;
    std::string layer;  // the name the plug-in sent for the level, if namedLayer
    bool namedLayer = false;
    size_t first = 0, count = 0;  // its vertices in `points`
  };
  std::vector<Feature> features;  // the first `count` are the batch's; the rest keep their room
  size_t count = 0;
  std::vector<Vertex> points;
  bool opens = false;  // holds the collection's first feature

  // Empties it for the next run, keeping the room.
  void Clear();
  // Appends an object and the layer the plug-in sent for its level (null: none yet).
  void Add(const ImportedObject &o, const ImportedLayer *layer);
  // Appends the features of the batch to `text`, letting `spill` write out
  // what has gathered after each one.
  void Format(TextBuffer &text, TextSpill &spill) const;
};

// Writes the import as a GeoJSON FeatureCollection, one Feature per object:
// texts are Points, polylines LineStrings and polygons Polygons with a
// closed ring; objects with too few points for their kind fall back to the
// simpler geometry (null for none at all).  Runs of objects are formatted
// on `threads` helper threads (none: on the import's thread) while the
// import goes on; the file is the same either way.
class GeoJsonSink : public ObjectSink {
 public:
  // Starts the collection in `out`.
  GeoJsonSink(OutputFile &out, unsigned threads);
  void Take(const ImportedObject &o, const std::vector<ImportedLayer> &layers) override;
  // Writes what is still on its way and ends the collection.
  void Finish();

 private:
  OutputFile &out_;
  OrderedWorkers<GeoJsonBatch> workers_;
  bool first_ = true;
};

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

// One add call: a line (kind 0), a ring of an area (kind 1) or a text (kind 3).
struct GeoPart {
  int32_t kind = 0;
  bool hole = false;  // an inner ring of a polygon: it becomes a shape of its own
  std::vector<TVectorPointPlugIn> points;
  std::string text;        // a text: in the host's code page
  int lostCharacters = 0;  // characters of the text that code page lacks, stored as '?'
  TVectorTextPlugIn textInfo{};
};

// The DGN attributes of a feature, from its properties; host defaults otherwise.
struct GeoStyle {
  int32_t level = 0;
  int32_t color = -1;
  float width = 1.0f;
  int32_t style = -1;
  int32_t elementId = 0;
};

// One feature with a line or area geometry (even an empty one), or a text.
struct GeoFeature {
  int index = 0;  // position in the collection, for messages
  GeoStyle style;
  std::vector<GeoPart> parts;
};

// What reading a whole collection found.
struct GeoCollection {
  long features = 0;  // features with a line or area geometry
  long skipped = 0;   // features without (points, null geometry)
};

// Gives a host colour (red bits 0-7, green 8-15, blue 16-23) from "#rrggbb";
// false when the text is not that form.
bool ParseColor(const std::string &text, int32_t &color);

// Gives a host point record at (x, y, z), as the host fills one for an add call.
TVectorPointPlugIn HostPoint(double x, double y, double z);

// Reads the GeoJSON FeatureCollection at `path` one feature at a time and
// hands each feature with a line or area to `take` (which may be empty, to
// only check the file).  With `texts`, a Point feature with a "text"
// property is a text (height, rotation and justification from its
// properties, the text in the host's code page).  `check`: name properties
// of the wrong form on standard error.  False with a message on standard error when the file
// cannot be read, is not JSON (with line and column), is not a
// FeatureCollection or holds a geometry that is not GeoJSON.
bool ReadGeoJson(const std::string &path, bool texts, bool check,
                 const std::function<void(const GeoFeature &)> &take, GeoCollection &out);

#endif  // DGN_TOOLS_DGNHOST_GEOJSON_H
