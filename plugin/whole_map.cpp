// The whole map on import: arcs, ellipses and curves stroked into polylines
// and polygons, complex chains and shapes joined from their components, and
// 16-bit texts turned into the host's code page (whole_map.h).
#include "whole_map.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <new>

#include "HostCodePage.h"
#include "dgnstroke.h"

namespace dgnplugin {

namespace {

// Most characters of a 16-bit text: 255 stored bytes, two of them the marker.
constexpr int kMaxTextChars = 127;
// Warnings shown in full in one import; the rest are counted.
constexpr int kMaxNotices = 20;
// Ends this share of a design unit beyond one unit apart still join: the
// coordinates are design integers times the unit, and that product is
// rounded.
constexpr double kJointSlack = 1e-6;

bool IsComplexHeader(int type) {
  return type == DGNTYPE_COMPLEX_CHAIN_HEADER || type == DGNTYPE_COMPLEX_SHAPE_HEADER;
}

// True when two points are the same vertex of the map: no more than one
// design unit `unit` apart.
bool SamePlace(const DGNPoint &a, const DGNPoint &b, double unit) {
  const double dx = a.x - b.x;
  const double dy = a.y - b.y;
  const double dz = a.z - b.z;
  const double reach = unit * (1.0 + kJointSlack);
  return dx * dx + dy * dy + dz * dz <= reach * reach;
}

// The header fields of an element, without the blocks it owns (they go with it).
DGNElement FieldsOf(const DGNElement *element) {
  DGNElement fields = *element;
  fields.attr_data = nullptr;
  fields.attr_bytes = 0;
  fields.raw_data = nullptr;
  fields.raw_bytes = 0;
  return fields;
}

const char *ComplexName(int type) {
  return type == DGNTYPE_COMPLEX_SHAPE_HEADER ? "complex shape" : "complex chain";
}

bool IsHighSurrogate(unsigned c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(unsigned c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::string HostTextOf(const uint16_t *chars, int count) {
  std::string out;
  // Zeros at the end pad the stored text; one inside is a character.
  while (count > 0 && chars[count - 1] == 0) --count;
  out.reserve(static_cast<size_t>(count > 0 ? count : 0));
  for (int i = 0; i < count; ++i) {
    // A surrogate pair is one character, and none of the code page's.
    if (IsHighSurrogate(chars[i]) && i + 1 < count && IsLowSurrogate(chars[i + 1])) {
      out += '?';
      ++i;
      continue;
    }
    // The host's strings end at a zero byte, so a zero inside cannot be one.
    const int byte = chars[i] != 0 ? CodePageByte(chars[i]) : -1;
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

// ---------------------------------------------------------------------------
// Complex elements and warnings
// ---------------------------------------------------------------------------

bool IsNextComponent(int remaining, int type, bool complexBit) {
  return complexBit && remaining > 0 && !IsComplexHeader(type) && type != DGNTYPE_CELL_HEADER;
}

bool IsComplexMember(const DGNElement *element, int remaining) {
  return IsNextComponent(remaining, element->type, element->complex != 0);
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

ComplexWalk::Role ComplexWalk::Place(const DGNElement *element) {
  if (open_) {
    if (IsNextComponent(remaining_, element->type, element->complex != 0)) {
      ++header_.found;
      if (--remaining_ > 0) return kComponent;
      open_ = false;
      return kLastComponent;
    }
    EndShort();
  }
  // A deleted header, or one that announces nothing, collects nothing.
  if (element->deleted != 0 || element->kind != DGNKIND_COMPLEX_HEADER ||
      !IsComplexHeader(element->type))
    return kAlone;
  const int announced = static_cast<const DGNComplexHeaderElement *>(element)->num_elements;
  if (announced <= 0) return kAlone;
  open_ = true;
  remaining_ = announced;
  header_ = ShortComplex{element->offset, element->type, announced, 0};
  return kHeader;
}

void ComplexWalk::Finish() {
  if (open_) EndShort();
}

void ComplexWalk::EndShort() {
  open_ = false;
  remaining_ = 0;
  ended_ = true;
  short_ = header_;
}

bool ComplexWalk::EndedShort(ShortComplex *out) {
  if (!ended_) return false;
  ended_ = false;
  *out = short_;
  return true;
}

void ImportNotices::Show(const char *text) {
  if (shown_ >= kMaxNotices) {
    ++held_;
    return;
  }
  ++shown_;
  if (sink_ != nullptr && sink_->Show != nullptr) sink_->Show(sink_, text);
}

void ImportNotices::Finish() {
  if (held_ == 0) return;
  char text[200];
  std::snprintf(text, sizeof text,
                "Warning in DGN (QuarvelPlugIn_Read_Vector_Map3): %d more warnings like the "
                "ones above were not shown.",
                held_);
  held_ = 0;
  if (sink_ != nullptr && sink_->Show != nullptr) sink_->Show(sink_, text);
}

// ---------------------------------------------------------------------------
// The import
// ---------------------------------------------------------------------------

ImportWalk::ImportWalk(DGNFile *file, TVectorCallbacksPlugIn *callbacks, TMessagePlugIn *sink,
                       bool wholeMap)
    : file_(file), callbacks_(callbacks), wholeMap_(wholeMap), notices_(sink) {
  const double unit = std::fabs(DGNGetScale(file));
  unit_ = std::isfinite(unit) ? unit : 0.0;
  // Without the room for it arcs are stroked all the same, only slower.
  if (wholeMap_) angles_.reset(new (std::nothrow) DGNStrokeAngles);
}

void ImportWalk::Take(DGNElement *element, LevelNotes &levels, const DGNVertexRun *vertices) {
  try {
    TakeElement(element, levels, vertices);
  } catch (const std::bad_alloc &) {
    // What this element or its complex element needed is not to be had:
    // they are left out, and the rest of the map still arrives.
    char text[300];
    std::snprintf(text, sizeof text,
                  "Warning in DGN (QuarvelPlugIn_Read_Vector_Map3): memory ran out for element "
                  "%d at offset %lld%s; it is not delivered.",
                  element->element_id, static_cast<long long>(element->offset),
                  collecting_ ? " and the complex element it belongs to" : "");
    const bool inComplex = collecting_;
    Reset(true);
    collecting_ = dropped_ = inComplex;
    notices_.Show(text);
  }
}

void ImportWalk::TakeElement(DGNElement *element, LevelNotes &levels,
                             const DGNVertexRun *vertices) {
  const ComplexWalk::Role role = walk_.Place(element);
  ShortComplex cut;
  if (walk_.EndedShort(&cut)) CloseShort(cut, levels);
  if (!wholeMap_) {
    levels.Note(SendElement(file_, element, callbacks_));
    return;
  }
  switch (role) {
    case ComplexWalk::kHeader: Open(element); return;
    case ComplexWalk::kComponent:
    case ComplexWalk::kLastComponent: {
      const DGNPoint *points = nullptr;
      int n = 0;
      if (element->deleted == 0) {
        if (vertices != nullptr) {
          // Decoded from the element's bytes as they are joined.
          const DGNVertexRun &run = *vertices;
          Join(
              element, [&run](int i) { return DGNRunVertex(run, i); }, run.count, levels);
        } else if (!StrokeComponent(element, &points, &n)) {
          SendAlone(element, levels);
        } else {
          Join(
              element, [points](int i) { return points[i]; }, n, levels);
        }
      }
      if (role == ComplexWalk::kLastComponent) Close(levels);
      return;
    }
    case ComplexWalk::kAlone:
      if (element->deleted == 0) SendAlone(element, levels);
      return;
  }
}

template <class At>
void ImportWalk::Join(const DGNElement *element, const At &at, int n, LevelNotes &levels) {
  // A run of fewer than two points (a curve of 5 vertices) adds nothing.
  if (dropped_ || n < 2) return;
  // Kept while they fit in one object: beyond that the complex element goes
  // in pieces anyway.
  if (keepComponents_ && componentPoints_ + size_t(n) > size_t(kMaxObjectPoints)) DropComponents();
  Component *kept = nullptr;
  if (keepComponents_) {
    components_.push_back(Component{FieldsOf(element), 0, 0, false, false, DGNPoint{}});
    componentPoints_ += size_t(n);
    kept = &components_.back();
  }
  AppendRun(at, n, kept);
  SendPieces(false, levels);
}

void ImportWalk::Finish(LevelNotes &levels) {
  walk_.Finish();
  ShortComplex cut;
  if (walk_.EndedShort(&cut)) CloseShort(cut, levels);
  notices_.Finish();
}

void ImportWalk::Open(const DGNElement *header) {
  Reset(false);
  collecting_ = true;
  header_ = FieldsOf(header);
}

void ImportWalk::DropComponents() {
  keepComponents_ = false;
  std::vector<Component>().swap(components_);
  componentPoints_ = 0;
}

void ImportWalk::Reset(bool release) {
  collecting_ = false;
  dropped_ = false;
  keepComponents_ = true;
  runs_ = 0;
  pieces_ = 0;
  joined_ = 0;
  points_.clear();
  components_.clear();
  componentPoints_ = 0;
  if (release) {
    std::vector<DGNPoint>().swap(points_);
    std::vector<Component>().swap(components_);
    std::vector<DGNPoint>().swap(stroke_);
  }
}

void ImportWalk::Close(LevelNotes &levels) {
  if (dropped_ || points_.size() < 2) {
    Reset(false);
    return;
  }
  const bool shape = header_.type == DGNTYPE_COMPLEX_SHAPE_HEADER;
  if (shape) {
    // A shape ends where it starts, as a shape element stores it.
    if ((pieces_ > 0 || points_.size() > 2) && SamePlace(points_.back(), first_, unit_)) {
      points_.back() = first_;
    } else {
      points_.push_back(first_);
      ++joined_;
    }
  }
  if (pieces_ == 0 && points_.size() <= size_t(kMaxObjectPoints)) {
    SendPoints(file_, header_, shape ? 1 : 0, header_.style, points_.data(),
               static_cast<int32_t>(points_.size()), callbacks_);
    levels.Note(header_.level);
  } else {
    // Too long for one object: its outline goes as open polylines, a shape's
    // included, since no piece of an area is an area.
    SendPieces(true, levels);
    NotePieces(header_, joined_, pieces_);
  }
  Reset(false);
}

void ImportWalk::CloseShort(const ShortComplex &cut, LevelNotes &levels) {
  char text[400];
  const int printed = std::snprintf(
      text, sizeof text,
      "Warning in DGN (QuarvelPlugIn_Read_Vector_Map3): the %s at offset %lld announces %d "
      "components but %d follow it; ",
      ComplexName(cut.type), static_cast<long long>(cut.offset), cut.announced, cut.found);
  const size_t used = printed > 0 ? size_t(printed) : 0;
  if (dropped_) {
    std::snprintf(text + used, sizeof text - used, "it was left out.");
  } else if (!wholeMap_ || keepComponents_) {
    // No whole object can be made of what came: each component is sent on
    // its own, as it would be outside any complex element.
    for (const Component &c : components_) {
      const std::vector<DGNPoint> stored = StoredPoints(c);
      SendRun(c.fields, 0, stored.data(), stored.size(), levels);
    }
    std::snprintf(text + used, sizeof text - used, "they are delivered on their own.");
  } else {
    // Too long to keep its components, or its first pieces went already:
    // what was joined goes in pieces, left open.
    if (points_.size() >= 2) SendPieces(true, levels);
    std::snprintf(text + used, sizeof text - used,
                  "it is delivered as %d open polylines up to where they stop.", pieces_);
  }
  notices_.Show(text);
  Reset(false);
}

bool ImportWalk::StrokeComponent(const DGNElement *element, const DGNPoint **points, int *n) {
  if (!JoinsItsComplex(element)) return false;
  switch (element->type) {
    case DGNTYPE_LINE:
    case DGNTYPE_LINE_STRING: {
      if (element->kind != DGNKIND_MULTIPOINT) return false;
      const auto *mp = static_cast<const DGNMultiPointElement *>(element);
      *points = mp->vertices;
      *n = mp->num_vertices;
      return true;
    }
    case DGNTYPE_CURVE: {
      if (element->kind != DGNKIND_MULTIPOINT) return false;
      const auto *curve = static_cast<const DGNMultiPointElement *>(element);
      stroke_.resize(static_cast<size_t>(DGNCurveStrokeCapacity(curve->num_vertices)) + 1);
      *n = DGNStrokeCurve(file_, curve, stroke_.data());
      *points = stroke_.data();
      return true;
    }
    case DGNTYPE_ARC: {
      if (element->kind != DGNKIND_ARC) return false;
      stroke_.resize(DGN_STROKE_MAX_ARC_POINTS);
      *n = DGNStrokeArc(file_, static_cast<const DGNArcElement *>(element), stroke_.data(),
                        angles_.get());
      *points = stroke_.data();
      return true;
    }
    default: return false;
  }
}

template <class At>
void ImportWalk::AppendRun(const At &at, int n, Component *kept) {
  ++runs_;
  if (runs_ == 1) {
    points_.resize(size_t(n));
    for (int k = 0; k < n; ++k) points_[size_t(k)] = at(k);
    first_ = points_.front();
    joined_ = size_t(n);
    if (kept != nullptr) kept->count = size_t(n);
    return;
  }
  // Components follow each other in file order; one stored the other way
  // round (an arc drawn from the far end) is turned, and so is the first
  // component when it is the second that shows the chain's direction.
  const DGNPoint head = at(0);
  const DGNPoint tail = at(n - 1);
  const bool startTouches = SamePlace(points_.back(), head, unit_);
  const bool endTouches = SamePlace(points_.back(), tail, unit_);
  bool reversed = !startTouches && endTouches;
  if (runs_ == 2 && !startTouches && !endTouches) {
    const bool toFirstStart = SamePlace(points_.front(), head, unit_);
    const bool toFirstEnd = SamePlace(points_.front(), tail, unit_);
    if (toFirstStart || toFirstEnd) {
      std::reverse(points_.begin(), points_.end());
      first_ = points_.front();
      reversed = !toFirstStart;
      // The first component, when kept, holds all the points so far.
      if (!components_.empty()) components_.front().reversed = true;
    }
  }
  // No repeated vertex where one component ends and the next begins.
  const DGNPoint start = reversed ? tail : head;
  const bool shared = SamePlace(points_.back(), start, unit_);
  if (kept != nullptr) {
    kept->begin = points_.size();
    kept->count = size_t(n - shared);
    kept->reversed = reversed;
    kept->shared = shared;
    kept->joint = start;
  }
  // Made room for at once: the points are written in place, with no check
  // of the room left per point.
  const int from = shared ? 1 : 0;
  points_.resize(points_.size() + size_t(n - from));
  DGNPoint *out = points_.data() + points_.size() - size_t(n - from);
  if (reversed) {
    for (int k = from; k < n; ++k) *out++ = at(n - 1 - k);
  } else {
    for (int k = from; k < n; ++k) *out++ = at(k);
  }
  joined_ += size_t(n - shared);
}

std::vector<DGNPoint> ImportWalk::StoredPoints(const Component &c) const {
  std::vector<DGNPoint> stored;
  stored.reserve(c.count + 1);
  if (c.shared && !c.reversed) stored.push_back(c.joint);
  const DGNPoint *added = points_.data() + c.begin;
  if (c.reversed)
    stored.insert(stored.end(), std::reverse_iterator<const DGNPoint *>(added + c.count),
                  std::reverse_iterator<const DGNPoint *>(added));
  else
    stored.insert(stored.end(), added, added + c.count);
  if (c.shared && c.reversed) stored.push_back(c.joint);
  return stored;
}

void ImportWalk::SendPieces(bool all, LevelNotes &levels) {
  // The first component may still be turned by the second: nothing goes
  // before the second came.
  if (!all && runs_ < 2) return;
  const size_t most = size_t(kMaxObjectPoints);
  DGNElement piece = header_;
  // A piece is not the element: it names none, so that a host that writes it
  // back adds it and never puts it in the place of the whole.
  piece.element_id = 0;
  while (points_.size() > most || (all && points_.size() >= 2)) {
    const size_t n = points_.size() < most ? points_.size() : most;
    SendPoints(file_, piece, 0, header_.style, points_.data(), static_cast<int32_t>(n), callbacks_);
    levels.Note(header_.level);
    // From now on it goes in pieces, so its components are no longer kept
    // to be sent on their own.
    if (pieces_++ == 0) DropComponents();
    // The next piece starts at the vertex this one ended with.
    points_.erase(points_.begin(), points_.begin() + static_cast<std::ptrdiff_t>(n - 1));
    if (n < most) points_.clear();
  }
}

void ImportWalk::SendRun(const DGNElement &fields, int32_t objectKind, const DGNPoint *points,
                         size_t n, LevelNotes &levels) {
  if (n < 2) return;
  const size_t most = size_t(kMaxObjectPoints);
  if (n <= most) {
    SendPoints(file_, fields, objectKind, -1, points, static_cast<int32_t>(n), callbacks_);
    levels.Note(fields.level);
    return;
  }
  DGNElement piece = fields;
  piece.element_id = 0;
  int pieces = 0;
  for (size_t at = 0; at + 1 < n; at += most - 1, ++pieces) {
    const size_t count = n - at < most ? n - at : most;
    SendPoints(file_, piece, 0, -1, points + at, static_cast<int32_t>(count), callbacks_);
    levels.Note(fields.level);
  }
  NotePieces(fields, n, pieces);
}

void ImportWalk::NotePieces(const DGNElement &fields, size_t points, int pieces) {
  char text[400];
  std::snprintf(text, sizeof text,
                "Warning in DGN (QuarvelPlugIn_Read_Vector_Map3): element %d at offset %lld "
                "makes %llu points, more than the %d of one object; it is delivered as %d open "
                "polylines that share their joint vertices and name no element.",
                fields.element_id, static_cast<long long>(fields.offset),
                static_cast<unsigned long long>(points), kMaxObjectPoints, pieces);
  notices_.Show(text);
}

void ImportWalk::SendAlone(DGNElement *element, LevelNotes &levels) {
  switch (element->type) {
    case DGNTYPE_ELLIPSE:
    case DGNTYPE_ARC: {
      if (element->kind != DGNKIND_ARC) return;
      const int32_t kind = element->type == DGNTYPE_ELLIPSE ? 1 : 0;
      const auto *arc = static_cast<const DGNArcElement *>(element);
      DGNArcStroke stroke;
      const int32_t count = DGNStartArcStroke(file_, arc, angles_.get(), &stroke);
      if (count <= 0) return;
      if (stroke.safe) {
        // Each point goes to the host as it is worked out.
        static_assert(DGN_STROKE_MAX_ARC_POINTS <= kMaxObjectPoints, "an arc is one object");
        const int32_t handle = SendObject(file_, *element, kind, -1, count, callbacks_);
        for (int32_t i = 0; i < count; ++i)
          SendPoint(callbacks_, handle, DGNNextArcPoint(&stroke), i + 1 < count);
        levels.Note(element->level);
        return;
      }
      stroke_.resize(DGN_STROKE_MAX_ARC_POINTS);
      const int n = DGNStrokeArc(file_, arc, stroke_.data(), angles_.get());
      SendRun(*element, kind, stroke_.data(), size_t(n > 0 ? n : 0), levels);
      return;
    }
    case DGNTYPE_CURVE: {
      if (element->kind != DGNKIND_MULTIPOINT) return;
      const auto *curve = static_cast<const DGNMultiPointElement *>(element);
      stroke_.resize(static_cast<size_t>(DGNCurveStrokeCapacity(curve->num_vertices)) + 1);
      const int n = DGNStrokeCurve(file_, curve, stroke_.data());
      SendRun(*element, 0, stroke_.data(), size_t(n > 0 ? n : 0), levels);
      return;
    }
    case DGNTYPE_TEXT: {
      if (element->kind != DGNKIND_TEXT) break;
      // A 16-bit text reaches the host in its code page; an 8-bit one as stored.
      auto *text = static_cast<DGNTextElement *>(element);
      uint16_t chars[kMaxTextChars];
      const int n = DGNGetTextWide(file_, text, chars, kMaxTextChars);
      if (n < 0) break;
      SendText(file_, text, HostTextOf(chars, n).c_str(), callbacks_);
      levels.Note(element->level);
      return;
    }
    default: break;
  }
  levels.Note(SendElement(file_, element, callbacks_));
}

}  // namespace dgnplugin
