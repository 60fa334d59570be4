// Generator of large realistic design files; see mapgen.h.
//
// Elements are encoded here, independently of the engine, so that the
// benchmarks and the transcript test measure the engine against bytes that
// it did not produce itself.  Layout reminders (offsets from the element's
// first byte; words little-endian; 32-bit values high word first):
//
//   0      level (bits 0-5), complex bit 7     1    type (bits 0-6), deleted bit 7
//   2-3    words to follow                     4-27 range block, each value c + 2^31
//   28-29  graphic group                       30-31 attribute index (words from 32)
//   32-33  properties (0x0800: linkage)        34   weight << 3 | style
//   35     colour index
#include "mapgen.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace dgnbench {
namespace {

// Types written.
constexpr int kLine = 3;
constexpr int kLineString = 4;
constexpr int kColorTable = 5;
constexpr int kShape = 6;
constexpr int kTcb = 9;
constexpr int kComplexChain = 12;
constexpr int kArc = 16;
constexpr int kText = 17;

// TCB: 766 words to follow, 1536 bytes.
constexpr int kTcbBytes = 1536;
constexpr int kTcbSubunitsPerMaster = 1112;  // int32
constexpr int kTcbUorPerSubunit = 1116;      // int32
constexpr int kTcbMasterUnits = 1120;        // two characters
constexpr int kTcbSubUnits = 1122;           // two characters
constexpr int kTcbFlags = 1214;              // bit 6: 3D
constexpr int kTcbOriginX = 1240;            // D-float, design units
constexpr int kTcbOriginY = 1248;
constexpr int kTcbOriginZ = 1256;

// Colour table: 806 bytes, entry 255 at 38, entries 0..254 from 41.
constexpr int kColorTableBytes = 806;
constexpr int kCtScreenFlag = 36;
constexpr int kCtColor255 = 38;
constexpr int kCtColor0 = 41;

// Millimetre design units in metre master units, origin in the middle of
// the mapped area so that master coordinates run from about -100 km to +100 km.
constexpr int32_t kSubunitsPerMaster = 1000;
constexpr int32_t kUorPerSubunit = 1;
constexpr double kOriginDesign = 100000000.0;
constexpr uint32_t kAreaDesign = 200000000u;  // 200 km in design units

constexpr int kMaxElementBytes = 2048;  // the TCB (1536) is the largest
constexpr size_t kOutBufferBytes = size_t(1) << 20;

// splitmix64: small, fast, and the same sequence on every platform.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    state_ += 0x9E3779B97F4A7C15ull;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n).
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(((Next() >> 32) * n) >> 32); }
  // Uniform in [lo, hi].
  int32_t Between(int32_t lo, int32_t hi) {
    return lo + static_cast<int32_t>(Below(static_cast<uint32_t>(hi - lo + 1)));
  }
  bool Percent(uint32_t p) { return Below(100) < p; }

 private:
  uint64_t state_;
};

struct Point {
  int32_t x, y, z;
};

// One element being encoded.
class Element {
 public:
  Element() { std::memset(b_, 0, sizeof b_); }
  void Reset(int bytes) {
    std::memset(b_, 0, static_cast<size_t>(n_ > bytes ? n_ : bytes));
    n_ = bytes;
  }
  unsigned char *data() { return b_; }
  int size() const { return n_; }
  void Byte(int k, unsigned v) { b_[k] = static_cast<unsigned char>(v & 0xFFu); }
  void Word(int k, unsigned v) {
    b_[k] = static_cast<unsigned char>(v & 0xFFu);
    b_[k + 1] = static_cast<unsigned char>((v >> 8) & 0xFFu);
  }
  // 32-bit value, high word first (bytes 2-3-0-1 of the little-endian value).
  void Int32(int k, uint32_t v) {
    b_[k] = static_cast<unsigned char>((v >> 16) & 0xFFu);
    b_[k + 1] = static_cast<unsigned char>((v >> 24) & 0xFFu);
    b_[k + 2] = static_cast<unsigned char>(v & 0xFFu);
    b_[k + 3] = static_cast<unsigned char>((v >> 8) & 0xFFu);
  }
  void DFloat(int k, double v) { DoubleToStoredDFloat(v, b_ + k); }
  // Bytes 0-3: level, type, flags and words to follow.
  void Header(int type, int level, bool complex, bool deleted) {
    Byte(0, static_cast<unsigned>(level) | (complex ? 0x80u : 0u));
    Byte(1, static_cast<unsigned>(type) | (deleted ? 0x80u : 0u));
    Word(2, static_cast<unsigned>(n_ / 2 - 2));
  }
  // Bytes 4-27: the range block from the low and high corners.
  void Range(const Point &lo, const Point &hi) {
    Int32(4, static_cast<uint32_t>(lo.x) ^ 0x80000000u);
    Int32(8, static_cast<uint32_t>(lo.y) ^ 0x80000000u);
    Int32(12, static_cast<uint32_t>(lo.z) ^ 0x80000000u);
    Int32(16, static_cast<uint32_t>(hi.x) ^ 0x80000000u);
    Int32(20, static_cast<uint32_t>(hi.y) ^ 0x80000000u);
    Int32(24, static_cast<uint32_t>(hi.z) ^ 0x80000000u);
  }
  // Bytes 28-35: display header; `body` is where attribute linkage would start.
  void Display(int body, int color, int weight, int style, bool linkage) {
    Word(28, 0);                                       // graphic group
    Word(30, static_cast<unsigned>((body - 32) / 2));  // attribute index
    Word(32, linkage ? 0x0800u : 0u);                  // properties
    Byte(34, static_cast<unsigned>(weight << 3 | style));
    Byte(35, static_cast<unsigned>(color));
  }
  // Appends a four-word user-data linkage at `body` (the element is sized for it).
  void Linkage(int body, uint32_t mslink) {
    Word(body, 0x1003);
    Word(body + 2, 0x0F81);
    Word(body + 4, mslink & 0xFFFFu);
    Word(body + 6, (mslink >> 16) & 0xFFFFu);
  }

