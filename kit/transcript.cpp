// The recording host; see transcript.h.
#include "transcript.h"

#include <cstring>

namespace dgnbench {
namespace {

constexpr uint64_t kFnvOffset = 0xCBF29CE484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001B3ull;

// One tag byte opens every recorded call.
enum Tag : unsigned char {
  kTagLayer = 'L',
  kTagObject = 'O',
  kTagPoint = 'P',
  kTagTotal = 'T',
  kTagStep = 'S',
  kTagCancel = 'C',
  kTagShow = 'M',
};

}  // namespace

TranscriptHost::TranscriptHost(FILE *text) : text_(text), hash_(kFnvOffset) {
  std::memset(&callbacks_, 0, sizeof callbacks_);
  std::memset(&progress_, 0, sizeof progress_);
  std::memset(&sink_, 0, sizeof sink_);
  std::memset(&ops_, 0, sizeof ops_);
  callbacks_.table.AddLayer = OnAddLayer;
  callbacks_.table.AddObject = OnAddObject;
  callbacks_.table.AddPoint = OnAddPoint;
  callbacks_.host = this;
  ops_.SetTotal = OnSetTotal;
  ops_.Step = OnStep;
  ops_.IsCancelled = OnIsCancelled;
  progress_.object.ops = &ops_;
  progress_.host = this;
  sink_.record.Show = OnShow;
  sink_.host = this;
}

void TranscriptHost::Bytes(const void *p, size_t n) {
  const unsigned char *b = static_cast<const unsigned char *>(p);
  for (size_t i = 0; i < n; ++i) hash_ = (hash_ ^ b[i]) * kFnvPrime;
}

// Numbers are folded in little-endian order whatever the machine.
void TranscriptHost::Int(int32_t v) {
  const uint32_t u = static_cast<uint32_t>(v);
  const unsigned char b[4] = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
                              static_cast<unsigned char>(u >> 16),
                              static_cast<unsigned char>(u >> 24)};
  Bytes(b, 4);
}

void TranscriptHost::Float(float v) {
  uint32_t u;
  std::memcpy(&u, &v, 4);
  Int(static_cast<int32_t>(u));
}

void TranscriptHost::Double(double v) {
  uint64_t u;
  std::memcpy(&u, &v, 8);
  Int(static_cast<int32_t>(static_cast<uint32_t>(u)));
  Int(static_cast<int32_t>(static_cast<uint32_t>(u >> 32)));
}

void TranscriptHost::Text(const char *s) {
  const unsigned char null_mark = 0;
  const unsigned char text_mark = 1;
  if (s == nullptr) {
    Bytes(&null_mark, 1);
    return;
  }
  Bytes(&text_mark, 1);
  Bytes(s, std::strlen(s) + 1);
}

void TranscriptHost::Object(const char *what, const TVectorObjectPlugIn *o) {
  if (o == nullptr) {
    Text(nullptr);
    if (text_ != nullptr) std::fprintf(text_, "%s null\n", what);
    return;
  }
  // The record's size grows with the pointer width: record only that it is right.
  Int(o->size == QPLUGIN_OBJECT_SIZE ? 1 : 0);
  Int(o->hostField4);
  Int(o->elementId);
  Int(o->color);
  Int(o->color2);
  Int(o->objectKind);
  Int(o->level);
  Text(o->name);
  Float(o->width);
  const TVectorTextPlugIn *t = o->textInfo;
  Int(t != nullptr ? 1 : 0);
  if (t != nullptr) {
    Int(t->size);
    Int(t->hostField4);
    Float(t->height);
    Float(t->rotation);
    Int(t->justification);
  }
  Int(o->numPoints);
  Int(o->hostField44);
  Int(o->hostField48);
  Float(o->hostField52);
  Int(o->style);
  Int(o->hostField60);
  Int(o->hostField64);
  Float(o->hostField68);
  Int(o->hostField72);
  Int(o->hostField76);
  Int(o->hostField80);
  if (text_ != nullptr) {
    std::fprintf(text_,
                 "%s size_ok=%d h4=%d id=%d color=%d/%d kind=%d level=%d name=%s%s%s width=%a "
                 "n=%d h44=%d h48=%d h52=%a style=%d h60=%d h64=%d h68=%a h72=%d h76=%d h80=%d",
                 what, o->size == QPLUGIN_OBJECT_SIZE, o->hostField4, o->elementId, o->color,
                 o->color2, o->objectKind, o->level, o->name != nullptr ? "\"" : "",
                 o->name != nullptr ? o->name : "null", o->name != nullptr ? "\"" : "",
                 static_cast<double>(o->width), o->numPoints, o->hostField44, o->hostField48,
                 static_cast<double>(o->hostField52), o->style, o->hostField60, o->hostField64,
                 static_cast<double>(o->hostField68), o->hostField72, o->hostField76,
                 o->hostField80);
    if (t != nullptr)
      std::fprintf(text_, " text{size=%d h4=%d height=%a rot=%a just=%d}", t->size, t->hostField4,
                   static_cast<double>(t->height), static_cast<double>(t->rotation),
                   t->justification);
    std::fputc('\n', text_);
  }
}

