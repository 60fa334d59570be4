// The whole map, turned on by the host's INI setting DGN_Whole_Map (section
// "Mapa"): the import also delivers arcs, ellipses, curves and complex chains
// and shapes, and 16-bit texts in the host's code page; the export writes the
// host's texts as text elements and long polylines as complex elements.
//
// Internal to the plug-in.  This holds the import's side and the host's code
// page: every import walks its elements through ImportWalk, which follows
// complex elements with or without the setting and converts the rest only
// with it.  The entry points (Dgn_plugin.cpp) keep the export's side
// (AddText, AddComplex) beside the replacement rules it shares with the
// polyline export.
#ifndef DGN_PLUGIN_WHOLE_MAP_H
#define DGN_PLUGIN_WHOLE_MAP_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dgnmodel.h"
#include "dgnstroke.h"
#include "plugin_records.h"

namespace dgnplugin {

// ---------------------------------------------------------------------------
// What the import sends for one element (Dgn_plugin.cpp).
// ---------------------------------------------------------------------------

// Sends one element the way the import always has (lines, line strings,
// shapes, texts); gives the level it counts, or -1 for a type it skips.
int SendElement(DGNFile *file, DGNElement *element, TVectorCallbacksPlugIn *callbacks);
// Tells the host of an object of n points, a polyline (kind 0) or polygon
// (kind 1) with the element id, level, colour and weight of `element`, and
// `style` (-1: none); gives the host's handle of it.
int32_t SendObject(DGNFile *file, const DGNElement &element, int32_t objectKind, int32_t style,
                   int32_t n, TVectorCallbacksPlugIn *callbacks);
// The host's record of the point x, y, z.
inline TVectorPointPlugIn HostPoint(double x, double y, double z) {
  TVectorPointPlugIn p{};
  p.size = QPLUGIN_POINT_SIZE;
  p.x = x;
  p.y = y;
  p.z = z;
  p.hostField28 = -1.0;
  return p;
}
// Hands the host the next point of the object `object`; `more` while others follow.
inline void SendPoint(TVectorCallbacksPlugIn *callbacks, int32_t object, const DGNPoint &v,
                      bool more) {
  TVectorPointPlugIn point = HostPoint(v.x, v.y, v.z);
  if (callbacks != nullptr && callbacks->AddPoint != nullptr)
    callbacks->AddPoint(callbacks, object, &point, more ? 1 : 0);
}
// Sends n points as a polyline (kind 0) or polygon (kind 1) with the element
// id, level, colour and weight of `element`, and `style` (-1: none).
void SendPoints(DGNFile *file, const DGNElement &element, int32_t objectKind, int32_t style,
                const DGNPoint *points, int32_t n, TVectorCallbacksPlugIn *callbacks);
// Sends a text element as a text object whose string is `text`.
void SendText(DGNFile *file, const DGNTextElement *element, const char *text,
              TVectorCallbacksPlugIn *callbacks);

// ---------------------------------------------------------------------------
// The host's code page (Windows-1252) and 16-bit characters.
// ---------------------------------------------------------------------------

// Gives 16-bit characters as host text: each in its Windows-1252 byte, '?' for
// a character that code page does not hold (one for a surrogate pair) and for
// a zero inside the text; zeros at its end are padding and give nothing.
std::string HostTextOf(const uint16_t *chars, int count);
// Gives host text (Windows-1252) as 16-bit characters, one per byte.
std::vector<uint16_t> CharactersOf(const char *hostText);

// ---------------------------------------------------------------------------
// The import, element by element.
// ---------------------------------------------------------------------------

// Most points one object of the import holds: 65,536 points are 2.25 MiB of
// host point records and 1.5 MiB of the plug-in's own, so that a 32-bit host
// never needs a single large block for one object whatever a file holds.  A
// longer object goes to the host in consecutive pieces of at most this many
// points that share their joint vertex.
constexpr int32_t kMaxObjectPoints = 65536;

// Where the import notes the level of each object it sends, in order.
class LevelNotes {
 public:
  // Notes the level of an object sent; a negative level is none.
  virtual void Note(int level) = 0;

