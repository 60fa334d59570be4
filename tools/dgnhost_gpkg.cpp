// dgnhost's GeoPackage (dgnhost_gpkg.h), on SQLite.
#include "dgnhost_gpkg.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "dgnhost_gpkgblob.h"

#if DGNHOST_GPKG
#include <sqlite3.h>
#endif

namespace {

// The first bytes of every SQLite database.
constexpr char kSqliteMagic[] = "SQLite format 3";  // and its terminating zero: 16 bytes

}  // namespace

bool LooksLikeSqlite(const std::string &path) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  char head[sizeof kSqliteMagic] = {};
  const bool got = std::fread(head, 1, sizeof head, f) == sizeof head;
  std::fclose(f);
  return got && std::memcmp(head, kSqliteMagic, sizeof head) == 0;
}

bool ParseSrs(const std::string &text, GpkgSrs &srs) {
  const std::string prefix = "EPSG:";
  bool ok = text.size() > prefix.size() && text.size() <= prefix.size() + 9 &&
            text.compare(0, prefix.size(), prefix) == 0;
  long code = 0;
  for (size_t i = prefix.size(); ok && i < text.size(); ++i) {
    ok = text[i] >= '0' && text[i] <= '9';
    code = code * 10 + (text[i] - '0');
  }
  if (!ok || code <= 0) {
    std::fprintf(stderr, "dgnhost: import: --srs takes EPSG:n (n a positive code), not '%s'\n",
                 text.c_str());
    return false;
  }
  srs.id = static_cast<int32_t>(code);
  return true;
}

bool ReadFeatureFile(const std::string &path, bool texts, bool check,
                     const std::function<void(const GeoFeature &)> &take, GeoCollection &out) {
  if (!LooksLikeSqlite(path)) return ReadGeoJson(path, texts, check, take, out);
  if (!GeoPackageBuiltIn()) {
    std::fprintf(stderr,
                 "dgnhost: %s is an SQLite database; this dgnhost was built without "
                 "GeoPackage support\n",
                 path.c_str());
    return false;
  }
  return ReadGeoPackage(path, texts, check, take, out);
}

#if !DGNHOST_GPKG

bool GeoPackageBuiltIn() { return false; }

struct GpkgSink::Db {};
GpkgSink::GpkgSink(OutputFile &, const std::string &, const GpkgSrs &, bool) {}
GpkgSink::~GpkgSink() = default;
bool GpkgSink::Ready() const { return false; }
void GpkgSink::Take(const ImportedObject &, const std::vector<ImportedLayer> &) {}
bool GpkgSink::Finish() { return false; }

bool ReadGeoPackage(const std::string &path, bool, bool,
                    const std::function<void(const GeoFeature &)> &, GeoCollection &) {
  std::fprintf(stderr, "dgnhost: cannot read %s: built without GeoPackage support\n", path.c_str());
  return false;
}

#else

