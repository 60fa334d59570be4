// Stroking arcs, ellipses and curves into points (dgnstroke.h).
#include "dgnstroke.h"

#include <cmath>
#include <cstring>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180.0;
// Stored quaternion components are fractions scaled by 2^31.
constexpr double kQuatScale = 2147483648.0;
// Chords of an arc may depart from it by this share of its larger axis.
constexpr double kArcTolerance = 0.001;
// Largest angle one chord may span, even on an arc too small for the
// tolerance to matter: eight chords to a whole turn.
constexpr double kMaxChordAngle = kPi / 4.0;
// Smallest: 360 chords to a whole turn (the tolerance alone never asks for
// more than 71).
constexpr double kMinChordAngle = 2.0 * kPi / 360.0;
// Chords of a curve may depart from it by this share of the size of the span
// they cover: the largest of its chord and its two end tangents.
constexpr double kCurveTolerance = 0.001;

// One design unit of the file in master units; 0 when the file's units give none.
double DesignUnit(const DGNFile *handle) {
  const double unit = handle != nullptr ? std::fabs(handle->scale) : 0.0;
  return std::isfinite(unit) ? unit : 0.0;
}

bool Finite(const DGNPoint &p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// A rotation as a 3 x 3 matrix, row by row.
struct Rotation {
  double m[3][3];
};

// The rotation of a stored quaternion w, x, y, z (each scaled by 2^31); all
// zeros, or no length at all, mean no rotation.
Rotation QuaternionRotation(const int32_t quat[4]) {
  double w = quat[0] / kQuatScale;
  double x = quat[1] / kQuatScale;
  double y = quat[2] / kQuatScale;
  double z = quat[3] / kQuatScale;
  const double norm = std::sqrt(w * w + x * x + y * y + z * z);
  if (!(norm > 0.0)) return Rotation{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  // Stored values are rounded: unit length again, so that the rotation does
  // not also scale.
  w /= norm;
  x /= norm;
  y /= norm;
  z /= norm;
  return Rotation{{{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
                   {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
                   {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}}};
}

// The bits of an empty entry's angle: a NaN, which no angle stroked is.
constexpr uint64_t kNoAngle = 0x7FF8DEADBEEF0001ull;

// The cosine and sine of `radians`, from `angles` when it holds them (angles
// are told apart by their bits, so that -0 keeps its negative sine).
void CosineSine(double radians, DGNStrokeAngles *angles, double *c, double *s) {
  if (angles == nullptr) {
    *c = std::cos(radians);
    *s = std::sin(radians);
    return;
  }
  uint64_t bits = 0;
  std::memcpy(&bits, &radians, sizeof bits);
  // The angles of a file differ mostly in their high bits.
  const uint64_t mixed = (bits ^ (bits >> 29) ^ (bits >> 43)) * 0x9E3779B97F4A7C15ull;
  DGNStrokeAngles::Entry &e = angles->entries[mixed >> 52 & (DGN_STROKE_ANGLES - 1)];
  if (e.radians != bits) {
    e.radians = bits;
    e.cosine = std::cos(radians);
    e.sine = std::sin(radians);
  }
  *c = e.cosine;
  *s = e.sine;
}

// A rotation by `degrees` about the z axis (the rotation of a 2D element).
Rotation PlaneRotation(double degrees, DGNStrokeAngles *angles) {
  double c = 0.0, s = 0.0;
  CosineSine(degrees * kDegree, angles, &c, &s);
  return Rotation{{{c, -s, 0}, {s, c, 0}, {0, 0, 1}}};
}

// The chord angle that keeps chords of an ellipse of largest half-axis
// `radius` within `tolerance` of it: a chord spanning the angle d departs by
// at most radius * (1 - cos(d / 2)).
double ChordAngle(double radius, double tolerance) {
  if (tolerance >= radius) return kMaxChordAngle;
  // Wherever the design unit is below the tolerance share, tolerance / radius
  // is that share, give or take its last bit, and the cosine below is the same
  // for nearly every arc of a file: its angle is worked out once.
  static const double kShareCosine = 1.0 - kArcTolerance;
  static const double kShareAngle = 2.0 * std::acos(kShareCosine);
  const double cosine = 1.0 - tolerance / radius;
  const double angle = cosine == kShareCosine ? kShareAngle : 2.0 * std::acos(cosine);
  if (!(angle > kMinChordAngle)) return kMinChordAngle;
  return angle < kMaxChordAngle ? angle : kMaxChordAngle;
}

DGNPoint Add(const DGNPoint &a, const DGNPoint &b) {
  return DGNPoint{a.x + b.x, a.y + b.y, a.z + b.z};
}
DGNPoint Sub(const DGNPoint &a, const DGNPoint &b) {
  return DGNPoint{a.x - b.x, a.y - b.y, a.z - b.z};
}
DGNPoint Scale(const DGNPoint &a, double k) { return DGNPoint{a.x * k, a.y * k, a.z * k}; }
double Length(const DGNPoint &a) { return std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z); }

bool SamePoint(const DGNPoint &a, const DGNPoint &b) {
  return a.x == b.x && a.y == b.y && a.z == b.z;
}

// The tangent of a curve at its run vertex i, whose neighbours in the run
// (repeated vertices taken once) are prev and next; prev < 0 at the first
// vertex of the run, next > last at its last.  Inside the run: half the step
// from the vertex before to the one after.  At the ends: the direction of the
// two end vertices outside the run, as long as the neighbouring step of the
// run (or, when those two coincide, the inner rule with them).
DGNPoint CurveTangent(const DGNPoint *v, int n, int prev, int i, int next) {
  if (prev < 0 || next > n - 3) {
    // A stroked run has two vertices at least, so no vertex is both ends.
    const bool at_first = prev < 0;
    const DGNPoint direction = at_first ? Sub(v[1], v[0]) : Sub(v[n - 1], v[n - 2]);
    const double length = Length(direction);
    const double step = at_first ? Length(Sub(v[next], v[i])) : Length(Sub(v[i], v[prev]));
    if (length > 0.0) return Scale(direction, step / length);
    return at_first ? Scale(Sub(v[next], v[1]), 0.5) : Scale(Sub(v[n - 2], v[prev]), 0.5);
  }
  return Scale(Sub(v[next], v[prev]), 0.5);
}

}  // namespace

DGNStrokeAngles::DGNStrokeAngles() {
  for (Entry &e : entries) e = Entry{kNoAngle, 0.0, 0.0};
}

int DGNStrokeArc(const DGNFile *handle, const DGNArcElement *arc, DGNPoint *out) {
  return DGNStrokeArc(handle, arc, out, nullptr);
}

int DGNStartArcStroke(const DGNFile *handle, const DGNArcElement *arc, DGNStrokeAngles *angles,
                      DGNArcStroke *stroke) {
  if (arc == nullptr || stroke == nullptr) return 0;
  const bool closed = arc->type == DGNTYPE_ELLIPSE;
  const double a = arc->primary_axis;
  const double b = arc->secondary_axis;
  const double start = closed ? 0.0 : arc->start_angle;
  double sweep = closed ? 360.0 : arc->sweep_angle;
  const bool three_d = handle != nullptr && handle->dimension == 3;
  if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(start) || !std::isfinite(sweep) ||
      !Finite(arc->origin) || (!three_d && !std::isfinite(arc->rotation))) {
    return 0;
  }
  const double radius = std::fmax(std::fabs(a), std::fabs(b));
  if (radius == 0.0 || sweep == 0.0) return 0;
  // More than a whole turn only draws the same ring again.
  if (sweep > 360.0) sweep = 360.0;
  if (sweep < -360.0) sweep = -360.0;

  const double tolerance = std::fmax(kArcTolerance * radius, DesignUnit(handle));
  const double span = std::fabs(sweep) * kDegree;
  int segments = static_cast<int>(std::ceil(span / ChordAngle(radius, tolerance) - 1e-9));
  if (segments < 1) segments = 1;
  if (segments > DGN_STROKE_MAX_ARC_POINTS - 1) segments = DGN_STROKE_MAX_ARC_POINTS - 1;

  DGNArcStroke &k = *stroke;
  k.count = segments + 1;
  k.next = 0;
  k.closed = closed;
  k.a = a;
  k.b = b;
  // In a 3D file the element's orientation is its quaternion; in a 2D one its
  // rotation about the origin.
  const Rotation r = three_d ? QuaternionRotation(arc->quat) : PlaneRotation(arc->rotation, angles);
  k.r00 = r.m[0][0];
  k.r01 = r.m[0][1];
  k.r10 = r.m[1][0];
  k.r11 = r.m[1][1];
  k.r20 = r.m[2][0];
  k.r21 = r.m[2][1];
  k.ox = arc->origin.x;
  k.oy = arc->origin.y;
  k.oz = arc->origin.z;
  // A plane rotation leaves z alone: oz plus two zero products is oz itself,
  // unless oz is a negative zero, which a positive zero product would turn.
  k.flat = !three_d && !(k.oz == 0.0 && std::signbit(k.oz));
  // With every input within 1e300 no sum of three products of them with
  // cosines, sines and rotation entries (each within 1 and a hair) can
  // overflow.
  constexpr double kSafe = 1e300;
  k.safe = std::fabs(k.ox) <= kSafe && std::fabs(k.oy) <= kSafe && std::fabs(k.oz) <= kSafe &&
           std::fabs(a) <= kSafe && std::fabs(b) <= kSafe;
  // The angle advances by equal steps, its cosine and sine by the rotation of
  // one step (no sine or cosine per point); the last point is computed on the
  // end angle itself, so that the stroke ends exactly there.
  CosineSine(sweep * kDegree / segments, angles, &k.step_cos, &k.step_sin);
  CosineSine(start * kDegree, angles, &k.c, &k.s);
  CosineSine((start + sweep) * kDegree, angles, &k.end_cos, &k.end_sin);
  return k.count;
}

int DGNStrokeArc(const DGNFile *handle, const DGNArcElement *arc, DGNPoint *out,
                 DGNStrokeAngles *angles) {
  if (out == nullptr) return 0;
  // Everything the loop reads is held in a local: `out` might alias the
  // element.
  DGNArcStroke k;
  const int n = DGNStartArcStroke(handle, arc, angles, &k);
  if (n <= 0) return 0;
  for (int i = 0; i < n; ++i) out[i] = DGNNextArcPoint(&k);
  if (!k.safe) {
    for (int i = 0; i < n; ++i)
      if (!Finite(out[i])) return 0;
  }
  return n;
}

int DGNCurveStrokeCapacity(int vertex_count) {
  if (vertex_count < 5) return 0;
  return (vertex_count - 5) * DGN_STROKE_CURVE_STEPS + 1;
}

int DGNStrokeCurve(const DGNFile *handle, const DGNMultiPointElement *curve, DGNPoint *out) {
  if (curve == nullptr || out == nullptr) return 0;
  const int n = curve->num_vertices;
  if (n < 5) return 0;
  const DGNPoint *v = curve->vertices;
  for (int i = 0; i < n; ++i) {
    if (!Finite(v[i])) return 0;
  }
  const double unit = DesignUnit(handle);
  const int first = 2;
  const int last = n - 3;
  // The run is walked with repeated vertices taken once: a span of no length
  // adds no point, and gives no tangent that could turn the stroke back.
  auto next_of = [&](int i) {
    int k = i + 1;
    while (k <= last && SamePoint(v[k], v[i])) ++k;
    return k;
  };
  int count = 0;
  out[count++] = v[first];
  int prev = -1;
  int i = first;
  int next = next_of(first);
  while (next <= last) {
    const int after = next_of(next);
    // A cubic from v[i] to v[next] with the tangents m0, m1 there.
    const DGNPoint &p0 = v[i];
    const DGNPoint &p1 = v[next];
    const DGNPoint m0 = CurveTangent(v, n, prev, i, next);
    const DGNPoint m1 = CurveTangent(v, n, i, next, after);
    // Its second derivative is linear along it, so largest at one end; a
    // chord over a parameter step h then departs by at most h^2 / 8 of it.
    // With the tolerance a share of the span's size, which bounds that
    // derivative at 12 sizes, no span needs more than DGN_STROKE_CURVE_STEPS.
    const DGNPoint d = Sub(p1, p0);
    const DGNPoint at0 = Sub(Sub(Scale(d, 6.0), Scale(m0, 4.0)), Scale(m1, 2.0));
    const DGNPoint at1 = Add(Add(Scale(d, -6.0), Scale(m0, 2.0)), Scale(m1, 4.0));
    const double bend = std::fmax(Length(at0), Length(at1));
    const double size = std::fmax(Length(d), std::fmax(Length(m0), Length(m1)));
    const double tolerance = std::fmax(kCurveTolerance * size, unit);
    int steps = 1;
    if (tolerance > 0.0) {
      const double wanted = std::ceil(std::sqrt(bend / (8.0 * tolerance)));
      if (wanted > 1.0)
        steps = wanted < DGN_STROKE_CURVE_STEPS ? static_cast<int>(wanted) : DGN_STROKE_CURVE_STEPS;
    }
    for (int k = 1; k < steps; ++k) {
      const double t = static_cast<double>(k) / steps;
      const double t2 = t * t;
      const double t3 = t2 * t;
      const double h00 = 2 * t3 - 3 * t2 + 1;
      const double h10 = t3 - 2 * t2 + t;
      const double h01 = -2 * t3 + 3 * t2;
      const double h11 = t3 - t2;
      const DGNPoint p =
          Add(Add(Scale(p0, h00), Scale(m0, h10)), Add(Scale(p1, h01), Scale(m1, h11)));
      if (!Finite(p)) return 0;
      out[count++] = p;
    }
    // Every vertex of the run is passed through exactly.
    out[count++] = p1;
    prev = i;
    i = next;
    next = after;
  }
  return count;
}
