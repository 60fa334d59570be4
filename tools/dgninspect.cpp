// dgninspect: shows what is inside a DGN design file, element by element.
//
//   dgninspect [--raw] FILE.dgn     every element with every decoded field
//   dgninspect --index FILE.dgn     the element index and the file extents
//   dgninspect --summary FILE.dgn   element counts by type and by level
//
// The output is plain text meant to be read and diffed: one block per element,
// one "name: value" line per field, numbers in their shortest exact form.
// Exit status: 0 shown, 1 the file cannot be read (the engine's reason on
// standard error), 2 usage error.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cpl_error.h"
#include "dgnmodel.h"

namespace {

const char kUsage[] =
    "usage: dgninspect [--raw | --index | --summary] FILE.dgn\n"
    "\n"
    "Shows what a DGN (version 7) design file holds.\n"
    "  (default)   every element: header, display fields, decoded geometry in\n"
    "              master units, texts, TCB units and views, colour table, tags,\n"
    "              attribute bytes in hex\n"
    "  --raw       as the default, plus the raw bytes of every element in hex\n"
    "  --index     the element index (offset, type, level, kind, flags) and the\n"
    "              file extents\n"
    "  --summary   element counts by type and by level\n"
    "  --help      this text\n"
    "Exit status: 0 shown, 1 file cannot be read, 2 usage error.\n";

// Warnings the engine reports while an element is decoded, shown in its block.
std::vector<std::string> g_warnings;
std::string g_failure;

void CollectReports(CPLErrClass cls, CPLErrNum, const char *text) {
  std::string t = text != nullptr ? text : "";
  // Engine texts may carry line breaks; one line each here.
  for (char &c : t) {
    if (c == '\n') c = ' ';
  }
  while (!t.empty() && t.back() == ' ') t.pop_back();
  if (cls == CPLClassWarning) {
    g_warnings.push_back(t);
  } else if (cls >= CPLClassFailure) {
    g_failure = t;
  }
}

// Shortest text that reads back as the same double.
std::string Num(double v) {
  char buf[64];
  auto result = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, result.ptr);
}

std::string Point(const DGNPoint &p, int dimension) {
  std::string s = "(" + Num(p.x) + ", " + Num(p.y);
  if (dimension == 3) s += ", " + Num(p.z);
  return s + ")";
}

std::string Hex(const unsigned char *data, int n) {
  std::string s;
  char buf[4];
  for (int i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", data[i]);
    if (i > 0) s += ' ';
    s += buf;
  }
  return s;
}

// A text in double quotes, bytes outside printable ASCII as \xNN.
std::string Quoted(const char *text) {
  std::string s = "\"";
  char buf[8];
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
    if (*p == '"' || *p == '\\') {
      s += '\\';
      s += static_cast<char>(*p);
    } else if (*p >= 0x20 && *p < 0x7F) {
      s += static_cast<char>(*p);
    } else {
      std::snprintf(buf, sizeof buf, "\\x%02X", *p);
      s += buf;
    }
  }
  return s + "\"";
}

const char *KindName(int kind) {
  switch (kind) {
    case DGNKIND_CORE: return "core";
    case DGNKIND_MULTIPOINT: return "multipoint";
    case DGNKIND_COLOR_TABLE: return "color table";
    case DGNKIND_TCB: return "tcb";
    case DGNKIND_ARC: return "arc";
    case DGNKIND_TEXT: return "text";
    case DGNKIND_COMPLEX_HEADER: return "complex header";
    case DGNKIND_CELL_HEADER: return "cell header";
    case DGNKIND_TAG_VALUE: return "tag value";
    case DGNKIND_TAG_SET: return "tag set";
    case DGNKIND_CELL_LIBRARY: return "cell library";
    case DGNKIND_CONE: return "cone";
    default: return "unknown";
  }
}

std::string Flags(int complex, int deleted) {
  std::string s;
  if (complex) s = "complex";
  if (deleted) s += s.empty() ? "deleted" : " deleted";
  return s.empty() ? "-" : s;
}

