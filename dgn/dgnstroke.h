// Stroking the curved elements of a design file into points: arcs and
// ellipses (types 16, 15) along their axes, curves (type 11) through their
// vertices.  Pure geometry on decoded records, in master units; nothing is
// read from or written to a file.
#ifndef DGN_DGNSTROKE_H
#define DGN_DGNSTROKE_H

#include <cstdint>

#include "dgnmodel.h"

// Room for the points of a stroked arc or ellipse: 360 segments for a whole
// turn (the chord bound below asks for 71 at most).
constexpr int DGN_STROKE_MAX_ARC_POINTS = 361;
// Most segments a stroked curve has between two consecutive vertices it
// passes through: what the chord bound of a curve can ask for, not a cap.
constexpr int DGN_STROKE_CURVE_STEPS = 39;

// Strokes an arc (an open run from its start to its end angle) or an ellipse
// (a closed ring whose last point equals its first) into `out`, which has room
// for DGN_STROKE_MAX_ARC_POINTS points.  No chord departs from the true curve
// by more than 0.1 % of the larger axis or one design unit of `handle`,
// whichever is larger (a whole turn: 8 to 71 chords).  Gives the number of
// points, or 0 when the element draws nothing: both axes 0, no sweep, or
// values that are not finite.
int DGNStrokeArc(const DGNFile *handle, const DGNArcElement *arc, DGNPoint *out);

// Cosines and sines of angles already met, for a caller that strokes many
// arcs: a file stores its angles in whole units of 1/360000 degree and
// drawings reuse few of them (starts, sweeps, rotations), so each is worked
// out once.  A fixed table of DGN_STROKE_ANGLES entries; an angle that finds
// its entry taken replaces what it held.  Used by one thread at a time.
constexpr int DGN_STROKE_ANGLES = 4096;
struct DGNStrokeAngles {
  struct Entry {
    uint64_t radians;  // the bits of the angle, or those of a NaN when empty
    double cosine;
    double sine;
  };
  Entry entries[DGN_STROKE_ANGLES];
  DGNStrokeAngles();
};

// DGNStrokeArc with the cosines and sines of its angles kept in `angles`
// (null: none kept); the points are the same to the last bit.
int DGNStrokeArc(const DGNFile *handle, const DGNArcElement *arc, DGNPoint *out,
                 DGNStrokeAngles *angles);

// The stroke of an arc or ellipse point by point, for a caller that hands
// each point on as it comes: the points of DGNStrokeArc, in its order.
struct DGNArcStroke {
  int count;  // points in all
  int next;   // the one DGNNextArcPoint gives
  // False for an arc so large that a point may overflow: DGNStrokeArc then
  // checks every point, and a caller of DGNNextArcPoint must too.
  bool safe;
  // The rest is the stroke's own.
  bool closed;
  bool flat;
  double a, b;
  double ox, oy, oz;
  double r00, r01, r10, r11, r20, r21;
  double c, s;
  double step_cos, step_sin;
  double end_cos, end_sin;
  DGNPoint first;
};

// Prepares the stroke of `arc` into `stroke` (`angles` as for DGNStrokeArc);
// gives its number of points, 0 when the element draws nothing.
int DGNStartArcStroke(const DGNFile *handle, const DGNArcElement *arc, DGNStrokeAngles *angles,
                      DGNArcStroke *stroke);

// Gives the next point of a prepared stroke; called `count` times.
inline DGNPoint DGNNextArcPoint(DGNArcStroke *stroke) {
  DGNArcStroke &k = *stroke;
  const bool last = ++k.next == k.count;
  // An ellipse ends on the very point it started from.
  if (last && k.closed) return k.first;
  const double cosine = last ? k.end_cos : k.c;
  const double sine = last ? k.end_sin : k.s;
  const double lx = k.a * cosine;
  const double ly = k.b * sine;
  DGNPoint p;
  p.x = k.ox + k.r00 * lx + k.r01 * ly;
  p.y = k.oy + k.r10 * lx + k.r11 * ly;
  p.z = k.flat ? k.oz : k.oz + k.r20 * lx + k.r21 * ly;
  if (k.next == 1) k.first = p;
  const double next_c = k.c * k.step_cos - k.s * k.step_sin;
  k.s = k.s * k.step_cos + k.c * k.step_sin;
  k.c = next_c;
  return p;
}

// Points that the stroke of a curve of `vertex_count` vertices may need (0 below 5).
int DGNCurveStrokeCapacity(int vertex_count);

// Strokes a curve element: a smooth run through its vertices from the third to
// the third-last, the first two and last two setting the direction at its ends.
// Each span between two vertices is a cubic whose tangents are half the step
// between the vertices around it; no chord departs from it by more than 0.1 %
// of the span's size (the largest of its chord and its end tangents) or one
// design unit, whichever is larger.  A vertex repeated in the run is passed
// once.  `out` has room for DGNCurveStrokeCapacity(num_vertices) points.  Gives
// the number of points: 0 for a curve of fewer than 5 vertices (which passes
// through none) or with coordinates that are not finite, 1 for a run of one
// vertex (a curve of 5).
int DGNStrokeCurve(const DGNFile *handle, const DGNMultiPointElement *curve, DGNPoint *out);

#endif  // DGN_DGNSTROKE_H
