#!/usr/bin/env python3
"""Checks docs/messages.md against the job messages the plug-in's sources can send.

Found in the sources (plugin/**/*.cpp and *.h):
  - the format of every Jmsg(ctx, type, format, ...) and JobMessage(ctx, file, line, type, time,
    format, ...) call, with adjacent literals joined and the calls read across lines; a format
    that is only "%s" of a parameter takes the literals the function's callers pass there;
  - the texts of arrays named *_text or *_texts (texts that reach the job log through ERR=%s);
  - the literal call names given to JmsgWriterCallStatus.
Found in the guide:
  - every fenced ```text block is one message, shown as the job log shows it, with <...> in place
    of each format specifier; the first bold word after the block gives its type(s);
  - tables after <!-- check: reasons --> and <!-- check: calls --> hold the ERR= texts and the
    call names in their first column, as code.
A message without an entry, an entry that matches no message, and a type that differs fail.
"""

import argparse
import os
import re
import sys
import tempfile

SPEC = re.compile(r"%(?:%|[-+ #0']*(?:\*|\d+)?(?:\.(?:\*|\d+))?(?:hh|h|ll|l|L|z|j|t|I64|I32|I)?[diouxXeEfFgGaAcsSpn])")
HOLE = "\x00"
TYPES = {"JMSG_FATAL": "fatal", "JMSG_ERROR": "error", "JMSG_WARNING": "warning", "JMSG_INFO": "information"}
ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "'": "'", "?": "?", "a": "\a", "0": "\0"}


def tokens(text):
    """C++ tokens as (kind, value, line): kind is 'id', 'str', 'punct'; comments and
    preprocessor lines (with their continuations) are dropped."""
    out = []
    i, line, n = 0, 1, len(text)
    at_line_start = True
    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
            i += 1
            at_line_start = True
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if at_line_start and c == "#":
            while i < n and text[i] != "\n":
                if text[i] == "\\" and i + 1 < n and text[i + 1] == "\n":
                    line += 1
                    i += 1
                i += 1
            continue
        at_line_start = False
        if text.startswith("//", i):
            while i < n and text[i] != "\n":
                i += 1
            continue
        if text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            line += text.count("\n", i, end)
            i = end
            continue
        m = re.match(r'(?:u8|u|U|L)?"', text[i:i + 3])
        if m:
            start_line = line
            i += len(m.group(0))
            value = []
            while i < n and text[i] != '"':
                if text[i] == "\\":
                    e = text[i + 1]
                    if e == "x":
                        digits = re.match(r"[0-9a-fA-F]+", text[i + 2:]).group(0)
                        value.append(chr(int(digits, 16)))
                        i += 2 + len(digits)
                        continue
                    if e in "01234567":
                        digits = re.match(r"[0-7]{1,3}", text[i + 1:]).group(0)
                        value.append(chr(int(digits, 8)))
                        i += 1 + len(digits)
                        continue
                    if e == "\n":
                        line += 1
                    value.append(ESCAPES.get(e, e))
                    i += 2
                    continue
                value.append(text[i])
                i += 1
            i += 1
            out.append(("str", "".join(value), start_line))
            continue
        if c == "'":
            m = re.match(r"'(?:\\.|[^'\\])*'", text[i:])
            i += len(m.group(0)) if m else 1
            out.append(("punct", "'", line))
            continue
        m = re.match(r"[A-Za-z_]\w*", text[i:])
        if m:
            out.append(("id", m.group(0), line))
            i += len(m.group(0))
            continue
        m = re.match(r"\d[\w.']*", text[i:])
        if m:
            out.append(("num", m.group(0), line))
            i += len(m.group(0))
            continue
        out.append(("punct", c, line))
        i += 1
    return out


def call_arguments(toks, open_index):
    """The arguments of the call whose '(' is at open_index, each a list of tokens."""
    args, current, depth = [], [], 0
    for tok in toks[open_index + 1:]:
        v = tok[1] if tok[0] == "punct" else ""
        if v and v in "([{":
            depth += 1
        elif v and v in ")]}":
            if depth == 0:
                args.append(current)
                return args
            depth -= 1
        elif v == "," and depth == 0:
            args.append(current)
            current = []
            continue
        current.append(tok)
    return args


