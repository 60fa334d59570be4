// The deciding rules of an add call in a map opened for update (edit_rules.h).
#include "edit_rules.h"

#include <algorithm>
#include <cmath>

#include "dgn_bytes.h"
#include "whole_map.h"

namespace dgnplugin {

namespace {

// Host colour of pure white.
constexpr int32_t kHostWhite = 0xFFFFFF;
// Kind of a host text object.
constexpr int32_t kObjectText = 3;
// Most components a complex header can announce: no element further behind
// its header than this can belong to it.
constexpr int kMostComponents = 0xFFFF;

// An element read for the time of one scope.
struct ReadElement {
  ReadElement(DGNFile *f, DGNElement *e) : file(f), element(e) {}
  ~ReadElement() { DGNFreeElement(file, element); }
  ReadElement(const ReadElement &) = delete;
  ReadElement &operator=(const ReadElement &) = delete;
  DGNFile *file;
  DGNElement *element;
};

// A host callback table that keeps the one object of a wanted id that the
// import sends through it, and that object's points.
struct Capture {
  TVectorCallbacksPlugIn table;  // first: the import passes &table back
  int32_t wanted;
  DeliveredObject *out;
  bool found = false;
  bool collecting = false;  // the points that come belong to the wanted object
};

Capture *CaptureOf(TVectorCallbacksPlugIn *self) { return reinterpret_cast<Capture *>(self); }

int32_t CaptureObject(TVectorCallbacksPlugIn *self, TVectorObjectPlugIn *object) {
  Capture *c = CaptureOf(self);
  c->collecting = !c->found && object->elementId == c->wanted;
  if (!c->collecting) return 0;
  c->found = true;
  DeliveredObject &d = *c->out;
  d.object = *object;
  d.object.name = nullptr;
  d.object.textInfo = nullptr;
  d.name = object->name != nullptr ? object->name : "";
  d.hasText = object->textInfo != nullptr;
  if (d.hasText) d.text = *object->textInfo;
  d.points.clear();
  return 1;
}

int32_t CapturePoint(TVectorCallbacksPlugIn *self, int32_t, TVectorPointPlugIn *point, int32_t) {
  Capture *c = CaptureOf(self);
  if (c->collecting) c->out->points.push_back(*point);
  return 0;
}

bool IsComplexHeaderEntry(const DGNIndexEntry &entry) {
  return (entry.type == DGNTYPE_COMPLEX_CHAIN_HEADER ||
          entry.type == DGNTYPE_COMPLEX_SHAPE_HEADER) &&
         entry.kind == DGNKIND_COMPLEX_HEADER;
}

// Runs the import without the whole map over the element `id`.
Named ReplayPlain(DGNFile *file, int32_t id, Capture &capture) {
  if (!DGNGotoElement(file, id)) return Named::kNoId;
  const ReadElement read(file, DGNReadElement(file));
  if (read.element == nullptr) return DGNReadFailed(file) ? Named::kUnreadable : Named::kNoId;
  if (read.element->element_id == id) SendElement(file, read.element, &capture.table);
  return capture.found ? Named::kDelivered : Named::kNoId;
}

// The replay sends objects only to find one; their levels count for nothing.
struct IgnoredLevels final : LevelNotes {
  void Note(int) override {}
};

// Runs the whole-map import over the elements that decide what `id` gives:
// from the complex header it may belong to (or itself) on, until its object
// has been sent or the complex elements after it end.  The import starts
// afresh at an element without the complex bit, and at a complex header, so
// the replay from there sends what the whole import sends.
Named ReplayWholeMap(DGNFile *file, int32_t id, Capture &capture) {
  int count = 0;
  const DGNIndexEntry *index = DGNGetElementIndex(file, &count);
  if (index == nullptr || id >= count) return Named::kNoId;
  int32_t start = id;
  while (start > 0 && id - start <= kMostComponents && (index[start].flags & DGNEF_COMPLEX) != 0 &&
         !IsComplexHeaderEntry(index[start]))
    --start;
  if (!DGNGotoElement(file, start)) return Named::kNoId;
  // No message sink: what the replay finds is for the replacement to judge,
  // the import has shown its warnings already.
  ImportWalk import(file, &capture.table, nullptr, true);
  IgnoredLevels levels;
  for (int32_t k = start; k < count; ++k) {
    const ReadElement read(file, DGNReadElement(file));
    if (read.element == nullptr) return DGNReadFailed(file) ? Named::kUnreadable : Named::kNoId;
    import.Take(read.element, levels);
    if (capture.found) return Named::kDelivered;
    const bool moreOfTheComplex = k + 1 < count && (index[k + 1].flags & DGNEF_COMPLEX) != 0 &&
                                  !IsComplexHeaderEntry(index[k + 1]);
    if (k >= id && !moreOfTheComplex) break;
  }
  import.Finish(levels);
  return capture.found ? Named::kDelivered : Named::kNoId;
}

}  // namespace

int32_t ComplexHeaderOf(DGNFile *file, int32_t componentId) {
  int count = 0;
  const DGNIndexEntry *index = DGNGetElementIndex(file, &count);
  if (index == nullptr || componentId <= 0 || componentId >= count) return -1;
  int32_t start = componentId - 1;
  while (start > 0 && componentId - start <= kMostComponents &&
         (index[start].flags & DGNEF_COMPLEX) != 0 && !IsComplexHeaderEntry(index[start]))
    --start;
  if (!IsComplexHeaderEntry(index[start]) || !DGNGotoElement(file, start)) return -1;
  // The import's own walk from the header decides whether it joins the component.
  ComplexWalk walk;
  for (int32_t k = start; k <= componentId; ++k) {
    const ReadElement read(file, DGNReadElement(file));
    if (read.element == nullptr) return -1;
    const ComplexWalk::Role role = walk.Place(read.element);
    const bool member = role == ComplexWalk::kComponent || role == ComplexWalk::kLastComponent;
    if (k == start ? role != ComplexWalk::kHeader : !member) return -1;
  }
  return static_cast<int32_t>(index[start].offset);
}

void NoteOpenedElements(EditSession &session, int32_t count) {
  if (session.openedElements < 0) session.openedElements = count;
}

void NoteReplaced(EditSession &session, int32_t id) {
  const auto at = std::lower_bound(session.replaced.begin(), session.replaced.end(), id);
  if (at == session.replaced.end() || *at != id) session.replaced.insert(at, id);
}

Named FindNamedObject(DGNFile *file, const EditSession &session, int32_t id, bool wholeMap,
                      DeliveredObject *out) {
  if (id <= 0 || id >= session.openedElements ||
      std::binary_search(session.replaced.begin(), session.replaced.end(), id))
    return Named::kNoId;
  Capture capture{};
  capture.table.AddObject = CaptureObject;
  capture.table.AddPoint = CapturePoint;
  capture.wanted = id;
  capture.out = out;
  return wholeMap ? ReplayWholeMap(file, id, capture) : ReplayPlain(file, id, capture);
}

bool SameAsDelivered(DGNFile *file, const DeliveredObject &delivered,
                     const TVectorObjectPlugIn &object, int32_t count,
                     const TVectorPointPlugIn *points) {
  const TVectorObjectPlugIn &d = delivered.object;
  if (object.objectKind != d.objectKind || object.level != d.level || object.color != d.color ||
      object.style != d.style || !(object.width == d.width))
    return false;
  if (d.objectKind == kObjectText) {
    if (object.name == nullptr || delivered.name != object.name) return false;
    if (delivered.hasText != (object.textInfo != nullptr)) return false;
    if (delivered.hasText) {
      const TVectorTextPlugIn &a = *object.textInfo;
      if (!(a.height == delivered.text.height) || !(a.rotation == delivered.text.rotation) ||
          a.justification != delivered.text.justification)
        return false;
    }
  }
  if (count < 0 || static_cast<size_t>(count) != delivered.points.size()) return false;
  if (count > 0 && points == nullptr) return false;
  const double half = 0.5 * std::fabs(DGNGetScale(file));
  const bool is3d = DGNGetDimension(file) == 3;
  for (int32_t i = 0; i < count; ++i) {
    const TVectorPointPlugIn &a = points[i];
    const TVectorPointPlugIn &b = delivered.points[static_cast<size_t>(i)];
    if (!(std::fabs(a.x - b.x) <= half) || !(std::fabs(a.y - b.y) <= half) ||
        (is3d && !(std::fabs(a.z - b.z) <= half)))
      return false;
  }
  return true;
}

int ColorIndexOfHost(DGNFile *file, int32_t hostColor) {
  return DGNNearestColor(file, hostColor == 0 ? kHostWhite : hostColor);
}

KeptParts ReadKeptParts(DGNFile *file, int32_t id) {
  KeptParts kept;
  if (id <= 0 || !DGNGotoElement(file, id)) return kept;
  const ReadElement read(file, DGNReadElement(file));
  const DGNElement *old = read.element;
  if (old == nullptr || old->element_id != id) return kept;
  kept.found = true;
  kept.graphicGroup = old->graphic_group;
  // The linkage bit follows the linkage the new element is given.
  kept.properties = old->properties & ~dgnraw::kPropAttributes;
  if (old->attr_data != nullptr && old->attr_bytes > 0 && old->attr_bytes % 2 == 0)
    kept.linkage.assign(old->attr_data, old->attr_data + old->attr_bytes);
  if (old->kind == DGNKIND_TEXT) {
    const auto *text = static_cast<const DGNTextElement *>(old);
    kept.text = true;
    kept.font = text->font_id;
    kept.lengthMult = text->length_mult;
    kept.heightMult = text->height_mult;
  }
  return kept;
}

double KeptLengthMult(const KeptParts &kept, double newHeight) {
  if (!kept.text || !(kept.heightMult != 0.0) || !std::isfinite(kept.lengthMult)) return newHeight;
  const double scaled = kept.lengthMult * (newHeight / kept.heightMult);
  return std::isfinite(scaled) ? scaled : newHeight;
}

bool ApplyKeptParts(DGNFile *file, const KeptParts &kept, DGNElement *element, bool withLinkage) {
  if (!kept.found || element == nullptr) return true;
  element->graphic_group = kept.graphicGroup;
  element->properties = (element->properties & dgnraw::kPropAttributes) | kept.properties;
  DGNStoreElemCore(file, element);
  if (!withLinkage || kept.linkage.empty() || element->attr_bytes != 0) return true;
  return DGNAppendAttributeLinkage(file, element, kept.linkage.data(),
                                   static_cast<int>(kept.linkage.size()));
}

}  // namespace dgnplugin