 private:
  unsigned char b_[kMaxElementBytes];
  int n_ = 0;
};

// Buffered output with one error check at the end.
class Output {
 public:
  explicit Output(FILE *fp) : fp_(fp) { buf_.reserve(kOutBufferBytes); }
  void Put(const unsigned char *p, size_t n) {
    if (buf_.size() + n > kOutBufferBytes) Flush();
    buf_.insert(buf_.end(), p, p + n);
    bytes_ += static_cast<int64_t>(n);
  }
  void Flush() {
    if (!buf_.empty() && std::fwrite(buf_.data(), 1, buf_.size(), fp_) != buf_.size()) ok_ = false;
    buf_.clear();
  }
  bool ok() const { return ok_; }
  int64_t bytes() const { return bytes_; }

 private:
  FILE *fp_;
  std::vector<unsigned char> buf_;
  bool ok_ = true;
  int64_t bytes_ = 0;
};

const char *const kWords[] = {"Main St", "Station", "Bridge", "River", "Park",   "Hill",
                              "Church",  "School",  "Farm",   "Mill",  "Market", "Road",
                              "Lake",    "Forest",  "Tower",  "Well",  "Quarry", "Harbour"};

class Generator {
 public:
  Generator(const MapSpec &want, Output *out, MapStats *stats)
      : want_(want), three_d_(want.dimension == 3), rng_(want.seed), out_(out), stats_(stats) {}

  void Run() {
    Tcb();
    ColorTable();
    while (stats_->elements < want_.element_count) {
      const int64_t left = want_.element_count - stats_->elements;
      const uint32_t pick = rng_.Below(100);
      if (pick < 40) {
        LineString(rng_.Percent(2), false);
      } else if (pick < 50) {
        Shape();
      } else if (pick < 70) {
        Line();
      } else if (pick < 84) {
        Text();
      } else if (pick < 94) {
        Arc();
      } else if (left >= 3) {
        ComplexChain(left);
      } else {
        Line();
      }
    }
    const unsigned char end[2] = {0xFF, 0xFF};
    out_->Put(end, 2);
  }

 private:
  int Stride() const { return three_d_ ? 12 : 8; }
  int Level() { return static_cast<int>(rng_.Below(64)); }

  void Emit(int type, int level, bool complex, bool deleted, bool linkage) {
    e_.Header(type, level, complex, deleted);
    out_->Put(e_.data(), static_cast<size_t>(e_.size()));
    stats_->elements++;
    stats_->by_type[type]++;
    if (deleted) stats_->deleted++;
    if (complex) stats_->complex_parts++;
    if (linkage) stats_->with_linkage++;
    stats_->levels_used |= uint64_t(1) << level;
  }

