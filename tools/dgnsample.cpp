// dgnsample: writes a DGN design file from a plain-text recipe, one element
// per line, using the raw element builder of the tests.  The project's sample
// map (tools/sample_map.recipe) is made this way.
//
//   dgnsample RECIPE OUT.dgn
//
// Recipe lines (a '#' starts a comment; coordinates and sizes in master units):
//   tcb subunits=N uor=N master=XX sub=XX      units; must come first if present
//   color index=I rgb=R,G,B                   one entry of the file's colour table
//   line|linestring|shape  ATTRS  X,Y X,Y ...
//   text|text16  ATTRS height=H [rotation=DEG] [just=J] [font=F]  X,Y  "string"
//   arc      ATTRS primary=A secondary=B [rotation=DEG] start=DEG sweep=DEG  X,Y
//   ellipse  ATTRS primary=A secondary=B [rotation=DEG]  X,Y
//   chain ATTRS                 complex chain header; the '+' lines after it
//   cell  ATTRS name=NAME X,Y   cell header; the '+' lines after it
//   + KIND ...                  a component of the chain or cell above
// ATTRS: level=N color=N weight=N style=N and the flag `deleted`.
// text16 stores the string as 16-bit characters; text stores it as 8-bit
// Latin-1.  The recipe itself is UTF-8.
//
// Exit status: 0 written, 1 recipe or file error, 2 usage.
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "dgn_elements.h"
#include "dgnmodel.h"

namespace {

using dgnkit::Bytes;

// Header byte 0: level in bits 0-5, complex-component bit 7; byte 1: deleted bit 7.
constexpr int kLevelByte = 0;
constexpr int kTypeByte = 1;
constexpr uint8_t kComplexBit = 0x80;
constexpr uint8_t kDeletedBit = 0x80;
// The complex header's total length counts the words after its own word 36-37.
constexpr size_t kTotalLengthEnd = 38;

struct RecipeError {
  std::string text;
};

[[noreturn]] void Fail(const std::string &text) { throw RecipeError{text}; }

// One recipe line split into its parts.
struct Line {
  int number = 0;
  bool component = false;
  std::string kind;
  std::map<std::string, std::string> keys;
  std::vector<std::string> flags;
  std::vector<std::array<double, 2>> points;
  std::vector<std::string> strings;
};

double ParseNumber(const std::string &s) {
  char *end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (s.empty() || end == nullptr || *end != '\0' || !std::isfinite(v))
    Fail("'" + s + "' is not a number");
  return v;
}

long ParseInt(const std::string &s, long lo, long hi) {
  char *end = nullptr;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || end == nullptr || *end != '\0' || v < lo || v > hi)
    Fail("'" + s + "' is not a whole number from " + std::to_string(lo) + " to " +
         std::to_string(hi));
  return v;
}

Line Tokenize(const std::string &text, int number) {
  Line line;
  line.number = number;
  size_t i = 0;
  std::vector<std::string> words;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '#') break;
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
      continue;
    }
    if (c == '"') {
      const size_t close = text.find('"', i + 1);
      if (close == std::string::npos) Fail("unterminated string");
      line.strings.push_back(text.substr(i + 1, close - i - 1));
      i = close + 1;
      continue;
    }
    size_t j = i;
    while (j < text.size() && text[j] != ' ' && text[j] != '\t' && text[j] != '\r' &&
           text[j] != '"')
      ++j;
    words.push_back(text.substr(i, j - i));
    i = j;
  }
  size_t w = 0;
  if (w < words.size() && words[w] == "+") {
    line.component = true;
    ++w;
  }
  if (w < words.size()) line.kind = words[w++];
  for (; w < words.size(); ++w) {
    const std::string &t = words[w];
    const size_t eq = t.find('=');
    const size_t comma = t.find(',');
    if (eq != std::string::npos) {
      line.keys[t.substr(0, eq)] = t.substr(eq + 1);
    } else if (comma != std::string::npos) {
      line.points.push_back({ParseNumber(t.substr(0, comma)), ParseNumber(t.substr(comma + 1))});
    } else {
      line.flags.push_back(t);
    }
  }
  return line;
}

// UTF-8 text of the recipe as code points (a malformed byte stands for itself).
std::vector<uint32_t> CodePoints(const std::string &s) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + static_cast<size_t>(len) > s.size()) {
      out.push_back(c);
      ++i;
      continue;
    }
    uint32_t cp = len == 1 ? c : c & (0x7F >> len);
    for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out.push_back(cp);
    i += static_cast<size_t>(len);
  }
  return out;
}

class SampleWriter {
 public:
  void Add(const Line &line) {
    if (line.component) {
      if (!group_open_) Fail("a '+' component needs a chain or cell line above it");
      components_.push_back(Element(line));
      return;
    }
    FlushGroup();
    if (line.kind == "tcb") {
      if (!body_.empty() || tcb_seen_) Fail("the tcb line must come first, once");
      Tcb(line);
    } else if (line.kind == "color") {
      Color(line);
    } else if (line.kind == "chain" || line.kind == "cell") {
      group_open_ = true;
      group_ = line;
    } else {
      body_.push_back(Element(line));
    }
  }

