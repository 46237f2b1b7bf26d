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
code = {name: default[1:-1] if default.startswith('"') else consts[default.split("::")[-1]]
        for name, default in re.findall(r'\{"(\w+)", [SQ], ([^}]*?)\},?\n', table_src)}
rows = dict((name, (source, default)) for name, source, default in
            re.findall(r"^\| `(\w+)` \| ([^|]*) \|[^|]*\| ([^|]*) \|", doc, re.M))
unread = set(re.findall(r"`(\w+)`", doc.split("## Keys the daemon does not read")[1].split("\n## ")[0]))
named_in_code = {name for path in (root / "src").rglob("*.[ch]*") if path.name != "KMConfigKeys.cpp"
                 for name in re.findall(r'L?"(\w+)"', path.read_text(errors="replace")) if name in code}

problems = [f"configuration key {n} is not documented" for n in code if n not in rows and n not in unread]
for name, (source, default) in rows.items():
    if "config" in source and name not in code:
        problems.append(f"{name} is documented as a configuration key but is not in the key table")
    elif "config" in source and ("" if default == "(empty)" else default.strip("`")) != code[name]:
        problems.append(f"{name}: documented default {default}, the code's is '{code[name]}'")
problems += [f"{n} is listed as not read, but is not in the key table" for n in unread if n not in code]
problems += [f"the daemon's code names {n}, which is not documented as read" for n in named_in_code if n not in rows]

print("\n".join(problems) or f"docs/settings.md: {len(rows)} settings, {len(unread)} unread keys, {len(code)} keys in the table")
sys.exit(1 if problems else 0)
