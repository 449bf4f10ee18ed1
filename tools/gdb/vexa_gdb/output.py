"""Files written when the program ends, one entry per distinct report:
JSON lines, SARIF 2.1.0 (what code-scanning services and editors read) and
a self-contained HTML page. Nothing here talks to GDB."""

import html
import json
import os
import pathlib

SARIF_SCHEMA = "https://json.schemastore.org/sarif-2.1.0.json"
RULES = [
    {"id": "data-sharing", "name": "DataSharing",
     "shortDescription": {"text": "Two tasks access the same memory, at least one writes, and nothing orders "
                                  "the accesses"},
     "fullDescription": {"text": "A data sharing report names both accesses: the one that was checked, with "
                                 "its task's stack, and the earlier access of another task it conflicts with."},
     "defaultConfiguration": {"level": "warning"}},
    {"id": "reentrant-call", "name": "ReentrantCall",
     "shortDescription": {"text": "A function is entered by one task while another task still runs it"},
     "fullDescription": {"text": "A reentrant call report names the call, with its task's stack, and the tasks "
                                 "that still run the function."},
     "defaultConfiguration": {"level": "warning"}},
]
SOURCE_CONTEXT = 2  # lines shown before and after a frame's line in HTML


def entries(distinct):
    """The JSON object of each distinct report, with its counts."""
    found = []
    for d in distinct:
        item = dict(d.json)
        item["seen"] = d.seen()
        item["repeats"] = d.seen() - 1
        item["summary"] = d.place
        found.append(item)
    return found


def write_json(path, distinct):
    with open(path, "w") as out:
        for item in entries(distinct):
            out.write(json.dumps(item, sort_keys=True) + "\n")


def _who(side):
    if side.get("thread") is None and not side.get("thread_handle"):
        return "a task that has ended"
    thread = "thread %d" % side["thread"] if side.get("thread") is not None else "a thread no longer running"
    return "task %d on %s" % (side["task"], thread) if side.get("task") else thread


def describe(side, previous=False):
    """'Read of size 4 at 0x... by thread 3' and its kin."""
    kind = side.get("access")
    if kind == "call":
        return "Call of %s by %s" % (side.get("function") or "??", _who(side))
    if kind is None:
        return "Still running in %s" % _who(side)
    text = "%s%s of size %d at 0x%x by %s" % ("Previous " if previous else "", kind if previous else
                                             kind.capitalize(), side["size"], side["address"], _who(side))
    return text


def _frames(side):
    return side.get("frames") or []


def _user_frame(side):
    frames = _frames(side)
    for frame in frames:
        path = frame.get("path") or frame.get("file")
        if path and not path.startswith(("/usr/include/", "/usr/lib/", "/usr/local/include/")):
            return frame
    for frame in frames:
        if frame.get("file"):
            return frame
    return frames[0] if frames else None


def _uri(frame):
    path = frame.get("path") or frame.get("file")
    if path and os.path.isabs(path):
        return pathlib.PurePosixPath(path).as_uri(), None
    return path, "SRCROOT"


def _location(frame, message=None, id_=None):
    physical = {}
    if frame.get("file") and frame.get("line"):
        uri, base = _uri(frame)
        artifact = {"uri": uri}
        if base:
            artifact["uriBaseId"] = base
        region = {"startLine": frame["line"]}
        if frame.get("column"):
            region["startColumn"] = frame["column"]
        physical = {"artifactLocation": artifact, "region": region}
    if frame.get("pc") is not None:
        physical["address"] = {"absoluteAddress": frame["pc"]}
    location = {"physicalLocation": physical}
    if frame.get("function"):
        location["logicalLocations"] = [{"fullyQualifiedName": frame["function"], "kind": "function"}]
    if message:
        location["message"] = {"text": message}
    if id_ is not None:
        location["id"] = id_
    return location


def _flow(side, previous):
    frames = _frames(side)
    text = describe(side, previous)
    return {"message": {"text": text},
            "locations": [{"location": _location(f, "%s in %s" % (text, f.get("function") or "??") if i == 0
                                                 else None), "nestingLevel": i}
                          for i, f in enumerate(frames)]}


def _message(item):
    sides = item["accesses"]
    if item["kind"] == "data sharing":
        first, second = sides[0], sides[1]
        return "Data sharing: %s conflicts with the earlier %s of %s (seen %d times)." % (
            describe(first).lower(), second.get("access"), _who(second), item["seen"])
    return "Reentrant call of %s by %s while %s still run it (seen %d times)." % (
        item.get("function") or "??", _who(sides[0]), ", ".join(_who(s) for s in sides[1:]), item["seen"])


