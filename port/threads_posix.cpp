// Threads on POSIX systems: pthreads.
#include <pthread.h>
#include <unistd.h>

#include <new>

#include "platform_threads.h"

namespace {

struct ThreadStart {
  void (*run)(void *);
  void *arg;
};

void *RunThread(void *start) {
  const ThreadStart s = *static_cast<ThreadStart *>(start);
  delete static_cast<ThreadStart *>(start);
  s.run(s.arg);
  return nullptr;
}

struct MonitorParts {
  pthread_mutex_t mutex;
  pthread_cond_t condition;
};

static_assert(sizeof(pthread_t) <= 16, "PlatThread::storage_ holds a pthread_t");

MonitorParts &Parts(unsigned char *storage) { return *reinterpret_cast<MonitorParts *>(storage); }

}  // namespace

PlatThread::~PlatThread() { Join(); }

bool PlatThread::Start(void (*run)(void *), void *arg) {
  if (started_) return false;
  auto *start = new (std::nothrow) ThreadStart{run, arg};
  if (start == nullptr) return false;
  auto *thread = new (storage_) pthread_t;
  if (pthread_create(thread, nullptr, RunThread, start) != 0) {
    delete start;
    return false;
  }
  started_ = true;
  return true;
}

void PlatThread::Join() {
  if (!started_) return;
  pthread_join(*reinterpret_cast<pthread_t *>(storage_), nullptr);
  started_ = false;
}

static_assert(sizeof(MonitorParts) <= 128, "PlatMonitor::storage_ holds a mutex and a condition");

PlatMonitor::PlatMonitor() {
  MonitorParts *parts = new (storage_) MonitorParts;
  pthread_mutex_init(&parts->mutex, nullptr);
  pthread_cond_init(&parts->condition, nullptr);
}

PlatMonitor::~PlatMonitor() {
  pthread_cond_destroy(&Parts(storage_).condition);
  pthread_mutex_destroy(&Parts(storage_).mutex);
}

void PlatMonitor::Lock() { pthread_mutex_lock(&Parts(storage_).mutex); }

void PlatMonitor::Unlock() { pthread_mutex_unlock(&Parts(storage_).mutex); }

void PlatMonitor::Wait() { pthread_cond_wait(&Parts(storage_).condition, &Parts(storage_).mutex); }

void PlatMonitor::WakeAll() { pthread_cond_broadcast(&Parts(storage_).condition); }

unsigned PlatProcessorCount() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1;
}
