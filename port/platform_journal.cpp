// The write journal of the platform layer (platform.h): a test sets it to
// record every write, sync, creation, rename and removal, and rebuilds from
// the record each state a killed process or a power cut could leave.  The
// same on every platform; nothing is recorded while it is off.
#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "platform.h"

namespace {

std::atomic<PlatIoJournal> g_journal{nullptr};
void *g_context = nullptr;

// Paths of the streams opened while the journal is on.
std::vector<std::pair<FILE *, std::string>> &Streams() {
  static std::vector<std::pair<FILE *, std::string>> streams;
  return streams;
}

PlatMutex &JournalLock() {
  static PlatMutex lock;
  return lock;
}

std::string PathOf(FILE *stream) {
  for (const auto &s : Streams())
    if (s.first == stream) return s.second;
  return std::string();
}

void Hand(const PlatIoEvent &event) {
  const PlatIoJournal journal = g_journal.load();
  if (journal != nullptr) journal(event, g_context);
}

}  // namespace

void PlatSetIoJournalForTesting(PlatIoJournal journal, void *context) {
  PlatLockGuard hold(JournalLock());
  g_context = context;
  g_journal.store(journal);
  if (journal == nullptr) Streams().clear();
}

bool PlatJournalOn() { return g_journal.load() != nullptr; }

void PlatJournalOpened(FILE *stream, const char *path, bool created) {
  if (!PlatJournalOn() || stream == nullptr || path == nullptr) return;
  PlatLockGuard hold(JournalLock());
  auto &streams = Streams();
  // A stream closed without the wrappers leaves its entry: a new stream at
  // the same address takes it over.
  for (auto &s : streams) {
    if (s.first == stream) {
      s.second = path;
      if (created) Hand(PlatIoEvent{PLAT_IO_CREATE, path, std::string(), 0, std::string()});
      return;
    }
  }
  streams.emplace_back(stream, path);
  if (created) Hand(PlatIoEvent{PLAT_IO_CREATE, path, std::string(), 0, std::string()});
}

void PlatJournalClosed(FILE *stream) {
  if (!PlatJournalOn()) return;
  PlatLockGuard hold(JournalLock());
  auto &streams = Streams();
  for (size_t i = 0; i < streams.size(); ++i) {
    if (streams[i].first == stream) {
      streams.erase(streams.begin() + static_cast<long>(i));
      return;
    }
  }
}

void PlatJournalWrite(FILE *stream, int64_t offset, const void *bytes, size_t count) {
  if (!PlatJournalOn() || count == 0) return;
  PlatLockGuard hold(JournalLock());
  Hand(PlatIoEvent{PLAT_IO_WRITE, PathOf(stream), std::string(), offset,
                   std::string(static_cast<const char *>(bytes), count)});
}

void PlatJournalNote(PlatIoKind kind, const std::string &path, const std::string &to) {
  if (!PlatJournalOn()) return;
  PlatLockGuard hold(JournalLock());
  Hand(PlatIoEvent{kind, path, to, 0, std::string()});
}

void PlatJournalSynced(FILE *stream) {
  if (!PlatJournalOn()) return;
  std::string path;
  {
    PlatLockGuard hold(JournalLock());
    path = PathOf(stream);
  }
  PlatJournalNote(PLAT_IO_SYNC, path);
}
