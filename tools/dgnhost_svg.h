// dgnhost's SVG: the import drawn as a user would look at it, written as the
// objects arrive.  Polygons under lines under texts, y axis up, the view
// fitted to the extents of the map.
#ifndef DGN_TOOLS_DGNHOST_SVG_H
#define DGN_TOOLS_DGNHOST_SVG_H

#include <string>
#include <vector>

#include "dgnhost_import.h"
#include "dgnhost_text.h"

// The part of the map plane to draw, in master units.
struct SvgView {
  bool any = false;
  double minX = 0, minY = 0, maxX = 0, maxY = 0;
  // Widens the view to hold a point (non-finite ones are ignored).
  void Add(double x, double y);
};

// Gives the extents of the design file at `path` as the engine finds them
// when it indexes the file; an empty view when it has none.
SvgView MapExtents(const std::string &path);

// Gives the dimension of the design file at `path` (3 for a 3D file, else 2).
int MapDimension(const std::string &path);

class SvgSink : public ObjectSink {
 public:
  // Starts the drawing in `out` (titled `title`).  Polylines and texts wait
  // in spill files beside `target` until the polygons under them are done.
  SvgSink(OutputFile &out, const std::string &target, const SvgView &view,
          const std::string &title);
  // False (with a message) when a spill file could not be made.
  bool Ready() const { return ready_; }
  void Take(const ImportedObject &o, const std::vector<ImportedLayer> &layers) override;
  // Puts the polylines and texts after the polygons and ends the drawing;
  // false when a spill file failed.
  bool Finish();

 private:
  double X(double x) const { return margin_ + (x - view_.minX) * scale_; }
  double Y(double y) const { return margin_ + (view_.maxY - y) * scale_; }  // y up on the map

  OutputFile &out_;
  SpillFile lines_, texts_;
  SvgView view_;
  double scale_ = 1.0;
  double margin_;
  bool ready_ = false;
  std::string item_;  // one drawn object, reused
};

#endif  // DGN_TOOLS_DGNHOST_SVG_H
