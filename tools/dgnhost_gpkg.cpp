// dgnhost's GeoPackage (dgnhost_gpkg.h), on SQLite.
#include "dgnhost_gpkg.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "dgnhost_gpkgblob.h"
#include "dgnhost_gpkgtree.h"
#include "dgnhost_workers.h"

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
GpkgSink::GpkgSink(OutputFile &, const std::string &, const GpkgSrs &, bool, unsigned) {}
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

namespace {

// Rows bound into one insert statement at most: running a statement costs
// as much as writing several rows, so rows go in groups.
constexpr size_t kRowsPerInsert = 256;
// Boxes of a table's features held in memory for its R-tree (24 bytes
// each); beyond them they wait in a scratch file.
constexpr size_t kBoxesInMemory = size_t{1} << 18;
// The database's page size: on 32 KiB pages nearly every line's blob fits
// in its row, where 4 KiB pages send the longer ones to overflow pages.
constexpr int kPageSize = 32768;

// Inserts rows into one table in groups: kRowsPerInsert rows (or fewer,
// when SQLite takes fewer values in a statement) with one statement, and
// what is left in pieces of 128, 64, ... 1 rows, each statement prepared
// once when first needed.
class GroupInsert {
 public:
  GroupInsert() = default;
  GroupInsert(const GroupInsert &) = delete;
  GroupInsert &operator=(const GroupInsert &) = delete;
  ~GroupInsert() { Clear(); }

  // `head` is "INSERT INTO t (columns) VALUES ", each row `columns` values.
  void Init(sqlite3 *db, const std::string &head, int columns) {
    db_ = db;
    head_ = head;
    columns_ = columns;
    const int values = sqlite3_limit(db, SQLITE_LIMIT_VARIABLE_NUMBER, -1);
    most_ = kRowsPerInsert;
    while (most_ > 1 && most_ * static_cast<size_t>(columns) > static_cast<size_t>(values))
      most_ /= 2;
  }
  // Gives the most rows a statement takes.
  size_t most() const { return most_; }
  // Inserts `rows` rows; bind(s, at, row) binds the values of row `row`
  // from parameter at + 1 on.  Gives false when a statement could not be
  // prepared or run (sqlite3_errmsg says why).
  template <class Bind>
  bool Insert(size_t rows, Bind bind) {
    for (size_t done = 0; done < rows;) {
      int k = 0;
      while ((most_ >> k) > rows - done) ++k;
      sqlite3_stmt *s = For(k);
      if (s == nullptr) return false;
      const size_t n = most_ >> k;
      for (size_t r = 0; r < n; ++r) bind(s, static_cast<int>(r) * columns_, done + r);
      const int stepped = sqlite3_step(s);
      sqlite3_reset(s);
      if (stepped != SQLITE_DONE) return false;
      done += n;
    }
    return true;
  }
  // Finalizes every statement.
  void Clear() {
    for (sqlite3_stmt *&s : statements_) {
      sqlite3_finalize(s);
      s = nullptr;
    }
  }

 private:
  // Gives the statement for most_ >> k rows, or null.
  sqlite3_stmt *For(int k) {
    sqlite3_stmt *&s = statements_[k];
    if (s == nullptr) {
      std::string group = "(?";
      for (int c = 1; c < columns_; ++c) group += ",?";
      group += ")";
      std::string sql = head_;
      for (size_t r = 0; r < most_ >> k; ++r) sql += (r == 0 ? "" : ",") + group;
      if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) s = nullptr;
    }
    return s;
  }

  sqlite3 *db_ = nullptr;
  std::string head_;
  int columns_ = 0;
  size_t most_ = kRowsPerInsert;
  sqlite3_stmt *statements_[16] = {};  // for most_, most_ / 2, ... 1 rows
};

}  // namespace

bool GeoPackageBuiltIn() { return true; }

