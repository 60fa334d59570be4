// INI-backed settings of the plug-in.
//
// A TConfiguracion stands for one INI file and lists the settings bound to
// it; a TstringConfig reads its value when it is built and, when the file
// has none, takes its default and writes it into the file at once.  Line
// breaks inside values are stored as the bytes 0xFE (CR) and 0xFF (LF).
#ifndef DGN_SUPPORT_CONFIGURACION_H
#define DGN_SUPPORT_CONFIGURACION_H

#include "DString.h"
#include "Vector.h"

class TvarConfig;

// One INI file and the settings bound to it (which it never destroys).
class TConfiguracion {
 public:
  // Gives a configuration for the INI file at path (backslash form).
  explicit TConfiguracion(const char *path);
  virtual ~TConfiguracion();

  TConfiguracion(const TConfiguracion &) = delete;
  TConfiguracion &operator=(const TConfiguracion &) = delete;

  // Reads key in [section] into out, whatever its length; gives false
  // (out holding the marker text) when the file, section or key is
  // missing or the stored value is the marker text itself.
  bool ReadString(DString &out, const char *section, const char *key);
  // Writes key=text in [section]; gives the platform's result.
  bool WriteString(const char *section, const char *key, const char *text);

  DString fileName;             // path of the INI file
  VectorP<TvarConfig> entries;  // settings bound here, not owned
};

// Base of all settings: section and key in one configuration.
class TvarConfig {
 public:
  // Gives a setting for key in [section], bound to config when not null.
  TvarConfig(const char *section, const char *key, TConfiguracion *config);
  // Unbinds the setting from its configuration.
  virtual ~TvarConfig();

  TvarConfig(const TvarConfig &) = delete;
  TvarConfig &operator=(const TvarConfig &) = delete;

  // Sets the value from text (nothing in the base).
  virtual void SetText(const char *text);
  // Gives the value in out (nothing in the base).
  virtual DString &GetText(DString &out);

  // Reads the stored value into out; false without configuration or value.
  bool Read(DString &out);
  // Writes text as the stored value (nothing without configuration).
  void Write(const char *text);

  DString section;
  DString key;
  TConfiguracion *config;  // not owned; outlives the setting
};

// A text setting.
class TstringConfig : public TvarConfig {
 public:
  // Gives the setting with its stored value, or with defaultText (null
  // counts as "") written into the file when there is none.
  TstringConfig(const char *section, const char *key, TConfiguracion *config,
                const char *defaultText);
  ~TstringConfig() override;

  // Sets the value and stores it when it changed.
  void SetText(const char *text) override;
  // Gives the value in out.
  DString &GetText(DString &out) override;
  // Gives a copy of the value.
  DString Value() const;
  // Writes the value, line breaks encoded, unless the section is empty.
  void Store();

  DString value;  // with real CR and LF
};

#endif
