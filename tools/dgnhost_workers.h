// Jobs that turn pieces of an import into text on helper threads while the
// import goes on; the texts reach the output in the order the pieces were
// handed over, so the file is the same as when one thread writes it all.
#ifndef DGN_TOOLS_DGNHOST_WORKERS_H
#define DGN_TOOLS_DGNHOST_WORKERS_H

#include <cstdint>
#include <memory>
#include <vector>

#include "dgnhost_text.h"
#include "platform_threads.h"

// Gives the helper threads to use by default: one per processor, none on
// a single processor, at most four (the output is written by one at a time).
inline unsigned DefaultWorkerThreads() {
  const unsigned n = PlatProcessorCount();
  return n <= 1 ? 0 : (n < 4 ? n : 4);
}

// Lets a job write out the text it has made so far once that is long, so
// that a long run of text does not gather in memory.
class TextSpill {
 public:
  static constexpr size_t kBytes = 1 << 20;  // written out from this length on

  // Writes and empties `text` when it has reached kBytes.
  void Check(TextBuffer &text) {
    if (text.size() >= kBytes) Spill(text);
  }

 protected:
  ~TextSpill() = default;
  virtual void Spill(TextBuffer &text) = 0;
};

// Job needs: void Clear() (ready to be filled again) and
// void Format(TextBuffer &text, TextSpill &spill) const (appends the job's
// text, calling spill.Check(text) now and then).
// The caller fills Current() and hands it over; at most kSlotsPerThread
// jobs per thread are on their way at once, so memory stays flat: the
// caller waits in Current() while they are all taken.
template <class Job>
class OrderedWorkers {
 public:
  // Starts `threads` helper threads writing to `out` (none: Hand formats
  // and writes each job on the caller's thread).
  OrderedWorkers(OutputFile &out, unsigned threads) : out_(out) {
    slots_.resize(threads == 0 ? 1 : threads * kSlotsPerThread);
    for (unsigned i = 0; i < threads; ++i) {
      std::unique_ptr<PlatThread> thread(new PlatThread);
      if (!thread->Start(&OrderedWorkers::Run, this)) break;  // fewer threads still work
      threads_.push_back(std::move(thread));
    }
  }
  // Waits until every job handed over is written.
  ~OrderedWorkers() { Finish(); }
  OrderedWorkers(const OrderedWorkers &) = delete;
  OrderedWorkers &operator=(const OrderedWorkers &) = delete;

  // Gives the job being filled: empty at first and after each Hand.
  Job &Current() {
    Slot &slot = slots_[handed_ % slots_.size()];
    if (!filling_) {
      PlatMonitorLock lock(monitor_);
      while (handed_ - written_ >= slots_.size()) monitor_.Wait();  // the slot is still on its way
      slot.job.Clear();
      filling_ = true;
    }
    return slot.job;
  }

  // Hands the current job over to be formatted and written.
  void Hand() {
    Current();
    filling_ = false;
    if (threads_.empty()) {
      Slot &slot = slots_[handed_ % slots_.size()];
      WriteOut(slot);
      ++handed_;
      ++written_;
      return;
    }
    PlatMonitorLock lock(monitor_);
    ++handed_;
    monitor_.WakeAll();
  }

  // Waits until every job handed over is written and ends the threads;
  // a job being filled and not handed over is dropped.
  void Finish() {
    {
      PlatMonitorLock lock(monitor_);
      stopping_ = true;
      monitor_.WakeAll();
    }
    for (std::unique_ptr<PlatThread> &thread : threads_) thread->Join();
    threads_.clear();
    filling_ = false;
  }

  // Tells, after Finish, whether a helper thread ran out of memory: the
  // text of that job is missing from the output.
  bool Failed() const { return failed_; }

 private:
  static constexpr unsigned kSlotsPerThread = 2;

  struct Slot {
    Job job;
    TextBuffer text;
  };

  // Writes a job's text as it is made: in turn with the other jobs when
  // threads run, so the first spill waits until the jobs before are written.
  class Turn : public TextSpill {
   public:
    Turn(OrderedWorkers &workers, uint64_t job, bool mine)
        : workers_(workers), job_(job), mine_(mine) {}
    // Writes what is left once the job is done.
    void Finish(TextBuffer &text) { Spill(text); }

   protected:
    void Spill(TextBuffer &text) override {
      if (!mine_) {
        PlatMonitorLock lock(workers_.monitor_);
        while (workers_.written_ != job_) workers_.monitor_.Wait();
        mine_ = true;
      }
      workers_.out_.Write(text.data(), text.size());
      text.clear();
    }

   private:
    OrderedWorkers &workers_;
    uint64_t job_;
    bool mine_;
  };

  void WriteOut(Slot &slot) {
    slot.text.clear();
    Turn turn(*this, handed_, true);
    slot.job.Format(slot.text, turn);
    turn.Finish(slot.text);
  }

  static void Run(void *self) { static_cast<OrderedWorkers *>(self)->Work(); }

  // A helper thread: takes the jobs in order, formats them alongside the
  // other threads and writes each once the jobs before it are written.
  void Work() {
    for (;;) {
      uint64_t mine;
      {
        PlatMonitorLock lock(monitor_);
        while (taken_ == handed_ && !stopping_) monitor_.Wait();
        if (taken_ == handed_) return;
        mine = taken_++;
      }
      Slot &slot = slots_[mine % slots_.size()];
      slot.text.clear();
      Turn turn(*this, mine, false);
      bool formatted = true;
      try {
        slot.job.Format(slot.text, turn);
      } catch (...) {  // no memory for the text: nothing may leave a thread
        formatted = false;
        slot.text.clear();
      }
      turn.Finish(slot.text);  // waits for the turn of this job, if it has not yet
      PlatMonitorLock lock(monitor_);
      if (!formatted) failed_ = true;
      ++written_;
      monitor_.WakeAll();
    }
  }

  OutputFile &out_;
  std::vector<Slot> slots_;
  std::vector<std::unique_ptr<PlatThread>> threads_;
  PlatMonitor monitor_;
  // Counts of jobs, in order: handed over by the caller, taken by a
  // thread, written.  Guarded by monitor_ while threads run.
  uint64_t handed_ = 0, taken_ = 0, written_ = 0;
  bool stopping_ = false;
  bool failed_ = false;
  bool filling_ = false;  // the caller's thread only
};

#endif  // DGN_TOOLS_DGNHOST_WORKERS_H
