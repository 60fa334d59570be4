/* wine32-shim.c: preloaded into the 32-bit Wine processes that check the
 * Windows DLL, so that Wine runs under qemu-i386 (qemu-user 7.2) on an x86-64
 * kernel.  scripts/setup-wine32.sh builds it twice: for i386, where the code
 * below applies, and for x86-64, where it is empty, so that one LD_PRELOAD
 * entry with $LIB in it is harmless in the 64-bit processes (shell, wineserver).
 *
 * Wine trips over three things the emulator does differently from a kernel:
 *
 * 1. mmap with MAP_FIXED_NOREPLACE takes the address as a hint and maps
 *    elsewhere instead of failing with EEXIST, so Wine's reservation of its
 *    fixed address ranges fails at start-up.  The wrapper turns a mapping at
 *    another address back into EEXIST.
 * 2. Signal contexts carry trap number -1.  Wine decides from the trap number
 *    what a fault was, and would call every access violation an illegal
 *    instruction (a C++ exception or a guard page then kills the program).
 *    The wrapper fills in the number the signal implies before Wine's handler
 *    sees the context.
 * 3. All threads share one emulated GDT, so the TLS slot behind %gs (glibc)
 *    and the one Wine asks for behind %fs hold the base of whichever thread
 *    wrote them last, and every reload of those selectors picks up another
 *    thread's TLS or TEB.  Each thread gets its own LDT entry for %gs instead,
 *    and Wine is told that no GDT slot is free, so it puts %fs in the LDT as
 *    well (it leaves LDT entries below 512 alone when %gs is an LDT selector).
 */
#ifdef __i386__
#define _GNU_SOURCE
#define _LARGEFILE64_SOURCE
#include <asm/ldt.h>
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <ucontext.h>

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

/* The next definition of a libc function after this library. */
#define NEXT(name) dlsym(RTLD_NEXT, name)

/* ---- 1. MAP_FIXED_NOREPLACE ------------------------------------------- */

static void *refuse_moved_mapping(void *wanted, void *got, size_t length, int flags) {
  if (!(flags & MAP_FIXED_NOREPLACE) || got == MAP_FAILED || got == wanted) return got;
  munmap(got, length);
  errno = EEXIST;
  return MAP_FAILED;
}

void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
  static void *(*next)(void *, size_t, int, int, int, off_t);
  if (next == NULL) next = NEXT("mmap");
  return refuse_moved_mapping(addr, next(addr, length, prot, flags, fd, offset), length, flags);
}

void *mmap64(void *addr, size_t length, int prot, int flags, int fd, off64_t offset) {
  static void *(*next)(void *, size_t, int, int, int, off64_t);
  if (next == NULL) next = NEXT("mmap64");
  return refuse_moved_mapping(addr, next(addr, length, prot, flags, fd, offset), length, flags);
}

/* ---- 2. trap numbers in signal contexts ------------------------------- */

/* x86 exception vectors. */
enum {
  TRAP_DIVIDE = 0,
  TRAP_DEBUG = 1,
  TRAP_BREAKPOINT = 3,
  TRAP_OVERFLOW = 4,
  TRAP_INVALID_OPCODE = 6,
  TRAP_PAGE_FAULT = 14,
  TRAP_FPU = 16
};

typedef void (*info_handler)(int, siginfo_t *, void *);
static info_handler wine_handler[NSIG];

static int is_fault_signal(int sig) {
  return sig == SIGSEGV || sig == SIGILL || sig == SIGTRAP || sig == SIGFPE;
}

static int trap_of(int sig, const siginfo_t *info) {
  switch (sig) {
    case SIGSEGV: return TRAP_PAGE_FAULT;
    case SIGILL: return TRAP_INVALID_OPCODE;
    case SIGTRAP: return info->si_code == TRAP_TRACE ? TRAP_DEBUG : TRAP_BREAKPOINT;
    default:
      if (info->si_code == FPE_INTDIV) return TRAP_DIVIDE;
      return info->si_code == FPE_INTOVF ? TRAP_OVERFLOW : TRAP_FPU;
  }
}