// Prints one "  name: value" line.
void Field(const char *name, const std::string &value) {
  std::printf("  %s: %s\n", name, value.c_str());
}
void Field(const char *name, long long value) { Field(name, std::to_string(value)); }

// A tag value or default as text, by tag type.
std::string TagValueText(int type, const DGNTagValue &v) {
  switch (type) {
    case DGNTT_TEXT: return Quoted(v.string != nullptr ? v.string : "");
    case DGNTT_INTEGER:
    case DGNTT_INTEGER_ALT: return std::to_string(v.integer);
    case DGNTT_REAL: return Num(v.real);
    default: return "-";
  }
}

void PrintTcb(const DGNTCBElement *tcb) {
  Field("dimension", tcb->dimension);
  Field("uor_per_subunit", tcb->uor_per_subunit);
  Field("sub_units", Quoted(tcb->sub_units));
  Field("subunits_per_master", tcb->subunits_per_master);
  Field("master_units", Quoted(tcb->master_units));
  Field("origin", Point(DGNPoint{tcb->origin_x, tcb->origin_y, tcb->origin_z}, 3));
  for (int v = 0; v < 8; ++v) {
    const DGNView &view = tcb->views[v];
    std::printf("  view %d: flags=0x%04X levels=%s\n", v, static_cast<unsigned>(view.flags),
                Hex(view.levels, 8).c_str());
    std::printf("    origin=%s delta=%s active_z=%d conversion=%s\n", Point(view.origin, 3).c_str(),
                Point(view.delta, 3).c_str(), view.active_z, Num(view.conversion).c_str());
    std::string rotation;
    for (int i = 0; i < 9; ++i) rotation += (i ? " " : "") + Num(view.rotation[i]);
    std::printf("    rotation=%s\n", rotation.c_str());
  }
}

// Prints the vertices of a line, line string, shape or curve.
void PrintMultiPoint(const DGNMultiPointElement *mp, int dim) {
  Field("vertices", mp->num_vertices);
  for (int i = 0; i < mp->num_vertices; ++i) {
    std::printf("    %d %s\n", i, Point(mp->vertices[i], dim).c_str());
  }
}

// Prints the fields of an arc or ellipse.
void PrintArc(const DGNArcElement *arc, int dim) {
  Field("origin", Point(arc->origin, dim));
  Field("primary_axis", Num(arc->primary_axis));
  Field("secondary_axis", Num(arc->secondary_axis));
  Field("rotation", Num(arc->rotation));
  Field("start_angle", Num(arc->start_angle));
  Field("sweep_angle", Num(arc->sweep_angle));
  if (dim == 3) {
    Field("quat", std::to_string(arc->quat[0]) + " " + std::to_string(arc->quat[1]) + " " +
                      std::to_string(arc->quat[2]) + " " + std::to_string(arc->quat[3]));
  }
}

// Prints the fields of a text.
void PrintText(const DGNTextElement *text, int dim) {
  Field("origin", Point(text->origin, dim));
  Field("font_id", text->font_id);
  Field("justification", text->justification);
  Field("length_mult", Num(text->length_mult));
  Field("height_mult", Num(text->height_mult));
  Field("rotation", Num(text->rotation));
  Field("text", Quoted(text->text));
}

// Prints the fields of a complex header.
void PrintComplexHeader(const DGNComplexHeaderElement *h) {
  Field("total_length", h->total_length);
  Field("num_elements", h->num_elements);
  if (h->type == DGNTYPE_3DSURFACE_HEADER || h->type == DGNTYPE_3DSOLID_HEADER) {
    Field("surface_type", h->surface_type);
  }
}

// Prints the fields of a cell header.
void PrintCellHeader(const DGNCellHeaderElement *cell, int dim) {
  Field("name", Quoted(cell->name));
  Field("total_length", cell->total_length);
  Field("cell_class", cell->cell_class);
  char levels[64];
  std::snprintf(levels, sizeof levels, "%04X %04X %04X %04X", cell->levels[0], cell->levels[1],
                cell->levels[2], cell->levels[3]);
  Field("levels", levels);
  Field("range_low", Point(cell->range_low, dim));
  Field("range_high", Point(cell->range_high, dim));
  Field("origin", Point(cell->origin, dim));
  std::string t;
  for (int i = 0; i < (dim == 3 ? 9 : 4); ++i) t += (i ? " " : "") + Num(cell->transform[i]);
  Field("transform", t);
  if (dim == 2) {
    Field("x_scale", Num(cell->x_scale));
    Field("y_scale", Num(cell->y_scale));
    Field("rotation", Num(cell->rotation));
  }
}