def literal_texts(arg):
    """The texts an argument can be: one joined run of literals, or each branch of a ?: whose
    branches are literals. None when the text is not written in the call."""
    if arg and all(t[0] == "str" for t in arg):
        return ["".join(t[1] for t in arg)]
    if any(t[0] == "punct" and t[1] == "?" for t in arg):
        runs, run = [], []
        for t in arg + [("punct", ";", 0)]:
            if t[0] == "str":
                run.append(t[1])
            elif run:
                runs.append("".join(run))
                run = []
        return runs or None
    return None


def joined_holes(text):
    # Holes joined by nothing or '-' (the pieces of a GUID) are one placeholder in the guide.
    return re.sub(HOLE + "(?:-?" + HOLE + ")+", HOLE, text)


def canonical(text):
    """The text with each format specifier as one hole and "%%" as "%", without final line ends."""
    return joined_holes(SPEC.sub(lambda m: "%" if m.group(0) == "%%" else HOLE, text)).rstrip("\n")


def matching(toks, open_index):
    """The index of the bracket closing the one at open_index."""
    depth = 0
    for j in range(open_index, len(toks)):
        if toks[j][0] == "punct" and toks[j][1] in "([{":
            depth += 1
        elif toks[j][0] == "punct" and toks[j][1] in ")]}":
            depth -= 1
            if depth == 0:
                return j
    return len(toks) - 1


def enclosing_parameter(toks, k, name):
    """(function name, parameter index) when `name` is a parameter of the function definition
    around token k; None otherwise."""
    for j in range(k - 1, 0, -1):
        if toks[j][1] != "(" or toks[j - 1][0] != "id":
            continue
        close = matching(toks, j)
        if close >= k:
            continue
        after = close + 1
        while after < len(toks) and toks[after][1] in ("const", "noexcept", "override"):
            after += 1
        if after >= k or toks[after][1] != "{" or matching(toks, after) < k:
            continue
        if toks[j - 1][1] in ("if", "for", "while", "switch", "catch"):
            continue
        for index, param in enumerate(call_arguments(toks, j)):
            if len(param) > 1 and param[-1][0] == "id" and param[-1][1] == name:
                return toks[j - 1][1], index
    return None


def passed_texts(files, function, index):
    """The literal texts given as argument `index` in the calls of `function`, with their places."""
    found = []
    for shown, toks in files:
        for k, tok in enumerate(toks):
            if tok[0] == "id" and tok[1] == function and k + 1 < len(toks) and toks[k + 1][1] == "(":
                args = call_arguments(toks, k + 1)
                texts = literal_texts(args[index]) if index < len(args) else None
                found += [(text, "%s:%d" % (shown, tok[2])) for text in texts or []]
    return found


def source_messages(root):
    """Returns (messages, tables, calls, problems). messages: canonical text -> list of
    (where, type or None); tables and calls: text -> where."""
    messages, tables, calls, problems = {}, {}, {}, []
    files = []
    for folder, _, names in os.walk(root):
        for name in sorted(names):
            if name.endswith((".cpp", ".h")):
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    files.append((os.path.relpath(path, os.path.dirname(root.rstrip("/"))), tokens(f.read())))
    for shown, toks in files:
        for k, tok in enumerate(toks):
            if tok[0] != "id" or k + 1 >= len(toks) or toks[k + 1][1] != "(":
                continue
            where = "%s:%d" % (shown, tok[2])
            if tok[1] in ("Jmsg", "JobMessage"):
                args = call_arguments(toks, k + 1)
                type_at, format_at = (1, 2) if tok[1] == "Jmsg" else (3, 5)
                if len(args) <= format_at:
                    continue  # a declaration, not a call
                type_arg = [t[1] for t in args[type_at]]
                kind = TYPES.get(type_arg[0]) if len(type_arg) == 1 else None
                texts = literal_texts(args[format_at])
                if texts is None:
                    problems.append("%s: the job message's text is not a literal, the guide cannot be checked" % where)
                    continue
                for text in texts:
                    if canonical(text) != HOLE:
                        messages.setdefault(canonical(text), []).append((where, kind))
                        continue
                    # The whole text comes from a parameter: the callers' literals are the messages.
                    value = args[format_at + 1] if len(args) > format_at + 1 else []
                    owner = enclosing_parameter(toks, k, value[0][1]) if len(value) == 1 and value[0][0] == "id" else None
                    passed = passed_texts(files, *owner) if owner else []
                    if not passed:
                        problems.append("%s: the job message's text is not written at its call or its callers'" % where)
                    for given, place in passed:
                        messages.setdefault(canonical(SPEC.sub(given, text, count=1)), []).append((place, kind))
            elif tok[1] == "JmsgWriterCallStatus":
                args = call_arguments(toks, k + 1)
                texts = literal_texts(args[2]) if len(args) == 3 else None
                for text in texts or []:
                    calls.setdefault(text, where)
        # Arrays of texts: name[...] = "..." or name[...] = { ... };
        for k, tok in enumerate(toks):
            if tok[0] != "id" or not re.search(r"_texts?$", tok[1]) or k + 1 >= len(toks) or toks[k + 1][1] != "[":
                continue
            j = k + 1
            while j < len(toks) and toks[j][1] != "]":
                j += 1
            if j + 1 >= len(toks) or toks[j + 1][1] != "=":
                continue
            depth = 0
            for t in toks[j + 2:]:
                if t[0] == "punct" and t[1] in "({[":
                    depth += 1
                elif t[0] == "punct" and t[1] in ")}]":
                    depth -= 1
                elif t[0] == "punct" and t[1] == ";" and depth <= 0:
                    break
                elif t[0] == "str":
                    tables.setdefault(t[1], "%s:%d" % (shown, t[2]))
    return messages, tables, calls, problems