struct GpkgSink::Db {
  // A run of the import's objects, made ready on the import's thread (the
  // geometry blob, texts in UTF-8, the colour) and written into the
  // database on the writer's, while the import goes on.
  struct Batch {
    static constexpr size_t kRows = 4096;
    static constexpr size_t kBytes = size_t{1} << 20;
    struct Row {
      int table = 0;
      bool geometry = false;  // false: NULL (nothing the format can draw)
      size_t blobAt = 0, blobSize = 0, layerAt = 0, layerSize = 0, textAt = 0, textSize = 0;
      int32_t elementId = 0, level = 0, style = 0, justification = 0;
      float width = 0, height = 0, rotation = 0;
      char color[8] = {};
      BlobEnvelope envelope;
    };
    Db *db = nullptr;
    std::vector<Row> rows;
    std::string bytes;  // the rows' blobs, layer names and texts

    bool Full() const { return rows.size() >= kRows || bytes.size() >= kBytes; }
    void Clear() {
      rows.clear();
      bytes.clear();
    }
    // Writes the rows (the workers' name for a job's work; no text comes of it).
    void Format(TextBuffer &, TextSpill &) const { db->Write(*this); }
  };

  sqlite3 *db = nullptr;
  OutputFile &out;
  std::string target;
  GpkgSrs srs;
  bool threeD = false;
  bool ready = false;
  // The writer's state: its thread's alone while the import runs.
  bool failed = false;
  std::string error;  // the first failure
  GroupInsert insert[kTableCount];
  int64_t lastFid[kTableCount] = {};
  BlobEnvelope extent[kTableCount];
  std::unique_ptr<HilbertBoxes> boxes[kTableCount];
  std::vector<std::unique_ptr<SpillFile>> scratch;
  PlatMonitor scratchLock;
  unsigned threads = 0;  // helper threads allowed
  std::vector<const Batch::Row *> group;
  // The import's thread.
  std::unique_ptr<OrderedWorkers<Batch>> workers;

  Db(OutputFile &o, const std::string &t) : out(o), target(t) {}
  ~Db() {
    workers.reset();
    for (GroupInsert &g : insert) g.Clear();
    sqlite3_close(db);
  }

  // Notes the first failure.
  void Fail(const std::string &why) {
    if (!failed) error = why;
    failed = true;
  }
  // Notes the first failure with SQLite's reason.
  void Failed(const char *what) {
    Fail(std::string(what) + ": " + (db != nullptr ? sqlite3_errmsg(db) : "?"));
  }
  bool Exec(const std::string &sql, const char *what) {
    if (failed) return false;
    char *message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK)
      Fail(std::string(what) + ": " + (message != nullptr ? message : "?"));
    sqlite3_free(message);
    return !failed;
  }
  bool Prepare(const std::string &sql, sqlite3_stmt **stmt) {
    if (failed) return false;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, stmt, nullptr) != SQLITE_OK)
      Failed("cannot prepare a statement");
    return !failed;
  }
  // Opens a scratch file beside the GeoPackage for the R-tree's boxes (on
  // any thread).
  FILE *Scratch() {
    PlatMonitorLock lock(scratchLock);
    std::unique_ptr<SpillFile> f(new SpillFile);
    if (!f->Open(target, "boxes")) return nullptr;
    scratch.push_back(std::move(f));
    return scratch.back()->file();
  }

  bool Create(unsigned helpers);
  // Writes a batch's rows, table by table, in groups.
  void Write(const Batch &b);
  void InsertGroup(int table, const Batch &b);
  // Writes the R-tree of a table whole from the boxes of its features.
  bool PackRtree(int table);
};

