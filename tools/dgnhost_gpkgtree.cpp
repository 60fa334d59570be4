// dgnhost's packed R-tree (dgnhost_gpkgtree.h).
#include "dgnhost_gpkgtree.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>

namespace {

// Gives the position of (x, y), each from 0 to 65535, along a Hilbert curve:
// boxes near each other on the curve are near each other on the map.  Each
// step takes the quadrant of one bit of x and y, then turns the square so
// that the curve enters the next one where the last left off (without
// branches: the quadrants come in no order a processor could guess).
uint32_t HilbertIndex(uint32_t x, uint32_t y) {
  constexpr uint32_t kLast = (1u << 16) - 1;
  uint32_t d = 0;
  for (uint32_t s = 1u << 15; s > 0; s >>= 1) {
    const uint32_t rx = (x & s) != 0 ? 1 : 0, ry = (y & s) != 0 ? 1 : 0;
    d += s * s * ((3 * rx) ^ ry);
    const uint32_t turn = ry - 1;              // all ones when ry is 0
    const uint32_t mirror = turn & (0u - rx);  // ... and rx is 1
    x ^= mirror & kLast;                       // kLast - x
    y ^= mirror & kLast;
    const uint32_t swap = (x ^ y) & turn;
    x ^= swap;
    y ^= swap;
  }
  return d;
}

// The R-tree keeps 32-bit floats: a lower bound rounded down, an upper up.
float Down(double d) {
  if (!(d >= -3.4e38)) return -INFINITY;
  float f = static_cast<float>(d);
  if (f > d) f = std::nextafter(f, -INFINITY);
  return f;
}
float Up(double d) {
  if (!(d <= 3.4e38)) return INFINITY;
  float f = static_cast<float>(d);
  if (f < d) f = std::nextafter(f, INFINITY);
  return f;
}

// Boxes read from a run at a time while merging.
constexpr size_t kMergeBuffer = 4096;

}  // namespace

void RtreeBox(const BlobEnvelope &e, float box[4]) {
  box[0] = Down(e.minX);
  box[1] = Up(e.maxX);
  box[2] = Down(e.minY);
  box[3] = Up(e.maxY);
}

// A node, all big-endian:
//
//   offset  size  field
//   0       2     the tree's depth (root only; 0 for a tree of one leaf)
//   2       2     cells in the node
//   4       24    each cell: its id (8 bytes), minx, maxx, miny, maxy (4
//                 bytes each, 32-bit floats)
std::string RtreeNode(const RtreeCell *cells, size_t count, size_t size, int depth) {
  std::string node(size, '\0');
  auto put = [&](size_t at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
      node[at + i] = static_cast<char>((v >> (8 * (bytes - 1 - i))) & 0xFF);
  };
  put(0, static_cast<uint64_t>(depth), 2);
  put(2, count, 2);
  for (size_t i = 0; i < count; ++i) {
    const size_t at = 4 + 24 * i;
    put(at, static_cast<uint64_t>(cells[i].id), 8);
    for (int k = 0; k < 4; ++k) {
      uint32_t bits;
      std::memcpy(&bits, &cells[i].box[k], 4);
      put(at + 8 + 4 * k, bits, 4);
    }
  }
  return node;
}

RtreeCell RtreeAround(const RtreeCell *cells, size_t count, int64_t id) {
  RtreeCell c = cells[0];
  c.id = id;
  for (size_t i = 1; i < count; ++i) {
    c.box[0] = std::fmin(c.box[0], cells[i].box[0]);
    c.box[1] = std::fmax(c.box[1], cells[i].box[1]);
    c.box[2] = std::fmin(c.box[2], cells[i].box[2]);
    c.box[3] = std::fmax(c.box[3], cells[i].box[3]);
  }
  return c;
}

size_t RtreeShare(size_t total, size_t nodes, size_t k) {
  return total / nodes + (k < total % nodes ? 1 : 0);
}

HilbertBoxes::HilbertBoxes(size_t chunk, std::function<FILE *()> scratch)
    : chunk_(chunk > 0 ? chunk : 1), scratch_(std::move(scratch)) {}

void HilbertBoxes::Add(uint32_t id, const float box[4]) {
  Keyed k{0, id, {box[0], box[1], box[2], box[3]}};
  const double x = static_cast<double>(box[0]) + box[1], y = static_cast<double>(box[2]) + box[3];
  if (count_ == 0) {
    extent_[0] = extent_[1] = x;
    extent_[2] = extent_[3] = y;
  }
  extent_[0] = std::fmin(extent_[0], x);
  extent_[1] = std::fmax(extent_[1], x);
  extent_[2] = std::fmin(extent_[2], y);
  extent_[3] = std::fmax(extent_[3], y);
  ++count_;
  if (failed_) return;
  memory_.push_back(k);
  if (memory_.size() >= chunk_) {
    Spill(boxes_, memory_.data(), memory_.size());
    memory_.clear();
  }
}

