// dgnhost's file operations, on the platform layer's (platform.h).
#include "dgnhost_files.h"

#include "platform.h"

bool SameFile(const std::string &a, const std::string &b) {
  return a == b || PlatSameFile(a.c_str(), b.c_str());
}

std::string TempNameBeside(const std::string &target) {
  return target + "." + std::to_string(PlatProcessId()) + ".tmp";
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