  Point Start() {
    return Point{static_cast<int32_t>(rng_.Below(kAreaDesign)),
                 static_cast<int32_t>(rng_.Below(kAreaDesign)),
                 three_d_ ? static_cast<int32_t>(rng_.Below(100000)) : 0};
  }
  Point Step(const Point &p) {
    return Point{p.x + rng_.Between(-2000, 2000), p.y + rng_.Between(-2000, 2000),
                 three_d_ ? p.z + rng_.Between(-200, 200) : 0};
  }
  static void Grow(Point *lo, Point *hi, const Point &p) {
    if (p.x < lo->x) lo->x = p.x;
    if (p.y < lo->y) lo->y = p.y;
    if (p.z < lo->z) lo->z = p.z;
    if (p.x > hi->x) hi->x = p.x;
    if (p.y > hi->y) hi->y = p.y;
    if (p.z > hi->z) hi->z = p.z;
  }
  void PutPoint(int k, const Point &p) {
    e_.Int32(k, static_cast<uint32_t>(p.x));
    e_.Int32(k + 4, static_cast<uint32_t>(p.y));
    if (three_d_) e_.Int32(k + 8, static_cast<uint32_t>(p.z));
  }
  void Symbology(int body, bool linkage) {
    // One draw per statement: argument evaluation order differs between compilers.
    const int color = static_cast<int>(rng_.Below(256));
    const int weight = static_cast<int>(rng_.Below(32));
    const int style = static_cast<int>(rng_.Below(8));
    e_.Display(body, color, weight, style, linkage);
    if (linkage) e_.Linkage(body, static_cast<uint32_t>(rng_.Next()));
  }

  // TCB: units, global origin and (3D) the dimension flag; everything else zero.
  void Tcb() {
    e_.Reset(kTcbBytes);
    e_.Int32(kTcbSubunitsPerMaster, kSubunitsPerMaster);
    e_.Int32(kTcbUorPerSubunit, kUorPerSubunit);
    e_.Byte(kTcbMasterUnits, 'm');
    e_.Byte(kTcbMasterUnits + 1, ' ');
    e_.Byte(kTcbSubUnits, 'm');
    e_.Byte(kTcbSubUnits + 1, 'm');
    if (three_d_) e_.Byte(kTcbFlags, 0x40);
    e_.DFloat(kTcbOriginX, kOriginDesign);
    e_.DFloat(kTcbOriginY, kOriginDesign);
    e_.DFloat(kTcbOriginZ, 0.0);
    // A 3D file's TCB carries bits 6 and 7 in its level byte (C8 09 FE 02).
    if (three_d_) {
      e_.Header(kTcb, 8, true, false);
      e_.Byte(0, 0xC8);
      out_->Put(e_.data(), static_cast<size_t>(e_.size()));
      stats_->elements++;
      stats_->by_type[kTcb]++;
      stats_->levels_used |= uint64_t(1) << 8;
    } else {
      Emit(kTcb, 8, false, false, false);
    }
  }

  // Colour table on level 1: random colours, with pure white at 0 and 255.
  void ColorTable() {
    e_.Reset(kColorTableBytes);
    e_.Word(30, (kColorTableBytes - 32) / 2);
    e_.Word(kCtScreenFlag, 0);
    for (int i = 0; i < 256; ++i) {
      unsigned r = rng_.Below(256), g = rng_.Below(256), b = rng_.Below(256);
      if (i == 0 || i == 255) r = g = b = 255;
      const int k = i == 255 ? kCtColor255 : kCtColor0 + 3 * i;
      e_.Byte(k, r);
      e_.Byte(k + 1, g);
      e_.Byte(k + 2, b);
    }
    Emit(kColorTable, 1, false, false, false);
  }

  // A multi-point element (type 4 or 6) over `pts`.
  void MultiPoint(int type, const std::vector<Point> &pts, bool complex, bool deleted,
                  bool linkage) {
    const int n = static_cast<int>(pts.size());
    const int body = 38 + Stride() * n;
    e_.Reset(body + (linkage ? 8 : 0));
    Point lo = pts[0], hi = pts[0];
    for (int i = 0; i < n; ++i) {
      PutPoint(38 + Stride() * i, pts[static_cast<size_t>(i)]);
      Grow(&lo, &hi, pts[static_cast<size_t>(i)]);
    }
    e_.Range(lo, hi);
    e_.Word(36, static_cast<unsigned>(n));  // vertex count
    Symbology(body, linkage);
    stats_->vertices += n;
    Emit(type, Level(), complex, deleted, linkage);
  }

  // 2 to 50 vertices, most of them short, as road and contour pieces are.
  void LineString(bool deleted, bool complex) {
    const uint32_t c = rng_.Below(49);
    const int n = 2 + static_cast<int>(c * c * c / 2304u);
    pts_.clear();
    Point p = Start();
    for (int i = 0; i < n; ++i) {
      pts_.push_back(p);
      p = Step(p);
    }
    MultiPoint(kLineString, pts_, complex, deleted, rng_.Percent(15));
  }

