// Records that cross the boundary between the host application and the plug-in.
//
// The host is a 32-bit Windows program: its records are packed, pointers are
// 4 bytes wide, integers little-endian.  The layouts below are fixed byte for
// byte on 32-bit targets (checked at compile time at the end of this file).
// On a 64-bit build pointers are 8 bytes, so the records holding pointers grow;
// their `size` field then carries the real size on that build.
#ifndef DGN_PLUGIN_RECORDS_H
#define DGN_PLUGIN_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A boolean crosses the boundary as one byte: 1 true, 0 false.
typedef uint8_t TPlugInBool;

#pragma pack(push, 1)

// The map record.  The host owns it and passes the same record to open, read,
// add and close; the plug-in keeps its DGN file handle in it.
typedef struct TVectorMapPlugIn {
  int32_t hostField0;   // 0: not used by the plug-in
  char *directory;      // 4: folder holding the host's INI file "gps.ini"
  int32_t readFlag;     // 8: non-zero: open an existing DGN file
  int32_t writeFlag;    // 12: non-zero: write access wanted
  int32_t createFlag;   // 16: non-zero: create a new DGN file from a seed
  int32_t openState;    // 20: set to 0 by every successful open or create
  int32_t hostField24;  // 24: not used by the plug-in
  void *handle;         // 28: the open DGNFile, null when closed
} TVectorMapPlugIn;

// A text object's extra record, pointed to by TVectorObjectPlugIn::textInfo.
typedef struct TVectorTextPlugIn {
  int32_t size;           // 0: 20
  int32_t hostField4;     // 4: always 0
  float height;           // 8: the element's height multiplier
  float rotation;         // 12: rotation in degrees
  int32_t justification;  // 16: the element's justification code
} TVectorTextPlugIn;

// One polyline, polygon, text or layer.  84 bytes on 32-bit hosts.
typedef struct TVectorObjectPlugIn {
  int32_t size;                 // 0: record size (84)
  int32_t hostField4;           // 4: default 0
  int32_t elementId;            // 8: id of the DGN element it came from / replaces
  int32_t color;                // 12: 0x00BBGGRR, -1 for none
  int32_t color2;               // 16: always the value of color
  int32_t objectKind;           // 20: 0 open polyline, 1 closed polygon, 3 text
  int32_t level;                // 24: layer number, the DGN level
  char *name;                   // 28: a layer's name or a text object's string
  float width;                  // 32: line width, the DGN weight
  TVectorTextPlugIn *textInfo;  // 36: a text object's text record
  int32_t numPoints;            // 40: points that follow through AddPoint
  int32_t hostField44;          // 44: default 0
  int32_t hostField48;          // 48: default 0
  float hostField52;            // 52: default -1.0
  int32_t style;                // 56: DGN line style, negative for none
  int32_t hostField60;          // 60: default -1
  int32_t hostField64;          // 64: default 0
  float hostField68;            // 68: default -1.0
  int32_t hostField72;          // 72: default 1
  int32_t hostField76;          // 76: default 0
  int32_t hostField80;          // 80: default 0
} TVectorObjectPlugIn;

// One vertex, 36 bytes.  The host passes arrays of them 36 bytes apart.
typedef struct TVectorPointPlugIn {
  int32_t size;        // 0: 36
  double x;            // 4
  double y;            // 12
  double z;            // 20: 0.0 for a text origin
  double hostField28;  // 28: the plug-in sends -1.0
} TVectorPointPlugIn;

#pragma pack(pop)

struct TVectorCallbacksPlugIn;
struct TProgressPlugIn;
struct TMessagePlugIn;

// The host's callback table; every function receives the table first.
typedef int32_t (*TAddLayerFn)(struct TVectorCallbacksPlugIn *self, TVectorObjectPlugIn *layer);
typedef int32_t (*TAddObjectFn)(struct TVectorCallbacksPlugIn *self, TVectorObjectPlugIn *object);
typedef int32_t (*TAddPointFn)(struct TVectorCallbacksPlugIn *self, int32_t objectHandle,
                               TVectorPointPlugIn *point, int32_t flag);

typedef struct TVectorCallbacksPlugIn {
  void *hostSlot0;  // slots 0-2 belong to the host and are never called
  void *hostSlot1;
  void *hostSlot2;
  TAddLayerFn AddLayer;    // slot 3
  TAddObjectFn AddObject;  // slot 4: returns the object handle
  TAddPointFn AddPoint;    // slot 5
} TVectorCallbacksPlugIn;

