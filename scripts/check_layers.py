#!/usr/bin/env python3
"""Refuses an include that points up the layers: each folder of src/ (and
the reference server) may include only the folders below it. Prints every
offending line and exits with 1; prints one line and exits with 0 when all
is well. Run by the test command; `--root DIR` checks another tree."""
import argparse
import re
import sys
from pathlib import Path

# What each layer may use besides itself, everything it reaches through the
# layers below included.
BELOW = {
    "base": set(),
    "wire": {"base"},
    "platform": {"base"},
    "log": {"base", "platform"},
    "net": {"base", "platform", "log"},
    "inventory": {"base", "wire", "platform", "log"},
    "datasources": {"base", "wire", "platform", "log"},
    "session": {"base", "wire", "platform", "log", "net", "inventory", "datasources"},
    "apply": {"base", "wire", "platform", "log", "net", "inventory", "datasources", "session"},
    "app": {"base", "wire", "platform", "log", "net", "inventory", "datasources", "session", "apply"},
    "ui": {"base", "wire", "platform", "log", "net", "inventory", "datasources", "session", "apply"},
    # The composition root sees everything.
    "main.cpp": {"base", "wire", "platform", "log", "net", "inventory", "datasources", "session", "apply", "app", "ui"},
    # The reference server shares the codec, the checksum and the text rules.
    "server": {"base", "wire", "platform", "inventory"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of(path, root):
    relative = path.relative_to(root)
    if relative.parts[0] == "server":
        return "server"
    inner = relative.relative_to("src")
    return inner.parts[0] if len(inner.parts) > 1 else inner.name


def violations(root):
    root = Path(root)
    sources = [p for p in sorted((root / "src").rglob("*")) + sorted((root / "server").rglob("*"))
               if p.suffix in (".h", ".cpp")]
    for path in sources:
        layer = layer_of(path, root)
        allowed = BELOW.get(layer)
        if allowed is None:
            yield f"{path.relative_to(root)}: the folder {layer!r} is no known layer"
            continue
        for number, text in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            match = INCLUDE.match(text)
            if not match or "/" not in match.group(1):
                continue  # a header of the same folder, or a generated one
            target = match.group(1).split("/")[0]
            if target != layer and target not in allowed:
                yield f"{path.relative_to(root)}:{number}: {layer} may not include {match.group(1)}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=Path(__file__).resolve().parents[1])
    found = list(violations(parser.parse_args().root))
    for line in found:
        print(line)
    if found:
        print(f"layers: {len(found)} include(s) point where their layer may not look", file=sys.stderr)
        return 1
    print("layers: every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
