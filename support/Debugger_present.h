// Debugger test and the one failure routine of the checked vectors.
#ifndef DGN_SUPPORT_DEBUGGER_PRESENT_H
#define DGN_SUPPORT_DEBUGGER_PRESENT_H

#include <cstdint>

// The exception thrown by every failed check of the support library; code
// names the check (see the TXErrorVectoresDG codes in Vector.h).
class TXErrorVectoresDG {
 public:
  explicit TXErrorVectoresDG(int32_t c) : code(c) {}
  int32_t code;
};

// Gives whether a debugger is attached; the OS is asked once per process,
// at the first call, and the answer is remembered.
bool DebuggerAttached();

// Breaks into an attached debugger, then throws TXErrorVectoresDG(code).
[[noreturn]] void FailVectorCheck(int32_t code);

// Fails check 15 (allocation) when p is null.
inline void CheckAllocation(const void *p) {
  if (p == nullptr) FailVectorCheck(15);
}

// Test hook: forgets the remembered answer and makes the next test use query
// and breaker instead of the OS (null restores the OS function).
void SetDebuggerHooksForTesting(bool (*query)(), void (*breaker)());

#endif