def guide_entries(text):
    """Returns (messages, reasons, calls): messages: canonical text -> (line, set of types,
    awaited): an awaited entry, between <!-- check: awaiting merge --> and <!-- check: end -->,
    belongs to a branch not merged yet and is not stale while its text is missing."""
    messages, reasons, calls = {}, {}, {}
    lines = text.split("\n")
    i = 0
    table = None
    awaiting = False
    while i < len(lines):
        line = lines[i]
        if line.strip() in ("<!-- check: awaiting merge -->", "<!-- check: end -->"):
            awaiting = line.strip() == "<!-- check: awaiting merge -->"
        marker = re.match(r"<!-- check: (reasons|calls) -->", line.strip())
        if marker:
            table = reasons if marker.group(1) == "reasons" else calls
            i += 1
            continue
        if table is not None:
            if line.startswith("|"):
                first_cell = line.split("|")[1]
                for name in re.findall(r"`([^`]+)`", first_cell):
                    table[name] = i + 1
                i += 1
                continue
            if line.strip() and not line.startswith("|"):
                table = None
        if line.strip() == "```text":
            start = i + 1
            body = []
            i += 1
            while i < len(lines) and lines[i].strip() != "```":
                body.append(lines[i])
                i += 1
            kinds = set()
            for follow in lines[i + 1:i + 4]:
                m = re.match(r"\*\*([A-Za-z ,]+)[.:]\*\*", follow.strip())
                if m:
                    kinds = {w for w in re.split(r",|\bor\b|\band\b|\s+", m.group(1).lower()) if w}
                    break
            shown = "\n".join(body)
            messages[joined_holes(re.sub(r"<[a-z0-9][a-z0-9 _-]*>", HOLE, shown)).rstrip("\n")] = (start, kinds, awaiting)
        i += 1
    return messages, reasons, calls


def readable(text):
    return text.replace(HOLE, "<...>").replace("\n", "\\n")


def check(sources, guide_path):
    """The list of findings; empty when the guide and the sources agree."""
    with open(guide_path, encoding="utf-8") as f:
        guide = f.read()
    found, tables, calls, problems = source_messages(sources)
    documented, reasons, documented_calls = guide_entries(guide)
    findings = list(problems)
    for text, places in sorted(found.items()):
        if text not in documented:
            findings.append("missing: %s [%s] %s" % (places[0][0], places[0][1] or "?", readable(text)))
            continue
        line, kinds, _ = documented[text]
        stated = {k for _, k in places if k}
        if stated and stated != kinds:
            findings.append("type: guide line %d gives %s, %s sends %s: %s" % (
                line, "/".join(sorted(kinds)) or "none", places[0][0], "/".join(sorted(stated)), readable(text)))
    for text, (line, _, awaited) in sorted(documented.items(), key=lambda e: e[1][0]):
        if text not in found and not awaited:
            findings.append("stale: guide line %d %s" % (line, readable(text)))
        elif text in found and awaited:
            print("note: guide line %d is merged now, its awaiting mark can go: %s" % (line, readable(text)))
    for text, where in sorted(tables.items()):
        if text not in reasons:
            findings.append("missing reason: %s %s" % (where, text))
    source_literals = set(tables) | {s for s in re.findall(r'"((?:[^"\\\n]|\\.)*)"', all_sources(sources))}
    for text, line in sorted(reasons.items(), key=lambda e: e[1]):
        if text not in tables:
            findings.append("stale reason: guide line %d %s" % (line, text))
    for text, where in sorted(calls.items()):
        if text not in documented_calls:
            findings.append("missing call: %s %s" % (where, text))
    for text, line in sorted(documented_calls.items(), key=lambda e: e[1]):
        if text not in source_literals:
            findings.append("stale call: guide line %d %s" % (line, text))
    return findings


