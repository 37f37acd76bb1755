#!/usr/bin/env python3
"""Reads a report page with Python's HTML parser and fails on anything a
strict reader would object to: bytes that are not UTF-8, a missing doctype,
tags that do not nest or close, unknown entities, duplicate attributes, and
'<', '>' or '&' left unescaped in text. Usage: check-report-html.py FILE..."""
import html.entities
import sys
from html.parser import HTMLParser

VOID = {"meta", "br", "hr", "img", "input", "link"}
RAW_TEXT = {"style", "script"}


class StrictChecker(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=False)
        self.stack = []
        self.errors = []
        self.seen_doctype = False
        self.seen_anything = False

    def error_at(self, message):
        line, col = self.getpos()
        self.errors.append(f"{line}:{col}: {message}")

    def handle_decl(self, decl):
        if self.seen_anything or decl.lower() != "doctype html":
            self.error_at(f"unexpected declaration <!{decl}>")
        self.seen_doctype = True
        self.seen_anything = True

    def handle_starttag(self, tag, attrs):
        if not self.seen_anything:
            self.error_at("no doctype before the first tag")
        self.seen_anything = True
        names = [name for name, _ in attrs]
        if len(names) != len(set(names)):
            self.error_at(f"duplicate attribute in <{tag}>")
        if tag not in VOID:
            self.stack.append(tag)

    def handle_startendtag(self, tag, attrs):
        if tag not in VOID:
            self.error_at(f"self-closing non-void <{tag}/>")
        self.handle_starttag(tag, attrs)

    def handle_endtag(self, tag):
        if not self.stack or self.stack[-1] != tag:
            self.error_at(f"</{tag}> closes {self.stack[-1] if self.stack else 'nothing'}")
            return
        self.stack.pop()

    def handle_data(self, data):
        if self.stack and self.stack[-1] in RAW_TEXT:
            return
        for ch in "<>&":
            if ch in data:
                self.error_at(f"unescaped {ch!r} in text")

    def handle_entityref(self, name):
        if name + ";" not in html.entities.html5:
            self.error_at(f"unknown entity &{name};")

    def handle_charref(self, name):
        try:
            int(name[1:], 16) if name[:1] in "xX" else int(name)
        except ValueError:
            self.error_at(f"bad character reference &#{name};")

    def unknown_decl(self, data):
        self.error_at(f"unknown declaration {data!r}")


def check(path):
    raw = open(path, "rb").read()
    try:
        text = raw.decode("utf-8", errors="strict")
    except UnicodeDecodeError as e:
        return [f"not UTF-8: {e}"]
    problems = []
    if raw.startswith(b"\xef\xbb\xbf"):
        problems.append("starts with a byte-order mark")
    if b"\r" in raw:
        problems.append("holds a carriage return")
    parser = StrictChecker()
    parser.feed(text)
    parser.close()
    problems += parser.errors
    if not parser.seen_doctype:
        problems.append("no doctype")
    if parser.stack:
        problems.append("unclosed at end: " + " ".join(parser.stack))
    return problems


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    failed = False
    for path in sys.argv[1:]:
        problems = check(path)
        for p in problems:
            print(f"{path}: {p}")
        if problems:
            failed = True
        else:
            print(f"{path}: well-formed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