// Gives each box its place on the curve (its centre on a grid of 65536 by
// 65536 cells over the extent of all centres) and sorts them by it.  The
// boxes come in the order of their ids, and the sort is stable (two passes
// over 16 bits of the key): boxes in one cell stay in the order of their ids.
void HilbertBoxes::SortRun(Keyed *boxes, size_t count) {
  auto cell = [](double v, double low, double high) {
    const double f = high > low ? (v - low) / (high - low) : 0.0;
    return f > 0 ? (f < 1 ? static_cast<uint32_t>(f * 65535.0) : 65535u) : 0u;
  };
  for (size_t i = 0; i < count; ++i) {
    Keyed &k = boxes[i];
    const double x = static_cast<double>(k.box[0]) + k.box[1];
    const double y = static_cast<double>(k.box[2]) + k.box[3];
    k.key = HilbertIndex(cell(x, extent_[0], extent_[1]), cell(y, extent_[2], extent_[3]));
  }
  spare_.resize(count);
  std::vector<size_t> start(size_t{1} << 16);
  Keyed *from = boxes, *to = spare_.data();
  for (int shift = 0; shift < 32; shift += 16) {
    std::fill(start.begin(), start.end(), 0);
    for (size_t i = 0; i < count; ++i) ++start[(from[i].key >> shift) & 0xFFFF];
    size_t at = 0;
    for (size_t &s : start) {
      const size_t n = s;
      s = at;
      at += n;
    }
    for (size_t i = 0; i < count; ++i) to[start[(from[i].key >> shift) & 0xFFFF]++] = from[i];
    std::swap(from, to);
  }
  // Two passes: the sorted boxes are back where they started.
  std::vector<Keyed>().swap(spare_);
}

// Appends boxes to a scratch file, making it first.
bool HilbertBoxes::Spill(FILE *&file, const Keyed *boxes, size_t count) {
  if (file == nullptr && !failed_) file = scratch_();
  failed_ = failed_ || file == nullptr || std::fwrite(boxes, sizeof *boxes, count, file) != count;
  return !failed_;
}

bool HilbertBoxes::Sort() {
  if (sorted_ || failed_) return !failed_;
  sorted_ = true;
  try {
    SortAll();
  } catch (const std::bad_alloc &) {  // it may run on a helper thread: nothing leaves it
    failed_ = true;
  }
  return !failed_;
}

void HilbertBoxes::SortAll() {
  if (boxes_ == nullptr) {  // all in memory
    SortRun(memory_.data(), memory_.size());
    memoryAt_ = 0;
    return;
  }
  // Sorted runs of a chunk each, from the file's boxes.
  if (!memory_.empty() && !Spill(boxes_, memory_.data(), memory_.size())) return;
  memory_.resize(chunk_);
  failed_ = std::fflush(boxes_) != 0 || std::fseek(boxes_, 0, SEEK_SET) != 0;
  uint64_t done = 0;
  while (!failed_ && done < count_) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk_, count_ - done));
    if (std::fread(memory_.data(), sizeof(Keyed), n, boxes_) != n) {
      failed_ = true;
      break;
    }
    SortRun(memory_.data(), n);
    if (!Spill(runs_, memory_.data(), n)) break;
    Run run;
    run.next = done;
    run.end = done + n;
    merging_.push_back(std::move(run));
    done += n;
  }
  std::vector<Keyed>().swap(memory_);  // the runs are read through small buffers
  failed_ = failed_ || std::fflush(runs_) != 0;
  for (Run &run : merging_)
    if (!failed_) Refill(run);
}

// Reads the next boxes of a run into its buffer (none once it is done).
bool HilbertBoxes::Refill(Run &run) {
  const size_t n = static_cast<size_t>(std::min<uint64_t>(kMergeBuffer, run.end - run.next));
  run.buffer.resize(n);
  run.at = 0;
  if (n == 0) return true;
  const uint64_t at = run.next * sizeof(Keyed);
  failed_ = failed_ || at > static_cast<uint64_t>(LONG_MAX) ||
            std::fseek(runs_, static_cast<long>(at), SEEK_SET) != 0 ||
            std::fread(run.buffer.data(), sizeof(Keyed), n, runs_) != n;
  run.next += n;
  return !failed_;
}

bool HilbertBoxes::Next(RtreeCell &cell) {
  const Keyed *k = nullptr;
  if (merging_.empty()) {
    if (memoryAt_ >= memory_.size()) return false;
    k = &memory_[memoryAt_++];
  } else {
    // The run whose next box comes first; runs are few (a table's boxes
    // over the chunk), so a look at each is cheap beside the reading.
    Run *first = nullptr;
    for (Run &run : merging_)
      if (run.at < run.buffer.size() &&
          (first == nullptr || Before()(run.buffer[run.at], first->buffer[first->at])))
        first = &run;
    if (first == nullptr || failed_) return false;
    k = &first->buffer[first->at++];
    cell.id = k->id;
    std::memcpy(cell.box, k->box, sizeof cell.box);
    if (first->at == first->buffer.size()) Refill(*first);
    return true;
  }
  cell.id = k->id;
  std::memcpy(cell.box, k->box, sizeof cell.box);
  return true;
}
