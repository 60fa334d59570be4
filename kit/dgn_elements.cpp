// Raw DGN element builder: an independent byte-by-byte rendering of the
// version 7 element layout for tests, tools and fuzz corpora.
#include "dgn_elements.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace dgnkit {

namespace {

constexpr int32_t kAngleUnits = 360000;  // stored angles: 1/360000 degree

int32_t StoredAngle(double degrees) {
  return static_cast<int32_t>(std::lround(degrees * kAngleUnits));
}

// Radix-50 code of one character; unknown characters count as space.
uint16_t Rad50Char(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<uint16_t>(c - 'A' + 1);
  if (c >= 'a' && c <= 'z') return static_cast<uint16_t>(c - 'a' + 1);
  if (c == '$') return 27;
  if (c == '.') return 28;
  if (c >= '0' && c <= '9') return static_cast<uint16_t>(c - '0' + 30);
  return 0;
}

void Grow(Bytes &bytes, size_t size) {
  if (bytes.size() < size) bytes.resize(size, 0);
}

// A box around some points (design units), z 0 in 2D.
Range BoxOf(const std::vector<IPoint> &points, int dimension) {
  Range r;
  if (points.empty()) return r;
  r.low[0] = r.high[0] = points[0].x;
  r.low[1] = r.high[1] = points[0].y;
  r.low[2] = r.high[2] = dimension == 3 ? points[0].z : 0;
  for (const IPoint &p : points) {
    const int32_t c[3] = {p.x, p.y, dimension == 3 ? p.z : 0};
    for (int i = 0; i < 3; ++i) {
      r.low[i] = std::min(r.low[i], c[i]);
      r.high[i] = std::max(r.high[i], c[i]);
    }
  }
  return r;
}

int32_t ClampToInt32(double v) {
  if (!(v == v)) return 0;
  if (v > 2147483647.0) return 2147483647;
  if (v < -2147483647.0) return -2147483647;
  return static_cast<int32_t>(v);
}

// A box around a centre with a half-size (design units).
Range BoxAround(const double centre[3], double half, int dimension) {
  Range r;
  for (int i = 0; i < (dimension == 3 ? 3 : 2); ++i) {
    r.low[i] = ClampToInt32(std::floor(centre[i] - half));
    r.high[i] = ClampToInt32(std::ceil(centre[i] + half));
  }
  return r;
}

}  // namespace

// ---------------------------------------------------------------------------
// Encodings
// ---------------------------------------------------------------------------

std::array<uint8_t, 8> DFloatBytes(double value) {
  std::array<uint8_t, 8> out{};
  if (!(value == value) || value == 0.0) return out;
  const bool negative = value < 0;
  int e = 0;
  const double m = std::frexp(std::fabs(value), &e);  // value = m * 2^e, 0.5 <= m < 1
  int exponent = e + 128;                             // D-float: 0.1f * 2^(exponent - 128)
  uint16_t w[4];
  if (exponent <= 0) return out;
  if (exponent > 255) {
    w[0] = static_cast<uint16_t>((negative ? 0x8000 : 0) | 0x7FFF);
    w[1] = w[2] = w[3] = 0xFFFF;
  } else {
    // 56 significant bits, the top one hidden.
    const uint64_t bits = static_cast<uint64_t>(std::ldexp(m, 56));
    const uint64_t fraction = bits & ((uint64_t{1} << 55) - 1);
    w[0] = static_cast<uint16_t>((negative ? 0x8000 : 0) | (exponent << 7) |
                                 ((fraction >> 48) & 0x7F));
    w[1] = static_cast<uint16_t>((fraction >> 32) & 0xFFFF);
    w[2] = static_cast<uint16_t>((fraction >> 16) & 0xFFFF);
    w[3] = static_cast<uint16_t>(fraction & 0xFFFF);
  }
  for (int i = 0; i < 4; ++i) {
    out[2 * i] = static_cast<uint8_t>(w[i] & 0xFF);
    out[2 * i + 1] = static_cast<uint8_t>(w[i] >> 8);
  }
  return out;
}