int32_t TranscriptHost::OnAddLayer(TVectorCallbacksPlugIn *self, TVectorObjectPlugIn *layer) {
  TranscriptHost *h = reinterpret_cast<CallbackBlock *>(self)->host;
  const unsigned char tag = kTagLayer;
  h->Bytes(&tag, 1);
  h->Object("layer", layer);
  h->layers_++;
  return 0;
}

int32_t TranscriptHost::OnAddObject(TVectorCallbacksPlugIn *self, TVectorObjectPlugIn *object) {
  TranscriptHost *h = reinterpret_cast<CallbackBlock *>(self)->host;
  const unsigned char tag = kTagObject;
  h->Bytes(&tag, 1);
  h->Object("object", object);
  // Handles the host gives out: 1000, 1001, ... so that the points can be checked against them.
  return static_cast<int32_t>(1000 + h->objects_++);
}

int32_t TranscriptHost::OnAddPoint(TVectorCallbacksPlugIn *self, int32_t handle,
                                   TVectorPointPlugIn *point, int32_t flag) {
  TranscriptHost *h = reinterpret_cast<CallbackBlock *>(self)->host;
  const unsigned char tag = kTagPoint;
  h->Bytes(&tag, 1);
  h->Int(handle);
  h->Int(flag);
  h->Int(point != nullptr ? 1 : 0);
  if (point != nullptr) {
    h->Int(point->size);
    h->Double(point->x);
    h->Double(point->y);
    h->Double(point->z);
    h->Double(point->hostField28);
  }
  if (h->text_ != nullptr) {
    if (point != nullptr)
      std::fprintf(h->text_, "point handle=%d flag=%d size=%d x=%a y=%a z=%a h28=%a\n", handle,
                   flag, point->size, point->x, point->y, point->z, point->hostField28);
    else
      std::fprintf(h->text_, "point handle=%d flag=%d null\n", handle, flag);
  }
  h->points_++;
  return 0;
}

void TranscriptHost::OnSetTotal(TProgressPlugIn *self, int32_t total) {
  TranscriptHost *h = reinterpret_cast<ProgressBlock *>(self)->host;
  const unsigned char tag = kTagTotal;
  h->Bytes(&tag, 1);
  h->Int(total);
  if (h->text_ != nullptr) std::fprintf(h->text_, "total %d\n", total);
}

void TranscriptHost::OnStep(TProgressPlugIn *self, int32_t steps) {
  TranscriptHost *h = reinterpret_cast<ProgressBlock *>(self)->host;
  const unsigned char tag = kTagStep;
  h->Bytes(&tag, 1);
  h->Int(steps);
  if (h->text_ != nullptr) std::fprintf(h->text_, "step %d\n", steps);
  h->steps_++;
}

TPlugInBool TranscriptHost::OnIsCancelled(TProgressPlugIn *self) {
  TranscriptHost *h = reinterpret_cast<ProgressBlock *>(self)->host;
  const unsigned char tag = kTagCancel;
  h->Bytes(&tag, 1);
  if (h->text_ != nullptr) std::fputs("cancelled?\n", h->text_);
  return 0;
}

void TranscriptHost::OnShow(TMessagePlugIn *self, const char *text) {
  TranscriptHost *h = reinterpret_cast<SinkBlock *>(self)->host;
  const unsigned char tag = kTagShow;
  h->Bytes(&tag, 1);
  h->Text(text);
  if (h->text_ != nullptr) std::fprintf(h->text_, "show %s\n", text != nullptr ? text : "null");
  h->messages_++;
}

}  // namespace dgnbench