  Bytes Finish() {
    FlushGroup();
    std::vector<Bytes> parts;
    dgnkit::TcbSpec tcb;
    tcb.subunits_per_master = subunits_;
    tcb.uor_per_subunit = uor_;
    tcb.master_units = master_;
    tcb.sub_units = sub_;
    parts.push_back(dgnkit::MakeTcb(tcb));
    if (colors_changed_) parts.push_back(dgnkit::MakeColorTable(colors_));
    for (Bytes &b : body_) parts.push_back(std::move(b));
    parts.push_back(dgnkit::EndOfDesign());
    return dgnkit::Concat(parts);
  }

  SampleWriter() {
    for (int i = 0; i < 256; ++i)
      for (int k = 0; k < 3; ++k) colors_[i][k] = DGNDefaultColorTable[i][k];
  }

 private:
  // Master units to design units.
  int32_t Design(double v) const {
    const double d = std::round(v * subunits_ * uor_);
    if (!(d >= -2147483647.0 && d <= 2147483647.0)) Fail("coordinate out of the design plane");
    return static_cast<int32_t>(d);
  }
  dgnkit::IPoint Point(const std::array<double, 2> &p) const {
    dgnkit::IPoint q;
    q.x = Design(p[0]);
    q.y = Design(p[1]);
    return q;
  }
  double Key(const Line &l, const char *key, double fallback) const {
    auto it = l.keys.find(key);
    return it == l.keys.end() ? fallback : ParseNumber(it->second);
  }
  long IntKey(const Line &l, const char *key, long fallback, long lo, long hi) const {
    auto it = l.keys.find(key);
    return it == l.keys.end() ? fallback : ParseInt(it->second, lo, hi);
  }
  bool HasFlag(const Line &l, const char *flag) const {
    for (const std::string &f : l.flags)
      if (f == flag) return true;
    return false;
  }
  dgnkit::Display Display(const Line &l) const {
    dgnkit::Display d;
    d.color = static_cast<uint8_t>(IntKey(l, "color", 0, 0, 255));
    d.weight = static_cast<uint8_t>(IntKey(l, "weight", 0, 0, 31));
    d.style = static_cast<uint8_t>(IntKey(l, "style", 0, 0, 7));
    return d;
  }
  // Sets level, complex and deleted bits in a made element's header.
  void Mark(Bytes &e, const Line &l) const {
    const long level = IntKey(l, "level", 1, 0, 63);
    e[kLevelByte] = static_cast<uint8_t>((e[kLevelByte] & 0xC0) | level);
    if (l.component) e[kLevelByte] |= kComplexBit;
    if (HasFlag(l, "deleted")) e[kTypeByte] |= kDeletedBit;
  }
  const std::array<double, 2> &OnePoint(const Line &l) const {
    if (l.points.size() != 1) Fail(l.kind + " needs exactly one X,Y point");
    return l.points[0];
  }

  void Tcb(const Line &l) {
    tcb_seen_ = true;
    subunits_ = static_cast<int32_t>(IntKey(l, "subunits", subunits_, 1, 1000000));
    uor_ = static_cast<int32_t>(IntKey(l, "uor", uor_, 1, 1000000));
    auto unit = [&](const char *key, const std::string &fallback) {
      auto it = l.keys.find(key);
      std::string u = it == l.keys.end() ? fallback : it->second;
      if (u.empty() || u.size() > 2) Fail(std::string(key) + " is one or two characters");
      return u.size() == 1 ? u + " " : u;
    };
    master_ = unit("master", master_);
    sub_ = unit("sub", sub_);
  }

  void Color(const Line &l) {
    const long index = IntKey(l, "index", -1, 0, 255);
    auto it = l.keys.find("rgb");
    if (it == l.keys.end()) Fail("color needs rgb=R,G,B");
    std::stringstream ss(it->second);
    std::string part;
    int k = 0;
    while (std::getline(ss, part, ',')) {
      if (k == 3) Fail("rgb has three parts");
      colors_[static_cast<size_t>(index)][static_cast<size_t>(k++)] =
          static_cast<uint8_t>(ParseInt(part, 0, 255));
    }
    if (k != 3) Fail("rgb has three parts");
    colors_changed_ = true;
  }