 protected:
  ~LevelNotes() = default;
};

// The one rule of which elements belong to a complex chain or shape: those
// right after its header that carry the complex bit, as many as the header
// announces, up to another complex header or a cell header.  Gives whether an
// element of `type` with the complex bit `complexBit` is the next component
// of a header that still awaits `remaining` components.
bool IsNextComponent(int remaining, int type, bool complexBit);
// The same rule for an element just read: whether `element` is the next
// component of a header that still awaits `remaining` components.  The import
// and replacement both ask it, so nothing delivered alone is retired with a
// header.
bool IsComplexMember(const DGNElement *element, int remaining);
// Whether a complex member's points join into its header's line or area
// (lines, line strings, curves, arcs); any other member is delivered alone.
bool JoinsItsComplex(const DGNElement *element);

// A complex header whose components stop before as many as it announces
// (another writer stopped part way).
struct ShortComplex {
  int64_t offset = 0;  // of the header
  int type = 0;        // DGNTYPE_COMPLEX_CHAIN_HEADER or DGNTYPE_COMPLEX_SHAPE_HEADER
  int announced = 0;
  int found = 0;  // components that follow it
};

// Follows the complex chains and shapes of an import in file order.
class ComplexWalk {
 public:
  enum Role {
    kAlone,         // belongs to no complex element
    kHeader,        // a live complex chain or shape header that announces components
    kComponent,     // the next component of the open header
    kLastComponent  // its last announced component
  };
  // Places the element just read.  When it is not the component the open
  // header still awaits, that header ends short first (see EndedShort).
  Role Place(const DGNElement *element);
  // At the end of the file: a header still awaiting components ends short.
  void Finish();
  // True while a header awaits components: the next element may be one.
  bool IsOpen() const { return open_; }
  // Whether an element of `type` with the complex bit `complexBit` would be
  // the next component of the open header.
  bool Awaits(int type, bool complexBit) const {
    return open_ && IsNextComponent(remaining_, type, complexBit);
  }
  // Gives, once, the header that the last Place or Finish ended short.
  bool EndedShort(ShortComplex *out);

 private:
  void EndShort();

  bool open_ = false;
  int remaining_ = 0;
  ShortComplex header_;
  bool ended_ = false;
  ShortComplex short_;
};

// Warnings of one import to the host's message sink: the first 20 in full,
// then one line that counts the rest.
class ImportNotices {
 public:
  explicit ImportNotices(TMessagePlugIn *sink) : sink_(sink) {}
  // Shows one warning, or counts it once 20 were shown.
  void Show(const char *text);
  // Shows how many warnings were held back, if any.
  void Finish();

 private:
  TMessagePlugIn *sink_;
  int shown_ = 0;
  int held_ = 0;
};

// Converts the elements of one import, in file order.  Without the whole map
// each element is sent as it always was.  With it, a complex chain or shape
// header collects the components that follow it and is sent as one object
// once they end, in pieces of kMaxObjectPoints when longer; everything else
// is sent when it is taken.  Either way a complex element whose components
// stop short is named in a warning, and with the whole map its components
// are then sent on their own, as no whole object can be made of them.
class ImportWalk {
 public:
  ImportWalk(DGNFile *file, TVectorCallbacksPlugIn *callbacks, TMessagePlugIn *sink, bool wholeMap);

  // Sends what the element just read gives the host (or keeps it for the
  // complex element it belongs to), noting the level of each object sent.
  // An element that memory cannot be found for is left out with a warning;
  // the import goes on.  `vertices`, when given, are the vertices of a line
  // or line string that AwaitsComponent accepts, where they lie in its
  // bytes; `element` then holds only its header fields.
  void Take(DGNElement *element, LevelNotes &levels, const DGNVertexRun *vertices = nullptr);
  // Sends what the end of the file left open, and the warnings held back.
  void Finish(LevelNotes &levels);
  // True while a complex header awaits components: every element must then
  // come through Take, as it may be one of them or end it short.
  bool Collecting() const { return walk_.IsOpen(); }
  // True when an element of `type` with the complex bit `complexBit` is the
  // next component of the complex element being collected.
  bool AwaitsComponent(int type, bool complexBit) const { return walk_.Awaits(type, complexBit); }

