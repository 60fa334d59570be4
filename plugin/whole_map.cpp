// The whole map on import: arcs, ellipses and curves stroked into polylines
// and polygons, complex chains and shapes joined from their components, and
// 16-bit texts turned into the host's code page (whole_map.h).
#include "whole_map.h"

#include <algorithm>
#include <cmath>

#include "HostCodePage.h"
#include "dgnstroke.h"

namespace dgnplugin {

namespace {

// Most characters of a 16-bit text: 255 stored bytes, two of them the marker.
constexpr int kMaxTextChars = 127;

bool IsComplexHeader(const DGNElement *element) {
  return element->kind == DGNKIND_COMPLEX_HEADER &&
         (element->type == DGNTYPE_COMPLEX_CHAIN_HEADER ||
          element->type == DGNTYPE_COMPLEX_SHAPE_HEADER);
}

// True when two points are the same vertex of the map: within `unit` on every axis.
bool SamePlace(const DGNPoint &a, const DGNPoint &b, double unit) {
  return std::fabs(a.x - b.x) <= unit && std::fabs(a.y - b.y) <= unit &&
         std::fabs(a.z - b.z) <= unit;
}

}  // namespace

std::string HostTextOf(const uint16_t *chars, int count) {
  std::string out;
  out.reserve(static_cast<size_t>(count > 0 ? count : 0));
  for (int i = 0; i < count; ++i) {
    const int byte = CodePageByte(chars[i]);
    out += byte >= 0 ? static_cast<char>(byte) : '?';
  }
  return out;
}

std::vector<uint16_t> CharactersOf(const char *hostText) {
  std::vector<uint16_t> out;
  if (hostText == nullptr) return out;
  for (const char *p = hostText; *p != '\0'; ++p)
    out.push_back(static_cast<uint16_t>(CodePageCharacter(static_cast<unsigned char>(*p))));
  return out;
}

bool IsComplexMember(const DGNElement *element, int remaining) {
  return element->complex != 0 && remaining > 0 && !IsComplexHeader(element) &&
         element->type != DGNTYPE_CELL_HEADER;
}

bool JoinsItsComplex(const DGNElement *element) {
  switch (element->type) {
    case DGNTYPE_LINE:
    case DGNTYPE_LINE_STRING:
    case DGNTYPE_CURVE: return element->kind == DGNKIND_MULTIPOINT;
    case DGNTYPE_ARC: return element->kind == DGNKIND_ARC;
    default: return false;
  }
}

WholeMapImport::WholeMapImport(DGNFile *file, TVectorCallbacksPlugIn *callbacks)
    : file_(file), callbacks_(callbacks) {
  const double unit = std::fabs(DGNGetScale(file));
  unit_ = std::isfinite(unit) ? unit : 0.0;
}

void WholeMapImport::Take(DGNElement *element, int levels[2]) {
  levels[0] = levels[1] = -1;
  if (open_) {
    // A component: the next element with the complex bit, as long as the
    // header announced more.  A header of its own or a cell ends the
    // complex element instead.
    if (IsComplexMember(element, remaining_)) {
      --remaining_;
      if (element->deleted == 0 && !Join(element)) levels[0] = SendAlone(element);
      if (remaining_ == 0) levels[1] = Close();
      return;
    }
    levels[0] = Close();
  }
  // Deleted elements send nothing.
  if (element->deleted != 0) return;
  if (IsComplexHeader(element)) {
    const int announced = static_cast<DGNComplexHeaderElement *>(element)->num_elements;
    if (announced <= 0) return;
    open_ = true;
    remaining_ = announced;
    runs_ = 0;
    header_ = *element;
    // Only the fields are kept: the blocks the element owns go with it.
    header_.attr_data = nullptr;
    header_.attr_bytes = 0;
    header_.raw_data = nullptr;
    header_.raw_bytes = 0;
    points_.clear();
    return;
  }
  levels[1] = SendAlone(element);
}

int WholeMapImport::Finish() { return open_ ? Close() : -1; }

int WholeMapImport::Close() {
  open_ = false;
  remaining_ = 0;
  if (points_.size() < 2) {
    points_.clear();
    return -1;
  }
  const bool shape = header_.type == DGNTYPE_COMPLEX_SHAPE_HEADER;
  if (shape) {
    // A shape ends where it starts, as a shape element stores it.
    if (points_.size() > 2 && SamePlace(points_.back(), points_.front(), unit_)) {
      points_.back() = points_.front();
    } else {
      points_.push_back(points_.front());
    }
  }
  SendPoints(file_, header_, shape ? 1 : 0, header_.style, points_.data(),
             static_cast<int32_t>(points_.size()), callbacks_);
  points_.clear();
  return header_.level;
}

bool WholeMapImport::Join(DGNElement *element) {
  if (!JoinsItsComplex(element)) return false;
  switch (element->type) {
    case DGNTYPE_LINE:
    case DGNTYPE_LINE_STRING: {
      if (element->kind != DGNKIND_MULTIPOINT) return false;
      const auto *mp = static_cast<const DGNMultiPointElement *>(element);
      AppendRun(mp->vertices, mp->num_vertices);
      return true;
    }
    case DGNTYPE_CURVE: {
      if (element->kind != DGNKIND_MULTIPOINT) return false;
      const auto *curve = static_cast<const DGNMultiPointElement *>(element);
      stroke_.resize(static_cast<size_t>(DGNCurveStrokeCapacity(curve->num_vertices)) + 1);
      AppendRun(stroke_.data(), DGNStrokeCurve(file_, curve, stroke_.data()));
      return true;
    }
    case DGNTYPE_ARC: {
      if (element->kind != DGNKIND_ARC) return false;
      stroke_.resize(DGN_STROKE_MAX_ARC_POINTS);
      AppendRun(stroke_.data(),
                DGNStrokeArc(file_, static_cast<const DGNArcElement *>(element), stroke_.data()));
      return true;
    }
    default: return false;
  }
}

void WholeMapImport::AppendRun(const DGNPoint *points, int n) {
  if (n <= 0) return;
  ++runs_;
  if (points_.empty()) {
    points_.assign(points, points + n);
    return;
  }
  // Components follow each other in file order; one stored the other way
  // round (an arc drawn from the far end) is turned, and so is the first
  // component when it is the second that shows the chain's direction.
  const bool startTouches = SamePlace(points_.back(), points[0], unit_);
  const bool endTouches = SamePlace(points_.back(), points[n - 1], unit_);
  bool reversed = !startTouches && endTouches;
  if (runs_ == 2 && !startTouches && !endTouches) {
    const bool toFirstStart = SamePlace(points_.front(), points[0], unit_);
    const bool toFirstEnd = SamePlace(points_.front(), points[n - 1], unit_);
    if (toFirstStart || toFirstEnd) {
      std::reverse(points_.begin(), points_.end());
      reversed = !toFirstStart;
    }
  }
  for (int k = 0; k < n; ++k) {
    const DGNPoint &p = points[reversed ? n - 1 - k : k];
    // No repeated vertex where one component ends and the next begins.
    if (k == 0 && SamePlace(points_.back(), p, unit_)) continue;
    points_.push_back(p);
  }
}

int WholeMapImport::SendAlone(DGNElement *element) {
  switch (element->type) {
    case DGNTYPE_ELLIPSE:
    case DGNTYPE_ARC: {
      if (element->kind != DGNKIND_ARC) return -1;
      stroke_.resize(DGN_STROKE_MAX_ARC_POINTS);
      const int n =
          DGNStrokeArc(file_, static_cast<const DGNArcElement *>(element), stroke_.data());
      if (n < 2) return -1;
      SendPoints(file_, *element, element->type == DGNTYPE_ELLIPSE ? 1 : 0, -1, stroke_.data(), n,
                 callbacks_);
      return element->level;
    }
    case DGNTYPE_CURVE: {
      if (element->kind != DGNKIND_MULTIPOINT) return -1;
      const auto *curve = static_cast<const DGNMultiPointElement *>(element);
      stroke_.resize(static_cast<size_t>(DGNCurveStrokeCapacity(curve->num_vertices)) + 1);
      const int n = DGNStrokeCurve(file_, curve, stroke_.data());
      if (n < 2) return -1;
      SendPoints(file_, *element, 0, -1, stroke_.data(), n, callbacks_);
      return element->level;
    }
    case DGNTYPE_TEXT: {
      if (element->kind != DGNKIND_TEXT) break;
      // A 16-bit text reaches the host in its code page; an 8-bit one as stored.
      auto *text = static_cast<DGNTextElement *>(element);
      uint16_t chars[kMaxTextChars];
      const int n = DGNGetTextWide(file_, text, chars, kMaxTextChars);
      if (n < 0) break;
      SendText(file_, text, HostTextOf(chars, n).c_str(), callbacks_);
      return element->level;
    }
    default: break;
  }
  return SendElement(file_, element, callbacks_);
}

}  // namespace dgnplugin
