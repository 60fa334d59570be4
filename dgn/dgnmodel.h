// The DGN (version 7 design file) engine: element records, the file handle and
// every engine operation, reading and writing.
//
// A design file is a sequence of variable-length elements.  Every multi-byte
// integer in an element is made of little-endian 16-bit words; a 32-bit value
// is two such words, high word first.  Reals are 8-byte VAX D-floats.
// Coordinates are 32-bit design units; decoded records carry master units,
// converted with the scale and global origin of the file's TCB.
//
// Records are plain structs.  Each per-kind record derives from DGNElement, and
// `kind` says which one a DGNElement* really is.  Every record is one zero-filled
// block from the checked allocator, released by one DGNFreeElement call.  The
// two variable-length records end in a flexible array: a multi-point record of
// n vertices takes sizeof(DGNMultiPointElement) + n * sizeof(DGNPoint) bytes, a
// text record of n characters sizeof(DGNTextElement) + n + 1 bytes at least.
#ifndef DGN_DGNMODEL_H
#define DGN_DGNMODEL_H

#include <cstdint>
#include <cstdio>

#include "dgn_bytes.h"

// ---------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------

// Element type codes (bits 0-6 of byte 1 of the element header).
constexpr int DGNTYPE_CELL_LIBRARY = 1;
constexpr int DGNTYPE_CELL_HEADER = 2;
constexpr int DGNTYPE_LINE = 3;
constexpr int DGNTYPE_LINE_STRING = 4;
constexpr int DGNTYPE_GROUP_DATA = 5;
constexpr int DGNTYPE_SHAPE = 6;
constexpr int DGNTYPE_TEXT_NODE = 7;
constexpr int DGNTYPE_DIGITIZER_SETUP = 8;
constexpr int DGNTYPE_TCB = 9;
constexpr int DGNTYPE_LEVEL_SYMBOLOGY = 10;
constexpr int DGNTYPE_CURVE = 11;
constexpr int DGNTYPE_COMPLEX_CHAIN_HEADER = 12;
constexpr int DGNTYPE_COMPLEX_SHAPE_HEADER = 14;
constexpr int DGNTYPE_ELLIPSE = 15;
constexpr int DGNTYPE_ARC = 16;
constexpr int DGNTYPE_TEXT = 17;
constexpr int DGNTYPE_3DSURFACE_HEADER = 18;
constexpr int DGNTYPE_3DSOLID_HEADER = 19;
constexpr int DGNTYPE_BSPLINE = 21;
constexpr int DGNTYPE_CONE = 23;
constexpr int DGNTYPE_SHARED_CELL_DEFN = 34;
constexpr int DGNTYPE_SHARED_CELL_ELEM = 35;
constexpr int DGNTYPE_TAG_VALUE = 37;
constexpr int DGNTYPE_APPLICATION_ELEM = 66;

// Element kinds: which record extends DGNElement.
constexpr int DGNKIND_CORE = 1;            // DGNElement alone
constexpr int DGNKIND_MULTIPOINT = 2;      // DGNMultiPointElement
constexpr int DGNKIND_COLOR_TABLE = 3;     // DGNColorTableElement
constexpr int DGNKIND_TCB = 4;             // DGNTCBElement
constexpr int DGNKIND_ARC = 5;             // DGNArcElement
constexpr int DGNKIND_TEXT = 6;            // DGNTextElement
constexpr int DGNKIND_COMPLEX_HEADER = 7;  // DGNComplexHeaderElement
constexpr int DGNKIND_CELL_HEADER = 8;     // DGNCellHeaderElement
constexpr int DGNKIND_TAG_VALUE = 9;       // DGNTagValueElement
constexpr int DGNKIND_TAG_SET = 10;        // DGNTagSetElement
constexpr int DGNKIND_CELL_LIBRARY = 11;   // DGNCellLibraryElement
constexpr int DGNKIND_CONE = 12;           // DGNConeElement

// Flags of a DGNIndexEntry.
constexpr int DGNEF_DELETED = 0x01;  // deleted bit (bit 7 of byte 1) set
constexpr int DGNEF_COMPLEX = 0x02;  // complex-component bit (bit 7 of byte 0) set

// Handle options (DGNSetOptions).
constexpr int DGN_OPTION_CAPTURE_RAW = 1;  // every decoded element keeps its raw bytes

