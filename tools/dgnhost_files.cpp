// dgnhost's file operations, on the platform layer's (platform.h).
#include "dgnhost_files.h"

#include "platform.h"

const char kTempSuffix[] = ".dgnhost-tmp";

bool SameFile(const std::string &a, const std::string &b) {
  return a == b || PlatSameFile(a.c_str(), b.c_str());
}

TempFile::~TempFile() {
  CloseStream();
  if (!name_.empty()) PlatRemoveFile(name_.c_str());
}

bool TempFile::Create(const std::string &target, const char *tag, std::string &error) {
  target_ = target;
  std::string stem = target + ".";
  if (tag != nullptr) stem += std::string(tag) + ".";
  stream_ = PlatCreateNewFile(stem, kTempSuffix, target.c_str(), name_, error);
  return stream_ != nullptr;
}

bool TempFile::CloseStream() {
  if (stream_ == nullptr) return true;
  PlatJournalClosed(stream_);
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  return closed;
}

bool TempFile::Commit(std::string &error, FILE *heldTarget) {
  bool ok = true;
  if (stream_ == nullptr) {
    stream_ = std::fopen(name_.c_str(), "rb+");
    PlatJournalOpened(stream_, name_.c_str(), false);
  }
  if (stream_ == nullptr || !PlatSyncStream(stream_)) {
    error = "cannot put " + name_ + " on the disk";
    ok = false;
  }
  if (!CloseStream() && ok) {
    error = "cannot close " + name_;
    ok = false;
  }
  if (!ok && heldTarget != nullptr) std::fclose(heldTarget);
  if (!ok || !PlatRenameOverHeld(heldTarget, name_.c_str(), target_.c_str(), error)) {
    PlatRemoveFile(name_.c_str());
    name_.clear();
    return false;
  }
  name_.clear();
  if (!PlatSyncFolderOf(target_.c_str())) {
    error = "cannot put the folder of " + target_ + " on the disk";
    return false;
  }
  return true;
}

bool RenameOver(const std::string &from, const std::string &to, std::string &error) {
  return PlatRenameOver(from.c_str(), to.c_str(), error);
}

Hold HoldForUpdate(const std::string &path, FILE **held) {
  *held = nullptr;
  FILE *fp = std::fopen(path.c_str(), "rb+");
  if (fp == nullptr) return Hold::kNoFile;
  const PlatLockResult lock = PlatLockForUpdate(fp);
  if (lock == PLAT_LOCK_TAKEN) {
    *held = fp;
    return Hold::kHeld;
  }
  std::fclose(fp);
  return lock == PLAT_LOCK_BUSY ? Hold::kElsewhere : Hold::kNoFile;
}

bool RenameOverHeld(FILE *held, const std::string &from, const std::string &to,
                    std::string &error) {
  return PlatRenameOverHeld(held, from.c_str(), to.c_str(), error);
}
