// Index-checked lists of the support library.
//
// VectorI<T> holds its items through an array of item pointers and checks
// every access; Vector<T> owns copies of its items, VectorP<T> stores the
// caller's pointers.  A failed check goes to FailVectorCheck, which breaks
// into an attached debugger and throws TXErrorVectoresDG with one of the
// codes below.  Callers walk a vector over the indexes Base() to
// Base() + Min(Count(), Capacity()) - 1, skipping those that are not IsValid.
#ifndef DGN_SUPPORT_VECTOR_H
#define DGN_SUPPORT_VECTOR_H

#include <cstddef>
#include <cstdint>
#include <new>

#include "Debugger_present.h"
#include "Max_min.h"

// Codes of TXErrorVectoresDG.
enum {
  VECERR_NO_GROWTH = 6,       // more positions than capacity while step is 0
  VECERR_INDEX = 7,           // Get: index outside base .. base + count - 1
  VECERR_EMPTY_SLOT = 8,      // Get: the slot holds no item
  VECERR_INSERT_INDEX = 12,   // Vector::Insert: index outside the list
  VECERR_ADDNEW_INDEX = 13,   // AddNew: index outside the list
  VECERR_INSERTP_INDEX = 14,  // VectorP::Insert: index below base
  VECERR_ALLOCATION = 15,     // an allocation failed (or could not be made)
  VECERR_NULL_ITEM = 16       // Insert of a null item pointer
};

// Largest pointer array a vector will ask for; the lists of the plug-in hold
// levels, path components and settings, far below this.
constexpr int32_t kVectorMaxSlots = 1 << 26;

// Destroys one item of an owning list.  Kept out of line: inlined into a
// caller that stores stack objects in a non-owning list, the compiler would
// warn about a delete that the owns flag never lets happen.
template <class T>
__attribute__((noinline)) void VectorDestroyItem(T *item) {
  delete item;
}

template <class T>
class VectorI {
 public:
  // Gives an empty list with room for capacity items, growing by step
  // (0: never grows); owns tells whether it destroys its items.
  VectorI(int32_t capacity, int32_t step, bool owns)
      : owns_(owns),
        count_(0),
        capacity_(0),
        step_(step < 0 ? 0 : step),
        base_(0),
        items_(nullptr) {
    if (capacity > kVectorMaxSlots) FailVectorCheck(VECERR_ALLOCATION);
    if (capacity > 0) {
      items_ = new (std::nothrow) T *[static_cast<size_t>(capacity)];
      CheckAllocation(items_);
      for (int32_t i = 0; i < capacity; ++i) items_[i] = nullptr;
      capacity_ = capacity;
    }
  }

  // Destroys the items when the list owns them, then releases the array.
  virtual ~VectorI() {
    if (owns_) {
      for (int32_t i = 0; i < count_; ++i) {
        VectorDestroyItem(items_[i]);
        items_[i] = nullptr;
      }
    }
    count_ = 0;
    delete[] items_;
  }

  VectorI(const VectorI &) = delete;
  VectorI &operator=(const VectorI &) = delete;

  // Makes room for n more positions (n <= 0 changes nothing).  On a failed
  // check the count and the array stay as they were.
  void Grow(int32_t n) {
    if (n <= 0) return;
    const int64_t newCount = static_cast<int64_t>(count_) + n;
    if (newCount <= capacity_) {
      count_ = static_cast<int32_t>(newCount);
      return;
    }
    if (step_ == 0) FailVectorCheck(VECERR_NO_GROWTH);
    const int64_t newCapacity = newCount + step_ + 2;
    if (newCapacity > kVectorMaxSlots) FailVectorCheck(VECERR_ALLOCATION);
    T **grown = new (std::nothrow) T *[static_cast<size_t>(newCapacity)];
    CheckAllocation(grown);
    for (int64_t i = 0; i < newCapacity; ++i) grown[i] = nullptr;
    for (int32_t i = 0; i < count_; ++i) grown[i] = items_[i];
    delete[] items_;
    items_ = grown;
    capacity_ = static_cast<int32_t>(newCapacity);
    count_ = static_cast<int32_t>(newCount);
  }

  // Gives the item at index; fails check 7 outside the list, 8 on an
  // empty slot.
  T *Get(int32_t index) const {
    const int64_t p = static_cast<int64_t>(index) - base_;
    if (p < 0 || p >= count_) FailVectorCheck(VECERR_INDEX);
    if (items_[p] == nullptr) FailVectorCheck(VECERR_EMPTY_SLOT);
    return items_[p];
  }

  // Gives true when index addresses a position in use that holds an item.
  bool IsValid(int32_t index) const {
    const int64_t p = static_cast<int64_t>(index) - base_;
    return p >= 0 && p < count_ && items_[p] != nullptr;
  }

  // Empties the list, destroying the items when deleteItems is set; the
  // array and its capacity stay.
  void Clear(bool deleteItems) {
    for (int32_t i = 0; i < count_; ++i) {
      if (deleteItems) VectorDestroyItem(items_[i]);
      items_[i] = nullptr;
    }
    count_ = 0;
  }