// Creation flags (DGNCreate).
constexpr int32_t DGN_CREATE_SEED_UNITS = 1;        // keep the seed's units
constexpr int32_t DGN_CREATE_SEED_ORIGIN = 2;       // keep the seed's global origin
constexpr int32_t DGN_CREATE_SEED_COLOR_TABLE = 4;  // copy every colour table of the seed
constexpr int32_t DGN_CREATE_WHOLE_SEED = 8;        // copy every element of the seed

// Tag value types (tag definitions and tag values).
constexpr int DGNTT_TEXT = 1;
constexpr int DGNTT_INTEGER = 3;
constexpr int DGNTT_REAL = 4;
constexpr int DGNTT_INTEGER_ALT = 5;  // read and held like DGNTT_INTEGER

// Size of the handle's raw element buffer: room for the largest element a
// 16-bit words-to-follow count can describe (4 + 2 * 65535 = 131074 bytes).
constexpr int DGN_ELEM_BUFFER_BYTES = 131076;

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// A point; master units once decoded.
struct DGNPoint {
  double x;
  double y;
  double z;
};

// One entry of the element index (8 bytes), in file order.
struct DGNIndexEntry {
  uint8_t level;    // 0..63
  uint8_t type;     // element type code 0..127
  uint8_t kind;     // DGNKIND_* the decoder gives (CORE for type 1)
  uint8_t flags;    // DGNEF_*
  uint32_t offset;  // file offset of the element's first byte
};

// The handle of one open design file.
struct DGNWriteBatch;

struct DGNFile {
  FILE *fp;
  int32_t next_element_id;  // number of the element the next read returns
  int32_t elem_bytes;       // size of the raw element now in elem_buffer
  unsigned char elem_buffer[DGN_ELEM_BUFFER_BYTES];

  int32_t got_tcb;    // a TCB has been decoded and its units taken over
  int32_t dimension;  // 2 or 3
  int32_t options;    // DGN_OPTION_* bits

  double scale;  // master units per design unit
  double origin_x;
  double origin_y;
  double origin_z;  // global origin, master units

  int32_t index_built;
  int32_t elements_counted;  // element_count holds the count of DGNCountElements
  int32_t element_count;
  int32_t max_element_count;
  DGNIndexEntry *element_index;  // owned; null until built

  int32_t got_color_table;
  unsigned char color_table[256][3];  // red, green, blue per colour index
  // The colour indexes worth comparing in each part of the colour cube, made
  // by the first DGNNearestColor for the table then in force (owned).
  struct DGNColorCells *color_cells;

  int32_t got_bounds;                                 // the extents below are valid
  uint32_t min_x, min_y, min_z, max_x, max_y, max_z;  // raw range coding (c + 2^31)

  int32_t has_spatial_filter;
  int32_t sf_converted;
  int32_t select_complex_group;
  int32_t in_complex_group;
  uint32_t sf_min_x, sf_min_y, sf_max_x, sf_max_y;                // raw range coding
  double sf_min_x_geo, sf_min_y_geo, sf_max_x_geo, sf_max_y_geo;  // master units

  // Writing: offset of the end-of-design marker after the last element, once
  // an append has found or written it, so that the next append need not look
  // for it again; 0 while not known.
  int32_t append_offset;

  // The file itself: its size when it was opened, and whether this handle
  // holds its update lock (taken by DGNOpen for update, released by DGNClose).
  int64_t file_bytes;
  int32_t update_locked;

  // Where the element stream stopped the last time a read reached its end:
  // the offset of the end-of-design marker, of the end of the file, or, with
  // stream_cut set, of an element that does not fit in the file (a header
  // cut short or an element longer than the bytes left), past which the
  // file holds bytes no reader can reach.  Both 0 until a read has ended.
  // stream_marker: an end-of-design marker stands at stream_end.
  int64_t stream_end;
  int32_t stream_cut;
  int32_t stream_marker;

  // Set when the last DGNReadElement failed for want of memory (reported
  // through the error layer): its null then is no end of the stream.
  int32_t read_failed;

  // Read-ahead of the element stream (dgn_stream.h): the file's bytes from
  // offset ra_offset are in ra_data[0, ra_bytes); the stream stands at
  // ra_next among them.
  unsigned char *ra_data;  // owned; allocated by the first read
  int64_t ra_offset;
  int32_t ra_bytes;
  int32_t ra_next;