/* The emulator may enter a handler with a misaligned stack. */
__attribute__((force_align_arg_pointer)) static void fill_trap_then_call(int sig, siginfo_t *info,
                                                                         void *context) {
  ucontext_t *uc = context;
  if ((int)uc->uc_mcontext.gregs[REG_TRAPNO] == -1)
    uc->uc_mcontext.gregs[REG_TRAPNO] = trap_of(sig, info);
  wine_handler[sig](sig, info, context);
}

int sigaction(int sig, const struct sigaction *act, struct sigaction *old) {
  static int (*next)(int, const struct sigaction *, struct sigaction *);
  if (next == NULL) next = NEXT("sigaction");
  if (sig <= 0 || sig >= NSIG || !is_fault_signal(sig)) return next(sig, act, old);

  const info_handler previous = wine_handler[sig];
  struct sigaction wrapped;
  int result;
  if (act != NULL && (act->sa_flags & SA_SIGINFO) && act->sa_sigaction != NULL) {
    wrapped = *act;
    wrapped.sa_sigaction = fill_trap_then_call;
    wine_handler[sig] = act->sa_sigaction;
    result = next(sig, &wrapped, old);
  } else {
    result = next(sig, act, old);
  }
  /* The caller gets back the handler it installed, not the wrapper. */
  if (result == 0 && old != NULL && (old->sa_flags & SA_SIGINFO) &&
      old->sa_sigaction == fill_trap_then_call)
    old->sa_sigaction = previous;
  return result;
}

/* ---- 3. %gs per thread in the LDT, %fs of Wine in the LDT -------------- */

enum { FIRST_GS_ENTRY = 1, LAST_GS_ENTRY = 511 }; /* below Wine's first LDT entry */
enum { MODIFY_LDT_WRITE = 0x11 };

static unsigned char entry_taken[LAST_GS_ENTRY + 1];
static unsigned int next_entry = FIRST_GS_ENTRY;
static pthread_mutex_t entry_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t create_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_key_t entry_key;
static unsigned short glibc_gs; /* glibc's own GDT selector for %gs */
static long (*next_syscall)(long, ...);

static unsigned short read_gs(void) {
  unsigned short s;
  __asm__ volatile("movw %%gs,%0" : "=r"(s));
  return s;
}

static void load_gs(unsigned short s) { __asm__ volatile("movw %w0,%%gs" ::"q"(s) : "memory"); }

static int is_ldt_selector(unsigned short s) { return (s & 4) != 0; }

/* glibc keeps the thread pointer at offset 0 of the TLS block. */
static unsigned int thread_pointer(void) {
  unsigned int p;
  __asm__ volatile("movl %%gs:0,%0" : "=r"(p));
  return p;
}

/* A flat 4 GiB data segment starting at base. */
static void describe_segment(struct user_desc *d, unsigned int entry, unsigned int base) {
  memset(d, 0, sizeof *d);
  d->entry_number = entry;
  d->base_addr = base;
  d->limit = 0xfffff;
  d->seg_32bit = 1;
  d->limit_in_pages = 1;
  d->useable = 1;
}

static void release_entry(void *value) {
  const unsigned int entry = (unsigned int)(unsigned long)value;
  pthread_mutex_lock(&entry_lock);
  if (entry >= FIRST_GS_ENTRY && entry <= LAST_GS_ENTRY) entry_taken[entry] = 0;
  pthread_mutex_unlock(&entry_lock);
}

static unsigned int take_entry(void) {
  unsigned int entry = 0;
  pthread_mutex_lock(&entry_lock);
  for (unsigned int tries = FIRST_GS_ENTRY; tries <= LAST_GS_ENTRY && entry == 0; ++tries) {
    const unsigned int candidate = next_entry;
    next_entry = candidate == LAST_GS_ENTRY ? FIRST_GS_ENTRY : candidate + 1;
    if (!entry_taken[candidate]) {
      entry_taken[candidate] = 1;
      entry = candidate;
    }
  }
  pthread_mutex_unlock(&entry_lock);
  return entry;
}

