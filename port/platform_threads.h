// Threads for the tools that spread long work over the processors (the
// plug-in runs on its host's thread and never links this): starting and
// joining a thread, and a monitor, a lock with a condition to wait on.
#ifndef DGN_PORT_PLATFORM_THREADS_H
#define DGN_PORT_PLATFORM_THREADS_H

#include "platform.h"

// A thread of the process, started by Start and waited for by Join.
class PlatThread {
 public:
  PlatThread() = default;
  // Joins a thread that was started and not joined.
  ~PlatThread();
  PlatThread(const PlatThread &) = delete;
  PlatThread &operator=(const PlatThread &) = delete;

  // Runs run(arg) on a new thread; false when the system cannot start one.
  bool Start(void (*run)(void *), void *arg);
  // Waits until the thread has returned from run.
  void Join();

 private:
  bool started_ = false;
  // Room for the system's thread handle.
  alignas(8) unsigned char storage_[16] = {};
};

// A lock and one condition that threads holding the lock wait on until
// another thread changes what they wait for.  Not recursive.
class PlatMonitor {
 public:
  PlatMonitor();
  ~PlatMonitor();
  PlatMonitor(const PlatMonitor &) = delete;
  PlatMonitor &operator=(const PlatMonitor &) = delete;

  // Waits until this thread holds the lock.
  void Lock();
  // Releases the lock this thread holds.
  void Unlock();
  // Releases the lock, sleeps until WakeAll, and takes the lock again
  // (it may also wake without one: callers test their condition in a loop).
  void Wait();
  // Wakes every thread in Wait.
  void WakeAll();

 private:
  // Room for the system's lock and condition objects (checked where built).
  alignas(16) unsigned char storage_[128];
};

// Holds a PlatMonitor's lock from its construction to the end of the scope.
using PlatMonitorLock = PlatScopedLock<PlatMonitor>;

// Gives the number of processors the process can run on (at least 1).
unsigned PlatProcessorCount();

#endif  // DGN_PORT_PLATFORM_THREADS_H