  // Writing in batches (DGNBatchAppend ...): the elements written past the
  // end-of-design marker but not yet linked into the file, and the deleted
  // marks and rewrites that wait for them; null until the first batch.
  DGNWriteBatch *write_batch;
  // Opened for update or created: closing makes the file durable.
  int32_t for_update;
  // Set by the first failed write or sync: DGNClose then returns false.
  int32_t write_failed;
  // Appended elements may wait in memory until their batch commits (a new
  // file, which nobody reads before it is closed): fewer, larger writes.
  int32_t write_behind;
};

// Common header of every decoded element.
struct DGNElement {
  int32_t offset;      // file offset of the first byte; -1 for a new element
  int32_t size;        // element size in bytes
  int32_t element_id;  // element number, from 0; -1 for a new element
  int32_t kind;        // DGNKIND_*
  int32_t level;       // bits 0-5 of byte 0
  int32_t type;        // bits 0-6 of byte 1
  int32_t complex;     // bit 7 of byte 0, masked: 0 or 0x80
  int32_t deleted;     // bit 7 of byte 1, masked: 0 or 0x80
  int32_t graphic_group;
  int32_t properties;
  int32_t color;   // colour index 0..255
  int32_t weight;  // 0..31
  int32_t style;   // 0..7
  int32_t attr_bytes;
  unsigned char *attr_data;  // owned copy of the attribute linkage, or null
  int32_t raw_bytes;
  unsigned char *raw_data;  // owned copy of the whole element, or null
};

// Kind DGNKIND_MULTIPOINT: line, line string, shape, curve, B-spline.
struct DGNMultiPointElement : DGNElement {
  int32_t num_vertices;
  DGNPoint vertices[];  // allocated for at least num_vertices entries
};

// Kind DGNKIND_ARC: ellipse and arc.
struct DGNArcElement : DGNElement {
  DGNPoint origin;
  double primary_axis;
  double secondary_axis;
  double rotation;     // degrees
  int32_t quat[4];     // as stored; 3D files only
  double start_angle;  // degrees
  double sweep_angle;  // degrees
};

// Kind DGNKIND_TEXT.
struct DGNTextElement : DGNElement {
  int32_t font_id;
  int32_t justification;
  double length_mult;
  double height_mult;
  double rotation;  // degrees
  DGNPoint origin;
  char text[];  // zero-terminated; allocated for the stored count plus room
};

// Kind DGNKIND_COLOR_TABLE.
struct DGNColorTableElement : DGNElement {
  int32_t screen_flag;
  unsigned char color_info[256][3];
};

// One view of the TCB.
struct DGNView {
  int32_t flags;
  unsigned char levels[8];
  DGNPoint origin;
  DGNPoint delta;
  double rotation[9];
  double conversion;
  int32_t active_z;
};

// Kind DGNKIND_TCB.
struct DGNTCBElement : DGNElement {
  int32_t dimension;
  double origin_x;
  double origin_y;
  double origin_z;  // master units
  int32_t uor_per_subunit;
  char sub_units[3];
  int32_t subunits_per_master;
  char master_units[3];
  DGNView views[8];
};

// Kind DGNKIND_COMPLEX_HEADER: complex chain/shape, 3D surface/solid headers.
struct DGNComplexHeaderElement : DGNElement {
  int32_t total_length;  // words
  int32_t num_elements;
  int32_t surface_type;  // types 18 and 19 only
};

// Kind DGNKIND_CELL_HEADER.
struct DGNCellHeaderElement : DGNElement {
  int32_t total_length;
  char name[7];
  uint16_t cell_class;
  uint16_t levels[4];
  DGNPoint range_low;
  DGNPoint range_high;
  double transform[9];
  DGNPoint origin;
  double x_scale;   // 2D only
  double y_scale;   // 2D only
  double rotation;  // degrees, 2D only
};

// Kind DGNKIND_CELL_LIBRARY.
struct DGNCellLibraryElement : DGNElement {
  char name[7];
  int32_t cell_type;
  uint16_t class_and_levels[6];
  char description[28];
};

// A tag value or a tag default: which member holds it follows the tag type.
union DGNTagValue {
  char *string;     // DGNTT_TEXT: owned, zero-terminated
  int32_t integer;  // DGNTT_INTEGER and DGNTT_INTEGER_ALT
  double real;      // DGNTT_REAL
};

