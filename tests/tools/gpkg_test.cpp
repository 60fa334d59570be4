// dgnhost's GeoPackage as a GIS finds it: the sample map imported with
// --gpkg is held with SQL to the format's rules (header ids, the required
// coordinate systems, contents with extents, geometry columns, blobs with
// header and envelope over well-known binary, the R-tree registered and
// filled), survives DGN -> GeoPackage -> DGN -> GeoPackage, and files that
// are not GeoPackages, or hold hostile geometries, are refused.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dgn_elements.h"
#include "dgnhost_gpkgblob.h"
#include "mapgen.h"

namespace {

namespace fs = std::filesystem;

std::string Q(const std::string &s) { return dgnkit::ShellQuote(s); }

struct Outcome {
  int status = -1;
  std::string out, err;
};

// One open database and the rows of its queries as text ("|" between columns).
class Db {
 public:
  explicit Db(const std::string &path) {
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  }
  ~Db() { sqlite3_close(db_); }
  std::vector<std::string> Rows(const std::string &sql) {
    std::vector<std::string> rows;
    sqlite3_stmt *s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr), SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(db_);
    while (s != nullptr && sqlite3_step(s) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(s); ++i) {
        if (i > 0) row += "|";
        const unsigned char *t = sqlite3_column_text(s, i);
        row += t != nullptr ? reinterpret_cast<const char *>(t) : "NULL";
      }
      rows.push_back(row);
    }
    sqlite3_finalize(s);
    return rows;
  }
  std::string One(const std::string &sql) {
    const std::vector<std::string> r = Rows(sql);
    return r.empty() ? "(none)" : r[0];
  }
  // The numbers of the first row of a query.
  std::vector<double> Doubles(const std::string &sql) {
    std::vector<double> out;
    sqlite3_stmt *s = nullptr;
    sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr);
    if (s != nullptr && sqlite3_step(s) == SQLITE_ROW)
      for (int i = 0; i < sqlite3_column_count(s); ++i) out.push_back(sqlite3_column_double(s, i));
    sqlite3_finalize(s);
    return out;
  }
  // The geometry blobs of a table, by fid.
  std::vector<std::pair<long, std::string>> Blobs(const std::string &table) {
    std::vector<std::pair<long, std::string>> out;
    sqlite3_stmt *s = nullptr;
    sqlite3_prepare_v2(db_, ("SELECT fid, geom FROM " + table + " ORDER BY fid").c_str(), -1, &s,
                       nullptr);
    while (s != nullptr && sqlite3_step(s) == SQLITE_ROW) {
      const char *b = static_cast<const char *>(sqlite3_column_blob(s, 1));
      out.emplace_back(sqlite3_column_int64(s, 0),
                       b != nullptr ? std::string(b, sqlite3_column_bytes(s, 1)) : std::string());
    }
    sqlite3_finalize(s);
    return out;
  }
  void Exec(const std::string &sql) {
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(db_);
  }

 private:
  sqlite3 *db_ = nullptr;
};

class Gpkg : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *bin = std::getenv("DGN_BIN_DIR");
    const char *src = std::getenv("DGN_SOURCE_DIR");
    ASSERT_TRUE(bin != nullptr && src != nullptr);
    bin_ = bin;
    src_ = src;
    std::string templ = (fs::temp_directory_path() / "dgnhost-gpkg-XXXXXX").string();
    ASSERT_NE(mkdtemp(&templ[0]), nullptr);
    dir_ = templ;
    ASSERT_EQ(Sh(Prog("dgnsample") + " " + Q(src_ + "/tools/sample_map.recipe") + " " +
                 Q(P("sample.dgn")))
                  .status,
              0);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string P(const std::string &name) const { return dir_ + "/" + name; }
  std::string Prog(const std::string &name) const {
    return dgnkit::ProgramPrefix() + Q(bin_ + "/" + name);
  }
  Outcome Sh(const std::string &command) const {
    const std::string out = P("run.out"), err = P("run.err");
    const int raw = std::system((command + " </dev/null >" + Q(out) + " 2>" + Q(err)).c_str());
    Outcome r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = dgnkit::ReadText(out);
    r.err = dgnkit::ReadText(err);
    return r;
  }
  Outcome Host(const std::string &args) const { return Sh(Prog("dgnhost") + " " + args); }

  std::string bin_, src_, dir_;
};

const char *const kTables[] = {"lines", "polygons", "texts"};
const char *const kTypes[] = {"LINESTRING", "POLYGON", "POINT"};