// Prints the fields of a cell library entry.
void PrintCellLibrary(const DGNCellLibraryElement *lib) {
  char props[16];
  std::snprintf(props, sizeof props, "0x%04X", static_cast<unsigned>(lib->properties));
  Field("name", Quoted(lib->name));
  Field("cell_type", lib->cell_type);
  Field("properties", props);
  std::string cl;
  char w[8];
  for (int i = 0; i < 6; ++i) {
    std::snprintf(w, sizeof w, "%s%04X", i ? " " : "", lib->class_and_levels[i]);
    cl += w;
  }
  Field("class_and_levels", cl);
  Field("description", Quoted(lib->description));
}

// Prints the fields of a cone.
void PrintCone(const DGNConeElement *cone) {
  char word[16];
  std::snprintf(word, sizeof word, "0x%04X", cone->cone_word);
  Field("cone_word", word);
  Field("quat", std::to_string(cone->quat[0]) + " " + std::to_string(cone->quat[1]) + " " +
                    std::to_string(cone->quat[2]) + " " + std::to_string(cone->quat[3]));
  Field("center_1", Point(cone->center_1, 3));
  Field("radius_1", Num(cone->radius_1));
  Field("center_2", Point(cone->center_2, 3));
  Field("radius_2", Num(cone->radius_2));
}

// Prints the fields of a tag value.
void PrintTagValue(const DGNTagValueElement *tag) {
  Field("tag_set", tag->tag_set);
  Field("tag_index", tag->tag_index);
  Field("tag_type", tag->tag_type);
  Field("tag_length", tag->tag_length);
  Field("value", TagValueText(tag->tag_type, tag->value));
}

// Prints a tag set and its definitions.
void PrintTagSet(const DGNTagSetElement *set) {
  Field("tag_set", set->tag_set);
  Field("tag_set_name", Quoted(set->tag_set_name));
  Field("flags", set->flags);
  Field("tag_count", set->tag_count);
  for (int i = 0; i < set->tag_count; ++i) {
    const DGNTagDefinition &d = set->tag_list[i];
    std::printf("  tag %d: id=%d type=%d name=%s prompt=%s default=%s\n", i, d.id, d.type,
                Quoted(d.name).c_str(), Quoted(d.prompt).c_str(),
                TagValueText(d.type, d.default_value).c_str());
  }
}

// Prints the 256 colours of a colour table.
void PrintColorTable(const DGNColorTableElement *ct) {
  Field("screen_flag", ct->screen_flag);
  for (int row = 0; row < 256; row += 8) {
    std::printf("    %3d:", row);
    for (int i = row; i < row + 8; ++i) {
      std::printf(" %02X%02X%02X", ct->color_info[i][0], ct->color_info[i][1],
                  ct->color_info[i][2]);
    }
    std::printf("\n");
  }
}

// Prints the fields every element has, and the display header of those with one.
void PrintHeader(const DGNElement *e) {
  std::printf("element %d\n", e->element_id);
  Field("offset", e->offset);
  Field("size", e->size);
  Field("type", std::to_string(e->type) + " " + DGNTypeToName(e->type));
  Field("kind", std::to_string(e->kind) + " " + KindName(e->kind));
  Field("level", e->level);
  Field("flags", Flags(e->complex, e->deleted));
  if (DGNTypeHasDisplayHeader(e->type)) {
    char props[16];
    std::snprintf(props, sizeof props, "0x%04X", static_cast<unsigned>(e->properties));
    Field("graphic_group", e->graphic_group);
    Field("properties", props);
    Field("color", e->color);
    Field("weight", e->weight);
    Field("style", e->style);
  }
}