// Kind DGNKIND_TAG_VALUE.
struct DGNTagValueElement : DGNElement {
  int32_t tag_type;
  int32_t tag_set;
  int32_t tag_index;
  int32_t tag_length;
  DGNTagValue value;
};

// One definition of a tag set.
struct DGNTagDefinition {
  char *name;  // owned
  int32_t id;
  char *prompt;  // owned
  int32_t type;  // DGNTT_*
  DGNTagValue default_value;
};

// Kind DGNKIND_TAG_SET.
struct DGNTagSetElement : DGNElement {
  int32_t tag_count;  // entries in tag_list
  int32_t flags;      // -1 when absent
  int32_t tag_set;
  char *tag_set_name;          // owned
  DGNTagDefinition *tag_list;  // owned array of tag_count entries (null if none)
};

// Kind DGNKIND_CONE.
struct DGNConeElement : DGNElement {
  uint16_t cone_word;
  int32_t quat[4];
  DGNPoint center_1;
  double radius_1;
  DGNPoint center_2;
  double radius_2;
};

// ---------------------------------------------------------------------------
// Opening, element stream and index (dgnopen.cpp, dgnread.cpp)
// ---------------------------------------------------------------------------

// True if the first `count` bytes of a file start a design file (fewer than 4: true).
bool DGNTestOpen(const unsigned char *header, int count);
// A new handle on the design file at `path`, or null with a report.  Files of
// 2 GiB or more and streams that are no regular file are refused.  With
// `update` ("rb+") the handle takes the file's update lock, refused while
// another handle holds it, and the whole element stream is indexed first: a
// stream that stops at an element that does not fit in the file is refused,
// since an append would overwrite the bytes that follow it.
DGNFile *DGNOpen(const char *path, bool update);
// Replaces the handle's option bits (DGN_OPTION_*).
void DGNSetOptions(DGNFile *handle, int options);
// Closes the stream and releases the handle and its index; null is ignored.
// For a file opened for update it first commits the pending batch and puts
// everything written on the disk: true when all of that, and every write
// since the open, succeeded (false, reported, when any failed).
bool DGNClose(DGNFile *handle);
// Puts the stream back on the first element.
void DGNRewind(DGNFile *handle);
// Reads the next raw element into elem_buffer; false at end of design or on a short read,
// where the stream then stays (stream_end, stream_cut say where and how it stopped).
bool DGNLoadRawElement(DGNFile *handle, int *type, int *level);
// The six stored range values of an element (raw null: elem_buffer, elem_bytes); false if
// the type has no range block or the element is too short to hold one.
bool DGNGetRawExtents(DGNFile *handle, int type, const unsigned char *raw, int raw_size,
                      uint32_t *low_x, uint32_t *low_y, uint32_t *low_z, uint32_t *high_x,
                      uint32_t *high_y, uint32_t *high_z);
// The next element accepted by the spatial filter, decoded; null at end, on a short read,
// or when memory for the record runs out (then with a report and read_failed set).
DGNElement *DGNReadElement(DGNFile *handle);
// Releases a decoded or built element and everything it owns; null is ignored.
void DGNFreeElement(DGNFile *handle, DGNElement *element);
// True once the file's TCB has been decoded (reads on from the current position to find it).
bool DGNLoadTCB(DGNFile *handle);
// Builds the element index and file extents once; false (with a report) if the file does
// not fit the index's 32-bit fields, in which case the index holds the elements before.
bool DGNBuildIndex(DGNFile *handle);
// The element index (owned by the handle), built first if needed; its length in *count.
const DGNIndexEntry *DGNGetElementIndex(DGNFile *handle, int *count);
// Gives the file's extents in master units (lowest and highest corner, building the
// index if need be); false when no element of the file has a range.
bool DGNGetExtents(DGNFile *handle, DGNPoint *low, DGNPoint *high);
// Gives the file's extents as far as the index has found them, as stored (design value
// + 2^31) for x, y and z; false when no element found so far has a range.
bool DGNGetRawFileExtents(const DGNFile *handle, uint32_t low[3], uint32_t high[3]);
// Positions the stream so that the next read returns element `element`; false if none.
bool DGNGotoElement(DGNFile *handle, int element);
// Gives in *count the number of elements the index holds or would hold, without
// keeping their offsets (the first TCB and colour table are taken over as the
// index takes them).  The first call leaves the stream at the first element, as
// building the index does; later calls, and calls on an indexed handle, leave
// it where it stands.  False only for a null handle.
bool DGNCountElements(DGNFile *handle, int *count);