// Checks every rule of the format a GIS relies on; `srs` is the SRS id
// expected everywhere, `z` the geometry columns' z (0 or 1).
void CheckGeoPackage(const std::string &path, int srs, int z) {
  Db db(path);
  // The database header says what the file is: 'GPKG', version 1.2 or later.
  EXPECT_EQ(db.One("PRAGMA application_id"), "1196444487");
  EXPECT_GE(std::stol(db.One("PRAGMA user_version")), 10200);
  EXPECT_EQ(db.One("PRAGMA integrity_check"), "ok");
  EXPECT_TRUE(db.Rows("PRAGMA foreign_key_check").empty());
  // The three coordinate systems every GeoPackage holds.
  EXPECT_EQ(db.Rows("SELECT srs_id, organization, organization_coordsys_id FROM "
                    "gpkg_spatial_ref_sys WHERE srs_id IN (-1, 0, 4326) ORDER BY srs_id"),
            (std::vector<std::string>{"-1|NONE|-1", "0|NONE|0", "4326|EPSG|4326"}));
  EXPECT_EQ(
      db.One("SELECT count(*) FROM gpkg_spatial_ref_sys WHERE srs_id = " + std::to_string(srs)),
      "1");
  for (int t = 0; t < 3; ++t) {
    const std::string table = kTables[t];
    SCOPED_TRACE(table);
    EXPECT_EQ(
        db.One("SELECT data_type, identifier, srs_id FROM gpkg_contents WHERE table_name = '" +
               table + "'"),
        "features|" + table + "|" + std::to_string(srs));
    EXPECT_EQ(db.One("SELECT column_name, geometry_type_name, srs_id, z, m FROM "
                     "gpkg_geometry_columns WHERE table_name = '" +
                     table + "'"),
              std::string("geom|") + kTypes[t] + "|" + std::to_string(srs) + "|" +
                  std::to_string(z) + "|0");
    // The R-tree index: registered, its table there, one row per geometry.
    EXPECT_EQ(db.One("SELECT extension_name, definition, scope FROM gpkg_extensions WHERE "
                     "table_name = '" +
                     table + "' AND column_name = 'geom'"),
              "gpkg_rtree_index|http://www.geopackage.org/spec120/#extension_rtree|write-only");
    EXPECT_EQ(db.One("SELECT count(*) FROM sqlite_master WHERE type = 'trigger' AND name LIKE "
                     "'rtree_" +
                     table + "_geom_%'"),
              "6");
    // Every blob: header, SRS, envelope (none for points) over well-known
    // binary of the column's type; the extents in the contents are theirs.
    BlobEnvelope extent;
    long geometries = 0;
    for (const auto &row : db.Blobs(table)) {
      const std::string &b = row.second;
      if (b.empty()) continue;
      ++geometries;
      BlobGeometry g;
      std::string error;
      ASSERT_TRUE(
          ReadGeometryBlob(reinterpret_cast<const unsigned char *>(b.data()), b.size(), g, error))
          << "fid " << row.first << ": " << error;
      EXPECT_EQ(b.substr(0, 3), std::string("GP\0", 3));
      const unsigned flags = static_cast<unsigned char>(b[3]);
      const unsigned envelope = t == 2 ? 0u : (z == 1 ? 2u : 1u);
      EXPECT_EQ((flags >> 1) & 7, envelope) << "fid " << row.first;
      EXPECT_EQ(flags & 0x21, 0x01u);  // little-endian, standard geometry
      EXPECT_EQ(g.srsId, srs);
      const size_t wkb = 8 + (envelope == 0 ? 0 : envelope == 1 ? 32 : 48);
      ASSERT_GT(b.size(), wkb + 5);
      EXPECT_EQ(b[wkb], 1);  // little-endian well-known binary
      const unsigned type =
          static_cast<unsigned char>(b[wkb + 1]) | static_cast<unsigned char>(b[wkb + 2]) << 8;
      EXPECT_EQ(type, static_cast<unsigned>((t == 0 ? 2 : t == 1 ? 3 : 1) + 1000 * z));
      BlobEnvelope own;
      for (const BlobPart &p : g.parts)
        for (const Vertex &v : p.points) own.Add(BlobEnvelope{true, v.x, v.x, v.y, v.y});
      for (const Vertex &v : g.points) own.Add(BlobEnvelope{true, v.x, v.x, v.y, v.y});
      if (envelope != 0) {
        double header[4];
        std::memcpy(header, b.data() + 8, sizeof header);  // little-endian, as on this machine
        EXPECT_EQ(header[0], own.minX);
        EXPECT_EQ(header[1], own.maxX);
        EXPECT_EQ(header[2], own.minY);
        EXPECT_EQ(header[3], own.maxY);
      }
      extent.Add(own);
      // The R-tree holds the geometry (in 32-bit floats, rounded outwards).
      EXPECT_EQ(db.One("SELECT count(*) FROM rtree_" + table + "_geom WHERE id = " +
                       std::to_string(row.first) + " AND minx <= " + std::to_string(own.minX) +
                       " AND maxx >= " + std::to_string(own.maxX) + " AND miny <= " +
                       std::to_string(own.minY) + " AND maxy >= " + std::to_string(own.maxY)),
                "1")
          << "fid " << row.first;
    }
    EXPECT_GT(geometries, 0);
    EXPECT_EQ(db.One("SELECT count(*) FROM rtree_" + table + "_geom"), std::to_string(geometries));
    EXPECT_EQ(db.One("SELECT rtreecheck('rtree_" + table + "_geom')"), "ok");
    EXPECT_EQ(db.Doubles("SELECT min_x, min_y, max_x, max_y FROM gpkg_contents WHERE "
                         "table_name = '" +
                         table + "'"),
              (std::vector<double>{extent.minX, extent.minY, extent.maxX, extent.maxY}));
  }
}