namespace {

// 'GPKG' in the database header's application_id.
constexpr int32_t kGpkgApplicationId = 0x47504B47;
// Earlier versions of the format: 'GP10' and 'GP11', read too.
constexpr int32_t kGp10ApplicationId = 0x47503130;
constexpr int32_t kGp11ApplicationId = 0x47503131;
// Version 1.2.0 in user_version.
constexpr int kGpkgUserVersion = 10200;
// SQLite's page cache for the writer: dirty pages beyond it go to the file.
constexpr int kCacheKib = 4096;

const char kSchema[] =
    "CREATE TABLE gpkg_spatial_ref_sys ("
    " srs_name TEXT NOT NULL, srs_id INTEGER NOT NULL PRIMARY KEY,"
    " organization TEXT NOT NULL, organization_coordsys_id INTEGER NOT NULL,"
    " definition TEXT NOT NULL, description TEXT);"
    "INSERT INTO gpkg_spatial_ref_sys VALUES"
    " ('Undefined cartesian SRS', -1, 'NONE', -1, 'undefined',"
    "  'undefined cartesian coordinate reference system'),"
    " ('Undefined geographic SRS', 0, 'NONE', 0, 'undefined',"
    "  'undefined geographic coordinate reference system'),"
    " ('WGS 84 geodetic', 4326, 'EPSG', 4326,"
    "  'GEOGCS[\"WGS 84\",DATUM[\"WGS_1984\",SPHEROID[\"WGS 84\",6378137,298.257223563,"
    "AUTHORITY[\"EPSG\",\"7030\"]],AUTHORITY[\"EPSG\",\"6326\"]],PRIMEM[\"Greenwich\",0,"
    "AUTHORITY[\"EPSG\",\"8901\"]],UNIT[\"degree\",0.0174532925199433,"
    "AUTHORITY[\"EPSG\",\"9122\"]],AUTHORITY[\"EPSG\",\"4326\"]]',"
    "  'longitude/latitude coordinates in decimal degrees on the WGS 84 spheroid');"
    "CREATE TABLE gpkg_contents ("
    " table_name TEXT NOT NULL PRIMARY KEY, data_type TEXT NOT NULL, identifier TEXT UNIQUE,"
    " description TEXT DEFAULT '',"
    " last_change DATETIME NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ','now')),"
    " min_x DOUBLE, min_y DOUBLE, max_x DOUBLE, max_y DOUBLE, srs_id INTEGER,"
    " CONSTRAINT fk_gc_r_srs_id FOREIGN KEY (srs_id) REFERENCES gpkg_spatial_ref_sys(srs_id));"
    "CREATE TABLE gpkg_geometry_columns ("
    " table_name TEXT NOT NULL, column_name TEXT NOT NULL, geometry_type_name TEXT NOT NULL,"
    " srs_id INTEGER NOT NULL, z TINYINT NOT NULL, m TINYINT NOT NULL,"
    " CONSTRAINT pk_geom_cols PRIMARY KEY (table_name, column_name),"
    " CONSTRAINT uk_gc_table_name UNIQUE (table_name),"
    " CONSTRAINT fk_gc_tn FOREIGN KEY (table_name) REFERENCES gpkg_contents(table_name),"
    " CONSTRAINT fk_gc_srs FOREIGN KEY (srs_id) REFERENCES gpkg_spatial_ref_sys (srs_id));"
    "CREATE TABLE gpkg_extensions ("
    " table_name TEXT, column_name TEXT, extension_name TEXT NOT NULL,"
    " definition TEXT NOT NULL, scope TEXT NOT NULL,"
    " CONSTRAINT ge_tce UNIQUE (table_name, column_name, extension_name));";

// The columns every feature table has after its id and geometry, and a
// text's own.
const char kObjectColumns[] =
    "elementId INTEGER, level INTEGER, layer TEXT, color TEXT, width REAL, style INTEGER";
const char kTextColumns[] = ", text TEXT, height REAL, rotation REAL, justification INTEGER";

// The triggers that keep a feature table's R-tree in step with later edits
// (by programs that provide the ST_ functions); dgnhost fills the R-tree
// itself as it writes, before they exist.  '@' stands for the table.
const char kRtreeTriggers[] =
    "CREATE TRIGGER rtree_@_geom_insert AFTER INSERT ON @"
    " WHEN (new.geom NOT NULL AND NOT ST_IsEmpty(NEW.geom)) BEGIN"
    " INSERT OR REPLACE INTO rtree_@_geom VALUES (NEW.fid,"
    " ST_MinX(NEW.geom), ST_MaxX(NEW.geom), ST_MinY(NEW.geom), ST_MaxY(NEW.geom)); END;"
    "CREATE TRIGGER rtree_@_geom_update1 AFTER UPDATE OF geom ON @"
    " WHEN OLD.fid = NEW.fid AND (NEW.geom NOTNULL AND NOT ST_IsEmpty(NEW.geom)) BEGIN"
    " INSERT OR REPLACE INTO rtree_@_geom VALUES (NEW.fid,"
    " ST_MinX(NEW.geom), ST_MaxX(NEW.geom), ST_MinY(NEW.geom), ST_MaxY(NEW.geom)); END;"
    "CREATE TRIGGER rtree_@_geom_update2 AFTER UPDATE OF geom ON @"
    " WHEN OLD.fid = NEW.fid AND (NEW.geom ISNULL OR ST_IsEmpty(NEW.geom)) BEGIN"
    " DELETE FROM rtree_@_geom WHERE id = OLD.fid; END;"
    "CREATE TRIGGER rtree_@_geom_update3 AFTER UPDATE ON @"
    " WHEN OLD.fid != NEW.fid AND (NEW.geom NOTNULL AND NOT ST_IsEmpty(NEW.geom)) BEGIN"
    " DELETE FROM rtree_@_geom WHERE id = OLD.fid;"
    " INSERT OR REPLACE INTO rtree_@_geom VALUES (NEW.fid,"
    " ST_MinX(NEW.geom), ST_MaxX(NEW.geom), ST_MinY(NEW.geom), ST_MaxY(NEW.geom)); END;"
    "CREATE TRIGGER rtree_@_geom_update4 AFTER UPDATE ON @"
    " WHEN OLD.fid != NEW.fid AND (NEW.geom ISNULL OR ST_IsEmpty(NEW.geom)) BEGIN"
    " DELETE FROM rtree_@_geom WHERE id IN (OLD.fid, NEW.fid); END;"
    "CREATE TRIGGER rtree_@_geom_delete AFTER DELETE ON @ WHEN old.geom NOT NULL BEGIN"
    " DELETE FROM rtree_@_geom WHERE id = OLD.fid; END;";

// Gives `text` with every '@' replaced by the name of the table.
std::string ForTable(const char *text, const std::string &table) {
  std::string out;
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p == '@')
      out += table;
    else
      out += *p;
  }
  return out;
}

// The feature tables dgnhost writes, in the order they are listed.
enum TableIndex { kLines, kPolygons, kTexts, kTableCount };
struct TableInfo {
  const char *name;
  const char *geometryType;
  const char *description;
};
const TableInfo kTables[kTableCount] = {
    {"lines", "LINESTRING", "polylines of the DGN map"},
    {"polygons", "POLYGON", "closed shapes of the DGN map"},
    {"texts", "POINT", "texts of the DGN map, at their origin"},
};