// An element where it lies in the stream, for a caller that converts each
// element once and keeps nothing of it (the map import): no record is made.
struct DGNElementView {
  const unsigned char *bytes;  // the element's bytes; valid until the next read
  int32_t size;                // element size in bytes
  int32_t element_id;          // element number, from 0
  int32_t type;                // element type code 0..127
  int32_t level;               // 0..63
  int32_t in_buffer;           // the bytes are in elem_buffer
};
// Steps the stream to the next element and shows it in *view; false where
// DGNReadElement gives null for the end of the stream.  The file's first TCB
// and colour table are taken over as DGNReadElement takes them.  With a spatial
// filter set, only the elements the filter accepts are shown.
bool DGNReadElementView(DGNFile *handle, DGNElementView *view);
// The record that DGNReadElement gives for the element `view` shows (which
// must be the last one read); null, with read_failed set and a report, when
// memory for it runs out.  Leaves the element's bytes in elem_buffer.
DGNElement *DGNProcessView(DGNFile *handle, DGNElementView *view);
// Fills the common header fields of `out` (level, complex, deleted, type,
// graphic group, properties, style, weight, colour, element id, size) as
// decoding the element gives them; no attribute data is copied.
void DGNViewHeader(const DGNElementView *view, DGNElement *out);
// The stored vertices of a line (type 3), line string (4) or shape (6) where
// they lie, with the units that give them in master units.
struct DGNVertexRun {
  const unsigned char *bytes;  // the first vertex
  int32_t count;               // vertices, all inside the element's bytes
  int32_t stride;              // 8 in a 2D file, 12 in a 3D one
  double scale;                // master units per design unit
  double origin_x, origin_y, origin_z;
};
// Shows in *run the vertices such an element gives as a DGNMultiPointElement
// (num_vertices of them, in its order); false, with no vertices, for other types.
bool DGNViewVertexRun(const DGNFile *handle, const DGNElementView *view, DGNVertexRun *run);
// The offset in the file of the element `view` shows (the last one read).
int32_t DGNViewOffset(DGNFile *handle, const DGNElementView *view);
// Fills *out with the record DGNReadElement gives for the ellipse (type 15)
// or arc (16) that `view` shows (the last element read), read from the
// element's own bytes, without its attribute data; false for other types.
bool DGNViewArc(DGNFile *handle, const DGNElementView *view, DGNArcElement *out);
// Vertex i (0 <= i < run.count) of a run in master units, exactly as the
// element's record holds it.
inline DGNPoint DGNRunVertex(const DGNVertexRun &run, int i) {
  const unsigned char *p = run.bytes + i * run.stride;
  DGNPoint v;
  v.x = static_cast<int32_t>(dgnraw::stored_uint32(p)) * run.scale - run.origin_x;
  v.y = static_cast<int32_t>(dgnraw::stored_uint32(p + 4)) * run.scale - run.origin_y;
  // A 2D vertex stores no z: 0 design units.
  v.z = (run.stride == 12 ? static_cast<int32_t>(dgnraw::stored_uint32(p + 8)) : 0) * run.scale -
        run.origin_z;
  return v;
}
// The characters of a 16-bit text element (stored FF FD, then 16-bit words) into
// chars, at most max of them, zeros included; gives their number, or -1 for
// an 8-bit text or when the element's bytes are no longer at hand (neither
// captured with DGN_OPTION_CAPTURE_RAW nor the element the last read gave).
int DGNGetTextWide(DGNFile *handle, const DGNTextElement *text, uint16_t *chars, int max);
// Sets a spatial filter rectangle in the file's master units (its TCB is looked for first,
// wherever it lies; without one, one design unit per master unit); all four 0 clears it.
void DGNSetSpatialFilter(DGNFile *handle, double min_x, double min_y, double max_x, double max_y);

// ---------------------------------------------------------------------------
// Element decoding (dgnread.cpp)
// ---------------------------------------------------------------------------

