// What an add call in a map opened for update may change, decided before
// anything is written: which element a host object's id names, whether the
// object is simply what the import delivered for it (then nothing is
// written), what a replacement keeps of the element it replaces, and which
// colour index a host colour takes.
//
// Internal to the plug-in.  "What the import delivered" is found by running
// the import's own conversion (SendElement, WholeMapImport) over the named
// element, so that the import and these rules can never disagree.
#ifndef DGN_PLUGIN_EDIT_RULES_H
#define DGN_PLUGIN_EDIT_RULES_H

#include <cstdint>
#include <string>
#include <vector>

#include "dgnmodel.h"
#include "plugin_records.h"

namespace dgnplugin {

// What one open map remembers of the edits made to it.
struct EditSession {
  int32_t openedElements = -1;    // elements in the file before the first add; -1 until then
  std::vector<int32_t> replaced;  // ids whose element an add of this session took the place of
};

// Gives the offset of the live complex chain or shape header that the
// whole-map import joins the component numbered `componentId` into, or -1
// when none does (it is then delivered alone either way).
int32_t ComplexHeaderOf(DGNFile *file, int32_t componentId);

// Notes the element count before the first add of a session changes it.
void NoteOpenedElements(EditSession &session, int32_t count);
// Notes that an add took the place of the element `id` named.
void NoteReplaced(EditSession &session, int32_t id);

// One host object as the import delivers it.
struct DeliveredObject {
  TVectorObjectPlugIn object{};  // name and textInfo point nowhere: see below
  std::string name;              // a text object's string
  bool hasText = false;          // the object came with a text record
  TVectorTextPlugIn text{};
  std::vector<TVectorPointPlugIn> points;
};

// What an id in an add call names.
enum class Named {
  kDelivered,   // an object the import delivers, from the map as it was opened
  kNoId,        // anything else: the add appends and touches nothing
  kUnreadable,  // the element is there but its record cannot be read
};

// Gives what `id` names in a map opened for update: an object only when the
// element was in the map when it was opened, has not been replaced since,
// and the import in the map's mode (`wholeMap`) delivers an object of that
// id; *out then holds that object.
Named FindNamedObject(DGNFile *file, const EditSession &session, int32_t id, bool wholeMap,
                      DeliveredObject *out);

// Gives whether a host object is the delivered one unchanged: same kind,
// level, colour, width, style, text and text record, and every point within
// half a design unit of the delivered one (z only in a 3D file).
bool SameAsDelivered(DGNFile *file, const DeliveredObject &delivered,
                     const TVectorObjectPlugIn &object, int32_t count,
                     const TVectorPointPlugIn *points);

// Gives the colour index of a host colour.  The import sends white as 0 (the
// host's "default"), so 0 takes the entry nearest pure white.
int ColorIndexOfHost(DGNFile *file, int32_t hostColor);

// The parts of an element that no host record carries, which a replacement
// keeps.
struct KeptParts {
  bool found = false;
  int32_t graphicGroup = 0;
  int32_t properties = 0;  // class and property bits, without the linkage bit
  std::vector<unsigned char> linkage;
  bool text = false;  // the element was a text: font and length multiplier follow
  int32_t font = 0;
  double lengthMult = 0.0;
  double heightMult = 0.0;
};

// Gives the kept parts of the element numbered `id` (found false when it
// cannot be read).
KeptParts ReadKeptParts(DGNFile *file, int32_t id);
// Gives a text's length multiplier for a new height: the kept one scaled
// with the height, or the height itself when nothing was kept.
double KeptLengthMult(const KeptParts &kept, double newHeight);
// Gives a built element the kept graphic group and property bits, and with
// `withLinkage` the kept attribute linkage; false when the linkage does not fit.
bool ApplyKeptParts(DGNFile *file, const KeptParts &kept, DGNElement *element, bool withLinkage);

}  // namespace dgnplugin

#endif  // DGN_PLUGIN_EDIT_RULES_H
