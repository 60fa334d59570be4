// dgnseed: makes a seed design file from a text recipe.
//
//   dgnseed RECIPE OUTPUT.dgn
//
// A seed file is what map creation copies into every new file: a TCB that
// gives the dimension, the units, the global origin and the views, and the
// elements after it.  The recipe is a list of "key value..." lines ('#'
// starts a comment):
//
//   dimension 2|3
//   master_units NAME            two characters at most ("m", "dg")
//   sub_units NAME               two characters at most ("cm", "sc")
//   subunits_per_master N        sub-units per master unit (> 0)
//   uor_per_subunit N            design units per sub-unit (> 0)
//   global_origin X Y Z          master units
//   view_origin X Y Z            lower corner of what the views show, master units
//   view_size X Y Z              size of what the views show, master units
//   element color_table          a colour table (type 5, level 1) of the built-in colours
//   element level_symbology      an all-zero level symbology element (type 10)
//
// After writing, the file is opened again with the engine and its TCB is
// checked against the recipe.
//
// Exit status: 0 written, 1 the file cannot be written or does not read back,
// 2 usage or recipe error.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cpl_error.h"
#include "dgn_bytes.h"
#include "dgnmodel.h"

namespace {

using Bytes = std::vector<unsigned char>;

// TCB layout (bytes from the start of the element; see also dgn_bytes.h).
constexpr int kTcbBytes = 1536;            // a complete TCB: 766 words to follow
constexpr int kViewFlags = 0;              // view-relative: word
constexpr int kViewLevels = 2;             // 8 bytes: one bit per level
constexpr int kViewOrigin = 10;            // three int32, design units
constexpr int kViewDelta = 22;             // three int32, design units
constexpr int kViewRotation = 34;          // nine D-floats
constexpr int kViewConversion = 106;       // D-float
constexpr int kColorTableBytes = 806;      // screen flag, colour 255, colours 0..254
constexpr int kLevelSymbologyBytes = 164;  // header, 32 bytes, one word per level

struct Recipe {
  int dimension = 0;
  std::string master_units;
  std::string sub_units;
  long subunits_per_master = 0;
  long uor_per_subunit = 0;
  double global_origin[3] = {0, 0, 0};
  double view_origin[3] = {0, 0, 0};
  double view_size[3] = {0, 0, 0};
  std::vector<std::string> elements;
};

void PutDFloat(unsigned char *p, double value) {
  std::memcpy(p, &value, 8);
  DGNDoubleToDFloat(p);
}

bool Fail(const std::string &where, const std::string &what) {
  std::fprintf(stderr, "dgnseed: %s: %s\n", where.c_str(), what.c_str());
  return false;
}

bool ReadNumbers(std::istringstream &in, double *out, int count) {
  for (int i = 0; i < count; ++i) {
    if (!(in >> out[i]) || !std::isfinite(out[i])) return false;
  }
  return true;
}

bool ParseRecipe(const std::string &path, Recipe *r) {
  std::ifstream file(path);
  if (!file) return Fail(path, "cannot read the recipe");
  std::string line;
  int number = 0;
  while (std::getline(file, line)) {
    ++number;
    const std::string where = path + ":" + std::to_string(number);
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream in(line);
    std::string key;
    if (!(in >> key)) continue;
    bool ok = true;
    if (key == "dimension") {
      ok = static_cast<bool>(in >> r->dimension) && (r->dimension == 2 || r->dimension == 3);
    } else if (key == "master_units") {
      ok = static_cast<bool>(in >> r->master_units) && r->master_units.size() <= 2;
    } else if (key == "sub_units") {
      ok = static_cast<bool>(in >> r->sub_units) && r->sub_units.size() <= 2;
    } else if (key == "subunits_per_master") {
      ok = static_cast<bool>(in >> r->subunits_per_master) && r->subunits_per_master > 0;
    } else if (key == "uor_per_subunit") {
      ok = static_cast<bool>(in >> r->uor_per_subunit) && r->uor_per_subunit > 0;
    } else if (key == "global_origin") {
      ok = ReadNumbers(in, r->global_origin, 3);
    } else if (key == "view_origin") {
      ok = ReadNumbers(in, r->view_origin, 3);
    } else if (key == "view_size") {
      ok = ReadNumbers(in, r->view_size, 3);
    } else if (key == "element") {
      std::string kind;
      ok = static_cast<bool>(in >> kind) && (kind == "color_table" || kind == "level_symbology");
      if (ok) r->elements.push_back(kind);
    } else {
      return Fail(where, "unknown key \"" + key + "\"");
    }
    std::string extra;
    if (!ok || (in >> extra)) return Fail(where, "bad value for \"" + key + "\"");
  }
  if (r->dimension == 0 || r->master_units.empty() || r->sub_units.empty() ||
      r->subunits_per_master == 0 || r->uor_per_subunit == 0) {
    return Fail(path,
                "dimension, master_units, sub_units, subunits_per_master and "
                "uor_per_subunit are required");
  }
  const double per_master =
      static_cast<double>(r->subunits_per_master) * static_cast<double>(r->uor_per_subunit);
  if (per_master > 2147483647.0) return Fail(path, "more than 2^31 design units per master unit");
  return true;
}

// Master units to a design coordinate; false if off the design plane.
bool ToDesign(const Recipe &r, double master, double origin, int32_t *out) {
  const double per_master =
      static_cast<double>(r.subunits_per_master) * static_cast<double>(r.uor_per_subunit);
  const double v = std::round((master + origin) * per_master);
  if (!(v >= -2147483647.0 && v <= 2147483647.0)) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

// Element header: level byte, type byte, words to follow.
void PutHeader(Bytes &e, unsigned char level_byte, int type) {
  e[dgnraw::kLevelByte] = level_byte;
  e[dgnraw::kTypeByte] = static_cast<unsigned char>(type);
  dgnraw::put_word(&e[dgnraw::kWordsToFollow], static_cast<unsigned>(e.size() / 2 - 2));
}

bool BuildTcb(const Recipe &r, Bytes *out) {
  Bytes e(kTcbBytes, 0);
  // Level 8; a 3D file also sets bits 6 and 7 of the level byte (C8).
  PutHeader(e, r.dimension == 3 ? 0xC8 : 0x08, DGNTYPE_TCB);
  dgnraw::put_int32(&e[dgnraw::kTcbSubunitsPerMaster],
                    static_cast<uint32_t>(r.subunits_per_master));
  dgnraw::put_int32(&e[dgnraw::kTcbUorPerSubunit], static_cast<uint32_t>(r.uor_per_subunit));
  for (size_t i = 0; i < r.master_units.size(); ++i) {
    e[dgnraw::kTcbMasterUnits + i] = static_cast<unsigned char>(r.master_units[i]);
  }
  for (size_t i = 0; i < r.sub_units.size(); ++i) {
    e[dgnraw::kTcbSubUnits + i] = static_cast<unsigned char>(r.sub_units[i]);
  }
  if (r.dimension == 3) e[dgnraw::kTcbFlags] |= dgnraw::kTcbFlag3D;

  const double per_master =
      static_cast<double>(r.subunits_per_master) * static_cast<double>(r.uor_per_subunit);
  PutDFloat(&e[dgnraw::kTcbOriginX], r.global_origin[0] * per_master);
  PutDFloat(&e[dgnraw::kTcbOriginY], r.global_origin[1] * per_master);
  PutDFloat(&e[dgnraw::kTcbOriginZ], r.global_origin[2] * per_master);

  // Every view shows the same area, with every level on and no rotation.
  int32_t origin[3];
  int32_t delta[3];
  for (int i = 0; i < 3; ++i) {
    if (!ToDesign(r, r.view_origin[i], r.global_origin[i], &origin[i]) ||
        !ToDesign(r, r.view_size[i], 0.0, &delta[i]) || delta[i] < 0) {
      return Fail("view", "the view area does not fit the design plane");
    }
  }
  for (int v = 0; v < 8; ++v) {
    unsigned char *view = &e[dgnraw::kTcbViews + dgnraw::kTcbViewBytes * v];
    dgnraw::put_word(view + kViewFlags, 0);
    std::memset(view + kViewLevels, 0xFF, 8);
    for (int i = 0; i < 3; ++i) {
      dgnraw::put_int32(view + kViewOrigin + 4 * i, static_cast<uint32_t>(origin[i]));
      dgnraw::put_int32(view + kViewDelta + 4 * i, static_cast<uint32_t>(delta[i]));
    }
    for (int i = 0; i < 9; ++i) PutDFloat(view + kViewRotation + 8 * i, i % 4 == 0 ? 1.0 : 0.0);
    PutDFloat(view + kViewConversion, 1.0);
  }
  *out = e;
  return true;
}

// Colour table on level 1 holding the built-in colours, so that a new file
// shows the same colours whether or not a reader knows the built-in table.
Bytes BuildColorTable() {
  Bytes e(kColorTableBytes, 0);
  PutHeader(e, 1, DGNTYPE_GROUP_DATA);
  dgnraw::put_word(&e[dgnraw::kAttrIndex], (kColorTableBytes - dgnraw::kAttrBase) / 2);
  std::memcpy(&e[dgnraw::kCtColor255], DGNDefaultColorTable[255], 3);
  for (int i = 0; i < 255; ++i)
    std::memcpy(&e[dgnraw::kCtColor0 + 3 * i], DGNDefaultColorTable[i], 3);
  return e;
}

// Level symbology element with every entry zero: a control element without
// geometry or display header, which readers pass over.
Bytes BuildLevelSymbology() {
  Bytes e(kLevelSymbologyBytes, 0);
  PutHeader(e, 1, DGNTYPE_LEVEL_SYMBOLOGY);
  return e;
}

bool WriteFile(const std::string &path, const Bytes &bytes) {
  std::FILE *fp = std::fopen(path.c_str(), "wb");
  if (fp == nullptr) return Fail(path, "cannot create the file");
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
  const bool closed = std::fclose(fp) == 0;
  if (!written || !closed) return Fail(path, "cannot write the file");
  return true;
}

// Opens the new file with the engine and checks its TCB against the recipe.
bool Verify(const std::string &path, const Recipe &r, size_t element_count) {
  DGNFile *h = DGNOpen(path.c_str(), false);
  if (h == nullptr) return Fail(path, CPLLastErrorText());
  int count = 0;
  DGNGetElementIndex(h, &count);
  DGNRewind(h);
  DGNElement *first = DGNReadElement(h);
  bool ok = first != nullptr && first->kind == DGNKIND_TCB;
  if (ok) {
    const auto *tcb = static_cast<const DGNTCBElement *>(first);
    ok = tcb->dimension == r.dimension && tcb->subunits_per_master == r.subunits_per_master &&
         tcb->uor_per_subunit == r.uor_per_subunit && r.master_units == tcb->master_units &&
         r.sub_units == tcb->sub_units && h->dimension == r.dimension &&
         static_cast<size_t>(count) == element_count;
  }
  DGNFreeElement(h, first);
  DGNClose(h);
  if (!ok) return Fail(path, "the file does not read back as the recipe says");
  return true;
}

void Usage(std::FILE *to) {
  std::fprintf(to,
               "usage: dgnseed RECIPE OUTPUT.dgn\n"
               "Makes a seed design file (TCB and the listed elements) from a recipe.\n");
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    Usage(stdout);
    return 0;
  }
  if (argc != 3) {
    Usage(stderr);
    return 2;
  }
  Recipe recipe;
  if (!ParseRecipe(argv[1], &recipe)) return 2;

  Bytes file;
  if (!BuildTcb(recipe, &file)) return 2;
  for (const std::string &kind : recipe.elements) {
    const Bytes e = kind == "color_table" ? BuildColorTable() : BuildLevelSymbology();
    file.insert(file.end(), e.begin(), e.end());
  }
  file.push_back(dgnraw::kEndOfDesign);
  file.push_back(dgnraw::kEndOfDesign);

  CPLSetErrorHandler(nullptr);  // engine reports are shown once, by Fail()
  if (!WriteFile(argv[2], file)) return 1;
  if (!Verify(argv[2], recipe, recipe.elements.size() + 1)) return 1;
  return 0;
}
