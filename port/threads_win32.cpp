// Threads on Windows: the C runtime's thread start (so that the runtime's
// per-thread state is set up), a critical section and a condition variable.
#include <process.h>
#include <windows.h>

#include <new>

#include "platform_threads.h"

namespace {

struct ThreadStart {
  void (*run)(void *);
  void *arg;
};

unsigned __stdcall RunThread(void *start) {
  const ThreadStart s = *static_cast<ThreadStart *>(start);
  delete static_cast<ThreadStart *>(start);
  s.run(s.arg);
  return 0;
}

struct MonitorParts {
  CRITICAL_SECTION lock;
  CONDITION_VARIABLE condition;
};

MonitorParts &Parts(unsigned char *storage) { return *reinterpret_cast<MonitorParts *>(storage); }

HANDLE &Handle(unsigned char *storage) { return *reinterpret_cast<HANDLE *>(storage); }

}  // namespace

static_assert(sizeof(HANDLE) <= 16, "PlatThread::storage_ holds a thread handle");

PlatThread::~PlatThread() { Join(); }

bool PlatThread::Start(void (*run)(void *), void *arg) {
  if (started_) return false;
  auto *start = new (std::nothrow) ThreadStart{run, arg};
  if (start == nullptr) return false;
  const uintptr_t handle = _beginthreadex(nullptr, 0, RunThread, start, 0, nullptr);
  if (handle == 0) {
    delete start;
    return false;
  }
  Handle(storage_) = reinterpret_cast<HANDLE>(handle);
  started_ = true;
  return true;
}

void PlatThread::Join() {
  if (!started_) return;
  WaitForSingleObject(Handle(storage_), INFINITE);
  CloseHandle(Handle(storage_));
  started_ = false;
}

static_assert(sizeof(MonitorParts) <= 128, "PlatMonitor::storage_ holds a lock and a condition");

PlatMonitor::PlatMonitor() {
  MonitorParts *parts = new (storage_) MonitorParts;
  InitializeCriticalSection(&parts->lock);
  InitializeConditionVariable(&parts->condition);
}

PlatMonitor::~PlatMonitor() { DeleteCriticalSection(&Parts(storage_).lock); }

void PlatMonitor::Lock() { EnterCriticalSection(&Parts(storage_).lock); }

void PlatMonitor::Unlock() { LeaveCriticalSection(&Parts(storage_).lock); }

void PlatMonitor::Wait() {
  SleepConditionVariableCS(&Parts(storage_).condition, &Parts(storage_).lock, INFINITE);
}

void PlatMonitor::WakeAll() { WakeAllConditionVariable(&Parts(storage_).condition); }

unsigned PlatProcessorCount() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<unsigned>(info.dwNumberOfProcessors) : 1;
}
