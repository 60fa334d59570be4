// dgnhost --whole-map: the plug-in reads its settings from the gps.ini in the
// folder the map record names, so a run with the whole map gives it a scratch
// folder holding a copy of the host's gps.ini with DGN_Whole_Map=1 in section
// "Mapa".  The host's own INI file is left as it is.
#ifndef DGN_TOOLS_DGNHOST_INI_H
#define DGN_TOOLS_DGNHOST_INI_H

#include <string>

class WholeMapIni {
 public:
  // Makes the scratch folder with a copy of iniDir's gps.ini (or a new one)
  // that turns the whole map on; ok() tells whether it could.
  explicit WholeMapIni(const std::string &iniDir);
  // Removes the folder and the INI file in it.
  ~WholeMapIni();
  WholeMapIni(const WholeMapIni &) = delete;
  WholeMapIni &operator=(const WholeMapIni &) = delete;

  // Gives whether the folder and its INI file were made.
  bool ok() const { return ok_; }
  // Gives the folder to put in the map record, with a trailing separator.
  const std::string &dir() const { return dir_; }

 private:
  std::string dir_;
  bool ok_ = false;
};

// Gives the text of an INI file with key=1 in [section] (the first section of
// that name, case ignored; the key dropped from every such section), the
// section appended when the file has none.
std::string IniWithKeyOn(const std::string &ini, const char *section, const char *key);

#endif  // DGN_TOOLS_DGNHOST_INI_H