  // A closed ring of 4 to 31 vertices, the last equal to the first.
  void Shape() {
    const uint32_t c = rng_.Below(28);
    const int n = 3 + static_cast<int>(c * c / 27u);
    pts_.clear();
    Point p = Start();
    for (int i = 0; i < n; ++i) {
      pts_.push_back(p);
      p = Step(p);
    }
    pts_.push_back(pts_[0]);
    MultiPoint(kShape, pts_, false, false, rng_.Percent(15));
  }

  void Line() {
    const Point a = Start();
    const Point b = Step(a);
    e_.Reset(36 + 2 * Stride());
    PutPoint(36, a);
    PutPoint(36 + Stride(), b);
    Point lo = a, hi = a;
    Grow(&lo, &hi, b);
    e_.Range(lo, hi);
    Symbology(e_.size(), false);
    stats_->vertices += 2;
    Emit(kLine, Level(), false, false, false);
  }

  void Text() {
    char text[40];
    const char *word = kWords[rng_.Below(18)];
    const unsigned number = rng_.Below(1000);
    std::snprintf(text, sizeof text, "%s %u", word, number);
    const int count = static_cast<int>(std::strlen(text));
    const int start = three_d_ ? 76 : 60;  // first character
    const int bytes = (start + count + 1) & ~1;
    e_.Reset(bytes);
    const Point o = Start();
    // Stored multipliers count 6/1000 design units: 1.8 m to 10.8 m letters.
    const uint32_t height = 300000 + rng_.Below(1500000);
    e_.Byte(36, rng_.Below(4));   // font
    e_.Byte(37, rng_.Below(15));  // justification
    e_.Int32(38, height);         // length multiplier
    e_.Int32(42, height);         // height multiplier
    if (three_d_) {
      e_.Int32(46, 0x7FFFFFFFu);  // quaternion: no rotation
      e_.Int32(62, static_cast<uint32_t>(o.x));
      e_.Int32(66, static_cast<uint32_t>(o.y));
      e_.Int32(70, static_cast<uint32_t>(o.z));
      e_.Byte(74, static_cast<unsigned>(count));
    } else {
      e_.Int32(46, rng_.Below(360) * 360000u);  // rotation
      e_.Int32(50, static_cast<uint32_t>(o.x));
      e_.Int32(54, static_cast<uint32_t>(o.y));
      e_.Byte(58, static_cast<unsigned>(count));
    }
    std::memcpy(e_.data() + start, text, static_cast<size_t>(count));
    const int32_t extent = static_cast<int32_t>(height * 6u / 1000u * static_cast<uint32_t>(count));
    Point hi = o;
    hi.x += extent;
    hi.y += static_cast<int32_t>(height * 6u / 1000u);
    e_.Range(o, hi);
    Symbology(bytes, false);
    Emit(kText, Level(), false, false, false);
  }

  void Arc() {
    const Point o = Start();
    const int32_t axis = rng_.Between(500, 50000);
    const int32_t minor = rng_.Percent(70) ? axis : rng_.Between(100, axis);
    e_.Reset(three_d_ ? 100 : 80);
    e_.Int32(36, rng_.Below(360) * 360000u);  // start angle
    // Sweep: sign and magnitude, the sign in the top bit.
    const uint32_t sweep = (1 + rng_.Below(359)) * 360000u;
    e_.Int32(40, sweep | (rng_.Percent(30) ? 0x80000000u : 0u));
    e_.DFloat(44, axis);
    e_.DFloat(52, minor);
    if (three_d_) {
      e_.Int32(60, 0x7FFFFFFFu);  // quaternion: no rotation
      e_.DFloat(76, o.x);
      e_.DFloat(84, o.y);
      e_.DFloat(92, o.z);
    } else {
      e_.Int32(60, rng_.Below(360) * 360000u);  // rotation
      e_.DFloat(64, o.x);
      e_.DFloat(72, o.y);
    }
    Point lo = o, hi = o;
    lo.x -= axis;
    lo.y -= axis;
    hi.x += axis;
    hi.y += axis;
    e_.Range(lo, hi);
    Symbology(e_.size(), false);
    Emit(kArc, Level(), false, false, false);
  }