def all_sources(root):
    parts = []
    for folder, _, files in os.walk(root):
        for name in files:
            if name.endswith((".cpp", ".h")):
                with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as f:
                    parts.append(f.read())
    return "\n".join(parts)


SAMPLE_SOURCE = r'''
#define Jmsg(ctx, type, ...) hfuncs->JobMessage((ctx), __FILE__, __LINE__, (type), 0, __VA_ARGS__)
const char* const sample_texts[] = {"First reason.", nullptr, "Second reason."};
void f(int level) {
  Jmsg(ctx, JMSG_ERROR, "Kept %s\n", name);  // "Not a message\n"
  Jmsg(ctx, JMSG_WARNING,
       "Joined across "
       "lines: %d of %ls (100%%)\n", a, b);
  hfuncs->JobMessage(ctx, __FILE__, __LINE__, JMSG_FATAL, 0, "Direct %08x\n", hr);
  Jmsg(ctx, level > 1 ? JMSG_FATAL : JMSG_INFO, level ? "One\n" : "Other\n");
  JmsgWriterCallStatus(ctx, hr, "SampleCall");
}
void report(hpContext* ctx, const char* what) { if (ctx) { Jmsg(ctx, JMSG_FATAL, "%s\n", what); } }
void g() { report(ctx, "Passed through a helper"); }
'''

SAMPLE_GUIDE = '''
```text
Kept <name>
```
**Error.** Documented.

```text
Joined across lines: <count> of <file> (100%)
```
**Fatal.** The wrong type.

```text
One
```
**Warning or fatal.** A type the source does not name is not checked.

```text
Gone from the sources
```
**Information.** Stale.

<!-- check: reasons -->
| Reason | Meaning |
|---|---|
| `First reason.` | documented |
| `Old reason.` | stale |

<!-- check: calls -->
| Call | When |
|---|---|
| `OldCall` | stale |

<!-- check: awaiting merge -->
```text
From a branch not merged yet
```
**Error.** Not stale while awaited.
<!-- check: end -->
'''

SAMPLE_FINDINGS = [
    "missing: plugin/sample.cpp:9 [fatal] Direct <...>",
    "type: guide line 7 gives fatal, plugin/sample.cpp:6 sends warning: Joined across lines: <...> of <...> (100%)",
    "missing: plugin/sample.cpp:10 [?] Other",
    "missing: plugin/sample.cpp:14 [fatal] Passed through a helper",
    "stale: guide line 17 Gone from the sources",
    "missing reason: plugin/sample.cpp:3 Second reason.",
    "stale reason: guide line 26 Old reason.",
    "missing call: plugin/sample.cpp:11 SampleCall",
    "stale call: guide line 31 OldCall",
]


def self_check():
    """Runs the check on a sample that lacks entries and holds stale ones: the findings must be
    exactly the expected ones, so a message added without an entry cannot pass unseen."""
    with tempfile.TemporaryDirectory() as folder:
        plugin = os.path.join(folder, "plugin")
        os.mkdir(plugin)
        with open(os.path.join(plugin, "sample.cpp"), "w") as f:
            f.write(SAMPLE_SOURCE)
        guide = os.path.join(folder, "messages.md")
        with open(guide, "w") as f:
            f.write(SAMPLE_GUIDE)
        findings = check(plugin, guide)
    if findings != SAMPLE_FINDINGS:
        print("self-check failed; findings:\n  " + "\n  ".join(findings))
        return 1
    print("self-check passed: %d findings as expected" % len(findings))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sources", help="the plug-in's source folder (plugin/)")
    parser.add_argument("--guide", help="docs/messages.md")
    parser.add_argument("--self-check", action="store_true", help="check the checker on a sample")
    args = parser.parse_args()
    if args.self_check:
        return self_check()
    findings = check(args.sources, args.guide)
    if findings:
        print("docs/messages.md does not match the plug-in's job messages (%d findings):" % len(findings))
        for finding in findings:
            print("  " + finding)
        return 1
    found, tables, calls, _ = source_messages(args.sources)
    print("guide matches: %d message texts, %d reasons, %d call names" % (len(found), len(tables), len(calls)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