// The host's progress object: its first word points to a table of operations.
typedef struct TProgressOpsPlugIn {
  void (*SetTotal)(struct TProgressPlugIn *self, int32_t total);  // slot 0
  void (*Step)(struct TProgressPlugIn *self, int32_t steps);      // slot 1
  void *hostSlot2;                                                // slot 2
  TPlugInBool (*IsCancelled)(struct TProgressPlugIn *self);       // slot 3
} TProgressOpsPlugIn;

typedef struct TProgressPlugIn {
  const TProgressOpsPlugIn *ops;
} TProgressPlugIn;

// The host's message sink: Show(sink, text).
typedef struct TMessagePlugIn {
  void (*Show)(struct TMessagePlugIn *self, const char *text);
} TMessagePlugIn;

#ifdef __cplusplus
}  // extern "C"
#endif

// Sizes the plug-in writes into the `size` fields of the records it sends.
#define QPLUGIN_OBJECT_SIZE ((int32_t)sizeof(TVectorObjectPlugIn))
#define QPLUGIN_TEXT_SIZE ((int32_t)sizeof(TVectorTextPlugIn))
#define QPLUGIN_POINT_SIZE ((int32_t)sizeof(TVectorPointPlugIn))

#ifdef __cplusplus
// The pointer-free records are the same everywhere.
static_assert(sizeof(TVectorTextPlugIn) == 20, "text record is 20 bytes");
static_assert(offsetof(TVectorTextPlugIn, height) == 8, "text height at 8");
static_assert(offsetof(TVectorTextPlugIn, rotation) == 12, "text rotation at 12");
static_assert(offsetof(TVectorTextPlugIn, justification) == 16, "justification at 16");
static_assert(sizeof(TVectorPointPlugIn) == 36, "point record is 36 bytes");
static_assert(offsetof(TVectorPointPlugIn, x) == 4, "point x at 4");
static_assert(offsetof(TVectorPointPlugIn, y) == 12, "point y at 12");
static_assert(offsetof(TVectorPointPlugIn, z) == 20, "point z at 20");
static_assert(offsetof(TVectorPointPlugIn, hostField28) == 28, "point host field at 28");
static_assert(sizeof(TPlugInBool) == 1, "booleans are one byte");
static_assert(offsetof(TVectorObjectPlugIn, elementId) == 8, "elementId at 8");
static_assert(offsetof(TVectorObjectPlugIn, level) == 24, "level at 24");
static_assert(offsetof(TVectorObjectPlugIn, name) == 28, "name at 28");

#if UINTPTR_MAX == 0xFFFFFFFFu
// The 32-bit host's layout, byte for byte.
static_assert(sizeof(TVectorObjectPlugIn) == 84, "object record is 84 bytes");
static_assert(offsetof(TVectorObjectPlugIn, width) == 32, "width at 32");
static_assert(offsetof(TVectorObjectPlugIn, textInfo) == 36, "textInfo at 36");
static_assert(offsetof(TVectorObjectPlugIn, numPoints) == 40, "numPoints at 40");
static_assert(offsetof(TVectorObjectPlugIn, hostField52) == 52, "host float at 52");
static_assert(offsetof(TVectorObjectPlugIn, style) == 56, "style at 56");
static_assert(offsetof(TVectorObjectPlugIn, hostField68) == 68, "host float at 68");
static_assert(offsetof(TVectorObjectPlugIn, hostField80) == 80, "last host field at 80");
static_assert(offsetof(TVectorMapPlugIn, directory) == 4, "directory at 4");
static_assert(offsetof(TVectorMapPlugIn, readFlag) == 8, "readFlag at 8");
static_assert(offsetof(TVectorMapPlugIn, writeFlag) == 12, "writeFlag at 12");
static_assert(offsetof(TVectorMapPlugIn, createFlag) == 16, "createFlag at 16");
static_assert(offsetof(TVectorMapPlugIn, openState) == 20, "openState at 20");
static_assert(offsetof(TVectorMapPlugIn, handle) == 28, "handle at 28");
static_assert(sizeof(TVectorMapPlugIn) == 32, "map record is 32 bytes");
static_assert(offsetof(TVectorCallbacksPlugIn, AddLayer) == 12, "AddLayer is slot 3");
static_assert(offsetof(TVectorCallbacksPlugIn, AddPoint) == 20, "AddPoint is slot 5");
static_assert(offsetof(TProgressOpsPlugIn, IsCancelled) == 12, "IsCancelled is slot 3");
#endif
#endif

#endif  // DGN_PLUGIN_RECORDS_H
