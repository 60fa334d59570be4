// dgnhost's packed R-tree for a GeoPackage feature table: the features'
// boxes gathered as they are written and given back along a Hilbert curve
// through their centres, in bounded memory, and the nodes the R-tree module
// stores, filled evenly from that order.  No database here: the SQLite side
// writes the nodes, rows and parents this gives it.
#ifndef DGN_TOOLS_DGNHOST_GPKGTREE_H
#define DGN_TOOLS_DGNHOST_GPKGTREE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "dgnhost_gpkgblob.h"

// One entry of an R-tree node: a feature (leaves) or a child node, and its box.
struct RtreeCell {
  int64_t id = 0;
  float box[4] = {};  // minx, maxx, miny, maxy
};

// Gives the box the R-tree keeps for an envelope: 32-bit floats, a lower
// bound rounded down and an upper one up, so the box still holds the feature.
void RtreeBox(const BlobEnvelope &e, float box[4]);

// Gives an R-tree node as the module stores it, `size` bytes (every node of
// a tree has the size of its root); `depth` is written in the root only.
std::string RtreeNode(const RtreeCell *cells, size_t count, size_t size, int depth);

// Gives the box around a run of cells, as the cell `id` of the level above.
RtreeCell RtreeAround(const RtreeCell *cells, size_t count, int64_t id);

// Gives how many cells node `k` of `nodes` gets, `total` cells in all:
// spread evenly, so that no node is nearly empty.
size_t RtreeShare(size_t total, size_t nodes, size_t k);

// The boxes of one table's features, given back in the order of a Hilbert
// curve through their centres over the extent of them all: boxes near each
// other on the map end up in one leaf.  At most `chunk` boxes are held in
// memory; beyond that they go to a scratch file, and Sort sorts runs of
// `chunk` boxes into a second one and merges them.
class HilbertBoxes {
 public:
  // `scratch` opens a new scratch file ("w+b"; its owner closes it), or
  // gives null after saying why.
  HilbertBoxes(size_t chunk, std::function<FILE *()> scratch);
  HilbertBoxes(const HilbertBoxes &) = delete;
  HilbertBoxes &operator=(const HilbertBoxes &) = delete;

  // Keeps the box of feature `id` (ids come in increasing order: boxes in
  // one cell of the curve come back in it).
  void Add(uint32_t id, const float box[4]);
  // Gives the boxes kept.
  uint64_t size() const { return count_; }
  // Puts them in the curve's order for Next (once; again it gives the
  // answer of the first time); false when a scratch file could not be
  // made, written or read, or memory ran out.  Throws nothing.
  bool Sort();
  // Gives the next box in the curve's order; false after the last (or when
  // a scratch file could not be read: Failed() tells).
  bool Next(RtreeCell &cell);
  bool Failed() const { return failed_; }

 private:
  // A box as it waits: its key on the curve, once known, then the feature.
  struct Keyed {
    uint32_t key;
    uint32_t id;
    float box[4];
  };
  // A sorted run in the runs file, read through a buffer while merging.
  struct Run {
    uint64_t next = 0, end = 0;  // its boxes still in the file, by index
    std::vector<Keyed> buffer;
    size_t at = 0;
  };
  struct Before {
    bool operator()(const Keyed &a, const Keyed &b) const {
      return a.key != b.key ? a.key < b.key : a.id < b.id;
    }
  };
  void SortAll();
  void SortRun(Keyed *boxes, size_t count);
  bool Spill(FILE *&file, const Keyed *boxes, size_t count);
  bool Refill(Run &run);

  size_t chunk_;
  std::function<FILE *()> scratch_;
  std::vector<Keyed> memory_;  // the boxes not in the file; sorted by Sort when all are here
  std::vector<Keyed> spare_;   // room for a run being sorted
  FILE *boxes_ = nullptr;      // the boxes beyond the chunk, as they came
  FILE *runs_ = nullptr;       // the sorted runs
  std::vector<Run> merging_;
  size_t memoryAt_ = 0;
  uint64_t count_ = 0;
  double extent_[4] = {};  // around the boxes' centres (each doubled): min x, max x, min y, max y
  bool sorted_ = false;
  bool failed_ = false;
};

#endif  // DGN_TOOLS_DGNHOST_GPKGTREE_H