TEST_F(Gpkg, SampleMapFollowsTheFormatsRules) {
  const Outcome r = Host("import " + Q(P("sample.dgn")) + " --gpkg " + Q(P("sample.gpkg")));
  ASSERT_EQ(r.status, 0) << r.err;
  CheckGeoPackage(P("sample.gpkg"), -1, 0);
  Db db(P("sample.gpkg"));
  // Typed columns, texts in UTF-8.
  EXPECT_EQ(db.One("SELECT typeof(elementId), typeof(level), typeof(layer), typeof(color), "
                   "typeof(width) FROM lines LIMIT 1"),
            "integer|integer|text|text|real");
  EXPECT_EQ(db.One("SELECT count(*) FROM texts WHERE text = 'Quai de l''\xC3\x89"
                   "cluse'"),
            "1");

  // A coordinate system of the user's, with its definition; a 3D map in x, y, z.
  std::ofstream(P("srs.wkt")) << "PROJCS[\"test\"]\n";
  dgnbench::MapSpec recipe;
  recipe.dimension = 3;
  recipe.element_count = 400;
  std::string error;
  ASSERT_TRUE(dgnbench::WriteMap(P("map3d.dgn").c_str(), recipe, nullptr, &error)) << error;
  const Outcome r3 = Host("import " + Q(P("map3d.dgn")) + " --gpkg " + Q(P("map3d.gpkg")) +
                          " --srs EPSG:32631 --srs-wkt " + Q(P("srs.wkt")));
  ASSERT_EQ(r3.status, 0) << r3.err;
  CheckGeoPackage(P("map3d.gpkg"), 32631, 1);
  EXPECT_EQ(Db(P("map3d.gpkg"))
                .One("SELECT srs_name, organization, definition FROM "
                     "gpkg_spatial_ref_sys WHERE srs_id = 32631"),
            "EPSG:32631|EPSG|PROJCS[\"test\"]");
}

TEST_F(Gpkg, RoundTripThroughDgnGivesEqualTables) {
  // DGN -> GeoPackage -> DGN -> GeoPackage, twice: what a DGN file holds
  // exactly comes back exactly; the second trip changes nothing at all (the
  // first maps colours into the seed's colour table and heights into its steps).
  std::vector<std::string> gpkgs;
  std::string map = P("sample.dgn");
  for (int trip = 0; trip < 3; ++trip) {
    const std::string gpkg = P("trip" + std::to_string(trip) + ".gpkg");
    Outcome r = Host("import " + Q(map) + " --gpkg " + Q(gpkg));
    ASSERT_EQ(r.status, 0) << r.err;
    gpkgs.push_back(gpkg);
    map = P("trip" + std::to_string(trip) + ".dgn");
    r = Host("export " + Q(gpkg) + " " + Q(map) + " --whole-map --ini-dir " + Q(dir_));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("and 7 texts"), std::string::npos) << r.out;
  }
  auto table = [&](const std::string &gpkg, const char *t, const char *columns) {
    return Db(gpkg).Rows(std::string("SELECT fid, hex(geom), level, layer, width, style") +
                         columns + " FROM " + t + " ORDER BY fid");
  };
  for (const char *t : kTables) {
    SCOPED_TRACE(t);
    const bool texts = std::string(t) == "texts";
    const char *exact = texts ? ", text, rotation, justification" : "";
    const char *all = texts ? ", color, text, height, rotation, justification" : ", color";
    EXPECT_EQ(table(gpkgs[0], t, exact), table(gpkgs[1], t, exact));
    EXPECT_EQ(table(gpkgs[1], t, all), table(gpkgs[2], t, all));
    EXPECT_FALSE(table(gpkgs[0], t, "").empty());
  }
}