def sarif(distinct):
    results = []
    for item in entries(distinct):
        sharing = item["kind"] == "data sharing"
        sides = item["accesses"] if sharing else item["accesses"][:1]
        locations, related = [], []
        for i, side in enumerate(sides):
            frame = _user_frame(side)
            if frame is not None:
                locations.append(_location(frame, describe(side, previous=i > 0)))
        flows = [_flow(side, i > 0) for i, side in enumerate(sides) if _frames(side)]
        result = {
            "ruleId": "data-sharing" if sharing else "reentrant-call",
            "ruleIndex": 0 if sharing else 1,
            "level": "warning",
            "message": {"text": _message(item)},
            "locations": locations,
            "codeFlows": [{"threadFlows": flows}] if flows else [],
            "stacks": [{"message": {"text": describe(side, i > 0)},
                        "frames": [{"location": _location(f)} for f in _frames(side)]}
                       for i, side in enumerate(sides) if _frames(side)],
            "partialFingerprints": {"vexaCode/v1": "/".join("%x" % (s.get("pc") or 0) for s in sides)},
            "properties": {"seen": item["seen"], "summary": item["summary"]},
        }
        if not sharing:
            related = [{"id": i, "message": {"text": describe(s)}} for i, s in enumerate(item["accesses"][1:], 1)]
            result["relatedLocations"] = related
        if not result["codeFlows"]:
            del result["codeFlows"]
        results.append(result)
    return {"$schema": SARIF_SCHEMA, "version": "2.1.0",
            "runs": [{"tool": {"driver": {"name": "vexa", "rules": RULES}},
                      "originalUriBaseIds": {"SRCROOT": {"uri": pathlib.Path(os.getcwd()).as_uri() + "/"}},
                      "results": results}]}


def write_sarif(path, distinct):
    with open(path, "w") as out:
        json.dump(sarif(distinct), out, indent=1, sort_keys=True)
        out.write("\n")


_STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.4em; }
section.report { border: 1px solid #bbb; border-radius: 4px; margin: 1em 0; padding: 0.5em 1em; }
h2 { font-size: 1.1em; margin: 0.3em 0; }
h3 { font-size: 1em; margin: 0.8em 0 0.3em; }
ol.stack { margin: 0; padding-left: 2em; }
ol.stack > li { margin: 0.3em 0; }
pre.source { background: #f6f6f6; margin: 0.2em 0; padding: 0.3em; overflow-x: auto; }
pre.source .hit { background: #ffe08a; font-weight: bold; display: inline-block; width: 100%; }
.where { font-family: monospace; }
.seen { color: #555; }
"""


class _Sources(object):
    def __init__(self):
        self.files = {}

    def lines(self, frame):
        path = frame.get("path") or frame.get("file")
        if not path or not frame.get("line"):
            return None
        if path not in self.files:
            try:
                with open(path, errors="replace") as f:
                    self.files[path] = f.read().splitlines()
            except OSError:
                self.files[path] = None
        text = self.files[path]
        if not text:
            return None
        line = frame["line"]
        first = max(1, line - SOURCE_CONTEXT)
        last = min(len(text), line + SOURCE_CONTEXT)
        return [(n, text[n - 1], n == line) for n in range(first, last + 1)]


def _frame_html(frame, sources):
    where = "%s:%d" % (frame["file"], frame["line"]) if frame.get("file") else "0x%x" % (frame.get("pc") or 0)
    if frame.get("file") and frame.get("column"):
        where += ":%d" % frame["column"]
    parts = ['<li><span class="function">%s</span> at <span class="where">%s</span>' % (
        html.escape(frame.get("function") or "??"), html.escape(where))]
    excerpt = sources.lines(frame)
    if excerpt:
        rows = []
        for number, text, hit in excerpt:
            row = "%5d  %s" % (number, html.escape(text))
            rows.append('<span class="hit">%s</span>' % row if hit else row)
        parts.append('<pre class="source">%s</pre>' % "\n".join(rows))
    parts.append("</li>")
    return "".join(parts)


def html_page(distinct, title="vexa reports"):
    sources = _Sources()
    items = entries(distinct)
    body = ["<h1>%s</h1>" % html.escape(title),
            "<p>%d distinct reports (%d data sharing, %d reentrant call).</p>" % (
                len(items), sum(1 for i in items if i["kind"] == "data sharing"),
                sum(1 for i in items if i["kind"] != "data sharing"))]
    for number, item in enumerate(items, 1):
        kind = "Data sharing" if item["kind"] == "data sharing" else "Reentrant call"
        body.append('<section class="report" id="report-%d">' % number)
        body.append("<h2>%d. %s at %s</h2>" % (number, kind, html.escape(item["summary"])))
        body.append('<p class="seen">Seen %d time%s.</p>' % (item["seen"], "" if item["seen"] == 1 else "s"))
        sides = item["accesses"]
        for i, side in enumerate(sides):
            body.append("<h3>%s</h3>" % html.escape(describe(side, previous=i > 0)))
            frames = _frames(side)
            if frames:
                body.append('<ol class="stack" start="0">%s</ol>' % "".join(_frame_html(f, sources)
                                                                          for f in frames))
        if item["kind"] == "data sharing" and sides[0].get("symbol"):
            body.append("<p>Location is global '%s'.</p>" % html.escape(sides[0]["symbol"]))
        body.append("</section>")
    return ('<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>%s</title>'
            "<style>%s</style></head><body>\n%s\n</body></html>\n" % (html.escape(title), _STYLE, "\n".join(body)))


def write_html(path, distinct, title="vexa reports"):
    with open(path, "w") as out:
        out.write(html_page(distinct, title))
