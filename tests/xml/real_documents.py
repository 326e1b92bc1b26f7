#!/usr/bin/env python3
"""Compares `vireo-tool xml-dump` with Python's xml.etree on XML and SVG files
that Debian packages installed on this machine (files nobody here wrote).

For every document both must list the same elements in the same order, with
the same depth, name, text and attribute values. Where the two parsers are
meant to differ, the document is skipped or the value normalised:

- documents that xml.etree rejects (not well formed, undefined entities, ...)
  are skipped: xml-dump is tolerant and prints something for anything;
- documents that declare an encoding other than UTF-8/ASCII are skipped, as
  are UTF-16 ones: xml-dump decodes UTF-8 only (without --ansi);
- documents whose DOCTYPE carries an internal subset with ENTITY or ATTLIST
  declarations are skipped: an XML processor expands those entities and adds
  defaulted attributes, which the updater's document does not do;
- documents that bind one namespace URI to two prefixes are skipped, because
  names are compared as written (prefix:local) and etree reports {uri}local;
- attribute values: an XML processor replaces tab, CR and LF in attribute
  values by spaces; both sides are compared after that replacement;
- element text: xml-dump gives no text for an element with child elements
  and drops whitespace-only runs; an XML processor normalises CR LF to LF.
  The expected text follows those rules.

Usage: real_documents.py VIREO_TOOL [ROOT...]. At most 400 documents, evenly
spread (VIREO_XML_DOCUMENTS=N for another number, 0 for all). Exit 77 (skipped) when fewer
than 20 documents could be compared on this machine.
"""
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

DEFAULT_ROOTS = ["/usr/share/mime", "/usr/share/icons", "/usr/share/glib-2.0/schemas",
                 "/usr/share/polkit-1", "/usr/share/xml", "/usr/share/X11/xkb/rules",
                 "/usr/share/metainfo", "/usr/share/gdb", "/usr/share/dbus-1", "/usr/share/fontconfig",
                 "/usr/share/appdata", "/usr/share/gtk-doc", "/usr/share/themes", "/usr/share/wine"]
EXTENSIONS = (".xml", ".svg", ".xsl", ".xsd", ".policy", ".ui", ".rss", ".atom", ".gschema.xml")
XML_NS = "http://www.w3.org/XML/1998/namespace"


def escape(text):
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\r", "\\r").replace("\n", "\\n")


def unescape(text):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            out.append({"\\": "\\", "t": "\t", "r": "\r", "n": "\n"}.get(text[i + 1], text[i + 1]))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def attr_norm(value):
    return re.sub(r"\r\n|[\t\r\n]", " ", value)


def text_norm(value):
    value = value.replace("\r\n", "\n").replace("\r", "\n")
    return "" if value.strip(" \t\n") == "" else value


class Skip(Exception):
    pass


def expected_elements(path, raw):
    head = raw[:400]
    if head.startswith((b"\xff\xfe", b"\xfe\xff")):
        raise Skip("UTF-16")
    m = re.match(rb'\s*<\?xml[^>]*encoding\s*=\s*["\']([^"\']+)', raw.lstrip(b"\xef\xbb\xbf"))
    if m and m.group(1).lower() not in (b"utf-8", b"utf8", b"us-ascii", b"ascii"):
        raise Skip("encoding " + m.group(1).decode("ascii", "replace"))
    doctype = re.search(rb"<!DOCTYPE[^>\[]*\[(.*?)\]\s*>", raw, re.S)
    if doctype and re.search(rb"<!(ENTITY|ATTLIST)", doctype.group(1)):
        raise Skip("internal DTD subset with entities or attribute defaults")

    elements = []  # [depth, name, element, attrs(list of (qname, value))]
    scopes = [{XML_NS: "xml"}]
    pending = []
    depth = 0
    uri_prefixes = {}

    def qname(name):
        if name.startswith("{"):
            uri, local = name[1:].split("}", 1)
            prefix = None
            for scope in reversed(scopes):
                if uri in scope:
                    prefix = scope[uri]
                    break
            if prefix is None:
                raise Skip("namespace without prefix mapping")
            return prefix + ":" + local if prefix else local
        return name

    try:
        for event, item in ET.iterparse(path, events=("start", "end", "start-ns", "end-ns")):
            if event == "start-ns":
                prefix, uri = item
                uri_prefixes.setdefault(uri, set()).add(prefix)
                if len(uri_prefixes[uri]) > 1:
                    raise Skip("one namespace under two prefixes")
                pending.append((uri, prefix))
            elif event == "start":
                scope = dict(pending)
                pending = []
                scopes.append(scope)
                name = qname(item.tag)
                attrs = [(qname(k), v) for k, v in item.attrib.items()]
                elements.append([depth, name, item, attrs])
                depth += 1
            elif event == "end":
                depth -= 1
                scopes.pop()
    except ET.ParseError as e:
        raise Skip("not accepted by xml.etree: %s" % e)
    return elements