 private:
  // One component kept until its complex element proves whole.  Its points
  // are not copied: they are those it added to points_, turned back when it
  // was joined the other way round, with the vertex it shared with the
  // component before it put back.
  struct Component {
    DGNElement fields;  // its header fields (no owned blocks)
    size_t begin;       // the points it added to points_
    size_t count;
    bool reversed;   // added last point first
    bool shared;     // its first point (last, when reversed) was left out at the joint
    DGNPoint joint;  // that point, as stored
  };

  void TakeElement(DGNElement *element, LevelNotes &levels, const DGNVertexRun *vertices);
  // Joins a component's n points, point i given by at(i), to its complex
  // element (keeping the component while it may have to go on its own).
  template <class At>
  void Join(const DGNElement *element, const At &at, int n, LevelNotes &levels);
  // Starts collecting the components of a complex header.
  void Open(const DGNElement *header);
  // Sends the complex element whose components all came.
  void Close(LevelNotes &levels);
  // Sends what came of a complex element whose components stopped short.
  void CloseShort(const ShortComplex &cut, LevelNotes &levels);
  // Forgets the complex element being collected (and, when `release`, the
  // memory it held).
  void Reset(bool release);
  // Stops keeping the components of the complex element being collected.
  void DropComponents();
  // The points of a joinable component (a line, line string, arc or curve)
  // in stroke_; false for a component of another type.
  bool StrokeComponent(const DGNElement *element, const DGNPoint **points, int *n);
  // Appends one component's run of points where the complex element ends
  // (noting how in `kept`, when its component is kept).
  template <class At>
  void AppendRun(const At &at, int n, Component *kept);
  // Gives a kept component's points as the element stores them.
  std::vector<DGNPoint> StoredPoints(const Component &c) const;
  // Sends the collected points but the last as pieces while more than one
  // object may hold are collected (or all of them when `all`).
  void SendPieces(bool all, LevelNotes &levels);
  // Sends n points of an element as one object, or as pieces when longer
  // than one object may hold.
  void SendRun(const DGNElement &fields, int32_t objectKind, const DGNPoint *points, size_t n,
               LevelNotes &levels);
  // Sends an element on its own, noting its level.
  void SendAlone(DGNElement *element, LevelNotes &levels);
  // Tells the host that an element or complex element was too long for one object.
  void NotePieces(const DGNElement &fields, size_t points, int pieces);

  DGNFile *file_;
  TVectorCallbacksPlugIn *callbacks_;
  bool wholeMap_;
  ImportNotices notices_;
  ComplexWalk walk_;
  double unit_;              // one design unit, master units
  bool collecting_ = false;  // a complex header is collecting components
  bool dropped_ = false;     // memory ran out for the complex element: its joinable components go
  int runs_ = 0;             // components joined so far
  bool keepComponents_ = true;    // its components are kept to be sent on their own
  int pieces_ = 0;                // pieces of it sent so far
  size_t joined_ = 0;             // points joined in all (the pieces' shared vertices once)
  DGNElement header_{};           // its header fields (no owned blocks)
  DGNPoint first_{};              // its first point, which closes a shape
  std::vector<DGNPoint> points_;  // the joined points not yet sent
  std::vector<Component> components_;
  size_t componentPoints_ = 0;               // points of the components kept, as stored
  std::vector<DGNPoint> stroke_;             // one stroked arc or curve
  std::unique_ptr<DGNStrokeAngles> angles_;  // of the arcs stroked so far (made with the whole map)
};

}  // namespace dgnplugin

#endif  // DGN_PLUGIN_WHOLE_MAP_H
