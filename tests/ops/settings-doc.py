#!/usr/bin/env python3
"""docs/settings.md against the configuration key table in the code: every key
of the table is documented, as a setting the daemon reads or as one it does
not; a documented configuration key exists, with the default the code gives
it; and a key the daemon's code names is documented as read."""
import pathlib, re, sys

root = pathlib.Path(__file__).resolve().parents[2]
table_src = (root / "src/SVN/KM/KMConfigKeys.cpp").read_text()
doc = (root / "docs/settings.md").read_text()

consts = {name: raw or plain for name, raw, plain in
          re.findall(r'constexpr const char\* (k\w+) =\s*(?:R"\((.*?)\)"|"(.*?)");', table_src, re.S)}
code = {}
for name, default in re.findall(r'\{"(\w+)", [SQ], ([^}]*?)\},?\n', table_src):
    default = default.strip()
    code[name] = default[1:-1] if default.startswith('"') else consts[default.split("::")[-1]]

rows = {m[0]: (m[1], m[2]) for m in re.findall(r"^\| `(\w+)` \| ([^|]*) \|[^|]*\| ([^|]*) \|", doc, re.M)}
unread_part = doc.split("## Keys the daemon does not read", 1)[1].split("\n## ", 1)[0]
unread = set(re.findall(r"`(\w+)`", unread_part))

read_in_code = set()
for path in (root / "src").rglob("*.[ch]*"):
    if path.name != "KMConfigKeys.cpp":
        read_in_code |= set(re.findall(r'L?"(\w+)"', path.read_text(errors="replace"))) & set(code)

problems = []
for name in code:
    if name not in rows and name not in unread:
        problems.append(f"configuration key {name} is not documented in docs/settings.md")
for name, (source, default) in rows.items():
    if "config" in source:
        if name not in code:
            problems.append(f"{name} is documented as a configuration key but is not in the key table")
        elif (default.strip("`") if default != "(empty)" else "") != code[name]:
            problems.append(f"{name}: documented default {default}, the code's is '{code[name]}'")
for name in unread:
    if name not in code:
        problems.append(f"{name} is listed as a key the daemon does not read, but is not in the key table")
for name in read_in_code:
    if name not in rows:
        problems.append(f"the daemon's code names {name}, which docs/settings.md does not list as read")

print("\n".join(problems) or f"docs/settings.md: {len(rows)} settings, {len(unread)} unread keys, {len(code)} keys in the table")
sys.exit(1 if problems else 0)
