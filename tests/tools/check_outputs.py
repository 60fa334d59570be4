#!/usr/bin/env python3
"""Structural checks of dgnhost's GeoJSON and SVG output.

usage: check_outputs.py [--geojson FILE] [--svg FILE]

Exits 1 with a reason on the first fault.  On success prints one fact per
line for the calling test to compare:
  features N / geometry TYPE N / kind KIND N / color #RRGGBB N / text STRING
  svg polygon N / svg polyline N / svg text N / svg size W H / svg label STRING
"""
import json
import math
import re
import sys
import xml.etree.ElementTree as ET
from collections import Counter

SVG_NS = "{http://www.w3.org/2000/svg}"


class Fault(Exception):
    pass


def need(cond, why):
    if not cond:
        raise Fault(why)


def is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)


def check_position(p, where):
    need(isinstance(p, list) and len(p) in (2, 3), f"{where}: position must hold 2 or 3 numbers")
    need(all(is_number(c) for c in p), f"{where}: position holds a non-number")


def check_geometry(g, where):
    if g is None:
        return "null"
    need(isinstance(g, dict), f"{where}: geometry is not an object")
    kind = g.get("type")
    coords = g.get("coordinates")
    if kind == "Point":
        check_position(coords, where)
    elif kind == "LineString":
        need(isinstance(coords, list) and len(coords) >= 2, f"{where}: LineString needs 2 positions")
        for p in coords:
            check_position(p, where)
    elif kind == "Polygon":
        need(isinstance(coords, list) and len(coords) >= 1, f"{where}: Polygon needs a ring")
        for ring in coords:
            need(isinstance(ring, list) and len(ring) >= 4, f"{where}: ring needs 4 positions")
            for p in ring:
                check_position(p, where)
            need(ring[0] == ring[-1], f"{where}: ring is not closed")
    else:
        raise Fault(f"{where}: unexpected geometry type {kind!r}")
    return kind


def check_properties(p, where):
    need(isinstance(p, dict), f"{where}: properties is not an object")
    need(p.get("kind") in ("polyline", "polygon", "text"), f"{where}: bad kind")
    need(isinstance(p.get("level"), int), f"{where}: level is not an integer")
    need(isinstance(p.get("layer"), str), f"{where}: layer is not a string")
    need(isinstance(p.get("color"), str) and re.fullmatch(r"#[0-9a-f]{6}", p["color"]),
         f"{where}: color is not #rrggbb")
    need(p.get("width") is None or is_number(p.get("width")), f"{where}: width")
    need(p.get("style") is None or isinstance(p.get("style"), int), f"{where}: style")
    need(isinstance(p.get("elementId"), int), f"{where}: elementId")
    if p["kind"] == "text":
        need(isinstance(p.get("text"), str), f"{where}: text is not a string")
        for key in ("height", "rotation"):
            need(p.get(key) is None or is_number(p.get(key)), f"{where}: {key}")
        need(isinstance(p.get("justification"), int), f"{where}: justification")


def reject_constant(name):
    raise Fault(f"non-standard JSON number {name}")


def check_geojson(path):
    with open(path, "rb") as f:
        raw = f.read()
    doc = json.loads(raw.decode("utf-8"), parse_constant=reject_constant)
    need(isinstance(doc, dict) and doc.get("type") == "FeatureCollection",
         "top level is not a FeatureCollection")
    features = doc.get("features")
    need(isinstance(features, list), "features is not a list")
    geometries, kinds, colors, out = Counter(), Counter(), Counter(), []
    for i, feature in enumerate(features):
        where = f"feature {i}"
        need(isinstance(feature, dict) and feature.get("type") == "Feature", f"{where}: not a Feature")
        need("geometry" in feature and "properties" in feature, f"{where}: missing members")
        geometries[check_geometry(feature["geometry"], where)] += 1
        check_properties(feature["properties"], where)
        props = feature["properties"]
        kinds[props["kind"]] += 1
        colors[props["color"]] += 1
        if props["kind"] == "text":
            out.append(f"text {props['text']}")
    out.insert(0, f"features {len(features)}")
    out += [f"geometry {k} {n}" for k, n in sorted(geometries.items())]
    out += [f"kind {k} {n}" for k, n in sorted(kinds.items())]
    out += [f"color {k} {n}" for k, n in sorted(colors.items())]
    return out


def check_svg(path):
    root = ET.parse(path).getroot()
    need(root.tag == SVG_NS + "svg", "root element is not svg")
    need(len(root.get("viewBox", "").split()) == 4, "svg has no viewBox")
    counts = Counter(el.tag[len(SVG_NS):] for el in root.iter() if el.tag.startswith(SVG_NS))
    out = [f"svg {tag} {counts.get(tag, 0)}" for tag in ("polygon", "polyline", "text")]
    out.append(f"svg size {float(root.get('width')):.0f} {float(root.get('height')):.0f}")
    out += [f"svg label {el.text or ''}" for el in root.iter(SVG_NS + "text")]
    return out


def main(argv):
    lines = []
    try:
        i = 1
        while i < len(argv):
            if argv[i] == "--geojson" and i + 1 < len(argv):
                lines += check_geojson(argv[i + 1])
            elif argv[i] == "--svg" and i + 1 < len(argv):
                lines += check_svg(argv[i + 1])
            else:
                print(__doc__, file=sys.stderr)
                return 2
            i += 2
    except (Fault, ValueError, ET.ParseError, OSError) as e:
        print(f"check_outputs: {e}", file=sys.stderr)
        return 1
    sys.stdout.buffer.write(("\n".join(lines) + "\n").encode("utf-8"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
