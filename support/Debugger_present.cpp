// Debugger test (made once per process, at the first failed check) and the
// failure routine of the checked vectors.
#include "Debugger_present.h"

#include "platform.h"

namespace {

// The remembered answer and the hooks are shared by the threads that fail a
// check; each access holds this lock.
PlatMutex &Lock() {
  static PlatMutex lock;
  return lock;
}

bool g_tested = false;
bool g_attached = false;
bool (*g_query)() = PlatQueryDebugger;
void (*g_breaker)() = PlatDebugBreak;

}  // namespace

bool DebuggerAttached() {
  PlatLockGuard guard(Lock());
  if (g_tested) return g_attached;
  g_tested = true;
  g_attached = false;
  g_attached = g_query();
  return g_attached;
}

void FailVectorCheck(int32_t code) {
  if (DebuggerAttached()) {
    void (*breaker)();
    {
      PlatLockGuard guard(Lock());
      breaker = g_breaker;
    }
    breaker();
  }
  throw TXErrorVectoresDG(code);
}

void SetDebuggerHooksForTesting(bool (*query)(), void (*breaker)()) {
  PlatLockGuard guard(Lock());
  g_tested = false;
  g_attached = false;
  g_query = query != nullptr ? query : PlatQueryDebugger;
  g_breaker = breaker != nullptr ? breaker : PlatDebugBreak;
}
