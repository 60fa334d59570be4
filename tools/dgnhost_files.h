// dgnhost's file operations that differ between systems (the platform layer
// does them): whether two names lead to one file, the new files every output
// is written to before it takes its target's place, and replacing a file by
// another.
#ifndef DGN_TOOLS_DGNHOST_FILES_H
#define DGN_TOOLS_DGNHOST_FILES_H

#include <cstdio>
#include <string>

// True when both names lead to one existing file: the same text, or, spelt
// differently (another folder path, a link), the same file on the same volume.
bool SameFile(const std::string &a, const std::string &b);

// The ending of every temporary file dgnhost makes: one a killed run leaves
// behind is known by it, and no host takes it for a map.
extern const char kTempSuffix[];

// A new file beside a target, which nobody else can aim: created
// exclusively and never through a link, under an unpredictable name
// "<target>.<random>.dgnhost-tmp", with the target's permissions.  Commit
// puts it in the target's place durably; otherwise it is removed when it
// goes, on every failure path.
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  ~TempFile();

  // Creates the file beside `target` (`tag`, when given, joins the name);
  // false with the system's reason in `error`.
  bool Create(const std::string &target, const char *tag, std::string &error);
  // The open stream ("w+b"), or null once closed.
  FILE *stream() const { return stream_; }
  // The file's name.
  const std::string &name() const { return name_; }
  // Closes the stream, keeping the file (for a writer that opens it by
  // name); false when the close failed.
  bool CloseStream();
  // Puts the file on the disk, renames it over the target and puts the
  // folder on the disk; false with the reason in `error` (the file is then
  // removed and the target left as it was, or, when only the last step
  // failed, in place but perhaps not yet on the disk).  `heldTarget`, when
  // not null, is the target's update lock (HoldForUpdate): it is let go once
  // the file has the target's name, or on failure.
  bool Commit(std::string &error, FILE *heldTarget = nullptr);

 private:
  FILE *stream_ = nullptr;
  std::string name_;  // empty once committed or removed
  std::string target_;
};

// Puts file `from` in the place of `to`, replacing any file there in one
// step; false with the system's reason in `error`.
bool RenameOver(const std::string &from, const std::string &to, std::string &error);

// Answers of HoldForUpdate.
enum class Hold {
  kHeld,      // the existing file's update lock is held by *held
  kNoFile,    // no file there that could be locked: nothing is held
  kElsewhere  // another map, in this or another program, has it open for update
};

// Takes the update lock of an existing file at `path`, for as long as *held
// stays open, so that no writer works in it while it is replaced.
Hold HoldForUpdate(const std::string &path, FILE **held);

// RenameOver, for a target whose update lock `held` holds (null: none); the
// hold ends with it.
bool RenameOverHeld(FILE *held, const std::string &from, const std::string &to, std::string &error);

#endif  // DGN_TOOLS_DGNHOST_FILES_H