// Gives an SQL identifier in double quotes.
std::string Quoted(const std::string &name) {
  std::string out = "\"";
  for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

}  // namespace

bool GeoPackageBuiltIn() { return true; }

struct GpkgSink::Db {
  sqlite3 *db = nullptr;
  OutputFile &out;
  std::string target;
  GpkgSrs srs;
  bool threeD = false;
  bool ready = false;
  bool failed = false;
  std::string error;  // the first failure
  sqlite3_stmt *insert[kTableCount] = {};
  sqlite3_stmt *envelope[kTableCount] = {};  // into the scratch table of envelopes
  BlobEnvelope extent[kTableCount];
  std::string blob, layer, text;  // reused for every object

  Db(OutputFile &o, const std::string &t) : out(o), target(t) {}
  ~Db() {
    for (int i = 0; i < kTableCount; ++i) {
      sqlite3_finalize(insert[i]);
      sqlite3_finalize(envelope[i]);
    }
    sqlite3_close(db);
  }

  // Notes the first failure (with SQLite's reason).
  void Failed(const char *what) {
    if (!failed) error = std::string(what) + ": " + (db != nullptr ? sqlite3_errmsg(db) : "?");
    failed = true;
  }
  bool Exec(const std::string &sql, const char *what) {
    if (failed) return false;
    char *message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      error = std::string(what) + ": " + (message != nullptr ? message : "?");
      failed = true;
    }
    sqlite3_free(message);
    return !failed;
  }
  bool Prepare(const std::string &sql, sqlite3_stmt **stmt) {
    if (failed) return false;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, stmt, nullptr) != SQLITE_OK)
      Failed("cannot prepare a statement");
    return !failed;
  }

  bool Create();
  // Writes the R-tree of a table whole from the envelopes of its features.
  bool PackRtree(int table);
  int64_t indexed[kTableCount] = {};
  void Insert(int table, const ImportedObject &o, const std::vector<ImportedLayer> &layers,
              const Vertex *points, size_t count);
};

