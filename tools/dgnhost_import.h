// dgnhost import: what the plug-in hands over, one object at a time.  The
// host's callbacks hold only the object being received; when the next one
// starts (or the import ends) it goes to every output, so memory does not
// grow with the map.
#ifndef DGN_TOOLS_DGNHOST_IMPORT_H
#define DGN_TOOLS_DGNHOST_IMPORT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "plugin_records.h"

struct Vertex {
  double x, y, z;
};

// What the plug-in said of one polyline, polygon or text, apart from its points.
struct ObjectAttributes {
  int32_t kind = 0;  // 0 open polyline, 1 closed polygon, 3 text
  int32_t level = 0;
  int32_t color = -1;
  float width = 1.0f;
  int32_t style = -1;
  int32_t elementId = 0;
  int32_t declaredPoints = -1;  // numPoints as the plug-in announced it
  bool hasText = false;
  std::string text;  // 8-bit, in the host's code page
  float height = 0.0f;
  float rotation = 0.0f;
  int32_t justification = 0;
};

// One polyline, polygon or text as the plug-in sent it.
struct ImportedObject : ObjectAttributes {
  std::vector<Vertex> points;
};

struct ImportedLayer {
  int32_t level = 0;
  std::string name;
};

// Gives the name of the layer of a level: the one the plug-in sent, else
// "Level N" (the plug-in sends its layers after the objects, under that name).
std::string LayerName(const std::vector<ImportedLayer> &layers, int32_t level);

// Gives the layer the plug-in sent for a level, or null when it sent none.
const ImportedLayer *FindLayer(const std::vector<ImportedLayer> &layers, int32_t level);

// Gives the vertices of an object that can be written out (non-finite ones
// from a damaged file are dropped).
std::vector<Vertex> UsablePoints(const Vertex *points, size_t count);
inline std::vector<Vertex> UsablePoints(const ImportedObject &o) {
  return UsablePoints(o.points.data(), o.points.size());
}

// Gives whether every vertex of the run is finite (all are usable).
bool AllFinite(const Vertex *points, size_t count);
inline bool AllFinite(const ImportedObject &o) {
  return AllFinite(o.points.data(), o.points.size());
}

// An output of the import: receives every object once it is complete.
class ObjectSink {
 public:
  virtual ~ObjectSink() = default;
  // Takes one complete object.
  virtual void Take(const ImportedObject &o, const std::vector<ImportedLayer> &layers) = 0;
};

// The objects per layer and kind, and their points (--summary).
class SummarySink : public ObjectSink {
 public:
  void Take(const ImportedObject &o, const std::vector<ImportedLayer> &layers) override;
  // Prints the table on standard output.
  void Print(const std::string &file, int32_t elements,
             const std::vector<ImportedLayer> &layers) const;

 private:
  struct Row {
    int64_t lines = 0, polygons = 0, texts = 0, points = 0;
  };
  std::map<int32_t, Row> rows_;
  Row total_;
  int64_t objects_ = 0;
};

// What one import through the plug-in gave, besides the objects.
struct ImportStats {
  int32_t total = 0;        // element count from SetTotal
  int64_t steps = 0;        // Step calls
  int64_t strayPoints = 0;  // points for no object being received
  bool outOfMemory = false;
  bool badRecordSize = false;
  std::vector<ImportedLayer> layers;
};

// The host's callback tables for one import, laid out as the mapping host
// lays them out.  Objects go to the sinks as they complete; Ctrl-C (SIGINT)
// is seen by the plug-in through IsCancelled after the element in hand.
class ImportHost {
 public:
  // `terminal`: standard error is a terminal (a progress bar is drawn for
  // large imports); `interruptAfter`: test hook, raise SIGINT after this many
  // steps (0: never).
  ImportHost(bool terminal, int64_t interruptAfter);
  ImportHost(const ImportHost &) = delete;
  ImportHost &operator=(const ImportHost &) = delete;

  // The outputs that take the objects.
  void SetSinks(const std::vector<ObjectSink *> &sinks) { sinks_ = sinks; }

  // The records to hand to the plug-in's read entry point.
  TVectorCallbacksPlugIn *Callbacks() { return &callbacks_.table; }
  TProgressPlugIn *Progress() { return &progress_.object; }
  TMessagePlugIn *Messages() { return &messages_.object; }

  // Catches SIGINT for the plug-in's read call (and gives the old handler back).
  void CatchInterrupt();
  void ReleaseInterrupt();
  // Gives whether Ctrl-C was pressed.
  bool Interrupted() const;

  // Sends the last object to the sinks and wipes the progress bar.
  void Finish();
  const ImportStats &Stats() const { return stats_; }

 private:
  struct CallbackTable {
    TVectorCallbacksPlugIn table;  // first: the plug-in passes &table back
    ImportHost *host;
  };
  struct ProgressRecord {
    TProgressPlugIn object;  // first: the plug-in passes &object back
    ImportHost *host;
  };
  struct MessageSink {
    TMessagePlugIn object;  // first: the plug-in passes &object back
    ImportHost *host;
  };

  static int32_t OnAddObject(TVectorCallbacksPlugIn *self, TVectorObjectPlugIn *o);
  static int32_t OnAddPoint(TVectorCallbacksPlugIn *self, int32_t object, TVectorPointPlugIn *p,
                            int32_t flag);
  static int32_t OnAddLayer(TVectorCallbacksPlugIn *self, TVectorObjectPlugIn *o);
  static void OnSetTotal(TProgressPlugIn *self, int32_t total);
  static void OnStep(TProgressPlugIn *self, int32_t steps);
  static TPlugInBool OnIsCancelled(TProgressPlugIn *self);
  static void OnShow(TMessagePlugIn *self, const char *text);

  // Hands the object being received to the sinks.
  void Flush();
  void DrawBar();
  void ClearBar();

  CallbackTable callbacks_;
  ProgressRecord progress_;
  MessageSink messages_;
  std::vector<ObjectSink *> sinks_;
  ImportStats stats_;
  ImportedObject current_;
  bool haveCurrent_ = false;
  int32_t currentHandle_ = -1;  // the handle given for current_
  int32_t nextHandle_ = 0;
  bool terminal_;
  bool barShown_ = false;
  int lastPercent_ = -1;
  int64_t interruptAfter_;
  void (*previousHandler_)(int) = nullptr;
};

#endif  // DGN_TOOLS_DGNHOST_IMPORT_H