// Prints the attribute bytes, the raw bytes when asked, and the warnings of the element.
void PrintBytesAndWarnings(const DGNElement *e, bool raw) {
  if (e->attr_bytes > 0) Field("attributes", Hex(e->attr_data, e->attr_bytes));
  if (raw && e->raw_bytes > 0) {
    std::printf("  raw:\n");
    for (int at = 0; at < e->raw_bytes; at += 16) {
      const int n = e->raw_bytes - at < 16 ? e->raw_bytes - at : 16;
      std::printf("    %06X %s\n", at, Hex(e->raw_data + at, n).c_str());
    }
  }
  for (const std::string &w : g_warnings) Field("warning", w);
  g_warnings.clear();
  std::printf("\n");
}

// Prints one element: its header, the fields of its kind, its bytes.
void PrintElement(DGNFile *handle, const DGNElement *e, bool raw) {
  const int dim = DGNGetDimension(handle);
  PrintHeader(e);
  switch (e->kind) {
    case DGNKIND_MULTIPOINT:
      PrintMultiPoint(static_cast<const DGNMultiPointElement *>(e), dim);
      break;
    case DGNKIND_ARC: PrintArc(static_cast<const DGNArcElement *>(e), dim); break;
    case DGNKIND_TEXT: PrintText(static_cast<const DGNTextElement *>(e), dim); break;
    case DGNKIND_COMPLEX_HEADER:
      PrintComplexHeader(static_cast<const DGNComplexHeaderElement *>(e));
      break;
    case DGNKIND_CELL_HEADER:
      PrintCellHeader(static_cast<const DGNCellHeaderElement *>(e), dim);
      break;
    case DGNKIND_CELL_LIBRARY:
      PrintCellLibrary(static_cast<const DGNCellLibraryElement *>(e));
      break;
    case DGNKIND_CONE: PrintCone(static_cast<const DGNConeElement *>(e)); break;
    case DGNKIND_TAG_VALUE: PrintTagValue(static_cast<const DGNTagValueElement *>(e)); break;
    case DGNKIND_TAG_SET: PrintTagSet(static_cast<const DGNTagSetElement *>(e)); break;
    case DGNKIND_COLOR_TABLE: PrintColorTable(static_cast<const DGNColorTableElement *>(e)); break;
    case DGNKIND_TCB: PrintTcb(static_cast<const DGNTCBElement *>(e)); break;
    default: break;
  }
  PrintBytesAndWarnings(e, raw);
}

// Master-unit value of one raw range value (design coordinate + 2^31).
double RangeToMaster(uint32_t raw, double scale, double origin) {
  return (static_cast<double>(raw) - 2147483648.0) * scale - origin;
}

int ShowElements(DGNFile *handle, bool raw) {
  if (raw) DGNSetOptions(handle, DGN_OPTION_CAPTURE_RAW);
  int count = 0;
  long end = 0;
  while (DGNElement *e = DGNReadElement(handle)) {
    PrintElement(handle, e, raw);
    end = e->offset + e->size;
    ++count;
    DGNFreeElement(handle, e);
  }
  // Where and how the element stream ended: after the last element read,
  // unless an element could not be read whole.
  const bool unreadable = DGNReadFailed(handle) || DGNStreamCut(handle, nullptr, nullptr);
  std::printf("end: %d elements, stream ends at offset %ld (%s)\n", count, end,
              unreadable                  ? "incomplete or unreadable element"
              : DGNStreamAtMarker(handle) ? "end-of-design marker"
                                          : "end of file without marker");
  return 0;
}

