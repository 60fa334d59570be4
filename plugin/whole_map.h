// The whole map, turned on by the host's INI setting DGN_Whole_Map (section
// "Mapa"): the import also delivers arcs, ellipses, curves and complex chains
// and shapes, and 16-bit texts in the host's code page; the export writes the
// host's texts as text elements and long polylines as complex elements.
//
// Internal to the plug-in.  This holds the import's side and the host's code
// page; the entry points (Dgn_plugin.cpp) call into it only for maps opened
// with the setting on, and keep the export's side (AddText, AddComplex)
// beside the replacement rules it shares with the polyline export.
#ifndef DGN_PLUGIN_WHOLE_MAP_H
#define DGN_PLUGIN_WHOLE_MAP_H

#include <cstdint>
#include <string>
#include <vector>

#include "dgnmodel.h"
#include "plugin_records.h"

namespace dgnplugin {

// ---------------------------------------------------------------------------
// What the import sends for one element (Dgn_plugin.cpp).
// ---------------------------------------------------------------------------

// Sends one element the way the import always has (lines, line strings,
// shapes, texts); gives the level it counts, or -1 for a type it skips.
int SendElement(DGNFile *file, DGNElement *element, TVectorCallbacksPlugIn *callbacks);
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
// the characters that code page does not hold.
std::string HostTextOf(const uint16_t *chars, int count);
// Gives host text (Windows-1252) as 16-bit characters, one per byte.
std::vector<uint16_t> CharactersOf(const char *hostText);

// ---------------------------------------------------------------------------
// The import with the whole map.
// ---------------------------------------------------------------------------

// Converts the elements of one import, in file order.  A complex chain or
// shape header collects the components that follow it and is sent as one
// object once they end; everything else is sent when it is taken.
class WholeMapImport {
 public:
  WholeMapImport(DGNFile *file, TVectorCallbacksPlugIn *callbacks);

  // Sends what the element just read gives the host (or keeps it for the
  // complex element it belongs to).  The levels of the objects sent go to
  // levels[0] and levels[1], in the order sent (-1 where none).
  void Take(DGNElement *element, int levels[2]);
  // Sends a complex element that the end of the file left open; gives its
  // level, or -1 when nothing was sent.
  int Finish();
  // True while a complex element is collecting the components that follow.
  bool Collecting() const { return open_; }

 private:
  // Sends a complex element collected so far; gives its level or -1.
  int Close();
  // Adds a joinable component to the complex element; false for a type that
  // cannot be joined.
  bool Join(DGNElement *element);
  // Appends one component's run of points where the complex element ends.
  void AppendRun(const DGNPoint *points, int n);
  // Sends an element on its own; gives the level it counts, or -1.
  int SendAlone(DGNElement *element);

  DGNFile *file_;
  TVectorCallbacksPlugIn *callbacks_;
  double unit_;                   // one design unit, master units
  bool open_ = false;             // a complex header is collecting components
  int remaining_ = 0;             // components it may still take
  int runs_ = 0;                  // components joined so far
  DGNElement header_{};           // its header fields (no owned blocks)
  std::vector<DGNPoint> points_;  // the joined points
  std::vector<DGNPoint> stroke_;  // one stroked arc or curve
};

}  // namespace dgnplugin

#endif  // DGN_PLUGIN_WHOLE_MAP_H