  // Removes the first position holding exactly item; gives false when the
  // list does not hold it.
  bool Remove(const T *item) {
    const int32_t n = Min(count_, capacity_);
    for (int32_t i = 0; i < n; ++i) {
      if (items_[i] == item) {
        RemoveAt(i + base_);
        return true;
      }
    }
    return false;
  }

  // Removes the position index, destroying its item when the list owns
  // it; the later items move down.  Indexes outside the list change nothing.
  void RemoveAt(int32_t index) {
    const int64_t p = static_cast<int64_t>(index) - base_;
    if (p < 0 || p >= count_) return;
    if (owns_) VectorDestroyItem(items_[p]);
    for (int64_t i = p; i + 1 < count_; ++i) items_[i] = items_[i + 1];
    --count_;
    items_[count_] = nullptr;
  }

  // Gives the number of positions in use.
  int32_t Count() const { return count_; }
  // Gives the number of slots of the pointer array.
  int32_t Capacity() const { return capacity_; }
  // Gives the growth step.
  int32_t Step() const { return step_; }
  // Gives the index that addresses position 0.
  int32_t Base() const { return base_; }
  // Gives whether the list destroys its items.
  bool Owns() const { return owns_; }

 protected:
  bool owns_;
  int32_t count_;
  int32_t capacity_;
  int32_t step_;
  int32_t base_;
  T **items_;
};

// List that owns copies of its items.
template <class T>
class Vector : public VectorI<T> {
 public:
  // Gives an empty owning list (capacity slots, growth step).
  Vector(int32_t capacity, int32_t step) : VectorI<T>(capacity, step, true) {}
  ~Vector() override {}

  // Inserts a copy of *item before index (negative: appends); gives the
  // position.  Fails 16 on a null item, 12 on an index outside 0..count,
  // 6 or 15 when the list cannot grow.
  virtual int32_t Insert(const T *item, int32_t index) {
    if (item == nullptr) FailVectorCheck(VECERR_NULL_ITEM);
    const int32_t pos = Position(index, VECERR_INSERT_INDEX);
    T *copy = new (std::nothrow) T(*item);
    CheckAllocation(copy);
    Place(copy, pos);
    return pos;
  }

  // Inserts a new default item (the empty DString) before index (negative:
  // appends); gives it.  Fails 13 on an index outside 0..count, 6 or 15.
  T *AddNew(int32_t index) {
    const int32_t pos = Position(index, VECERR_ADDNEW_INDEX);
    T *item = new (std::nothrow) T();
    CheckAllocation(item);
    Place(item, pos);
    return item;
  }

 private:
  int32_t Position(int32_t index, int32_t failCode) const {
    if (index < 0) return this->count_;
    const int64_t p = static_cast<int64_t>(index) - this->base_;
    if (p < 0 || p > this->count_) FailVectorCheck(failCode);
    return static_cast<int32_t>(p);
  }

  void Place(T *item, int32_t pos) {
    const int32_t oldCount = this->count_;
    try {
      this->Grow(1);
    } catch (...) {
      delete item;
      throw;
    }
    for (int32_t i = oldCount - 1; i >= pos; --i) this->items_[i + 1] = this->items_[i];
    this->items_[pos] = item;
  }
};

// List of the caller's objects, stored by pointer.
template <class T>
class VectorP : public VectorI<T> {
 public:
  // Gives an empty list (capacity slots, growth step); owns tells whether
  // it destroys the objects it holds.
  VectorP(int32_t capacity, int32_t step, bool owns) : VectorI<T>(capacity, step, owns) {}
  ~VectorP() override {}

  // Stores item at index (negative: appends) and gives the position: an
  // empty slot is filled, a filled one is inserted before, an index past
  // the end extends the list leaving empty slots.  Fails 16 on a null
  // item, 14 on an index below base, 6 or 15 when the list cannot grow.
  int32_t Insert(T *item, int32_t index) {
    if (item == nullptr) FailVectorCheck(VECERR_NULL_ITEM);
    const int32_t oldCount = this->count_;
    int64_t add = 1;
    int64_t pos = oldCount;
    if (index >= 0) {
      pos = static_cast<int64_t>(index) - this->base_;
      if (pos < 0) FailVectorCheck(VECERR_INSERTP_INDEX);
      if (pos >= oldCount)
        add = pos - oldCount + 1;
      else
        add = this->IsValid(index) ? 1 : 0;
    }
    if (add > kVectorMaxSlots) FailVectorCheck(VECERR_ALLOCATION);
    if (add > 0) this->Grow(static_cast<int32_t>(add));
    if (this->items_[pos] != nullptr) {
      for (int64_t i = oldCount - 1; i >= pos; --i) this->items_[i + 1] = this->items_[i];
    }
    this->items_[pos] = item;
    return static_cast<int32_t>(pos);
  }
};

#endif
