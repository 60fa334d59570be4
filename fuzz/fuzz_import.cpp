// Fuzz target: the whole import through the plug-in's exports, on arbitrary
// file bytes.  The input is the DGN file itself.
//
// The file is opened for reading as the host opens it, read into a checking
// host (fuzz_host.h) and closed.  What must hold for every input:
//   - open either succeeds with a handle, or fails with one opening message
//     and leaves the handle empty; it succeeds only for the accepted headers;
//   - the read returns true, calls SetTotal once and Step once per element,
//     sends only well-formed records, and sends a layer for every level an
//     object used; it sends no message, but for one warning naming the
//     offset where the element stream stops when it stops at an element that
//     does not fit in the file, and warnings of complex elements cut short
//     or of objects sent in pieces;
//   - a second read of the same map sends nothing and returns true;
//   - opened for update, the file takes a polyline after the elements the
//     import saw (or the host is told why not), and a new import delivers
//     every earlier object unchanged, then the new one; a file whose stream
//     stops short is refused for update, with its message, and unchanged;
//   - a read cancelled after some steps shows "STOP", returns false and
//     sends no layer;
//   - with the whole map (DGN_Whole_Map in the gps.ini of the map record's
//     folder) the read holds to the same rules, whatever complex headers,
//     arcs and curves the file holds, and every arc and ellipse outside a
//     complex element arrives as the stroke of its engine record;
//   - every line, line string, shape and text arrives with the id, kind and
//     points that the engine's record of it (DGNReadElement) holds, the
//     import reading elements where they lie instead;
//   - close empties the handle; nothing leaks (LeakSanitizer).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Dgn_plugin.h"
#include "cpl_error.h"
#include "dgnmodel.h"
#include "dgnstroke.h"
#include "fuzz_host.h"

using fuzzhost::CheckingHost;
using fuzzhost::Fail;

