// dgnhost export and update: GeoJSON line and area features written into a
// DGN file through the plug-in's open, add and close entry points, with the
// host records laid out as the mapping host lays them out.
#ifndef DGN_TOOLS_DGNHOST_EXPORT_H
#define DGN_TOOLS_DGNHOST_EXPORT_H

#include <string>

#include "plugin_loader.h"

// Usage lines of the two commands, for dgnhost's help text.
extern const char kExportUsage[];

// `export IN.geojson OUT.dgn [--ini-dir DIR]`: creates OUT.dgn from the seed
// file named in DIR/gps.ini (default DIR: programDir, where the host keeps its
// INI file) and adds every line and area feature.  The map is made beside
// OUT.dgn under a temporary name and replaces OUT.dgn only when every feature
// was written.  Gives the exit status: 0 done, 1 failed (OUT.dgn untouched;
// also when some feature was not written), 2 usage.
int RunExportCommand(const PluginApi &api, const std::string &programDir, int argc, char **argv);

// `update FILE IN.geojson`: opens FILE for update and adds every line and area
// feature; a feature's `elementId` property names the element its first part
// replaces.  Counts only what was written; exit status 1 when some feature
// was not written (what was written stays), otherwise as for export.
int RunUpdateCommand(const PluginApi &api, const std::string &programDir, int argc, char **argv);

#endif  // DGN_TOOLS_DGNHOST_EXPORT_H