  // A chain header followed by 2 to 5 connected line-string components.
  void ComplexChain(int64_t left) {
    int parts = 2 + static_cast<int>(rng_.Below(4));
    if (parts > left - 1) parts = static_cast<int>(left - 1);
    // Components first, into a side buffer: the header needs their size and range.
    parts_.clear();
    Point p = Start();
    Point lo = p, hi = p;
    uint32_t words = 0;
    const int level = Level();
    for (int i = 0; i < parts; ++i) {
      const int n = 2 + static_cast<int>(rng_.Below(19));
      pts_.clear();
      for (int j = 0; j < n; ++j) {
        pts_.push_back(p);
        Grow(&lo, &hi, p);
        if (j + 1 < n) p = Step(p);
      }
      const int body = 38 + Stride() * n;
      e_.Reset(body);
      for (int j = 0; j < n; ++j) PutPoint(38 + Stride() * j, pts_[static_cast<size_t>(j)]);
      Point clo = pts_[0], chi = pts_[0];
      for (const Point &q : pts_) Grow(&clo, &chi, q);
      e_.Range(clo, chi);
      e_.Word(36, static_cast<unsigned>(n));
      Symbology(body, false);
      e_.Header(kLineString, level, true, false);
      parts_.insert(parts_.end(), e_.data(), e_.data() + e_.size());
      words += static_cast<uint32_t>(e_.size() / 2);
      stats_->vertices += n;
    }
    e_.Reset(40);
    e_.Range(lo, hi);
    e_.Word(36, words);                         // total length of the components, words
    e_.Word(38, static_cast<unsigned>(parts));  // number of components
    Symbology(40, false);
    Emit(kComplexChain, level, false, false, false);
    out_->Put(parts_.data(), parts_.size());
    stats_->elements += parts;
    stats_->by_type[kLineString] += parts;
    stats_->complex_parts += parts;
  }

  const MapSpec &want_;
  const bool three_d_;
  Rng rng_;
  Output *out_;
  MapStats *stats_;
  Element e_;
  std::vector<Point> pts_;
  std::vector<unsigned char> parts_;
};

}  // namespace

void DoubleToStoredDFloat(double value, unsigned char out[8]) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const uint32_t hi = static_cast<uint32_t>(bits >> 32);
  const uint32_t lo = static_cast<uint32_t>(bits);
  const uint32_t sign = hi & 0x80000000u;
  int32_t exponent = static_cast<int32_t>((hi >> 20) & 0x7FFu);
  // IEEE bias 1023 with the point after the hidden bit; D-float bias 128 with
  // the point before it: 894 apart.
  if (exponent != 0) exponent -= 894;
  if (exponent > 255) {
    const unsigned char top = sign ? 0xFF : 0x7F;
    const unsigned char big[8] = {0xFF, top, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::memcpy(out, big, 8);
    return;
  }
  if (exponent < 0 || (exponent == 0 && sign == 0)) {
    std::memset(out, 0, 8);
    return;
  }
  const uint32_t new_hi =
      (((hi << 3) | (lo >> 29)) & 0x7FFFFFu) | (static_cast<uint32_t>(exponent) << 23) | sign;
  const uint32_t new_lo = lo << 3;
  // Four words, most significant first, each little-endian.
  out[0] = static_cast<unsigned char>((new_hi >> 16) & 0xFFu);
  out[1] = static_cast<unsigned char>((new_hi >> 24) & 0xFFu);
  out[2] = static_cast<unsigned char>(new_hi & 0xFFu);
  out[3] = static_cast<unsigned char>((new_hi >> 8) & 0xFFu);
  out[4] = static_cast<unsigned char>((new_lo >> 16) & 0xFFu);
  out[5] = static_cast<unsigned char>((new_lo >> 24) & 0xFFu);
  out[6] = static_cast<unsigned char>(new_lo & 0xFFu);
  out[7] = static_cast<unsigned char>((new_lo >> 8) & 0xFFu);
}

bool WriteMap(const char *path, const MapSpec &want, MapStats *stats, std::string *error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (want.dimension != 2 && want.dimension != 3) {
    *error = "dimension must be 2 or 3";
    return false;
  }
  if (want.element_count < 2 || want.element_count > 200000000) {
    *error = "element count must be between 2 (TCB and colour table) and 200000000";
    return false;
  }
  FILE *fp = std::fopen(path, "wb");
  if (fp == nullptr) {
    *error = std::string("cannot create ") + path + ": " + std::strerror(errno);
    return false;
  }
  MapStats local;
  if (stats == nullptr) stats = &local;
  *stats = MapStats();
  Output out(fp);
  Generator(want, &out, stats).Run();
  out.Flush();
  stats->bytes = out.bytes();
  const bool closed = std::fclose(fp) == 0;
  if (!out.ok() || !closed) {
    *error = std::string("cannot write ") + path;
    std::remove(path);
    return false;
  }
  return true;
}

}  // namespace dgnbench