int ShowIndex(DGNFile *handle) {
  int count = 0;
  const bool whole = DGNBuildIndex(handle);
  const DGNIndexEntry *index = DGNGetElementIndex(handle, &count);
  std::printf("index: %d elements%s\n", count, whole ? "" : " (incomplete)");
  std::printf("  %7s %10s %4s %5s %4s %s\n", "element", "offset", "type", "level", "kind",
              "flags / type name");
  for (int i = 0; i < count; ++i) {
    const DGNIndexEntry &x = index[i];
    std::printf("  %7d %10u %4d %5d %4d %s %s\n", i, x.offset, x.type, x.level, x.kind,
                Flags(x.flags & DGNEF_COMPLEX, x.flags & DGNEF_DELETED).c_str(),
                DGNTypeToName(x.type));
  }
  const DGNPoint o = DGNGetOrigin(handle);
  const double scale = DGNGetScale(handle);
  uint32_t lo[3], hi[3];
  if (!DGNGetRawFileExtents(handle, lo, hi)) {
    std::printf("extents: none\n");
  } else {
    const double origin[3] = {o.x, o.y, o.z};
    std::printf("extents (raw): low %u %u %u high %u %u %u\n", lo[0], lo[1], lo[2], hi[0], hi[1],
                hi[2]);
    DGNPoint low{}, high{};
    double *l[3] = {&low.x, &low.y, &low.z};
    double *h[3] = {&high.x, &high.y, &high.z};
    for (int i = 0; i < 3; ++i) {
      *l[i] = RangeToMaster(lo[i], scale, origin[i]);
      *h[i] = RangeToMaster(hi[i], scale, origin[i]);
    }
    std::printf("extents (master units): low %s high %s\n", Point(low, 3).c_str(),
                Point(high, 3).c_str());
  }
  std::printf("units: dimension %d, scale %s, origin %s\n", DGNGetDimension(handle),
              Num(scale).c_str(), Point(o, 3).c_str());
  if (!g_failure.empty()) std::fprintf(stderr, "dgninspect: %s\n", g_failure.c_str());
  return whole ? 0 : 1;
}

int ShowSummary(DGNFile *handle) {
  int count = 0;
  const bool whole = DGNBuildIndex(handle);
  const DGNIndexEntry *index = DGNGetElementIndex(handle, &count);
  std::map<int, int> by_type;
  std::map<int, int> by_level;
  int deleted = 0;
  int components = 0;
  for (int i = 0; i < count; ++i) {
    by_type[index[i].type]++;
    by_level[index[i].level]++;
    if (index[i].flags & DGNEF_DELETED) ++deleted;
    if (index[i].flags & DGNEF_COMPLEX) ++components;
  }
  std::printf("elements: %d%s\n", count, whole ? "" : " (incomplete index)");
  std::printf("deleted: %d\n", deleted);
  std::printf("complex components: %d\n", components);
  std::printf("by type:\n");
  for (const auto &t : by_type) {
    std::printf("  %3d %-24s %d\n", t.first, DGNTypeToName(t.first), t.second);
  }
  std::printf("by level:\n");
  for (const auto &l : by_level) std::printf("  %3d %d\n", l.first, l.second);
  if (!g_failure.empty()) std::fprintf(stderr, "dgninspect: %s\n", g_failure.c_str());
  return whole ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  enum class Mode { kElements, kIndex, kSummary } mode = Mode::kElements;
  bool raw = false;
  const char *path = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (std::strcmp(a, "--index") == 0) {
      mode = Mode::kIndex;
    } else if (std::strcmp(a, "--summary") == 0) {
      mode = Mode::kSummary;
    } else if (std::strcmp(a, "--raw") == 0) {
      raw = true;
    } else if (a[0] == '-' && a[1] != '\0') {
      std::fprintf(stderr, "dgninspect: unknown option %s\n%s", a, kUsage);
      return 2;
    } else if (path == nullptr) {
      path = a;
    } else {
      std::fprintf(stderr, "dgninspect: only one file at a time\n%s", kUsage);
      return 2;
    }
  }
  if (path == nullptr) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  CPLSetErrorHandler(CollectReports);
  DGNFile *handle = DGNOpen(path, false);
  if (handle == nullptr) {
    std::fprintf(stderr, "dgninspect: %s\n", g_failure.c_str());
    return 1;
  }
  int status = 0;
  switch (mode) {
    case Mode::kElements: status = ShowElements(handle, raw); break;
    case Mode::kIndex: status = ShowIndex(handle); break;
    case Mode::kSummary: status = ShowSummary(handle); break;
  }
  DGNClose(handle);
  return status;
}
