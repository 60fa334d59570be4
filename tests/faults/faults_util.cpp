#include "faults_util.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <stdexcept>

namespace faultstest {

ScratchDir::ScratchDir() {
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/dgn_faults_XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("cannot make a scratch folder");
  path_ = name.data();
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

Import ImportFile(const Bytes &file, const std::string &path) {
  Import r;
  if (!dgnkit::WriteFile(path, file)) {
    r.messages.push_back("(test) cannot write " + path);
    return r;
  }
  const plugintest::Plugin &p = plugintest::Lib();
  plugintest::Host host;
  TVectorMapPlugIn map = plugintest::MapRecord(1, 0, 0);
  r.opened = p.Open(path.c_str(), &map, host.sink()) == 1;
  if (r.opened) {
    r.read = p.Read(&map, host.callbacks(), host.sink(), host.progress());
    p.Close(&map);
    r.closed = map.handle == nullptr;
  } else {
    r.closed = map.handle == nullptr;
  }
  r.messages = host.messages;
  r.steps = host.steps;
  for (const std::string &line : host.log) {
    if (line.rfind("AddObject(", 0) == 0 || line.rfind("AddPoint(", 0) == 0)
      r.drawn.push_back(line);
    else if (line.rfind("AddLayer(", 0) == 0)
      r.layers.push_back(line);
    else if (line.rfind("SetTotal(", 0) == 0)
      r.total = std::atoi(line.c_str() + 9);
  }
  const std::vector<Span> els = Elements(file);
  const size_t end = els.empty() ? 0 : els.back().offset + els.back().size;
  if (end != file.size() && !EndsWithMarker(file)) r.cut_at = static_cast<long long>(end);
  r.objects = static_cast<int>(host.objects.size());
  r.points = static_cast<int>(host.points.size());
  for (const TVectorObjectPlugIn &o : host.objects)
    r.announced_points += o.numPoints > 0 ? o.numPoints : 0;
  return r;
}

std::string Breach(const Import &r) {
  if (!r.closed) return "the handle was left in the map record";
  if (!r.opened) return r.messages.size() == 1 ? "" : "a refused open did not send one message";
  if (r.read != 1) return "the read returned " + std::to_string(r.read);
  // A cut or damaged file may leave complex elements with fewer components
  // than their headers announce; the host is told of each, and that is due.
  const std::string readWarning = "Warning in DGN (QuarvelPlugIn_Read_Vector_Map3): ";
  std::vector<std::string> messages;
  for (const std::string &m : r.messages) {
    const bool shortComplex = m.rfind(readWarning + "the complex ", 0) == 0 &&
                              m.find(" components but ") != std::string::npos;
    const bool held =
        m.rfind(readWarning, 0) == 0 && m.find(" more warnings ") != std::string::npos;
    if (!shortComplex && !held) messages.push_back(m);
  }
  if (r.cut_at >= 0) {
    const std::string warning =
        readWarning + "the element stream stops at offset " + std::to_string(r.cut_at) + ",";
    if (messages.size() != 1 || messages[0].rfind(warning, 0) != 0)
      return "no warning that the stream stops at " + std::to_string(r.cut_at);
  } else if (!messages.empty()) {
    return "the read sent a message: " + messages[0];
  }
  if (r.total < 0) return "no SetTotal";
  if (r.steps != r.total)
    return "Step called " + std::to_string(r.steps) + " times for " + std::to_string(r.total) +
           " elements";
  if (r.points != r.announced_points) return "points sent differ from the points announced";
  std::set<std::string> seen(r.layers.begin(), r.layers.end());
  if (seen.size() != r.layers.size()) return "a layer was sent twice";
  return "";
}

std::vector<Span> Elements(const Bytes &file) {
  std::vector<Span> out;
  size_t pos = 0;
  while (pos + 4 <= file.size() && !(file[pos] == 0xFF && file[pos + 1] == 0xFF)) {
    const size_t n = 4 + 2 * static_cast<size_t>(file[pos + 2] | (file[pos + 3] << 8));
    if (pos + n > file.size()) break;
    out.push_back({pos, n});
    pos += n;
  }
  return out;
}

bool EndsWithMarker(const Bytes &file) {
  const std::vector<Span> els = Elements(file);
  const size_t end = els.empty() ? 0 : els.back().offset + els.back().size;
  return end + 2 <= file.size() && file[end] == 0xFF && file[end + 1] == 0xFF;
}

int OpenDescriptors() {
  DIR *d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  int n = 0;
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

Bytes SampleMap() { return dgnkit::ReadFile(DGN_FAULTS_SAMPLE_MAP); }

}  // namespace faultstest
