// dgnhost's GeoPackage: the import written as a GeoPackage (an SQLite
// database with a feature table per kind of object, typed columns, and an
// R-tree spatial index on each), and GeoPackages read one feature at a time
// for export and update.  Builds without SQLite (the Windows dgnhost) leave
// it out: DGNHOST_GPKG is 0 there.
#ifndef DGN_TOOLS_DGNHOST_GPKG_H
#define DGN_TOOLS_DGNHOST_GPKG_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dgnhost_geojson.h"
#include "dgnhost_import.h"
#include "dgnhost_text.h"

#ifndef DGNHOST_GPKG
#define DGNHOST_GPKG 0
#endif

// The coordinate system the features are recorded in.
struct GpkgSrs {
  int32_t id = -1;         // -1: the undefined Cartesian system (DGN files carry none)
  std::string definition;  // its WKT; empty: "undefined"
};

// Gives whether this dgnhost reads and writes GeoPackages.
bool GeoPackageBuiltIn();

// Reads `--srs EPSG:n` into `srs`; false with a message when it is not that form.
bool ParseSrs(const std::string &text, GpkgSrs &srs);

// Writes the import into a GeoPackage as the objects arrive: polylines into
// table `lines`, polygons into `polygons`, texts as points into `texts`,
// all in one transaction through prepared statements, on a thread of its
// own while the import goes on.  The database is made in the temporary file
// of `out`, which takes its target's place only when Finish succeeded.
class GpkgSink : public ObjectSink {
 public:
  // Creates the schema; `threeD` writes x, y and z (a 3D map); `threads`
  // 0 writes the rows on the import's thread.  Ready() says whether that
  // worked.
  GpkgSink(OutputFile &out, const std::string &target, const GpkgSrs &srs, bool threeD,
           unsigned threads);
  ~GpkgSink() override;
  GpkgSink(const GpkgSink &) = delete;
  GpkgSink &operator=(const GpkgSink &) = delete;
  // False (after a message) when the database could not be made.
  bool Ready() const;
  void Take(const ImportedObject &o, const std::vector<ImportedLayer> &layers) override;
  // Records the extents, adds the index's triggers, commits and closes the
  // database; false (after a message) when anything failed.
  bool Finish();

 private:
  struct Db;
  std::unique_ptr<Db> db_;
};

// Gives whether the file at `path` is an SQLite database (by its first bytes).
bool LooksLikeSqlite(const std::string &path);

// Reads the features of the GeoPackage at `path` as ReadGeoJson reads a
// FeatureCollection: every feature table whose geometries hold lines,
// polygons or points, its columns level, color, width, style, elementId
// (and text, height, rotation, justification for texts, with `texts`)
// taken by name.  False with a message when the file is not a GeoPackage,
// or a geometry is not a GeoPackage geometry.
bool ReadGeoPackage(const std::string &path, bool texts, bool check,
                    const std::function<void(const GeoFeature &)> &take, GeoCollection &out);

// Reads the features of a GeoPackage or of GeoJSON, by what the file is.
bool ReadFeatureFile(const std::string &path, bool texts, bool check,
                     const std::function<void(const GeoFeature &)> &take, GeoCollection &out);

#endif  // DGN_TOOLS_DGNHOST_GPKG_H