bool GpkgSink::Db::Create(unsigned helpers) {
  // One thread at a time uses the database: SQLite's locks would only cost.
  if (sqlite3_open_v2(out.TempPath().c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    Failed("cannot open the database");
    return false;
  }
  // A fresh file that takes its place only once whole needs no journal; the
  // output helper makes it durable when it puts it in place.
  Exec("PRAGMA page_size=" + std::to_string(kPageSize) +
           "; PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA locking_mode=EXCLUSIVE;"
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
    insert[i].Init(db,
                   "INSERT INTO " + name +
                       " (fid, geom, elementId, level, layer, color, width, style" +
                       (i == kTexts ? ", text, height, rotation, justification" : "") + ") VALUES ",
                   i == kTexts ? 12 : 8);
    boxes[i].reset(new HilbertBoxes(kBoxesInMemory, [this] { return Scratch(); }));
  }
  // The rows are written on a thread of their own, at most one: one
  // connection writes the database.
  threads = helpers;
  if (!failed) workers.reset(new OrderedWorkers<Batch>(out, threads > 0 ? 1 : 0));
  return !failed;
}

void GpkgSink::Db::Write(const Batch &b) {
  for (int t = 0; t < kTableCount && !failed; ++t) {
    group.clear();
    for (const Batch::Row &r : b.rows) {
      if (r.table != t) continue;
      group.push_back(&r);
      if (group.size() == insert[t].most()) InsertGroup(t, b);
    }
    if (!group.empty()) InsertGroup(t, b);
  }
}

void GpkgSink::Db::InsertGroup(int table, const Batch &b) {
  const size_t rows = group.size();
  // Each feature's id is the next of its table: the R-tree names it.
  const int64_t first = lastFid[table] + 1;
  if (failed || lastFid[table] + static_cast<int64_t>(rows) > int64_t{UINT32_MAX}) {
    Fail("more features than a table's index can name");
    group.clear();
    return;
  }
  const bool added = insert[table].Insert(rows, [&](sqlite3_stmt *s, int c, size_t r) {
    auto real = [&](int column, float v) {
      if (std::isfinite(v))
        sqlite3_bind_double(s, column, v);
      else
        sqlite3_bind_null(s, column);
    };
    auto text = [&](int column, size_t at, size_t size) {
      sqlite3_bind_text(s, column, b.bytes.data() + at, static_cast<int>(size), SQLITE_STATIC);
    };
    const Batch::Row &row = *group[r];
    sqlite3_bind_int64(s, c + 1, first + static_cast<int64_t>(r));
    if (row.geometry)
      sqlite3_bind_blob(s, c + 2, b.bytes.data() + row.blobAt, static_cast<int>(row.blobSize),
                        SQLITE_STATIC);
    else
      sqlite3_bind_null(s, c + 2);
    sqlite3_bind_int(s, c + 3, row.elementId);
    sqlite3_bind_int(s, c + 4, row.level);
    text(c + 5, row.layerAt, row.layerSize);
    sqlite3_bind_text(s, c + 6, row.color, -1, SQLITE_STATIC);
    real(c + 7, row.width);
    if (row.style >= 0)
      sqlite3_bind_int(s, c + 8, row.style);
    else
      sqlite3_bind_null(s, c + 8);
    if (table == kTexts) {
      text(c + 9, row.textAt, row.textSize);
      real(c + 10, row.height);
      real(c + 11, row.rotation);
      sqlite3_bind_int(s, c + 12, row.justification);
    }
  });
  if (!added) {
    Failed("cannot add a feature");
    group.clear();
    return;
  }
  lastFid[table] += static_cast<int64_t>(rows);
  for (size_t r = 0; r < rows; ++r) {
    const BlobEnvelope &e = group[r]->envelope;
    if (!e.any) continue;
    extent[table].Add(e);
    float box[4];
    RtreeBox(e, box);
    boxes[table]->Add(static_cast<uint32_t>(first + static_cast<int64_t>(r)), box);
  }
  group.clear();
}

bool GpkgSink::Db::PackRtree(int table) {
  const std::string rtree = std::string("rtree_") + kTables[table].name + "_geom";
  HilbertBoxes &cells = *boxes[table];
  const uint64_t n = cells.size();
  if (failed || n == 0) return !failed;  // the module made the empty root
  sqlite3_stmt *size = nullptr, *node = nullptr, *parent = nullptr;
  size_t nodeSize = 0;
  if (Prepare("SELECT length(data) FROM " + rtree + "_node WHERE nodeno = 1", &size) &&
      sqlite3_step(size) == SQLITE_ROW)
    nodeSize = static_cast<size_t>(sqlite3_column_int(size, 0));
  sqlite3_finalize(size);
  const size_t fanout = nodeSize > 4 ? (nodeSize - 4) / 24 : 0;
  if (fanout < 2) {
    Fail("the R-tree module gives nodes of an unknown size");
    return false;
  }
  if (!cells.Sort()) Fail("cannot sort the boxes of the spatial index in its scratch files");
  const bool ready =
      Prepare("INSERT OR REPLACE INTO " + rtree + "_node (nodeno, data) VALUES (?, ?)", &node) &&
      Prepare("INSERT INTO " + rtree + "_parent (nodeno, parentnode) VALUES (?, ?)", &parent);
  auto step = [&](sqlite3_stmt *st) {
    if (failed) return;
    if (sqlite3_step(st) != SQLITE_DONE) Failed("cannot write the spatial index");
    sqlite3_reset(st);
  };
  int64_t nextNode = 2;  // node 1 is the root
  auto write = [&](const RtreeCell *c, size_t count, int64_t nodeno, int depth) {
    const std::string data = RtreeNode(c, count, nodeSize, depth);
    sqlite3_bind_int64(node, 1, nodeno);
    sqlite3_bind_blob(node, 2, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
    step(node);
  };
  // The leaves, filled in the order of the Hilbert curve; the boxes of the
  // nodes of one level are the cells of the level above.  Each feature's
  // leaf is noted by its id, for the R-tree's table of rows.
  std::vector<uint32_t> leafOf(static_cast<size_t>(lastFid[table]), 0);
  std::vector<RtreeCell> level, leaf;
  const size_t total = static_cast<size_t>(n);
  const size_t leaves = (total + fanout - 1) / fanout;
  size_t k = 0;
  RtreeCell c;
  while (!failed && ready && cells.Next(c)) {
    if (c.id < 1 || c.id > lastFid[table]) break;  // not a box this table gave
    leaf.push_back(c);
    if (leaf.size() < RtreeShare(total, leaves, k)) continue;
    const int64_t nodeno = leaves == 1 ? 1 : nextNode++;
    write(leaf.data(), leaf.size(), nodeno, 0);
    for (const RtreeCell &e : leaf)
      leafOf[static_cast<size_t>(e.id - 1)] = static_cast<uint32_t>(nodeno);
    level.push_back(RtreeAround(leaf.data(), leaf.size(), nodeno));
    leaf.clear();
    ++k;
  }
  if (!failed && (cells.Failed() || k != leaves || !leaf.empty()))
    Fail("cannot read the boxes of the spatial index back from its scratch files");
  // The table of rows in the order of the ids: each row lands after the last.
  GroupInsert rowid;
  rowid.Init(db, "INSERT INTO " + rtree + "_rowid (rowid, nodeno) VALUES ", 2);
  std::vector<uint32_t> ids;  // of features with geometry, a group at a time
  auto insertIds = [&] {
    if (!failed && !rowid.Insert(ids.size(), [&](sqlite3_stmt *s, int at, size_t r) {
          sqlite3_bind_int64(s, at + 1, int64_t{ids[r]} + 1);
          sqlite3_bind_int64(s, at + 2, leafOf[ids[r]]);
        }))
      Failed("cannot write the spatial index");
    ids.clear();
  };
  for (size_t id = 0; id < leafOf.size() && !failed; ++id) {
    if (leafOf[id] == 0) continue;  // a feature without geometry
    ids.push_back(static_cast<uint32_t>(id));
    if (ids.size() == rowid.most()) insertIds();
  }
  insertIds();
  std::vector<uint32_t>().swap(leafOf);
  int depth = 0;
  while (!failed && level.size() > 1) {
    ++depth;
    const size_t count = level.size();
    const size_t nodes = (count + fanout - 1) / fanout;
    std::vector<RtreeCell> above;
    size_t at = 0;
    for (size_t j = 0; j < nodes && !failed; ++j) {
      const size_t take = RtreeShare(count, nodes, j);
      const int64_t nodeno = nodes == 1 ? 1 : nextNode++;
      write(&level[at], take, nodeno, nodes == 1 ? depth : 0);
      for (size_t e = at; e < at + take; ++e) {
        sqlite3_bind_int64(parent, 1, level[e].id);
        sqlite3_bind_int64(parent, 2, nodeno);
        step(parent);
      }
      above.push_back(RtreeAround(&level[at], take, nodeno));
      at += take;
    }
    level.swap(above);
  }
  for (sqlite3_stmt *st : {node, parent}) sqlite3_finalize(st);
  return !failed;
}

GpkgSink::GpkgSink(OutputFile &out, const std::string &target, const GpkgSrs &srs, bool threeD,
                   unsigned threads)
    : db_(new Db(out, target)) {
  db_->srs = srs;
  db_->threeD = threeD;
  if (out.TempPath().empty())
    db_->Fail("a GeoPackage cannot go to standard output");
  else
    db_->Create(threads);
  if (db_->failed)
    std::fprintf(stderr, "dgnhost: cannot write %s: %s\n", target.c_str(), db_->error.c_str());
  db_->ready = !db_->failed;
}

GpkgSink::~GpkgSink() = default;

bool GpkgSink::Ready() const { return db_->ready; }

void GpkgSink::Take(const ImportedObject &o, const std::vector<ImportedLayer> &layers) {
  Db &d = *db_;
  if (!d.ready) return;
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
  Db::Batch &batch = d.workers->Current();
  batch.db = &d;
  batch.rows.emplace_back();
  Db::Batch::Row &r = batch.rows.back();
  r.table = table;
  r.geometry = table == kTexts ? count >= 1 : count >= 2;
  if (r.geometry) {
    const BlobShape shape = table == kTexts      ? BlobShape::kPoint
                            : table == kPolygons ? BlobShape::kPolygon
                                                 : BlobShape::kLineString;
    r.blobAt = batch.bytes.size();
    r.envelope = AppendGeometryBlob(batch.bytes, d.srs.id, shape, points, count, d.threeD);
    r.blobSize = batch.bytes.size() - r.blobAt;
  }
  r.elementId = o.elementId;
  r.level = o.level;
  r.layerAt = batch.bytes.size();
  batch.bytes += ToUtf8(LayerName(layers, o.level));
  r.layerSize = batch.bytes.size() - r.layerAt;
  *WriteHexColor(r.color, o.color) = '\0';
  r.width = o.width;
  r.style = o.style;
  if (table == kTexts) {
    r.textAt = batch.bytes.size();
    batch.bytes += ToUtf8(o.text);
    r.textSize = batch.bytes.size() - r.textAt;
    r.height = o.height;
    r.rotation = o.rotation;
    r.justification = o.justification;
  }
  if (batch.Full()) d.workers->Hand();
}

bool GpkgSink::Finish() {
  Db &d = *db_;
  if (d.workers) {
    if (!d.workers->Current().rows.empty()) d.workers->Hand();
    d.workers->Finish();
    if (d.workers->Failed()) d.Fail("out of memory while writing the features");
    d.workers.reset();
  }
  // The R-trees are packed from the smallest table to the largest; the
  // largest table's boxes are sorted on a helper thread meanwhile (sorting
  // needs no database).
  int order[kTableCount] = {kLines, kPolygons, kTexts};
  auto boxes = [&](int t) { return d.boxes[t] ? d.boxes[t]->size() : 0; };
  std::stable_sort(order, order + kTableCount, [&](int a, int b) { return boxes(a) < boxes(b); });
  const int largest = order[kTableCount - 1];
  PlatThread sorter;  // when it cannot start, PackRtree sorts them itself
  if (d.threads > 0 && !d.failed)
    sorter.Start([](void *b) { static_cast<HilbertBoxes *>(b)->Sort(); }, d.boxes[largest].get());
  for (int i : order) {
    if (d.failed) break;
    if (i == largest) sorter.Join();
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
    d.boxes[i].reset();
    d.Exec(ForTable(kRtreeTriggers, name), "cannot make the spatial index's triggers");
  }
  sorter.Join();
  for (GroupInsert &g : d.insert) g.Clear();
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
  std::vector<std::pair<std::string, std::string>> tables;
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