// Decodes the element in elem_buffer into a new record owned by the caller.
DGNElement *DGNProcessElement(DGNFile *handle, int type, int level);
// Fills the common header and attribute data of `element` from elem_buffer.
void DGNParseCore(DGNFile *handle, DGNElement *element);
// True if elements of this type carry the display header (bytes 28-35).
bool DGNTypeHasDisplayHeader(int type);
// Design units to master units, in place.
void DGNTransformPoint(DGNFile *handle, DGNPoint *point);
// Gives the file's dimension: 3 for a 3D file, else 2.
int DGNGetDimension(const DGNFile *handle);
// Gives the size of one design unit in master units.
double DGNGetScale(const DGNFile *handle);
// Gives the file's global origin in master units (0, 0, 0 until its TCB is read).
DGNPoint DGNGetOrigin(const DGNFile *handle);
// Gives the design value (before rounding and clamping) that a master-unit
// coordinate of an axis (0 x, 1 y, 2 z) is stored as.
double DGNMasterToDesign(const DGNFile *handle, int axis, double master);
// Gives whether a design value lies on the design plane, where an element
// stores it without clamping (inline: an add call asks it of every vertex).
inline bool DGNOnDesignPlane(double design) {
  return design >= -dgnraw::kMaxDesign && design <= dgnraw::kMaxDesign;
}
// Gives the master-unit span [*low, *high] of the design plane along an axis.
void DGNDesignPlaneSpan(const DGNFile *handle, int axis, double *low, double *high);
// Gives whether a read stopped because a record the file asked for could not be had.
bool DGNReadFailed(const DGNFile *handle);
// Gives whether the element stream stops before the end of the file, with
// the offset where it stops and the file's size.
bool DGNStreamCut(const DGNFile *handle, int64_t *stream_end, int64_t *file_bytes);
// Gives whether the last read that reached the end of the element stream
// stopped at an end-of-design marker.
bool DGNStreamAtMarker(const DGNFile *handle);
// Master units to design units, in place, clamped to +-2147483647.
void DGNInverseTransformPoint(DGNFile *handle, DGNPoint *point);
// Converts 8 bytes in place from a stored D-float to a little-endian IEEE double.
void DGNDFloatToDouble(void *bytes);
// Writes the three radix-50 characters of `word` and a terminating zero into `out` (4 bytes).
void DGNRad50ToAscii(uint16_t word, char *out);

// Header elements (dgnread.cpp).
// The TCB in elem_buffer, decoded; the first TCB of a file sets the handle's units.
DGNTCBElement *DGNDecodeTCB(DGNFile *handle);
// The colour table in elem_buffer, decoded; the first one becomes the handle's table.
DGNColorTableElement *DGNDecodeColorTable(DGNFile *handle);
// The tag set definition in elem_buffer, decoded (only the definitions that fit).
DGNTagSetElement *DGNDecodeTagSet(DGNFile *handle);

// ---------------------------------------------------------------------------
// Colour lookup and type names (dgnhelp.cpp)
// ---------------------------------------------------------------------------

// The built-in colour table used while a file has none of its own.
extern const unsigned char DGNDefaultColorTable[256][3];

// Red, green and blue of a colour index; false (outputs untouched) outside 0..255.
bool DGNLookupColor(DGNFile *handle, int color_index, int *red, int *green, int *blue);
// The colour index nearest to a host colour (red bits 0-7, green 8-15, blue 16-23).
int DGNNearestColor(DGNFile *handle, int32_t host_color);
// Releases what DGNNearestColor keeps in the handle (the handle is closing).
void DGNFreeColorCells(DGNFile *handle);
// Display name of an element type, or its number in a buffer of the calling thread that its
// next call reuses.
const char *DGNTypeToName(int type);

// ---------------------------------------------------------------------------
// File creation and element writing (dgnwrite.cpp)
// ---------------------------------------------------------------------------

// A new file made from a seed file, opened for update, or null with a report.
DGNFile *DGNCreate(const char *new_file, const char *seed_file, int32_t creation_flags,
                   double origin_x, double origin_y, double origin_z, int32_t subunits_per_master,
                   int32_t uor_per_subunit, const char *master_units, const char *sub_units);
// A copy of `element` owning all its data, for writing to `destination`; null if not copied.
DGNElement *DGNCloneElement(DGNFile *source, DGNFile *destination, const DGNElement *element);
// Converts 8 bytes in place from a little-endian IEEE double to a stored D-float.
void DGNDoubleToDFloat(void *bytes);
// A new multi-point element of `point_count` points (master units), or null if too large.
DGNMultiPointElement *DGNCreateMultiPointElem(DGNFile *handle, int type, int point_count,
                                              const DGNPoint *points);
