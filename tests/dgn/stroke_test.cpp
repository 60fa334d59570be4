// Stroking arcs, ellipses and curves (dgnstroke.h), checked against the true
// curve sampled densely and independently of how the stroke picks its points.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "dgn_test_util.h"
#include "dgnstroke.h"

namespace {

using dgnkit::Bytes;

constexpr double kPi = 3.14159265358979323846;

// A file of a TCB with millimetre design units in metre master units (one
// design unit is 0.001) and one element; the handle stands after it.
struct Decoded {
  dgnkit::OpenedFile file;
  dgnkit::ElementPtr element;
};

Decoded Decode(const Bytes &element, bool three_d) {
  dgnkit::TcbSpec tcb;
  tcb.three_d = three_d;
  tcb.subunits_per_master = 1000;
  tcb.uor_per_subunit = 1;
  Decoded out;
  out.file =
      dgnkit::OpenBytes(dgnkit::Concat({dgnkit::MakeTcb(tcb), element, dgnkit::EndOfDesign()}));
  dgnkit::Next(out.file.get());
  out.element = dgnkit::Next(out.file.get());
  return out;
}

DGNPoint Sub(const DGNPoint &a, const DGNPoint &b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double Dot(const DGNPoint &a, const DGNPoint &b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double Dist(const DGNPoint &a, const DGNPoint &b) { return std::sqrt(Dot(Sub(a, b), Sub(a, b))); }

// Distance from p to the segment a-b.
double ToSegment(const DGNPoint &p, const DGNPoint &a, const DGNPoint &b) {
  const DGNPoint ab = Sub(b, a);
  const double len2 = Dot(ab, ab);
  double t = len2 > 0 ? Dot(Sub(p, a), ab) / len2 : 0.0;
  t = t < 0 ? 0 : (t > 1 ? 1 : t);
  return Dist(p, DGNPoint{a.x + ab.x * t, a.y + ab.y * t, a.z + ab.z * t});
}

double ToPolyline(const DGNPoint &p, const std::vector<DGNPoint> &line) {
  double best = std::numeric_limits<double>::infinity();
  for (size_t i = 0; i + 1 < line.size(); ++i)
    best = std::fmin(best, ToSegment(p, line[i], line[i + 1]));
  if (line.size() == 1) best = Dist(p, line[0]);
  return best;
}

// A point of the ellipse (master units, 2D rotation or quaternion given as a
// matrix), at the angle t in degrees.
struct TrueEllipse {
  double a, b;
  DGNPoint origin;
  double m[3][3];
  // An upper bound of p's distance from the ellipse: to the point of the
  // ellipse at p's own angle in the ellipse's frame.
  double OffCurve(const DGNPoint &p) const {
    const DGNPoint d = Sub(p, origin);
    const double lx = m[0][0] * d.x + m[1][0] * d.y + m[2][0] * d.z;
    const double ly = m[0][1] * d.x + m[1][1] * d.y + m[2][1] * d.z;
    const double lz = m[0][2] * d.x + m[1][2] * d.y + m[2][2] * d.z;
    const double t =
        b != 0 ? std::atan2(ly / b, lx / a) : std::acos(std::fmax(-1, std::fmin(1, lx / a)));
    return std::sqrt((lx - a * std::cos(t)) * (lx - a * std::cos(t)) +
                     (ly - b * std::sin(t)) * (ly - b * std::sin(t)) + lz * lz);
  }
  DGNPoint At(double degrees) const {
    const double t = degrees * kPi / 180.0;
    const double lx = a * std::cos(t), ly = b * std::sin(t);
    return {origin.x + m[0][0] * lx + m[0][1] * ly, origin.y + m[1][0] * lx + m[1][1] * ly,
            origin.z + m[2][0] * lx + m[2][1] * ly};
  }
};

struct ArcCase {
  const char *label;
  bool ellipse;
  bool three_d;
  double a, b, rotation, start, sweep;  // design units and degrees
  int32_t quat[4];
  double m[3][3];     // the rotation the case expects
  int expect_points;  // -1: any count from 2 to 361; 0: no stroke
};

TEST(Stroke, ArcsAndEllipsesFollowTheCurveWithinTheTolerance) {
  const double c30 = std::cos(kPi / 6), s30 = std::sin(kPi / 6);
  const double h = std::sqrt(0.5);
  const int32_t q90x = static_cast<int32_t>(std::lround(h * 2147483648.0));
  const ArcCase cases[] = {
      {"circle", true, false, 100000, 100000, 0, 0, 360, {}, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, -1},
      {"rotated ellipse",
       true,
       false,
       50000,
       20000,
       30,
       0,
       360,
       {},
       {{c30, -s30, 0}, {s30, c30, 0}, {0, 0, 1}},
       -1},
      {"arc", false, false, 80000, 80000, 0, 30, 100, {}, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, -1},
      {"negative sweep",
       false,
       false,
       80000,
       40000,
       0,
       200,
       -120,
       {},
       {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
       -1},
      {"whole-turn arc",
       false,
       false,
       5000,
       5000,
       0,
       45,
       360,
       {},
       {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
       -1},
      {"arc below a design unit",
       false,
       false,
       0.4,
       0.4,
       0,
       0,
       90,
       {},
       {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
       -1},
      {"huge axes", true, false, 1e15, 4e14, 0, 0, 360, {}, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, -1},
      {"one axis zero",
       false,
       false,
       3000,
       0,
       0,
       0,
       180,
       {},
       {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
       -1},
      {"both axes zero", true, false, 0, 0, 0, 0, 360, {}, {}, 0},
      // Secondary axes far larger than the primary: the bound follows the larger.
      {"tall half ellipse",
       false,
       false,
       999,
       1e9,
       0,
       0,
       180,
       {},
       {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
       -1},
      {"tall rotated ellipse",
       true,
       false,
       300,
       2e6,
       -40,
       0,
       360,
       {},
       {{std::cos(-40 * kPi / 180), -std::sin(-40 * kPi / 180), 0},
        {std::sin(-40 * kPi / 180), std::cos(-40 * kPi / 180), 0},
        {0, 0, 1}},
       -1},
      {"tall 3D arc",
       false,
       true,
       50,
       7e7,
       0,
       250,
       -300,
       {q90x, q90x, 0, 0},
       {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}},
       -1},
      // 90 degrees about x: the ellipse's y axis becomes z.
      {"3D quaternion",
       false,
       true,
       60000,
       30000,
       0,
       10,
       160,
       {q90x, q90x, 0, 0},
       {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}},
       -1},
      {"3D all-zero quaternion",
       true,
       true,
       60000,
       30000,
       0,
       0,
       360,
       {0, 0, 0, 0},
       {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
       -1},
  };
  for (const ArcCase &c : cases) {
    SCOPED_TRACE(c.label);
    dgnkit::ArcSpec want;
    want.primary_axis = c.a;
    want.secondary_axis = c.b;
    want.rotation = c.rotation;
    want.start_angle = c.start;
    want.sweep_angle = c.sweep;
    want.origin[0] = 123456;
    want.origin[1] = -654321;
    want.origin[2] = c.three_d ? 7000 : 0;
    for (int i = 0; i < 4; ++i) want.quat[i] = c.quat[i];
    const int dim = c.three_d ? 3 : 2;
    Decoded d =
        Decode(c.ellipse ? dgnkit::MakeEllipse(want, dim) : dgnkit::MakeArc(want, dim), c.three_d);
    ASSERT_NE(d.element, nullptr);
    ASSERT_EQ(d.element->kind, DGNKIND_ARC);
    const auto *arc = reinterpret_cast<const DGNArcElement *>(d.element.get());
    std::vector<DGNPoint> out(DGN_STROKE_MAX_ARC_POINTS);
    const int n = DGNStrokeArc(d.file.get(), arc, out.data());
    if (c.expect_points == 0) {
      EXPECT_EQ(n, 0);
      continue;
    }
    ASSERT_GE(n, 2);
    ASSERT_LE(n, DGN_STROKE_MAX_ARC_POINTS);
    out.resize(static_cast<size_t>(n));

    const double unit = 0.001;
    TrueEllipse e{c.a * unit,
                  c.b * unit,
                  {want.origin[0] * unit, want.origin[1] * unit, want.origin[2] * unit},
                  {}};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) e.m[i][j] = c.m[i][j];
    const double start = c.ellipse ? 0 : c.start;
    const double sweep = c.ellipse ? 360 : c.sweep;
    const double tolerance = std::fmax(0.001 * std::fmax(c.a, c.b) * unit, unit);
    const double slack = 1e-9 * std::fmax(e.a, 1.0);
    // Both ends on the start and end angles; an ellipse closes exactly.
    EXPECT_LE(Dist(out.front(), e.At(start)), slack);
    EXPECT_LE(Dist(out.back(), e.At(start + sweep)), slack);
    if (c.ellipse) {
      EXPECT_EQ(Dist(out.front(), out.back()), 0.0);
    }
    // Every vertex on the curve within a design unit, and the true curve,
    // in its sweep direction, never farther from the stroke than the tolerance.
    std::vector<DGNPoint> dense;
    for (int k = 0; k <= 20000; ++k) dense.push_back(e.At(start + sweep * k / 20000.0));
    for (const DGNPoint &p : out) EXPECT_LE(e.OffCurve(p), unit + slack);
    double worst = 0;
    for (const DGNPoint &p : dense) worst = std::fmax(worst, ToPolyline(p, out));
    EXPECT_LE(worst, tolerance + slack) << n << " points";
  }
}

TEST(Stroke, HostileArcValuesDrawNothing) {
  dgnkit::ArcSpec want;
  want.primary_axis = want.secondary_axis = 1000;
  Decoded d = Decode(dgnkit::MakeArc(want, 2), false);
  ASSERT_NE(d.element, nullptr);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<DGNPoint> out(DGN_STROKE_MAX_ARC_POINTS);
  for (int field = 0; field < 6; ++field) {
    DGNArcElement arc = *reinterpret_cast<const DGNArcElement *>(d.element.get());
    double *values[6] = {&arc.primary_axis, &arc.secondary_axis, &arc.start_angle,
                         &arc.sweep_angle,  &arc.rotation,       &arc.origin.x};
    for (double bad : {nan, inf}) {
      *values[field] = bad;
      EXPECT_EQ(DGNStrokeArc(d.file.get(), &arc, out.data()), 0) << field << " " << bad;
    }
  }
  // A sweep of many turns draws one turn; a primary axis far below the
  // secondary one is stroked within 0.1 % of the secondary: 71 chords.
  DGNArcElement arc = *reinterpret_cast<const DGNArcElement *>(d.element.get());
  arc.primary_axis = 1.0;
  arc.secondary_axis = 1e9;
  arc.sweep_angle = -5965.0;
  const int n = DGNStrokeArc(d.file.get(), &arc, out.data());
  EXPECT_EQ(n, 72);
  EXPECT_LE(Dist(out[0], out[static_cast<size_t>(n) - 1]), 1e-3);
}

// Angles kept from arc to arc give the points of the plain stroke to the last
// bit: a negative zero keeps its sign, an angle that takes another's entry
// gets its own values, and arcs large enough to need a check per point for
// overflow stroke the same way.
TEST(Stroke, ArcsStrokeTheSameWithTheirAnglesKept) {
  dgnkit::ArcSpec circle;
  circle.primary_axis = circle.secondary_axis = 1000;
  Decoded d = Decode(dgnkit::MakeArc(circle, 2), false);
  ASSERT_NE(d.element, nullptr);
  const DGNArcElement base = *reinterpret_cast<const DGNArcElement *>(d.element.get());
  struct Case {
    double start, sweep, rotation, axis, origin;
  } cases[] = {
      {-0.0, 90, -0.0, 1000, 0},     {0.0, -90, 0.0, 1000, 0},    {33.3, 200, 45, 300, 5e5},
      {-720, 359.99, 1e-9, 1, -2e6}, {10, 360, 90, 1e305, 1e305}, {10, 90, 0, 1e308, 1e308},
  };
  auto angles = std::make_unique<DGNStrokeAngles>();
  std::vector<DGNPoint> kept(DGN_STROKE_MAX_ARC_POINTS), plain(DGN_STROKE_MAX_ARC_POINTS);
  auto same = [&](const DGNArcElement &arc) {
    const int n = DGNStrokeArc(d.file.get(), &arc, plain.data());
    ASSERT_EQ(DGNStrokeArc(d.file.get(), &arc, kept.data(), angles.get()), n);
    EXPECT_EQ(std::memcmp(kept.data(), plain.data(), sizeof(DGNPoint) * size_t(n)), 0);
  };
  for (int pass = 0; pass < 2; ++pass) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::to_string(c.start) + " pass " + std::to_string(pass));
      DGNArcElement arc = base;
      arc.start_angle = c.start;
      arc.sweep_angle = c.sweep;
      arc.rotation = c.rotation;
      arc.primary_axis = c.axis;
      arc.secondary_axis = c.axis / 3;
      arc.origin = DGNPoint{c.origin, -c.origin, 0.0};
      same(arc);
    }
  }
  // More angles than the table holds, each met twice.
  for (int k = 0; k < 2 * DGN_STROKE_ANGLES; ++k) {
    DGNArcElement arc = base;
    arc.start_angle = (k % DGN_STROKE_ANGLES) / 360000.0 * 17;
    arc.sweep_angle = 1 + k % 359;
    arc.rotation = k * 0.25;
    same(arc);
  }
  EXPECT_EQ(DGNStrokeArc(d.file.get(), &base, kept.data(), angles.get()),
            DGNStrokeArc(d.file.get(), &base, plain.data()));
}

TEST(Stroke, CurvesPassThroughTheirInnerVerticesAndFollowTheEndDirections) {
  // Vertices 0, 1 and 6, 7 only give the directions at the ends.
  const std::vector<dgnkit::IPoint> v = {{-5000, -9000}, {-5000, -8000}, {0, 0},
                                         {1000, 1500},   {3000, 1000},   {4000, 3000},
                                         {4000, 9000},   {5000, 9000}};
  struct Case {
    size_t vertices;
    int points;  // -1: several
  } cases[] = {{3, 0}, {4, 0}, {5, 1}, {8, -1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.vertices);
    const std::vector<dgnkit::IPoint> some(v.begin(), v.begin() + static_cast<long>(c.vertices));
    Decoded d = Decode(dgnkit::MakeMultiPoint(DGNTYPE_CURVE, some), false);
    ASSERT_NE(d.element, nullptr);
    const auto *curve = reinterpret_cast<const DGNMultiPointElement *>(d.element.get());
    std::vector<DGNPoint> out(static_cast<size_t>(DGNCurveStrokeCapacity(curve->num_vertices)) + 1);
    const int n = DGNStrokeCurve(d.file.get(), curve, out.data());
    if (c.points >= 0) {
      EXPECT_EQ(n, c.points);
      if (n == 1) {
        EXPECT_EQ(Dist(out[0], curve->vertices[2]), 0.0);
      }
      continue;
    }
    out.resize(static_cast<size_t>(n));
    // Through vertices 2..5 in order, exactly, and between them near the chord.
    size_t at = 0;
    for (int k = 2; k <= 5; ++k) {
      while (at < out.size() && Dist(out[at], curve->vertices[k]) != 0.0) {
        if (k > 2) {
          const double chord = Dist(curve->vertices[k - 1], curve->vertices[k]);
          EXPECT_LE(ToSegment(out[at], curve->vertices[k - 1], curve->vertices[k]), 0.5 * chord);
        }
        ++at;
      }
      ASSERT_LT(at, out.size()) << "vertex " << k << " not passed through";
    }
    EXPECT_EQ(at, out.size() - 1);
    // Leaves vertex 2 heading as vertex 0 to 1 (north), arrives at vertex 5
    // heading as vertex 6 to 7 (east).
    const DGNPoint first = Sub(out[1], out[0]);
    const DGNPoint last = Sub(out[out.size() - 1], out[out.size() - 2]);
    EXPECT_GT(first.y / Dist(out[1], out[0]), 0.95);
    EXPECT_GT(last.x / Dist(out[out.size() - 1], out[out.size() - 2]), 0.95);
  }
}

// The cubic of a curve's span from v[i] to v[i + 1] at t, with the tangents
// the curve gives its run vertices (a run without repeated vertices).
DGNPoint SpanPoint(const std::vector<DGNPoint> &v, size_t i, double t, double *size) {
  const size_t n = v.size();
  auto tangent = [&](size_t k) {
    DGNPoint dir{0, 0, 0};
    double step = 0;
    if (k == 2) {
      dir = Sub(v[1], v[0]);
      step = Dist(v[3], v[2]);
    } else if (k == n - 3) {
      dir = Sub(v[n - 1], v[n - 2]);
      step = Dist(v[k], v[k - 1]);
    } else {
      const DGNPoint d = Sub(v[k + 1], v[k - 1]);
      return DGNPoint{d.x / 2, d.y / 2, d.z / 2};
    }
    const double len = std::sqrt(Dot(dir, dir));
    return DGNPoint{dir.x * step / len, dir.y * step / len, dir.z * step / len};
  };
  const DGNPoint m0 = tangent(i), m1 = tangent(i + 1);
  *size =
      std::fmax(Dist(v[i], v[i + 1]), std::fmax(std::sqrt(Dot(m0, m0)), std::sqrt(Dot(m1, m1))));
  const double h00 = 2 * t * t * t - 3 * t * t + 1, h10 = t * t * t - 2 * t * t + t;
  const double h01 = -2 * t * t * t + 3 * t * t, h11 = t * t * t - t * t;
  return {h00 * v[i].x + h10 * m0.x + h01 * v[i + 1].x + h11 * m1.x,
          h00 * v[i].y + h10 * m0.y + h01 * v[i + 1].y + h11 * m1.y, 0};
}

// Curves: every span within 0.1 % of its size (or a design unit) of its
// cubic, however sharply it bends; a vertex repeated anywhere neither adds a
// point nor turns the stroke back; a curve of 5 vertices is one point.
TEST(Stroke, CurvesKeepTheirToleranceAndNeverDoubleBack) {
  struct Case {
    const char *label;
    std::vector<dgnkit::IPoint> v;
    bool straight;  // along x: the stroke must only go forward
  } cases[] = {
      {"S-bends on short chords",
       {{-15000, 0},
        {-10000, 0},
        {-5000, 0},
        {0, 0},
        {0, 10},
        {5000, 10},
        {5000, 20},
        {10000, 20},
        {15000, 20}},
       false},
      {"zig-zag",
       {{0, 0}, {100, 0}, {200, 3000}, {300, 0}, {400, 3000}, {500, 0}, {600, 3000}, {700, 0}},
       false},
      {"repeated at the start of the run",
       {{0, 0}, {100, 0}, {200, 0}, {200, 0}, {300, 0}, {400, 0}, {500, 0}, {600, 0}},
       true},
      {"repeated inside",
       {{0, 0}, {100, 0}, {200, 0}, {300, 0}, {300, 0}, {400, 0}, {500, 0}},
       true},
      {"repeated at the end of the run",
       {{0, 0}, {100, 0}, {200, 0}, {300, 0}, {400, 0}, {400, 0}, {500, 0}, {600, 0}},
       true},
      {"end directions repeated",
       {{0, 0}, {0, 0}, {200, 0}, {300, 0}, {300, 0}, {400, 0}, {500, 0}, {500, 0}},
       true},
      {"five vertices", {{0, 0}, {100, 0}, {150, 500}, {100, 0}, {200, 0}}, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    Decoded d = Decode(dgnkit::MakeMultiPoint(DGNTYPE_CURVE, c.v), false);
    ASSERT_NE(d.element, nullptr);
    const auto *curve = reinterpret_cast<const DGNMultiPointElement *>(d.element.get());
    std::vector<DGNPoint> out(static_cast<size_t>(DGNCurveStrokeCapacity(curve->num_vertices)) + 1);
    const int n = DGNStrokeCurve(d.file.get(), curve, out.data());
    ASSERT_GE(n, 1);
    out.resize(static_cast<size_t>(n));
    for (size_t i = 1; i < out.size(); ++i) {
      EXPECT_GT(Dist(out[i], out[i - 1]), 0.0) << "repeated point " << i;
      if (c.straight) {
        EXPECT_GT(out[i].x, out[i - 1].x) << "turned back at " << i;
        EXPECT_EQ(out[i].y, 0.0);
      }
    }
    if (c.straight) continue;
    const std::vector<DGNPoint> v(curve->vertices, curve->vertices + curve->num_vertices);
    for (size_t i = 2; i + 3 < v.size(); ++i) {
      for (int k = 0; k <= 400; ++k) {
        double size = 0;
        const DGNPoint p = SpanPoint(v, i, k / 400.0, &size);
        EXPECT_LE(ToPolyline(p, out), std::fmax(0.001 * size, 0.001) * (1 + 1e-9))
            << "span " << i << " at " << k;
      }
    }
  }
}

}  // namespace