def compare(tool, path):
    with open(path, "rb") as f:
        raw = f.read()
    elements = expected_elements(path, raw)
    names = sorted({a for e in elements for a, _ in e[3]})
    cmd = [tool, "xml-dump"]
    for n in names:
        cmd += ["--attr", n]
    cmd.append(path)
    result = subprocess.run(cmd, capture_output=True, timeout=60)
    if result.returncode != 0:
        return ["exit status %d: %s" % (result.returncode, result.stderr.decode(errors="replace"))]
    lines = result.stdout.decode("utf-8").split("\n")
    problems = []
    if lines[0] != "well-formed: yes":
        problems.append("first line %r" % lines[0])
    got = [l for l in lines[1:] if l != ""]
    if len(got) != len(elements):
        problems.append("%d elements, xml.etree has %d" % (len(got), len(elements)))
    for line, (depth, name, element, attrs) in zip(got, elements):
        fields = line.split("\t")
        if len(fields) != 3 + len(names):
            problems.append("malformed line %r" % line)
            break
        text = "" if len(element) else text_norm(element.text or "")
        if fields[0] != str(depth) or fields[1] != name:
            problems.append("element %s/%s vs %s/%s" % (fields[0], fields[1], depth, name))
            break
        if text_norm(unescape(fields[2])) != text:
            problems.append("text of %s: %r vs %r" % (name, unescape(fields[2]), text))
        values = dict(attrs)
        for n, field in zip(names, fields[3:]):
            mine = attr_norm(unescape(field.split("=", 1)[1]))
            theirs = attr_norm(values.get(n, ""))
            if mine != theirs:
                problems.append("attribute %s of %s: %r vs %r" % (n, name, mine, theirs))
        if len(problems) > 5:
            break
    return problems


def main():
    tool = sys.argv[1]
    roots = sys.argv[2:] or DEFAULT_ROOTS
    files = []
    for root in roots:
        for dirpath, _, filenames in os.walk(root):
            if "pugixml" in dirpath:
                continue
            files += [os.path.join(dirpath, f) for f in filenames if f.endswith(EXTENSIONS)]
    files.sort()
    # An even spread of the documents, so that the suite's time does not grow
    # with what a machine has installed; VIREO_XML_DOCUMENTS=0 takes them all.
    limit = int(os.environ.get("VIREO_XML_DOCUMENTS", "400"))
    if limit > 0 and len(files) > limit:
        step = -(-len(files) // limit)
        files = files[::step]
    compared, skipped, failed = 0, {}, []
    for path in files:
        if os.path.islink(path) or not os.path.isfile(path):
            continue
        try:
            problems = compare(tool, path)
        except Skip as s:
            reason = str(s).split(":")[0]
            skipped[reason] = skipped.get(reason, 0) + 1
            continue
        compared += 1
        if problems:
            failed.append((path, problems))
    for reason, count in sorted(skipped.items()):
        print("skipped %d: %s" % (count, reason))
    for path, problems in failed:
        print("MISMATCH %s" % path)
        for p in problems[:6]:
            print("    " + p)
    print("%d documents compared, %d differ, %d skipped" % (compared, len(failed), sum(skipped.values())))
    if failed:
        return 1
    if compared < 20:
        print("too few documents on this machine")
        return 77
    return 0


if __name__ == "__main__":
    sys.exit(main())