// A new text element of `char_count` characters at `origin` (master units): 8-bit when
// every character is below 0x100, 16-bit otherwise; height and length multipliers in
// master units, rotation in degrees (a quaternion about z in a 3D file).  Null if the
// text does not fit one element (255 stored bytes).
DGNTextElement *DGNCreateTextElem(DGNFile *handle, const uint16_t *chars, int char_count,
                                  int font_id, int justification, double length_mult,
                                  double height_mult, double rotation, const DGNPoint *origin);
// A new complex chain or shape header (type 12 or 14) for the built components that are
// to follow it in the file: their complex bits are set, the header's range holds theirs.
// Null if the type is another or the counts do not fit the header.
DGNComplexHeaderElement *DGNCreateComplexHeaderFromElems(DGNFile *handle, int type,
                                                         int component_count,
                                                         DGNElement **components);
// Sets level, graphic group, colour, weight and style and stores them in the raw bytes.
bool DGNUpdateElemCore(DGNFile *handle, DGNElement *element, int level, int graphic_group,
                       int color, int weight, int style);
// Stores the header fields of `element` into its raw bytes; false without raw bytes.
bool DGNStoreElemCore(DGNFile *handle, DGNElement *element);
// Appends (offset -1) or rewrites in place an element with raw bytes; true if written.
bool DGNWriteElement(DGNFile *handle, DGNElement *element);
// Appends attribute linkage bytes behind the body of a built element without linkage (a
// complex header's total length grows with them); false, with a report, if they do not fit.
bool DGNAppendAttributeLinkage(DGNFile *handle, DGNElement *element, const unsigned char *data,
                               int bytes);
// Sets (or clears) the deleted bit of the file's element that starts at `offset`, in the
// file and in the index, leaving every other byte alone; true if written.
bool DGNMarkElementDeleted(DGNFile *handle, int32_t offset, bool deleted);
// ---- Write batches: a change becomes part of the file whole, or not at all.
// Appended elements are written past the end-of-design marker at once (a
// full disk shows at the append) but join the file only at the commit: the
// bodies and a new marker are synced, then the two bytes over the old marker
// link them in, synced, and only then are the queued deleted marks and
// rewrites made.  A crash at any moment leaves the old file or the new one,
// per element; a replaced element's new version is durable before the old
// one is retired, so a crash may leave both, never neither.

// Queues an element with raw bytes for appending and writes it past the end
// of the file's elements; gives it its future offset and element number.
// True if written; false (reported) otherwise, with nothing queued.
bool DGNBatchAppend(DGNFile *handle, DGNElement *element);
// Queues the deleted mark of the file's element at `offset` for the commit;
// false (reported) when no element of the file starts there.
bool DGNBatchRetire(DGNFile *handle, int32_t offset);
// Queues the rewrite in place of the file's element at element->offset by
// `element`, of the same size; false (reported) when sizes differ or no
// element starts there.  The element keeps its place and number.  For a
// complex component, `complex_header` is the offset of its complex header,
// which is hidden (marked deleted) while a rewrite across sectors is made.
bool DGNBatchRewrite(DGNFile *handle, DGNElement *element, int32_t complex_header = -1);
// Marks what was queued since the last seal as one whole change; commits
// the batch when it has grown large.  False when that commit failed.
bool DGNBatchSeal(DGNFile *handle);
// Drops what was queued since the last seal; the file reads as before it.
void DGNAbortBatch(DGNFile *handle);
// Seals and commits the batch now; true when it is in the file.
bool DGNCommitBatch(DGNFile *handle);

// Zeroes the common header, with offset and element_id -1.
void DGNClearElemCore(DGNFile *handle, DGNElement *element);
// Stores the range block (bytes 4-27) of a built element from master-unit corners.
void DGNStoreRange(DGNFile *handle, DGNElement *element, const DGNPoint *low, const DGNPoint *high);
// Gives the most vertices a new multi-point element of the file may hold.
int DGNMaxNewVertices(const DGNFile *handle);
// Encodes a master-unit point as `dimension` 32-bit design coordinates at `destination`.
void DGNWriteRawPoint(DGNFile *handle, const DGNPoint *point, unsigned char *destination);

#endif  // DGN_DGNMODEL_H