namespace {

const char kOpenFailed[] = "Error in DGN (QuarvelPlugIn_Open_Vector_Map) opening file ";

bool AcceptedHeader(const uint8_t *data, size_t size) {
  static const uint8_t kPatterns[][4] = {
      {0x08, 0x05, 0x17, 0x00}, {0x08, 0x09, 0xFE, 0x02}, {0xC8, 0x09, 0xFE, 0x02}};
  if (size < 4) return false;
  for (const auto &p : kPatterns) {
    if (std::memcmp(data, p, 4) == 0) return true;
  }
  return false;
}

// Where the file's element stream stops at an element that does not fit in
// the file, or -1 when it ends whole: at the end-of-design marker, whatever
// follows, or at the very end of the file.
long long CutAt(const uint8_t *data, size_t size) {
  size_t pos = 0;
  while (pos + 4 <= size && !(data[pos] == 0xFF && data[pos + 1] == 0xFF)) {
    const size_t n = 4 + 2 * static_cast<size_t>(data[pos + 2] | data[pos + 3] << 8);
    if (pos + n > size) return static_cast<long long>(pos);
    pos += n;
  }
  if (pos == size || (pos + 2 <= size && data[pos] == 0xFF && data[pos + 1] == 0xFF)) return -1;
  return static_cast<long long>(pos);
}

// Whether the file at path holds exactly these bytes.
bool FileHolds(const std::string &path, const uint8_t *data, size_t size) {
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::vector<uint8_t> bytes(size + 1);
  const size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  return got == size && (size == 0 || std::memcmp(bytes.data(), data, size) == 0);
}

// True for a warning of the whole-map import about what a file holds: a
// complex element whose components stop short, an object sent in pieces, an
// element memory could not be found for, or the count of those held back.
bool IsImportNotice(const std::string &m) {
  const std::string prefix = "Warning in DGN (QuarvelPlugIn_Read_Vector_Map3): ";
  if (m.compare(0, prefix.size(), prefix) != 0) return false;
  for (const char *what :
       {" components but ", " open polylines ", "memory ran out", " more warnings "})
    if (m.find(what) != std::string::npos) return true;
  return false;
}

// Checks that a read sent no message, or, when the element stream stops at
// `cut` (not -1), the one warning that names that offset (besides the
// warnings of what the file holds).
void CheckReadMessages(const CheckingHost &host, long long cut, const char *read) {
  const std::string warning =
      "Warning in DGN (QuarvelPlugIn_Read_Vector_Map3): the element stream stops at offset " +
      std::to_string(cut) + ",";
  std::vector<std::string> messages;
  for (const std::string &m : host.messages)
    if (!IsImportNotice(m)) messages.push_back(m);
  if (cut < 0 ? !messages.empty()
              : messages.size() != 1 || messages[0].compare(0, warning.size(), warning) != 0)
    Fail((std::string(read) + " sent a message, or not the one warning that the stream "
                              "stops short")
             .c_str(),
         messages.empty() ? std::string() : messages[0]);
}

// Opens the file for reading; false (after checking the failure) when refused.
bool Open(const std::string &path, TVectorMapPlugIn &map, CheckingHost &host) {
  map = fuzzhost::MapRecord(1, 0, 0);
  if (_QuarvelPlugIn_Open_Vector_Map(path.c_str(), &map, host.sink()) != 0) {
    if (map.handle == nullptr || map.openState != 0 || !host.messages.empty())
      Fail("open succeeded without a handle, or with a message");
    return true;
  }
  if (map.handle != nullptr || host.messages.size() != 1 ||
      host.messages[0].compare(0, sizeof kOpenFailed - 1, kOpenFailed) != 0)
    Fail("failed open: handle or message wrong");
  return false;
}

void Close(TVectorMapPlugIn &map) {
  if (_QuarvelPlugIn_Close_Vector_Map(&map) != 1 || map.handle != nullptr) Fail("close");
}

bool SameObject(const fuzzhost::Object &a, const fuzzhost::Object &b) {
  if (std::memcmp(&a.record, &b.record, sizeof a.record) != 0 || a.name != b.name ||
      a.points.size() != b.points.size())
    return false;
  for (size_t i = 0; i < a.points.size(); ++i) {
    if (std::memcmp(&a.points[i], &b.points[i], sizeof a.points[i]) != 0) return false;
  }
  return true;
}

void AppendAndReimport(const std::string &path, const CheckingHost &before, const uint8_t *data,
                       size_t size, long long cut) {
  TVectorMapPlugIn map = fuzzhost::MapRecord(1, 1, 0);
  CheckingHost writer;
  if (_QuarvelPlugIn_Open_Vector_Map(path.c_str(), &map, writer.sink()) != 1) {
    if (cut < 0) Fail("a file that opened for reading did not open for update");
    if (writer.messages.size() != 1 ||
        writer.messages[0].find("cannot be opened for update") == std::string::npos ||
        !FileHolds(path, data, size))
      Fail("a refused update: message wrong, or the file changed");
    return;
  }
  if (cut >= 0) Fail("a file whose element stream stops short opened for update");
  TVectorObjectPlugIn object{};
  object.size = QPLUGIN_OBJECT_SIZE;
  object.color = object.color2 = 0x00FF00;
  object.level = 5;
  object.width = 3.0f;
  object.style = -1;
  TVectorPointPlugIn points[3] = {};
  for (int i = 0; i < 3; ++i) {
    points[i].size = QPLUGIN_POINT_SIZE;
    points[i].x = i * 1.5;
    points[i].y = i == 1 ? 2.0 : 0.0;
    points[i].hostField28 = -1.0;
  }
  // Refused (false) only with a reason, such as points that the file's
  // units put off its design plane.
  const TPlugInBool result =
      _QuarvelPlugIn_Add_Poliline_Vector_Map(&map, &object, 3, points, writer.sink());
  if (result == 0 && writer.messages.size() != 1)
    Fail("the add call returned false without one message");
  Close(map);

  CheckingHost after;
  if (!Open(path, map, after)) Fail("the file no longer opens after an add");
  if (_QuarvelPlugIn_Read_Vector_Map3(&map, after.callbacks(), after.sink(), after.progress()) != 1)
    Fail("the file no longer reads after an add");
  after.Finish();
  Close(map);
  // The polyline went in (or the add told the host why not), after every
  // object the first import delivered, each still as it was.
  const size_t added = result == 1 && writer.messages.empty() ? 1 : 0;
  if (after.objects.size() != before.objects.size() + added)
    Fail("the add lost or gained objects",
         std::to_string(before.objects.size()) + " -> " + std::to_string(after.objects.size()));
  for (size_t i = 0; i < before.objects.size(); ++i) {
    if (!SameObject(before.objects[i], after.objects[i]))
      Fail("an object changed when a polyline was added", std::to_string(i));
  }
}

// Checks that a layer came for every level an object used.
void CheckLayers(const CheckingHost &host) {
  for (const fuzzhost::Object &o : host.objects) {
    bool found = false;
    for (const TVectorObjectPlugIn &l : host.layers) found = found || l.level == o.record.level;
    if (!found) Fail("no layer for a level an object used");
  }
}

// The arcs and ellipses of a whole-map import outside complex elements
// against the engine's records of them, stroked: the same points to the bit,
// the import reading arcs where they lie instead.
void CheckArcsAgainstRecords(const std::string &path, const CheckingHost &host) {
  DGNFile *file = DGNOpen(path.c_str(), false);
  if (file == nullptr) Fail("the engine cannot open a file the plug-in opened");
  std::vector<DGNPoint> stroke(DGN_STROKE_MAX_ARC_POINTS);
  size_t next = 0;
  while (DGNElement *e = DGNReadElement(file)) {
    if (e->kind == DGNKIND_ARC && e->deleted == 0 && e->complex == 0) {
      const int n = DGNStrokeArc(file, static_cast<const DGNArcElement *>(e), stroke.data());
      // Objects of arcs on their own come in element order.
      while (n >= 2 && next < host.objects.size() &&
             host.objects[next].record.elementId != e->element_id)
        ++next;
      if (n >= 2) {
        if (next >= host.objects.size()) Fail("an arc the engine reads sent no object");
        const fuzzhost::Object &o = host.objects[next++];
        if (o.record.objectKind != (e->type == DGNTYPE_ELLIPSE ? 1 : 0) ||
            o.points.size() != static_cast<size_t>(n))
          Fail("an arc differs from its record");
        for (int i = 0; i < n; ++i) {
          const TVectorPointPlugIn &p = o.points[static_cast<size_t>(i)];
          const DGNPoint &v = stroke[static_cast<size_t>(i)];
          if (std::memcmp(&p.x, &v.x, sizeof v.x) != 0 ||
              std::memcmp(&p.y, &v.y, sizeof v.y) != 0 || std::memcmp(&p.z, &v.z, sizeof v.z) != 0)
            Fail("an arc's point differs from its record's stroke");
        }
      }
    }
    DGNFreeElement(file, e);
  }
  DGNClose(file);
}

// Imports the file again with the whole map on: arcs, ellipses and curves
// stroked, complex elements joined.
void ImportWholeMap(const std::string &path, const CheckingHost &plain, long long cut) {
  static std::string dir;
  if (dir.empty()) {
    dir = fuzzhost::ScratchDir();
    const char ini[] = "[Mapa]\nDGN_Whole_Map=1\n";
    fuzzhost::WriteBytes(dir + "/gps.ini", reinterpret_cast<const uint8_t *>(ini), sizeof ini - 1);
  }
  TVectorMapPlugIn map = fuzzhost::MapRecord(1, 0, 0, &dir[0]);
  CheckingHost host;
  host.wholeMap = true;
  if (_QuarvelPlugIn_Open_Vector_Map(path.c_str(), &map, host.sink()) != 1)
    Fail("a file that opened did not open with the whole map");
  if (_QuarvelPlugIn_Read_Vector_Map3(&map, host.callbacks(), host.sink(), host.progress()) != 1)
    Fail("whole-map read returned false without a cancel");
  host.Finish();
  Close(map);
  CheckReadMessages(host, cut, "whole-map read");
  if (host.total != plain.total || host.steps != host.total)
    Fail("whole-map Step count differs from the element count");
  CheckLayers(host);
  CheckArcsAgainstRecords(path, host);
}

// The objects of the import against the records the engine decodes: the
// same elements, in order, with the same ids, kinds and points to the bit.
void CheckAgainstRecords(const std::string &path, const CheckingHost &host) {
  DGNFile *file = DGNOpen(path.c_str(), false);
  if (file == nullptr) Fail("the engine cannot open a file the plug-in opened");
  size_t next = 0;
  while (DGNElement *e = DGNReadElement(file)) {
    const bool multi =
        (e->type == DGNTYPE_LINE || e->type == DGNTYPE_LINE_STRING || e->type == DGNTYPE_SHAPE) &&
        e->kind == DGNKIND_MULTIPOINT;
    const bool text = e->type == DGNTYPE_TEXT && e->kind == DGNKIND_TEXT;
    if (e->deleted == 0 && (multi || text)) {
      if (next >= host.objects.size()) Fail("an element the engine reads sent no object");
      const fuzzhost::Object &o = host.objects[next++];
      if (o.record.elementId != e->element_id) Fail("objects out of step with the elements");
      if (text) {
        const auto *t = static_cast<const DGNTextElement *>(e);
        if (o.record.objectKind != 3 || o.name != t->text || o.points.size() != 1 ||
            o.points[0].x != t->origin.x || o.points[0].y != t->origin.y)
          Fail("a text differs from its record");
      } else {
        const auto *mp = static_cast<const DGNMultiPointElement *>(e);
        if (o.record.objectKind != (e->type == DGNTYPE_SHAPE ? 1 : 0) ||
            o.points.size() != static_cast<size_t>(mp->num_vertices))
          Fail("a polyline differs from its record");
        for (int i = 0; i < mp->num_vertices; ++i) {
          const TVectorPointPlugIn &p = o.points[static_cast<size_t>(i)];
          const DGNPoint &v = mp->vertices[i];
          if (std::memcmp(&p.x, &v.x, sizeof v.x) != 0 ||
              std::memcmp(&p.y, &v.y, sizeof v.y) != 0 || std::memcmp(&p.z, &v.z, sizeof v.z) != 0)
            Fail("a vertex differs from its record");
        }
      }
    }
    DGNFreeElement(file, e);
  }
  DGNClose(file);
  if (next != host.objects.size()) Fail("objects sent for elements the engine does not read");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Reports still reach the last-error record; writing thousands of them
  // to standard error would only slow the fuzzer down.
  CPLSetErrorHandler(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string path = fuzzhost::ScratchDir() + "/import.dgn";
  fuzzhost::WriteBytes(path, data, size);

  TVectorMapPlugIn map;
  CheckingHost host;
  if (!Open(path, map, host)) return 0;
  if (!AcceptedHeader(data, size)) Fail("a file without an accepted header was opened");

  if (_QuarvelPlugIn_Read_Vector_Map3(&map, host.callbacks(), host.sink(), host.progress()) != 1)
    Fail("read returned false without a cancel");
  host.Finish();
  const long long cut = CutAt(data, size);
  CheckReadMessages(host, cut, "read");
  if (host.total < 0 || host.steps != host.total) Fail("Step count differs from the element count");
  CheckLayers(host);
  CheckAgainstRecords(path, host);

  // The stream is at its end: a second read sends nothing.
  CheckingHost again;
  if (_QuarvelPlugIn_Read_Vector_Map3(&map, again.callbacks(), again.sink(), again.progress()) != 1)
    Fail("second read returned false");
  if (!again.objects.empty() || again.total != host.total)
    Fail("second read delivered elements again");
  Close(map);

  ImportWholeMap(path, host, cut);

  // Opened for update, the file takes one more polyline after the elements
  // the import saw, and keeps every one of them as it was.
  if ((data[size - 1] & 4) != 0) AppendAndReimport(path, host, data, size, cut);

  // Cancelled after some steps (chosen by the input), on a fresh open.
  if (host.steps > 0 && (data[size - 1] & 3) == 0) {
    CheckingHost cancel;
    cancel.cancelAfterSteps = data[size - 1] % (host.steps + 1);
    if (!Open(path, map, cancel)) Fail("the file opened once and not twice");
    if (_QuarvelPlugIn_Read_Vector_Map3(&map, cancel.callbacks(), cancel.sink(),
                                        cancel.progress()) != 0)
      Fail("cancelled read returned true");
    std::vector<std::string> shown;
    for (const std::string &m : cancel.messages)
      if (!IsImportNotice(m)) shown.push_back(m);
    if (shown.size() != 1 || shown[0] != "STOP" || !cancel.layers.empty())
      Fail("cancelled read: STOP message or layers wrong");
    Close(map);
  }
  return 0;
}