TEST_F(Gpkg, RowsWrittenOnAHelperThreadAreThoseOfOneThread) {
  // A map of many batches: the same features, ids and R-tree either way.
  dgnbench::MapSpec recipe;
  recipe.element_count = 12000;
  std::string error;
  ASSERT_TRUE(dgnbench::WriteMap(P("big.dgn").c_str(), recipe, nullptr, &error)) << error;
  for (const char *threads : {"0", "2"}) {
    const Outcome r = Host("import " + Q(P("big.dgn")) + " --gpkg " +
                           Q(P(std::string("big") + threads + ".gpkg")) + " --threads " + threads);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  for (const char *t : kTables) {
    SCOPED_TRACE(t);
    const std::string rtree = std::string("rtree_") + t + "_geom";
    for (const std::string &sql :
         {std::string("SELECT * FROM ") + t + " ORDER BY fid",
          "SELECT nodeno, hex(data) FROM " + rtree + "_node ORDER BY nodeno",
          "SELECT * FROM " + rtree + "_rowid ORDER BY rowid",
          "SELECT * FROM " + rtree + "_parent ORDER BY nodeno"}) {
      const std::vector<std::string> one = Db(P("big0.gpkg")).Rows(sql);
      EXPECT_EQ(one, Db(P("big2.gpkg")).Rows(sql)) << sql;
      EXPECT_FALSE(one.empty()) << sql;
    }
    EXPECT_EQ(Db(P("big2.gpkg")).One("SELECT rtreecheck('" + rtree + "')"), "ok");
  }
}

TEST_F(Gpkg, WhatIsNotAGeoPackageIsRefusedAndNothingWritten) {
  ASSERT_EQ(Host("import " + Q(P("sample.dgn")) + " --gpkg " + Q(P("good.gpkg"))).status, 0);
  // A copy of a good GeoPackage changed by `sql` (without the index's
  // triggers, which need functions only GIS programs provide).
  auto hostile = [&](const std::string &name, const std::string &sql) {
    fs::copy_file(P("good.gpkg"), P(name));
    Db db(P(name));
    for (const char *t : kTables)
      for (const char *trigger : {"update1", "update2", "update3", "update4"})
        db.Exec(std::string("DROP TRIGGER rtree_") + t + "_geom_" + trigger);
    db.Exec(sql);
    return P(name);
  };
  struct Case {
    const char *label;
    std::string input;
    const char *message;
  } cases[] = {
      {"a DGN file", P("sample.dgn"), "is not valid JSON"},
      {"SQLite without the GeoPackage's id", hostile("plain.gpkg", "PRAGMA application_id = 0"),
       "is not a GeoPackage: its application_id"},
      {"no geometry columns", hostile("nocols.gpkg", "DROP TABLE gpkg_geometry_columns"),
       "is not a GeoPackage: it has no feature tables"},
      {"a vertex count beyond the blob",
       hostile("count.gpkg",
               "UPDATE lines SET geom = X'4750000101000000010200000000FFFFFF' "
               "WHERE fid = 3"),
       "table lines, feature 2: a count of"},
      {"a geometry that is text", hostile("text.gpkg", "UPDATE polygons SET geom = 'POLYGON'"),
       "its geometry is not a blob"},
      {"a blob without header", hostile("nogp.gpkg", "UPDATE texts SET geom = X'0101000000'"),
       "no GP header"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    const Outcome r =
        Host("export " + Q(c.input) + " " + Q(P("out.dgn")) + " --ini-dir " + Q(dir_));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(P("out.dgn")));
  }
  // No output over standard output, none over the map, none left half-made.
  EXPECT_EQ(Host("import " + Q(P("sample.dgn")) + " --gpkg -").status, 2);
  EXPECT_EQ(Host("import " + Q(P("sample.dgn")) + " --gpkg " + Q(P("sample.dgn"))).status, 2);
  EXPECT_EQ(Host("import " + Q(P("missing.dgn")) + " --gpkg " + Q(P("none.gpkg"))).status, 1);
  EXPECT_FALSE(fs::exists(P("none.gpkg")));
}

}  // namespace
