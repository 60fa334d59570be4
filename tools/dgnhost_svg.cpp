// dgnhost's SVG output (dgnhost_svg.h).
#include "dgnhost_svg.h"

#include <cmath>

#include "cpl_error.h"
#include "dgnmodel.h"

namespace {

constexpr double kSvgSide = 1000.0;  // pixels along the longer side of the map
constexpr double kSvgMargin = 20.0;  // pixels around it
constexpr double kCapHeight = 0.72;  // cap height of a sans-serif font, in em

// Horizontal anchor and the fraction of the text height the baseline sits
// below the origin, from the DGN justification code (left 0-5, centre 6-8,
// right 9-14; top, centre, bottom repeating).
void Justify(int32_t code, const char **anchor, double *drop) {
  if (code < 0 || code > 14) code = 2;  // unknown: left bottom
  *anchor = code <= 5 ? "start" : (code <= 8 ? "middle" : "end");
  static const double kDrop[3] = {1.0, 0.5, 0.0};
  *drop = kDrop[code % 3];
}

double Stroke(float w) { return std::isfinite(w) && w > 0 ? 1.0 + static_cast<double>(w) : 1.0; }

std::string Px(double v) {
  std::string s;
  AppendPx(s, v);
  return s;
}

}  // namespace

void SvgView::Add(double x, double y) {
  if (!std::isfinite(x) || !std::isfinite(y)) return;
  if (!any) {
    minX = maxX = x;
    minY = maxY = y;
    any = true;
    return;
  }
  if (x < minX) minX = x;
  if (x > maxX) maxX = x;
  if (y < minY) minY = y;
  if (y > maxY) maxY = y;
}

SvgView MapExtents(const std::string &path) {
  SvgView view;
  // The plug-in has opened the map already and speaks for it: the engine's
  // own reports here would only repeat it.
  const CPLErrorHandlerFn previous = CPLSetErrorHandler(nullptr);
  DGNFile *file = DGNOpen(path.c_str(), false);
  DGNPoint low{}, high{};
  if (file != nullptr && DGNGetExtents(file, &low, &high)) {
    view.Add(low.x, low.y);
    view.Add(high.x, high.y);
  }
  DGNClose(file);
  CPLSetErrorHandler(previous);
  return view;
}

int MapDimension(const std::string &path) {
  const CPLErrorHandlerFn previous = CPLSetErrorHandler(nullptr);
  DGNFile *file = DGNOpen(path.c_str(), false);
  const int dimension = file != nullptr ? DGNGetDimension(file) : 2;
  DGNClose(file);
  CPLSetErrorHandler(previous);
  return dimension;
}

SvgSink::SvgSink(OutputFile &out, const std::string &target, const SvgView &view,
                 const std::string &title)
    : out_(out), view_(view), margin_(kSvgMargin) {
  ready_ = lines_.Open(target, "lines") && texts_.Open(target, "texts");
  if (!view_.any) view_.Add(0, 0);
  double dx = view_.maxX - view_.minX, dy = view_.maxY - view_.minY;
  if (!(dx > 0) && !(dy > 0)) dx = dy = 1.0;  // a single place: any scale shows it
  const double longer = dx > dy ? dx : dy;
  scale_ = kSvgSide / longer;
  if (!std::isfinite(scale_) || scale_ <= 0) scale_ = 1.0;
  const std::string width = Px(dx * scale_ + 2 * margin_), height = Px(dy * scale_ + 2 * margin_);
  std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  head += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + width + "\" height=\"" + height +
          "\" viewBox=\"0 0 " + width + " " + height + "\">\n";
  head += "<title>";
  AppendXmlText(head, title);
  head += "</title>\n";
  head += "<rect x=\"0\" y=\"0\" width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  head += "<g id=\"polygons\">\n";
  out_.Write(head);
}

void SvgSink::Take(const ImportedObject &o, const std::vector<ImportedLayer> &) {
  const std::vector<Vertex> pts = UsablePoints(o);
  if (pts.empty()) return;
  const std::string color = HexColor(o.color);
  const std::string cls = " class=\"level-" + std::to_string(o.level) + "\"";
  std::string &s = item_;
  s.clear();
  if (o.kind == 3) {
    if (!std::isfinite(o.height) || o.height <= 0 || o.text.empty()) return;
    const char *anchor;
    double drop;
    Justify(o.justification, &anchor, &drop);
    const double px = X(pts[0].x), py = Y(pts[0].y), size = o.height * scale_;
    const double rot = std::isfinite(o.rotation) ? -static_cast<double>(o.rotation) : 0.0;
    s += "<text" + cls + " x=\"" + Px(px) + "\" y=\"" + Px(py) + "\" dy=\"" + Px(drop * size) +
         "\" font-family=\"sans-serif\" font-size=\"" + Px(size / kCapHeight) +
         "\" text-anchor=\"" + anchor + "\" fill=\"" + color + "\" transform=\"rotate(" + Px(rot) +
         " " + Px(px) + " " + Px(py) + ")\">";
    AppendXmlText(s, o.text);
    s += "</text>\n";
    texts_.Write(s);
    return;
  }
  if (pts.size() == 1) {
    s += "<circle" + cls + " cx=\"" + Px(X(pts[0].x)) + "\" cy=\"" + Px(Y(pts[0].y)) + "\" r=\"" +
         Px(Stroke(o.width)) + "\" fill=\"" + color + "\"/>\n";
  } else {
    s += o.kind == 1 ? "<polygon" : "<polyline";
    s += cls + " points=\"";
    for (size_t i = 0; i < pts.size(); ++i) {
      if (i > 0) s += ' ';
      AppendPx(s, X(pts[i].x));
      s += ',';
      AppendPx(s, Y(pts[i].y));
    }
    if (o.kind == 1) {
      s += "\" fill=\"" + color + "\" fill-opacity=\"0.15\" stroke=\"" + color +
           "\" stroke-width=\"" + Px(Stroke(o.width)) + "\" stroke-linejoin=\"round\"/>\n";
    } else {
      s += "\" fill=\"none\" stroke=\"" + color + "\" stroke-width=\"" + Px(Stroke(o.width)) +
           "\" stroke-linecap=\"round\" stroke-linejoin=\"round\"/>\n";
    }
  }
  if (o.kind == 1)
    out_.Write(s);
  else
    lines_.Write(s);
}

bool SvgSink::Finish() {
  out_.Write("</g>\n<g id=\"polylines\">\n");
  out_.Append(lines_.file());
  out_.Write("</g>\n<g id=\"texts\">\n");
  out_.Append(texts_.file());
  out_.Write("</g>\n</svg>\n");
  if (lines_.Failed() || texts_.Failed()) {
    std::fprintf(stderr, "dgnhost: cannot write a scratch file of the drawing\n");
    return false;
  }
  return true;
}