/* Moves the calling thread's %gs to an LDT entry of its own.  When all
   entries are taken, the thread stays on the shared GDT slot. */
static void give_thread_own_gs(void) {
  const unsigned int entry = take_entry();
  if (entry == 0) return;
  struct user_desc d;
  describe_segment(&d, entry, thread_pointer());
  if (next_syscall(SYS_modify_ldt, MODIFY_LDT_WRITE, &d, sizeof d) != 0) {
    release_entry((void *)(unsigned long)entry);
    return;
  }
  load_gs((unsigned short)((entry << 3) | 7)); /* LDT, privilege level 3 */
  pthread_setspecific(entry_key, (void *)(unsigned long)entry);
}

__attribute__((constructor)) static void start_main_thread(void) {
  next_syscall = NEXT("syscall");
  glibc_gs = read_gs();
  if (is_ldt_selector(glibc_gs)) return;
  pthread_key_create(&entry_key, release_entry);
  give_thread_own_gs();
}

/* Wine asks for a free GDT TLS slot (entry number -1) for %fs through
   syscall(); refusing it makes Wine use the LDT.  glibc's own calls do not go
   through here. */
long syscall(long number, ...) {
  long a[6];
  va_list args;
  va_start(args, number);
  for (int i = 0; i < 6; ++i) a[i] = va_arg(args, long);
  va_end(args);
  if (next_syscall == NULL) next_syscall = NEXT("syscall");
  if (number == SYS_set_thread_area && a[0] != 0 &&
      ((struct user_desc *)a[0])->entry_number == (unsigned int)-1) {
    errno = ENOSYS;
    return -1;
  }
  return next_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

struct thread_start {
  void *(*routine)(void *);
  void *arg;
  sigset_t mask;
};

__attribute__((force_align_arg_pointer)) static void *run_new_thread(void *p) {
  /* %gs still holds the base the clone gave it: move it to the LDT before
     anything can reload the shared slot. */
  give_thread_own_gs();
  const struct thread_start start = *(struct thread_start *)p;
  free(p);
  pthread_sigmask(SIG_SETMASK, &start.mask, NULL);
  return start.routine(start.arg);
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*routine)(void *),
                   void *arg) {
  static int (*next)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
  if (next == NULL) next = NEXT("pthread_create");
  const unsigned short own_gs = read_gs();
  if (!is_ldt_selector(own_gs) || glibc_gs == 0 || is_ldt_selector(glibc_gs))
    return next(thread, attr, routine, arg);

  struct thread_start *start = malloc(sizeof *start);
  if (start == NULL) return EAGAIN;
  start->routine = routine;
  start->arg = arg;
  sigset_t all, caller_mask;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &caller_mask);
  start->mask = caller_mask; /* the new thread starts with the caller's mask */

  /* glibc derives the new thread's TLS slot from the current %gs, and the
     emulator gives the new thread the creator's selector: create it from
     the GDT slot, pointed at this thread's TLS for the moment. */
  pthread_mutex_lock(&create_lock);
  struct user_desc d;
  describe_segment(&d, glibc_gs >> 3, thread_pointer());
  next_syscall(SYS_set_thread_area, &d);
  load_gs(glibc_gs);
  const int result = next(thread, attr, run_new_thread, start);
  load_gs(own_gs);
  pthread_mutex_unlock(&create_lock);

  if (result != 0) free(start); /* otherwise the new thread owns it */
  pthread_sigmask(SIG_SETMASK, &caller_mask, NULL);
  return result;
}
#else
/* The x86-64 twin: nothing to do in 64-bit processes. */
typedef int wine32_shim_is_empty_here;
#endif
