#!/usr/bin/env python3
"""Fails when a source folder includes a header of a folder at or above its
own layer (other than itself), or when code outside src/daemon includes a
daemon header. The order is the layering of the README, lowest first."""
import pathlib
import re
import sys

ORDER = ["base", "net", "sys", "log", "dns", "spf", "config", "milter", "policy", "daemon", "check"]
# The two programs stand side by side at the top: neither includes the other.
PEERS = {("daemon", "check"), ("check", "daemon")}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/', re.M)


def main() -> int:
    src = pathlib.Path(sys.argv[1])
    faults = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cc"):
            continue
        folder = path.relative_to(src).parts[0]
        if folder not in ORDER:
            faults.append(f"{path}: folder {folder} is not in the layering")
            continue
        for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if target == folder:
                continue
            if target not in ORDER:
                faults.append(f"{path}: includes {target}/, which is no source folder")
            elif ORDER.index(target) > ORDER.index(folder) or (folder, target) in PEERS:
                faults.append(f"{path}: {folder}/ includes {target}/, which stands above it")
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