  Bytes Element(const Line &l) {
    Bytes e;
    const dgnkit::Display display = Display(l);
    if (l.kind == "line" || l.kind == "linestring" || l.kind == "shape") {
      const int type = l.kind == "line"    ? DGNTYPE_LINE
                       : l.kind == "shape" ? DGNTYPE_SHAPE
                                           : DGNTYPE_LINE_STRING;
      if (type == DGNTYPE_LINE && l.points.size() != 2) Fail("a line has two points");
      if (type != DGNTYPE_LINE && (l.points.size() < 2 || l.points.size() > 101))
        Fail(l.kind + " needs 2 to 101 points");
      std::vector<dgnkit::IPoint> pts;
      for (const auto &p : l.points) pts.push_back(Point(p));
      e = dgnkit::MakeMultiPoint(type, pts, 2, display);
    } else if (l.kind == "text" || l.kind == "text16") {
      if (l.strings.size() != 1) Fail("a text needs one \"string\"");
      dgnkit::TextSpec want;
      want.font = static_cast<int>(IntKey(l, "font", 0, 0, 255));
      want.justification = static_cast<int>(IntKey(l, "just", 2, 0, 14));
      want.rotation = Key(l, "rotation", 0.0);
      want.origin = Point(OnePoint(l));
      // Stored size: master units / (scale * 6 / 1000).
      const double stored = Key(l, "height", 1.0) * subunits_ * uor_ / 0.006;
      if (!(stored > 0 && stored < 2147483647.0)) Fail("text height out of range");
      want.height_mult = want.length_mult = static_cast<int32_t>(std::lround(stored));
      const std::vector<uint32_t> cps = CodePoints(l.strings[0]);
      if (l.kind == "text16") {
        std::vector<uint16_t> words;
        for (uint32_t cp : cps) words.push_back(cp <= 0xFFFF ? static_cast<uint16_t>(cp) : '?');
        want.raw_text = dgnkit::Text16(words);
      } else {
        for (uint32_t cp : cps)
          want.raw_text.push_back(cp <= 0xFF ? static_cast<uint8_t>(cp) : '?');
      }
      if (want.raw_text.size() > 255) Fail("text too long");
      e = dgnkit::MakeText(want, 2, display);
    } else if (l.kind == "arc" || l.kind == "ellipse") {
      dgnkit::ArcSpec want;
      const std::array<double, 2> &o = OnePoint(l);
      want.origin[0] = Design(o[0]);
      want.origin[1] = Design(o[1]);
      want.primary_axis = Design(Key(l, "primary", 1.0));
      want.secondary_axis = Design(Key(l, "secondary", Key(l, "primary", 1.0)));
      want.rotation = Key(l, "rotation", 0.0);
      want.start_angle = Key(l, "start", 0.0);
      want.sweep_angle = Key(l, "sweep", 90.0);
      e = l.kind == "arc" ? dgnkit::MakeArc(want, 2, display)
                          : dgnkit::MakeEllipse(want, 2, display);
    } else {
      Fail("unknown element kind '" + l.kind + "'");
    }
    Mark(e, l);
    return e;
  }

  // Writes the open chain or cell: its header, then its components.
  void FlushGroup() {
    if (!group_open_) return;
    group_open_ = false;
    if (components_.empty())
      Fail("line " + std::to_string(group_.number) + ": " + group_.kind + " has no '+' components");
    size_t words = 0;
    for (const Bytes &c : components_) words += c.size() / 2;
    if (components_.size() > 0xFFFF) Fail("too many components");
    const dgnkit::Display display = Display(group_);
    Bytes header;
    if (group_.kind == "chain") {
      header = dgnkit::MakeComplexHeader(DGNTYPE_COMPLEX_CHAIN_HEADER, 0,
                                         static_cast<uint16_t>(components_.size()), 0, display);
    } else {
      dgnkit::CellSpec want;
      auto it = group_.keys.find("name");
      want.name = it == group_.keys.end() ? "CELL" : it->second;
      want.origin = Point(OnePoint(group_));
      // Unit scale, no rotation: x_scale = a0 / 214748.
      want.matrix[0] = want.matrix[3] = 214748;
      want.range_low = want.range_high = want.origin;
      header = dgnkit::MakeCellHeader(want, 2, display);
    }
    words += (header.size() - kTotalLengthEnd) / 2;
    if (words > 0xFFFF) Fail("group too large");
    dgnkit::PutWord(header, 36, static_cast<uint16_t>(words));  // total length
    Mark(header, group_);
    body_.push_back(std::move(header));
    for (Bytes &c : components_) body_.push_back(std::move(c));
    components_.clear();
  }

  std::vector<Bytes> body_;
  std::array<std::array<uint8_t, 3>, 256> colors_{};
  bool colors_changed_ = false;
  bool tcb_seen_ = false;
  int32_t subunits_ = 1000;
  int32_t uor_ = 1;
  std::string master_ = "m ";
  std::string sub_ = "mm";
  bool group_open_ = false;
  Line group_;
  std::vector<Bytes> components_;
};

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: dgnsample RECIPE OUT.dgn\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::fprintf(stderr, "dgnsample: cannot read %s\n", argv[1]);
    return 1;
  }
  SampleWriter writer;
  std::string text;
  int number = 0;
  try {
    while (std::getline(in, text)) {
      ++number;
      Line line = Tokenize(text, number);
      if (line.kind.empty() && !line.component) continue;
      writer.Add(line);
    }
    number = 0;
    const Bytes file = writer.Finish();
    if (!dgnkit::WriteFile(argv[2], file)) {
      std::fprintf(stderr, "dgnsample: cannot write %s\n", argv[2]);
      return 1;
    }
  } catch (const RecipeError &e) {
    if (number > 0)
      std::fprintf(stderr, "dgnsample: %s:%d: %s\n", argv[1], number, e.text.c_str());
    else
      std::fprintf(stderr, "dgnsample: %s: %s\n", argv[1], e.text.c_str());
    return 1;
  }
  return 0;
}
