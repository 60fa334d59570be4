// A host that records the import's callback transcript: every call the
// plug-in makes into the callback table, the progress object and the message
// sink, in order, with every field it passes, folded into a 64-bit digest and
// optionally written out as text (one line per call).
//
// The digest does not depend on the build: pointers are recorded only as
// null / not null (and what they point to), and the object record's size
// field, which grows with the pointer width, only as "equals the record size".
#ifndef DGN_KIT_TRANSCRIPT_H
#define DGN_KIT_TRANSCRIPT_H

#include <cstdint>
#include <cstdio>

#include "plugin_records.h"

namespace dgnbench {

class TranscriptHost {
 public:
  // `text` (may be null) receives the transcript as text.
  explicit TranscriptHost(FILE *text = nullptr);
  TranscriptHost(const TranscriptHost &) = delete;
  TranscriptHost &operator=(const TranscriptHost &) = delete;

  // The records to pass to the read entry point.
  TVectorCallbacksPlugIn *callbacks() { return &callbacks_.table; }
  TProgressPlugIn *progress() { return &progress_.object; }
  TMessagePlugIn *sink() { return &sink_.record; }

  // Digest of everything recorded so far (FNV-1a, 64 bits).
  uint64_t digest() const { return hash_; }
  int64_t objects() const { return objects_; }
  int64_t points() const { return points_; }
  int64_t layers() const { return layers_; }
  int64_t steps() const { return steps_; }
  int64_t messages() const { return messages_; }

 private:
  // Each host record is the first member of a block that leads back here.
  struct CallbackBlock {
    TVectorCallbacksPlugIn table;
    TranscriptHost *host;
  };
  struct ProgressBlock {
    TProgressPlugIn object;
    TranscriptHost *host;
  };
  struct SinkBlock {
    TMessagePlugIn record;
    TranscriptHost *host;
  };

  static int32_t OnAddLayer(TVectorCallbacksPlugIn *self, TVectorObjectPlugIn *layer);
  static int32_t OnAddObject(TVectorCallbacksPlugIn *self, TVectorObjectPlugIn *object);
  static int32_t OnAddPoint(TVectorCallbacksPlugIn *self, int32_t handle, TVectorPointPlugIn *point,
                            int32_t flag);
  static void OnSetTotal(TProgressPlugIn *self, int32_t total);
  static void OnStep(TProgressPlugIn *self, int32_t steps);
  static TPlugInBool OnIsCancelled(TProgressPlugIn *self);
  static void OnShow(TMessagePlugIn *self, const char *text);

  void Bytes(const void *p, size_t n);
  void Int(int32_t v);
  void Float(float v);
  void Double(double v);
  void Text(const char *s);  // null and "" differ
  void Object(const char *what, const TVectorObjectPlugIn *o);

  CallbackBlock callbacks_;
  ProgressBlock progress_;
  SinkBlock sink_;
  TProgressOpsPlugIn ops_;
  FILE *text_;
  uint64_t hash_;
  int64_t objects_ = 0, points_ = 0, layers_ = 0, steps_ = 0, messages_ = 0;
};

}  // namespace dgnbench

#endif  // DGN_KIT_TRANSCRIPT_H
