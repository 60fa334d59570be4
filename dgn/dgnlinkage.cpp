// Attribute linkage carried over to a built element: the link to a database
// row or to user data that another writer put behind an element's body.
#include <cstring>

#include "cpl_conv.h"
#include "cpl_error.h"
#include "dgn_bytes.h"
#include "dgnmodel.h"

namespace {

// The largest element the header's word count can describe.
constexpr int kMaxLinkedElementBytes = dgnraw::kHeaderBytes + 2 * 65535;

}  // namespace

bool DGNAppendAttributeLinkage(DGNFile *handle, DGNElement *element, const unsigned char *data,
                               int bytes) {
  if (element == nullptr || element->raw_data == nullptr || data == nullptr || bytes <= 0 ||
      bytes % 2 != 0 || element->attr_bytes != 0 || element->raw_bytes % 2 != 0 ||
      element->raw_bytes < dgnraw::kDisplayHeaderEnd ||
      !DGNTypeHasDisplayHeader(element->type & 0x7F)) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "DGNAppendAttributeLinkage() needs a built element with a display header and no "
             "linkage, and an even number of linkage bytes.");
    return false;
  }
  const int before = element->raw_bytes;
  if (before + bytes > kMaxLinkedElementBytes) {
    CPLError(CPLClassFailure, CPLNumGeneral,
             "An element of %d bytes cannot take %d bytes of attribute linkage.", before, bytes);
    return false;
  }
  // A complex header's total length counts its own words after the field too.
  DGNComplexHeaderElement *header = nullptr;
  if (element->kind == DGNKIND_COMPLEX_HEADER && (element->type == DGNTYPE_COMPLEX_CHAIN_HEADER ||
                                                  element->type == DGNTYPE_COMPLEX_SHAPE_HEADER)) {
    header = static_cast<DGNComplexHeaderElement *>(element);
    if (header->total_length + bytes / 2 > 0xFFFF) {
      CPLError(CPLClassFailure, CPLNumGeneral,
               "A complex element of %d words cannot take %d bytes of attribute linkage.",
               header->total_length, bytes);
      return false;
    }
  }
  auto *raw = static_cast<unsigned char *>(CPLRealloc(element->raw_data, before + bytes));
  element->raw_data = raw;
  std::memcpy(raw + before, data, static_cast<size_t>(bytes));
  auto *copy = static_cast<unsigned char *>(CPLMalloc(bytes));
  std::memcpy(copy, data, static_cast<size_t>(bytes));
  element->attr_data = copy;
  element->attr_bytes = bytes;
  element->raw_bytes = before + bytes;
  element->size = element->raw_bytes;
  // The linkage starts where the body ended.
  dgnraw::put_word(raw + dgnraw::kAttrIndex,
                   static_cast<unsigned>((before - dgnraw::kAttrBase) / 2));
  element->properties |= dgnraw::kPropAttributes;
  if (header != nullptr) {
    header->total_length += bytes / 2;
    dgnraw::put_word(raw + dgnraw::kComplexTotalLength,
                     static_cast<unsigned>(header->total_length));
  }
  return DGNStoreElemCore(handle, element);
}