uint16_t Rad50(const std::string &three) {
  uint16_t value = 0;
  for (size_t i = 0; i < 3; ++i) {
    value = static_cast<uint16_t>(value * 40 + (i < three.size() ? Rad50Char(three[i]) : 0));
  }
  return value;
}

uint32_t RangeValue(int32_t design) { return static_cast<uint32_t>(design) ^ 0x80000000u; }

void PutWord(Bytes &bytes, size_t at, uint16_t value) {
  Grow(bytes, at + 2);
  bytes[at] = static_cast<uint8_t>(value & 0xFF);
  bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

void PutInt32(Bytes &bytes, size_t at, uint32_t value) {
  PutWord(bytes, at, static_cast<uint16_t>(value >> 16));
  PutWord(bytes, at + 2, static_cast<uint16_t>(value & 0xFFFF));
}

void PutDFloat(Bytes &bytes, size_t at, double value) {
  const auto d = DFloatBytes(value);
  PutBytes(bytes, at, Bytes(d.begin(), d.end()));
}

void PutBytes(Bytes &bytes, size_t at, const Bytes &data) {
  Grow(bytes, at + data.size());
  std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

// ---------------------------------------------------------------------------
// Element
// ---------------------------------------------------------------------------

Element::Element(int type, int level) : bytes_(4, 0) {
  bytes_[0] = static_cast<uint8_t>(level & 0x3F);
  bytes_[1] = static_cast<uint8_t>(type & 0x7F);
}

Element &Element::Complex(bool on) {
  bytes_[0] = static_cast<uint8_t>(on ? (bytes_[0] | 0x80) : (bytes_[0] & 0x7F));
  return *this;
}

Element &Element::Deleted(bool on) {
  bytes_[1] = static_cast<uint8_t>(on ? (bytes_[1] | 0x80) : (bytes_[1] & 0x7F));
  return *this;
}

Element &Element::LevelByte(uint8_t value) {
  bytes_[0] = value;
  return *this;
}

Element &Element::WordsToFollow(uint16_t words) {
  words_forced_ = true;
  words_ = words;
  return *this;
}

Element &Element::SetRange(const Range &range) {
  return SetRangeRaw({RangeValue(range.low[0]), RangeValue(range.low[1]), RangeValue(range.low[2]),
                      RangeValue(range.high[0]), RangeValue(range.high[1]),
                      RangeValue(range.high[2])});
}

Element &Element::SetRangeRaw(const std::array<uint32_t, 6> &raw) {
  for (size_t i = 0; i < 6; ++i) PutInt32(bytes_, 4 + 4 * i, raw[i]);
  return *this;
}

Element &Element::SetDisplay(const Display &display) {
  Grow(bytes_, 36);
  PutWord(bytes_, 28, display.graphic_group);
  PutWord(bytes_, 32, display.properties);
  bytes_[34] = static_cast<uint8_t>(((display.weight & 0x1F) << 3) | (display.style & 0x07));
  bytes_[35] = display.color;
  has_display_ = true;
  return *this;
}

Element &Element::Byte(uint8_t value) {
  bytes_.push_back(value);
  return *this;
}

Element &Element::Word(uint16_t value) {
  PutWord(bytes_, bytes_.size(), value);
  return *this;
}

Element &Element::Int32(int32_t value) {
  PutInt32(bytes_, bytes_.size(), static_cast<uint32_t>(value));
  return *this;
}

Element &Element::DFloat(double value) {
  PutDFloat(bytes_, bytes_.size(), value);
  return *this;
}

Element &Element::Raw(const Bytes &data) {
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return *this;
}

Element &Element::Text(const std::string &text, bool terminator) {
  bytes_.insert(bytes_.end(), text.begin(), text.end());
  if (terminator) bytes_.push_back(0);
  return *this;
}

Element &Element::Points(const std::vector<IPoint> &points, int dimension) {
  for (const IPoint &p : points) {
    Int32(p.x);
    Int32(p.y);
    if (dimension == 3) Int32(p.z);
  }
  return *this;
}

Element &Element::WordAt(size_t at, uint16_t value) {
  PutWord(bytes_, at, value);
  return *this;
}

Element &Element::Int32At(size_t at, int32_t value) {
  PutInt32(bytes_, at, static_cast<uint32_t>(value));
  return *this;
}

Element &Element::DFloatAt(size_t at, double value) {
  PutDFloat(bytes_, at, value);
  return *this;
}

Element &Element::BytesAt(size_t at, const Bytes &data) {
  PutBytes(bytes_, at, data);
  return *this;
}

Element &Element::PadTo(size_t size) {
  Grow(bytes_, size);
  return *this;
}

Element &Element::Attributes(const Bytes &linkage) {
  attributes_ = linkage;
  return *this;
}

Element &Element::AttrIndex(uint16_t words) {
  attr_index_forced_ = true;
  attr_index_ = words;
  return *this;
}

Bytes Element::Build() const {
  Bytes out = bytes_;
  if (out.size() % 2) out.push_back(0);
  if (!attributes_.empty()) {
    Grow(out, 36);
    // The attribute index counts words from byte 32 to the linkage.
    PutWord(out, 30, static_cast<uint16_t>((out.size() - 32) / 2));
    PutWord(out, 32, static_cast<uint16_t>(out[32] | (out[33] << 8) | 0x0800));
    out.insert(out.end(), attributes_.begin(), attributes_.end());
    if (out.size() % 2) out.push_back(0);
  } else if (has_display_) {
    PutWord(out, 30, static_cast<uint16_t>((out.size() - 32) / 2));
  }
  if (attr_index_forced_) PutWord(out, 30, attr_index_);
  const uint16_t words = words_forced_ ? words_ : static_cast<uint16_t>((out.size() - 4) / 2);
  out[2] = static_cast<uint8_t>(words & 0xFF);
  out[3] = static_cast<uint8_t>(words >> 8);
  return out;
}

// ---------------------------------------------------------------------------
// Element makers
// ---------------------------------------------------------------------------

Bytes EndOfDesign() { return Bytes{0xFF, 0xFF}; }

Bytes MakeTcb(const TcbSpec &want) {
  Element e(9, 8);
  if (want.three_d) e.LevelByte(0xC8);
  e.PadTo(1536);
  e.Int32At(1112, want.subunits_per_master);
  e.Int32At(1116, want.uor_per_subunit);
  Bytes names(4, ' ');
  for (size_t i = 0; i < 2; ++i) {
    if (i < want.master_units.size()) names[i] = static_cast<uint8_t>(want.master_units[i]);
    if (i < want.sub_units.size()) names[2 + i] = static_cast<uint8_t>(want.sub_units[i]);
  }
  e.BytesAt(1120, names);
  if (want.three_d) e.BytesAt(1214, Bytes{0x40});
  e.DFloatAt(1240, want.origin[0]);
  e.DFloatAt(1248, want.origin[1]);
  e.DFloatAt(1256, want.origin[2]);
  return e.Build();
}

Bytes MakeColorTable(const std::array<std::array<uint8_t, 3>, 256> &rgb, int level) {
  Element e(5, level);
  e.SetDisplay({});
  e.Word(0);  // screen flag
  e.Raw(Bytes(rgb[255].begin(), rgb[255].end()));
  for (int i = 0; i < 255; ++i) e.Raw(Bytes(rgb[i].begin(), rgb[i].end()));
  return e.Build();
}

Bytes MakeGroupDataStart() {
  Element e(5, 8);
  e.PadTo(50);
  return e.Build();
}

Bytes MakeMultiPoint(int type, const std::vector<IPoint> &points, int dimension,
                     const Display &display, int level) {
  Element e(type, level);
  e.SetRange(BoxOf(points, dimension));
  e.SetDisplay(display);
  if (type != 3) e.Word(static_cast<uint16_t>(points.size()));
  e.Points(points, dimension);
  return e.Build();
}

// The end that ellipses and arcs share: in 3D the quaternion (w, x, y, z) and
// the origin's three coordinates, in 2D the rotation and the origin's two.
static void OrientationAndOrigin(Element &e, const ArcSpec &want, int dimension) {
  if (dimension == 3) {
    for (int32_t q : want.quat) e.Int32(q);
    e.DFloat(want.origin[0]).DFloat(want.origin[1]).DFloat(want.origin[2]);
  } else {
    e.Int32(StoredAngle(want.rotation));
    e.DFloat(want.origin[0]).DFloat(want.origin[1]);
  }
}

Bytes MakeEllipse(const ArcSpec &want, int dimension, const Display &display) {
  Element e(15, 1);
  e.SetRange(BoxAround(want.origin, std::max(want.primary_axis, want.secondary_axis), dimension));
  e.SetDisplay(display);
  e.DFloat(want.primary_axis).DFloat(want.secondary_axis);
  OrientationAndOrigin(e, want, dimension);
  return e.Build();
}

Bytes MakeArc(const ArcSpec &want, int dimension, const Display &display) {
  Element e(16, 1);
  e.SetRange(BoxAround(want.origin, std::max(want.primary_axis, want.secondary_axis), dimension));
  e.SetDisplay(display);
  e.Int32(StoredAngle(want.start_angle));
  // The sweep is stored as sign and magnitude.
  uint32_t sweep = static_cast<uint32_t>(std::llround(std::fabs(want.sweep_angle) * kAngleUnits));
  sweep &= 0x7FFFFFFFu;
  if (want.sweep_angle < 0) sweep |= 0x80000000u;
  e.Int32(static_cast<int32_t>(sweep));
  e.DFloat(want.primary_axis).DFloat(want.secondary_axis);
  OrientationAndOrigin(e, want, dimension);
  return e.Build();
}

Bytes MakeText(const TextSpec &want, int dimension, const Display &display) {
  Element e(17, 1);
  e.SetRange(BoxOf({want.origin}, dimension));
  e.SetDisplay(display);
  e.Byte(static_cast<uint8_t>(want.font)).Byte(static_cast<uint8_t>(want.justification));
  e.Int32(want.length_mult).Int32(want.height_mult);
  if (dimension == 3) {
    for (int i = 0; i < 4; ++i) e.Int32(0);  // quaternion
    e.Int32(want.origin.x).Int32(want.origin.y).Int32(want.origin.z);
  } else {
    e.Int32(StoredAngle(want.rotation));
    e.Int32(want.origin.x).Int32(want.origin.y);
  }
  const int count = want.count >= 0 ? want.count : static_cast<int>(want.raw_text.size());
  e.Byte(static_cast<uint8_t>(count)).Byte(0);  // count, enter-data fields
  e.Raw(want.raw_text);
  return e.Build();
}

Bytes Text16(const std::vector<uint16_t> &words) {
  Bytes out{0xFF, 0xFD};
  for (uint16_t w : words) {
    out.push_back(static_cast<uint8_t>(w & 0xFF));
    out.push_back(static_cast<uint8_t>(w >> 8));
  }
  return out;
}

Bytes MakeComplexHeader(int type, uint16_t total_length, uint16_t num_elements,
                        uint16_t surface_type, const Display &display) {
  Element e(type, 1);
  e.SetRange({});
  e.SetDisplay(display);
  e.Word(total_length).Word(num_elements);
  if (type == 18 || type == 19) e.Word(surface_type);
  return e.Build();
}

Bytes MakeCellHeader(const CellSpec &want, int dimension, const Display &display) {
  Element e(2, 1);
  e.SetRange({});
  e.SetDisplay(display);
  e.Word(want.total_length);
  const std::string name = want.name + "      ";
  e.Word(Rad50(name.substr(0, 3))).Word(Rad50(name.substr(3, 3)));
  e.Word(want.cell_class);
  for (uint16_t l : want.levels) e.Word(l);
  if (dimension == 3) {
    e.Points({want.range_low, want.range_high}, 3);
    for (int32_t m : want.matrix) e.Int32(m);
    e.Points({want.origin}, 3);
  } else {
    e.Points({want.range_low, want.range_high}, 2);
    for (int i = 0; i < 4; ++i) e.Int32(want.matrix[i]);
    e.Points({want.origin}, 2);
  }
  return e.Build();
}

Bytes MakeCellLibrary(const CellLibSpec &want) {
  Element e(1, 1);
  e.PadTo(32);
  const std::string name = want.name + "      ";
  e.Word(Rad50(name.substr(0, 3))).Word(Rad50(name.substr(3, 3)));
  e.Word(want.cell_type).Word(want.properties);
  for (uint16_t w : want.class_and_levels) e.Word(w);
  std::string description = want.description;
  description.resize(27, ' ');
  for (int i = 0; i < 9; ++i) e.Word(Rad50(description.substr(3 * i, 3)));
  return e.Build();
}

Bytes MakeCone(const ConeSpec &want, const Display &display) {
  Element e(23, 1);
  e.SetRange(BoxAround(want.center_1, std::max(want.radius_1, want.radius_2), 3));
  e.SetDisplay(display);
  e.Word(want.cone_word);
  for (int32_t q : want.quat) e.Int32(q);
  e.DFloat(want.center_1[0]).DFloat(want.center_1[1]).DFloat(want.center_1[2]);
  e.DFloat(want.radius_1);
  e.DFloat(want.center_2[0]).DFloat(want.center_2[1]).DFloat(want.center_2[2]);
  e.DFloat(want.radius_2);
  return e.Build();
}

Bytes MakeTagSet(const TagSetSpec &want, int level) {
  Element e(66, level);
  e.SetDisplay({});
  e.PadTo(44);
  e.Word(static_cast<uint16_t>(want.count >= 0 ? want.count : static_cast<int>(want.defs.size())));
  e.Word(want.tag_set);
  e.Text(want.name).Byte(0);  // name, terminator, one spare byte
  for (const TagDefSpec &def : want.defs) {
    e.Text(def.name).Word(def.id).Text(def.prompt).Word(def.type);
    e.Raw(Bytes(5, 0));  // not interpreted
    if (def.type == 1) {
      e.Text(def.text_default);
    } else if (def.type == 3 || def.type == 5) {
      const uint32_t v = static_cast<uint32_t>(def.int_default);
      e.Raw({static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
             static_cast<uint8_t>(v >> 24)});
    } else if (def.type == 4) {
      e.DFloat(def.real_default);
    } else {
      e.Raw(Bytes(4, 0));
    }
  }
  if (!want.attributes.empty()) e.Attributes(want.attributes);
  return e.Build();
}

Bytes MakeTagValue(const TagValueSpec &want) {
  Element e(37, 1);
  e.SetDisplay({});
  e.PadTo(68);
  const uint32_t s = want.tag_set;
  e.Raw({static_cast<uint8_t>(s), static_cast<uint8_t>(s >> 8), static_cast<uint8_t>(s >> 16),
         static_cast<uint8_t>(s >> 24)});
  e.Word(want.tag_index).Word(want.tag_type);
  e.PadTo(150);
  e.Word(want.tag_length);
  e.PadTo(154);
  if (want.tag_type == 1) {
    e.Text(want.text);
  } else if (want.tag_type == 3) {
    const uint32_t v = static_cast<uint32_t>(want.integer);
    e.Raw({static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
           static_cast<uint8_t>(v >> 24)});
  } else if (want.tag_type == 4) {
    e.DFloat(want.real);
  }
  return e.Build();
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

Bytes Concat(std::initializer_list<Bytes> parts) { return Concat(std::vector<Bytes>(parts)); }

Bytes Concat(const std::vector<Bytes> &parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

bool WriteFile(const std::string &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string ProgramPrefix() {
  const char *emulator = std::getenv("DGN_EMULATOR");
  if (emulator == nullptr || *emulator == '\0') return std::string();
  return std::string(emulator) + " ";
}

std::string ReadText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ShellQuote(const std::string &s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

Bytes ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TempFile::TempFile(const std::string &suffix) {
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
  if (ec) dir = "/tmp";
  std::string name = (dir / "dgnkit-XXXXXX").string() + suffix;
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  const int fd = mkstemps(buffer.data(), static_cast<int>(suffix.size()));
  if (fd < 0) throw std::runtime_error("cannot create a temporary file");
  close(fd);
  path_ = buffer.data();
}

TempFile::TempFile(const Bytes &bytes, const std::string &suffix) : TempFile(suffix) {
  if (!WriteFile(path_, bytes)) throw std::runtime_error("cannot write " + path_);
}

TempFile::~TempFile() { std::remove(path_.c_str()); }

Bytes SampleFile(bool three_d) {
  const int dim = three_d ? 3 : 2;
  TcbSpec tcb;
  tcb.three_d = three_d;
  tcb.subunits_per_master = 10;
  tcb.uor_per_subunit = 100;
  tcb.master_units = "m ";
  tcb.sub_units = "dm";
  tcb.origin[0] = 1000;
  tcb.origin[1] = 2000;

  std::array<std::array<uint8_t, 3>, 256> colors{};
  for (int i = 0; i < 256; ++i) {
    colors[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i),
                 static_cast<uint8_t>((i * 7) & 0xFF)};
  }

  Display red;
  red.color = 3;
  red.weight = 2;
  red.style = 1;
  red.graphic_group = 7;

  ArcSpec ellipse;
  ellipse.primary_axis = 500;
  ellipse.secondary_axis = 250;
  ellipse.rotation = 30;
  ellipse.origin[0] = 5000;
  ellipse.origin[1] = 6000;
  ArcSpec arc = ellipse;
  arc.start_angle = 45;
  arc.sweep_angle = -90;

  TextSpec text;
  text.origin = {3000, 4000, 0};
  text.raw_text = {'H', 'e', 'l', 'l', 'o'};
  TextSpec text16 = text;
  text16.raw_text = Text16({0x0041, 0x4E41});

  CellSpec cell;
  cell.range_low = {100, 100, 0};
  cell.range_high = {900, 900, 0};
  cell.matrix[0] = -2147483647;
  cell.matrix[3] = -2147483647;
  cell.matrix[8] = -2147483647;
  cell.origin = {500, 500, 0};

  ConeSpec cone;
  cone.center_1[0] = 100;
  cone.radius_1 = 50;
  cone.center_2[0] = 100;
  cone.center_2[2] = 300;
  cone.radius_2 = 25;

  TagSetSpec tags;
  tags.name = "PARCEL";
  tags.defs = {TagDefSpec{"OWNER", 1, "Owner name", 1, "nobody", 0, 0},
               TagDefSpec{"AREA", 2, "Area", 4, "", 0, 12.5},
               TagDefSpec{"ZONE", 3, "Zone", 3, "", 42, 0}};
  TagValueSpec value;
  value.tag_index = 1;
  value.tag_type = 1;
  value.text = "Smith";

  std::vector<Bytes> parts = {
      MakeTcb(tcb),
      MakeColorTable(colors),
      MakeMultiPoint(3, {{0, 0, 0}, {1000, 1000, 10}}, dim, red),
      MakeMultiPoint(4, {{0, 0, 0}, {100, 0, 0}, {100, 100, 0}}, dim),
      MakeMultiPoint(6, {{0, 0, 0}, {10, 0, 0}, {10, 10, 0}, {0, 0, 0}}, dim),
      MakeEllipse(ellipse, dim),
      MakeArc(arc, dim),
      MakeText(text, dim),
      MakeText(text16, dim),
      MakeComplexHeader(12, 30, 2),
      Element(4, 1)
          .Complex()
          .SetRange({})
          .SetDisplay({})
          .Word(2)
          .Points({{0, 0, 0}, {5, 5, 0}}, dim)
          .Build(),
      Element(4, 1)
          .Complex()
          .SetRange({})
          .SetDisplay({})
          .Word(2)
          .Points({{5, 5, 0}, {9, 0, 0}}, dim)
          .Build(),
      MakeCellHeader(cell, dim),
      MakeCellLibrary({}),
      MakeComplexHeader(18, 10, 1, 2),
      MakeTagSet(tags),
      MakeTagValue(value),
      Element(3, 2)
          .Deleted()
          .SetRange({})
          .SetDisplay({})
          .Points({{1, 1, 0}, {2, 2, 0}}, dim)
          .Build(),
      Element(7, 3).SetDisplay({}).PadTo(40).Build(),
  };
  if (three_d) parts.push_back(MakeCone(cone));
  parts.push_back(EndOfDesign());
  return Concat(parts);
}

}  // namespace dgnkit