bool GpkgSink::Db::Create() {
  // One thread uses the database: SQLite's locks would only cost.
  if (sqlite3_open_v2(out.TempPath().c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    Failed("cannot open the database");
    return false;
  }
  // A fresh file that takes its place only once whole needs no journal; the
  // output helper makes it durable when it puts it in place.
  Exec(
      "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA locking_mode=EXCLUSIVE;"
      "PRAGMA cache_size=-" +
          std::to_string(kCacheKib) +
          "; PRAGMA application_id=" + std::to_string(kGpkgApplicationId) +
          "; PRAGMA user_version=" + std::to_string(kGpkgUserVersion) + "; BEGIN;",
      "cannot set the database up");
  Exec(kSchema, "cannot make the GeoPackage's tables");
  if (srs.id > 0 && srs.id != 4326) {
    sqlite3_stmt *add = nullptr;
    if (Prepare("INSERT INTO gpkg_spatial_ref_sys VALUES (?, ?, 'EPSG', ?, ?, NULL)", &add)) {
      const std::string name = "EPSG:" + std::to_string(srs.id);
      const std::string &definition = srs.definition.empty() ? "undefined" : srs.definition;
      sqlite3_bind_text(add, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(add, 2, srs.id);
      sqlite3_bind_int(add, 3, srs.id);
      sqlite3_bind_text(add, 4, definition.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(add) != SQLITE_DONE) Failed("cannot record the coordinate system");
    }
    sqlite3_finalize(add);
  }
  const std::string srsId = std::to_string(srs.id);
  for (int i = 0; i < kTableCount && !failed; ++i) {
    const TableInfo &t = kTables[i];
    const std::string name = t.name;
    Exec("CREATE TABLE " + name + " (fid INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, geom " +
             t.geometryType + ", " + kObjectColumns + (i == kTexts ? kTextColumns : "") + ");" +
             "CREATE VIRTUAL TABLE rtree_" + name +
             "_geom USING rtree(id, minx, maxx, miny, maxy);" +
             "INSERT INTO gpkg_contents (table_name, data_type, identifier, description, srs_id)"
             " VALUES ('" +
             name + "', 'features', '" + name + "', '" + t.description + "', " + srsId + ");" +
             "INSERT INTO gpkg_geometry_columns VALUES ('" + name + "', 'geom', '" +
             t.geometryType + "', " + srsId + ", " + (threeD ? "1" : "0") + ", 0);" +
             "INSERT INTO gpkg_extensions VALUES ('" + name +
             "', 'geom', 'gpkg_rtree_index', "
             "'http://www.geopackage.org/spec120/#extension_rtree', 'write-only');",
         "cannot make a feature table");
    Prepare("INSERT INTO " + name + " (geom, elementId, level, layer, color, width, style" +
                (i == kTexts ? ", text, height, rotation, justification) VALUES "
                               "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
                             : ") VALUES (?, ?, ?, ?, ?, ?, ?)"),
            &insert[i]);
    // The envelopes wait in a temporary table until the R-tree is packed.
    if (i == 0)
      Exec("CREATE TEMP TABLE leaves (id INTEGER, nodeno INTEGER)", "cannot make a scratch table");
    Exec("CREATE TEMP TABLE envelopes_" + name +
             " (id INTEGER PRIMARY KEY, minx REAL, maxx REAL, miny REAL, maxy REAL)",
         "cannot make a scratch table");
    Prepare("INSERT INTO temp.envelopes_" + name + " VALUES (?, ?, ?, ?, ?)", &envelope[i]);
  }
  return !failed;
}

void GpkgSink::Db::Insert(int table, const ImportedObject &o,
                          const std::vector<ImportedLayer> &layers, const Vertex *points,
                          size_t count) {
  sqlite3_stmt *s = insert[table];
  BlobEnvelope env;
  const bool withGeometry = table == kTexts ? count >= 1 : count >= 2;
  if (withGeometry) {
    const BlobShape shape = table == kTexts      ? BlobShape::kPoint
                            : table == kPolygons ? BlobShape::kPolygon
                                                 : BlobShape::kLineString;
    env = WriteGeometryBlob(blob, srs.id, shape, points, count, threeD);
    sqlite3_bind_blob(s, 1, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
  } else {
    sqlite3_bind_null(s, 1);  // nothing the format can draw
  }
  sqlite3_bind_int(s, 2, o.elementId);
  sqlite3_bind_int(s, 3, o.level);
  layer = ToUtf8(LayerName(layers, o.level));
  sqlite3_bind_text(s, 4, layer.data(), static_cast<int>(layer.size()), SQLITE_STATIC);
  char color[8];
  *WriteHexColor(color, o.color) = '\0';
  sqlite3_bind_text(s, 5, color, -1, SQLITE_TRANSIENT);
  auto real = [&](int column, float v) {
    if (std::isfinite(v))
      sqlite3_bind_double(s, column, v);
    else
      sqlite3_bind_null(s, column);
  };
  real(6, o.width);
  if (o.style >= 0)
    sqlite3_bind_int(s, 7, o.style);
  else
    sqlite3_bind_null(s, 7);
  if (table == kTexts) {
    text = ToUtf8(o.text);
    sqlite3_bind_text(s, 8, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    real(9, o.height);
    real(10, o.rotation);
    sqlite3_bind_int(s, 11, o.justification);
  }
  const int stepped = sqlite3_step(s);
  sqlite3_reset(s);
  if (stepped != SQLITE_DONE) {
    Failed("cannot add a feature");
    return;
  }
  if (!env.any) return;
  extent[table].Add(env);
  sqlite3_stmt *r = envelope[table];
  sqlite3_bind_int64(r, 1, sqlite3_last_insert_rowid(db));
  sqlite3_bind_double(r, 2, env.minX);
  sqlite3_bind_double(r, 3, env.maxX);
  sqlite3_bind_double(r, 4, env.minY);
  sqlite3_bind_double(r, 5, env.maxY);
  const int kept = sqlite3_step(r);
  sqlite3_reset(r);
  if (kept != SQLITE_DONE) Failed("cannot keep a feature's envelope");
  ++indexed[table];
}

// ---------------------------------------------------------------------------
// The packed R-tree
// ---------------------------------------------------------------------------

namespace {

// Gives the position of (x, y), each from 0 to 65535, along a Hilbert curve:
// boxes near each other on the curve are near each other on the map.
uint64_t HilbertIndex(uint32_t x, uint32_t y) {
  constexpr uint32_t kSide = 1u << 16;
  uint64_t d = 0;
  for (uint32_t s = kSide / 2; s > 0; s /= 2) {
    const uint32_t rx = (x & s) != 0 ? 1 : 0, ry = (y & s) != 0 ? 1 : 0;
    d += static_cast<uint64_t>(s) * s * ((3 * rx) ^ ry);
    if (ry == 0) {
      if (rx == 1) {
        x = kSide - 1 - x;
        y = kSide - 1 - y;
      }
      const uint32_t t = x;
      x = y;
      y = t;
    }
  }
  return d;
}

// SQL function dgn_hilbert(minx + maxx, miny + maxy): the Hilbert index of
// a box's centre within the extent that is the function's user data.
void SqlHilbert(sqlite3_context *c, int, sqlite3_value **v) {
  const BlobEnvelope &e = *static_cast<const BlobEnvelope *>(sqlite3_user_data(c));
  auto cell = [](double twice, double low, double high) {
    const double f = high > low ? (twice / 2 - low) / (high - low) : 0.0;
    return f > 0 ? (f < 1 ? static_cast<uint32_t>(f * 65535.0) : 65535u) : 0u;
  };
  const uint32_t x = cell(sqlite3_value_double(v[0]), e.minX, e.maxX);
  const uint32_t y = cell(sqlite3_value_double(v[1]), e.minY, e.maxY);
  sqlite3_result_int64(c, static_cast<sqlite3_int64>(HilbertIndex(x, y)));
}

// The R-tree keeps 32-bit floats: a lower bound rounded down, an upper up.
float Down(double d) {
  if (!(d >= -3.4e38)) return -INFINITY;
  float f = static_cast<float>(d);
  if (f > d) f = std::nextafter(f, -INFINITY);
  return f;
}
float Up(double d) {
  if (!(d <= 3.4e38)) return INFINITY;
  float f = static_cast<float>(d);
  if (f < d) f = std::nextafter(f, INFINITY);
  return f;
}

// One entry of an R-tree node: a feature (leaves) or a child node, and its box.
struct RtreeCell {
  int64_t id;
  float box[4];  // minx, maxx, miny, maxy
};

// An R-tree node as the R-tree module stores it, in `size` bytes (every node
// of a tree has the size of its root):
//
//   offset  size  field
//   0       2     the tree's depth (root only; 0 for a tree of one leaf)
//   2       2     cells in the node
//   4       24    each cell: its id (8 bytes), minx, maxx, miny, maxy (4
//                 bytes each, 32-bit floats); all big-endian
std::string RtreeNode(const RtreeCell *cells, size_t count, size_t size, int depth) {
  std::string node(size, '\0');
  auto put = [&](size_t at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
      node[at + i] = static_cast<char>((v >> (8 * (bytes - 1 - i))) & 0xFF);
  };
  put(0, static_cast<uint64_t>(depth), 2);
  put(2, count, 2);
  for (size_t i = 0; i < count; ++i) {
    const size_t at = 4 + 24 * i;
    put(at, static_cast<uint64_t>(cells[i].id), 8);
    for (int k = 0; k < 4; ++k) {
      uint32_t bits;
      std::memcpy(&bits, &cells[i].box[k], 4);
      put(at + 8 + 4 * k, bits, 4);
    }
  }
  return node;
}

// The box around a run of cells.
RtreeCell Around(const RtreeCell *cells, size_t count, int64_t id) {
  RtreeCell c{id, {cells[0].box[0], cells[0].box[1], cells[0].box[2], cells[0].box[3]}};
  for (size_t i = 1; i < count; ++i) {
    c.box[0] = std::fmin(c.box[0], cells[i].box[0]);
    c.box[1] = std::fmax(c.box[1], cells[i].box[1]);
    c.box[2] = std::fmin(c.box[2], cells[i].box[2]);
    c.box[3] = std::fmax(c.box[3], cells[i].box[3]);
  }
  return c;
}

// How many cells the node of index `k` among `nodes` gets, `total` cells in
// all: spread evenly, so that no node is nearly empty.
size_t Share(size_t total, size_t nodes, size_t k) {
  return total / nodes + (k < total % nodes ? 1 : 0);
}

}  // namespace

bool GpkgSink::Db::PackRtree(int table) {
  const std::string rtree = std::string("rtree_") + kTables[table].name + "_geom";
  const int64_t n = indexed[table];
  if (failed || n == 0) return !failed;  // the module made the empty root
  sqlite3_stmt *size = nullptr, *rows = nullptr, *node = nullptr, *rowid = nullptr,
               *parent = nullptr;
  size_t nodeSize = 0;
  if (Prepare("SELECT length(data) FROM " + rtree + "_node WHERE nodeno = 1", &size) &&
      sqlite3_step(size) == SQLITE_ROW)
    nodeSize = static_cast<size_t>(sqlite3_column_int(size, 0));
  sqlite3_finalize(size);
  const size_t fanout = nodeSize > 4 ? (nodeSize - 4) / 24 : 0;
  if (fanout < 2) {
    if (!failed) error = "the R-tree module gives nodes of an unknown size";
    failed = true;
    return false;
  }
  sqlite3_create_function(db, "dgn_hilbert", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, &extent[table],
                          SqlHilbert, nullptr, nullptr);
  const bool ready =
      Prepare(std::string("SELECT id, minx, maxx, miny, maxy FROM temp.envelopes_") +
                  kTables[table].name + " ORDER BY dgn_hilbert(minx + maxx, miny + maxy)",
              &rows) &&
      Prepare("INSERT OR REPLACE INTO " + rtree + "_node (nodeno, data) VALUES (?, ?)", &node) &&
      Prepare("INSERT INTO temp.leaves VALUES (?, ?)", &rowid) &&
      Prepare("INSERT INTO " + rtree + "_parent (nodeno, parentnode) VALUES (?, ?)", &parent);
  auto step = [&](sqlite3_stmt *st) {
    if (failed) return;
    if (sqlite3_step(st) != SQLITE_DONE) Failed("cannot write the spatial index");
    sqlite3_reset(st);
  };
  int64_t nextNode = 2;  // node 1 is the root
  auto write = [&](const RtreeCell *cells, size_t count, int64_t nodeno, int depth) {
    const std::string data = RtreeNode(cells, count, nodeSize, depth);
    sqlite3_bind_int64(node, 1, nodeno);
    sqlite3_bind_blob(node, 2, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
    step(node);
  };
  // The leaves, filled in the order of the Hilbert curve; the boxes of the
  // nodes of one level are the cells of the level above.
  std::vector<RtreeCell> level, leaf;
  const size_t total = static_cast<size_t>(n);
  const size_t leaves = (total + fanout - 1) / fanout;
  size_t k = 0;
  int stepped = ready ? SQLITE_ROW : SQLITE_ERROR;
  while (!failed && ready && (stepped = sqlite3_step(rows)) == SQLITE_ROW) {
    RtreeCell c{sqlite3_column_int64(rows, 0),
                {Down(sqlite3_column_double(rows, 1)), Up(sqlite3_column_double(rows, 2)),
                 Down(sqlite3_column_double(rows, 3)), Up(sqlite3_column_double(rows, 4))}};
    leaf.push_back(c);
    if (leaf.size() < Share(total, leaves, k)) continue;
    const int64_t nodeno = leaves == 1 ? 1 : nextNode++;
    write(leaf.data(), leaf.size(), nodeno, 0);
    for (const RtreeCell &e : leaf) {
      sqlite3_bind_int64(rowid, 1, e.id);
      sqlite3_bind_int64(rowid, 2, nodeno);
      step(rowid);
    }
    level.push_back(Around(leaf.data(), leaf.size(), nodeno));
    leaf.clear();
    ++k;
  }
  if (!failed && (stepped != SQLITE_DONE || k != leaves || !leaf.empty()))
    Failed("cannot read the envelopes back");
  // Each feature's leaf goes into the R-tree's table of rows in the order
  // of the ids: in the curve's order every row would land on another page.
  Exec("INSERT INTO " + rtree +
           "_rowid (rowid, nodeno) SELECT id, nodeno FROM temp.leaves "
           "ORDER BY id; DELETE FROM temp.leaves",
       "cannot write the spatial index");
  int depth = 0;
  while (!failed && level.size() > 1) {
    ++depth;
    const size_t count = level.size();
    const size_t nodes = (count + fanout - 1) / fanout;
    std::vector<RtreeCell> above;
    size_t at = 0;
    for (size_t j = 0; j < nodes && !failed; ++j) {
      const size_t take = Share(count, nodes, j);
      const int64_t nodeno = nodes == 1 ? 1 : nextNode++;
      write(&level[at], take, nodeno, nodes == 1 ? depth : 0);
      for (size_t c = at; c < at + take; ++c) {
        sqlite3_bind_int64(parent, 1, level[c].id);
        sqlite3_bind_int64(parent, 2, nodeno);
        step(parent);
      }
      above.push_back(Around(&level[at], take, nodeno));
      at += take;
    }
    level.swap(above);
  }
  for (sqlite3_stmt *st : {rows, node, rowid, parent}) sqlite3_finalize(st);
  return !failed;
}

GpkgSink::GpkgSink(OutputFile &out, const std::string &target, const GpkgSrs &srs, bool threeD)
    : db_(new Db(out, target)) {
  db_->srs = srs;
  db_->threeD = threeD;
  if (out.TempPath().empty()) {
    db_->failed = true;
    db_->error = "a GeoPackage cannot go to standard output";
  } else {
    db_->Create();
  }
  if (db_->failed)
    std::fprintf(stderr, "dgnhost: cannot write %s: %s\n", target.c_str(), db_->error.c_str());
  db_->ready = !db_->failed;
}

GpkgSink::~GpkgSink() = default;

bool GpkgSink::Ready() const { return db_->ready; }

void GpkgSink::Take(const ImportedObject &o, const std::vector<ImportedLayer> &layers) {
  if (db_->failed) return;
  std::vector<Vertex> usable;  // the finite vertices, when a damaged file gave others
  const Vertex *points = o.points.data();
  size_t count = o.points.size();
  if (!AllFinite(o)) {
    usable = UsablePoints(o);
    points = usable.data();
    count = usable.size();
  }
  int table = kLines;
  if (o.kind == 3) {
    table = kTexts;
  } else if (o.kind == 1 && count > 0) {
    // A polygon needs a ring of four vertices, the last its first; one of
    // fewer goes into the lines, as the GeoJSON draws it.
    const Vertex &a = points[0], &b = points[count - 1];
    const bool closed = a.x == b.x && a.y == b.y && a.z == b.z;
    if (count + (closed ? 0 : 1) >= 4) table = kPolygons;
  }
  db_->Insert(table, o, layers, points, count);
}

bool GpkgSink::Finish() {
  Db &d = *db_;
  for (int i = 0; i < kTableCount && !d.failed; ++i) {
    const std::string name = kTables[i].name;
    sqlite3_stmt *s = nullptr;
    if (!d.Prepare("UPDATE gpkg_contents SET min_x = ?, min_y = ?, max_x = ?, max_y = ? "
                   "WHERE table_name = ?",
                   &s))
      break;
    const BlobEnvelope &e = d.extent[i];
    if (e.any) {
      sqlite3_bind_double(s, 1, e.minX);
      sqlite3_bind_double(s, 2, e.minY);
      sqlite3_bind_double(s, 3, e.maxX);
      sqlite3_bind_double(s, 4, e.maxY);
    }
    sqlite3_bind_text(s, 5, name.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(s) != SQLITE_DONE) d.Failed("cannot record a table's extent");
    sqlite3_finalize(s);
    d.PackRtree(i);
    d.Exec(ForTable(kRtreeTriggers, name), "cannot make the spatial index's triggers");
  }
  for (int i = 0; i < kTableCount; ++i) {
    sqlite3_finalize(d.insert[i]);
    sqlite3_finalize(d.envelope[i]);
    d.insert[i] = d.envelope[i] = nullptr;
  }
  d.Exec("COMMIT", "cannot commit the GeoPackage");
  if (d.db != nullptr && sqlite3_close(d.db) != SQLITE_OK) d.Failed("cannot close the database");
  d.db = nullptr;
  if (d.failed) {
    std::fprintf(stderr, "dgnhost: cannot write %s: %s\n", d.target.c_str(), d.error.c_str());
    d.out.Fail();
  }
  return !d.failed;
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

namespace {

int32_t ToInt32(double v) {
  if (!std::isfinite(v)) return 0;
  if (v >= 2147483647.0) return 2147483647;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// The columns dgnhost takes by name from a feature table, after its geometry.
enum Column {
  kLevel,
  kColor,
  kWidth,
  kStyle,
  kElementId,
  kText,
  kHeight,
  kRotation,
  kJustification,
  kColumnCount
};
const char *const kColumnNames[kColumnCount] = {
    "level", "color", "width", "style", "elementId", "text", "height", "rotation", "justification"};

bool IsNumber(sqlite3_stmt *s, int column) {
  const int t = sqlite3_column_type(s, column);
  return t == SQLITE_INTEGER || t == SQLITE_FLOAT;
}

// Reads the DGN attributes of a row (its columns from 1 on, in Column
// order); a value of the wrong form is named in `warning`.
GeoStyle ReadRowStyle(sqlite3_stmt *s, std::string &warning) {
  GeoStyle st;
  auto number = [&](Column c, const char *complaint, auto set) {
    const int at = 1 + c;
    if (IsNumber(s, at))
      set(sqlite3_column_double(s, at));
    else if (sqlite3_column_type(s, at) != SQLITE_NULL)
      warning += complaint;
  };
  number(kLevel, " level is not a number;", [&](double d) { st.level = ToInt32(d); });
  const int color = 1 + kColor;
  if (sqlite3_column_type(s, color) == SQLITE_TEXT) {
    const char *text = reinterpret_cast<const char *>(sqlite3_column_text(s, color));
    if (!ParseColor(text != nullptr ? text : "", st.color)) warning += " color is not \"#rrggbb\";";
  } else if (sqlite3_column_type(s, color) == SQLITE_INTEGER) {
    st.color = ToInt32(static_cast<double>(sqlite3_column_int64(s, color)));
  } else if (sqlite3_column_type(s, color) != SQLITE_NULL) {
    warning += " color is not \"#rrggbb\";";
  }
  number(kWidth, " width is not a number;", [&](double d) { st.width = static_cast<float>(d); });
  number(kStyle, " style is not a number;", [&](double d) { st.style = ToInt32(d); });
  number(kElementId, " elementId is not a number;", [&](double d) { st.elementId = ToInt32(d); });
  return st;
}

// One open GeoPackage being read.
class GpkgReader {
 public:
  GpkgReader(const std::string &path, bool texts, bool check,
             const std::function<void(const GeoFeature &)> &take, GeoCollection &out)
      : path_(path), texts_(texts), check_(check), take_(take), out_(out) {}
  ~GpkgReader() { sqlite3_close(db_); }

  bool Read();

 private:
  bool Refuse(const std::string &why) {
    std::fprintf(stderr, "dgnhost: %s is not a GeoPackage: %s\n", path_.c_str(), why.c_str());
    return false;
  }
  bool Broken() {
    std::fprintf(stderr, "dgnhost: cannot read %s: %s\n", path_.c_str(), sqlite3_errmsg(db_));
    return false;
  }
  bool Table(const std::string &table, const std::string &geometry);
  bool Row(sqlite3_stmt *s, const std::string &table);

  const std::string &path_;
  const bool texts_, check_;
  const std::function<void(const GeoFeature &)> &take_;
  GeoCollection &out_;
  sqlite3 *db_ = nullptr;
  int index_ = -1;  // features of all tables, for messages
  BlobGeometry geometry_;
  GeoFeature feature_;
};

bool GpkgReader::Read() {
  if (!LooksLikeSqlite(path_)) return Refuse("not an SQLite database");
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
    return Broken();
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db_, "PRAGMA application_id", -1, &s, nullptr) != SQLITE_OK)
    return Broken();
  const int32_t id = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int(s, 0) : 0;
  sqlite3_finalize(s);
  if (id != kGpkgApplicationId && id != kGp10ApplicationId && id != kGp11ApplicationId)
    return Refuse("its application_id is not that of a GeoPackage");
  if (sqlite3_prepare_v2(db_,
                         "SELECT g.table_name, g.column_name FROM gpkg_geometry_columns g "
                         "JOIN gpkg_contents c ON c.table_name = g.table_name "
                         "WHERE c.data_type = 'features' ORDER BY g.rowid",
                         -1, &s, nullptr) != SQLITE_OK)
    return Refuse(std::string("it has no feature tables listed (") + sqlite3_errmsg(db_) + ")");
  std::vector<std::pair<std::string, std::string> > tables;
  int step;
  while ((step = sqlite3_step(s)) == SQLITE_ROW) {
    const unsigned char *t = sqlite3_column_text(s, 0), *c = sqlite3_column_text(s, 1);
    if (t != nullptr && c != nullptr)
      tables.emplace_back(reinterpret_cast<const char *>(t), reinterpret_cast<const char *>(c));
  }
  sqlite3_finalize(s);
  if (step != SQLITE_DONE) return Broken();
  for (const auto &t : tables)
    if (!Table(t.first, t.second)) return false;
  return true;
}

bool GpkgReader::Table(const std::string &table, const std::string &geometry) {
  // The columns it has of those dgnhost knows, matched as SQL matches names.
  std::vector<bool> has(kColumnCount, false);
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db_, ("PRAGMA table_info(" + Quoted(table) + ")").c_str(), -1, &s,
                         nullptr) != SQLITE_OK)
    return Broken();
  while (sqlite3_step(s) == SQLITE_ROW) {
    const unsigned char *name = sqlite3_column_text(s, 1);
    for (int c = 0; c < kColumnCount && name != nullptr; ++c)
      has[c] =
          has[c] || sqlite3_stricmp(reinterpret_cast<const char *>(name), kColumnNames[c]) == 0;
  }
  sqlite3_finalize(s);
  std::string sql = "SELECT " + Quoted(geometry);
  for (int c = 0; c < kColumnCount; ++c) sql += has[c] ? ", " + Quoted(kColumnNames[c]) : ", NULL";
  sql += " FROM " + Quoted(table);
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "dgnhost: %s: cannot read table %s: %s\n", path_.c_str(), table.c_str(),
                 sqlite3_errmsg(db_));
    return false;
  }
  int step;
  bool ok = true;
  while (ok && (step = sqlite3_step(s)) == SQLITE_ROW) ok = Row(s, table);
  if (ok && step != SQLITE_DONE) ok = Broken();
  sqlite3_finalize(s);
  return ok;
}

bool GpkgReader::Row(sqlite3_stmt *s, const std::string &table) {
  ++index_;
  const int type = sqlite3_column_type(s, 0);
  if (type == SQLITE_NULL) {
    ++out_.skipped;
    return true;
  }
  std::string error = "its geometry is not a blob";
  if (type != SQLITE_BLOB ||
      !ReadGeometryBlob(static_cast<const unsigned char *>(sqlite3_column_blob(s, 0)),
                        static_cast<size_t>(sqlite3_column_bytes(s, 0)), geometry_, error)) {
    std::fprintf(stderr, "dgnhost: %s: table %s, feature %d: %s\n", path_.c_str(), table.c_str(),
                 index_, error.c_str());
    return false;
  }
  feature_.parts.clear();
  const bool text =
      texts_ && !geometry_.points.empty() && sqlite3_column_type(s, 1 + kText) == SQLITE_TEXT;
  if (text) {
    // A text goes before whatever lines the feature has.
    GeoPart part;
    part.kind = 3;
    const Vertex &v = geometry_.points[0];
    part.points.push_back(HostPoint(v.x, v.y, v.z));
    part.text = ToHostCodePage(reinterpret_cast<const char *>(sqlite3_column_text(s, 1 + kText)));
    part.textInfo.size = 20;
    auto number = [&](Column c, double fallback) {
      return IsNumber(s, 1 + c) ? sqlite3_column_double(s, 1 + c) : fallback;
    };
    part.textInfo.height = static_cast<float>(number(kHeight, 1.0));
    part.textInfo.rotation = static_cast<float>(number(kRotation, 0.0));
    part.textInfo.justification = ToInt32(number(kJustification, 0.0));
    feature_.parts.push_back(std::move(part));
  }
  if (!geometry_.lineOrArea && !text) {
    ++out_.skipped;
    return true;
  }
  for (const BlobPart &b : geometry_.parts) {
    feature_.parts.emplace_back();
    GeoPart &part = feature_.parts.back();
    part.kind = b.area ? 1 : 0;
    part.hole = b.hole;
    part.points.reserve(b.points.size());
    for (const Vertex &v : b.points) part.points.push_back(HostPoint(v.x, v.y, v.z));
  }
  std::string warning;
  feature_.index = index_;
  feature_.style = ReadRowStyle(s, warning);
  if (check_ && !warning.empty())
    std::fprintf(stderr, "dgnhost: %s: table %s, feature %d: property ignored:%s\n", path_.c_str(),
                 table.c_str(), index_, warning.c_str());
  ++out_.features;
  if (take_) take_(feature_);
  return true;
}

}  // namespace

bool ReadGeoPackage(const std::string &path, bool texts, bool check,
                    const std::function<void(const GeoFeature &)> &take, GeoCollection &out) {
  out = GeoCollection();
  GpkgReader reader(path, texts, check, take, out);
  return reader.Read();
}

#endif  // DGNHOST_GPKG
