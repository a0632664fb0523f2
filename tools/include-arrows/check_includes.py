#!/usr/bin/env python3
"""Checks that every quoted include below src/ follows the layers' dependency arrows.

Every library exports src/ as its include folder, so the compiler lets any file include any
header; a header-only file included across a forbidden arrow would never fail a link. This
reads the includes as text instead and names each one the table below does not allow.

Usage: check_includes.py [--root DIR]   (DIR holds src/; the repository by default)
Exit status: 0 when every include is allowed, 1 when one is not, 2 on bad use.
"""

import argparse
import pathlib
import re
import sys

# ---- The arrows ------------------------------------------------------------------------------
# A layer is a folder below src/; a file belongs to the longest layer its path starts with.
# Each layer may include itself and the layers listed for it, nothing else. Includes are
# rooted at src/; one that names no file there (a generated header, say) is not checked.

PLATFORM_GROUND = ["platform/foundation"]
PLATFORM_CORE = PLATFORM_GROUND + ["platform/dispatch"]
PLATFORM_HTTP = PLATFORM_CORE + [
    "platform/concurrency",
    "platform/reactive",
    "platform/coding",
    "platform/net",
    "platform/security",
    "platform/time",
]
HALYARD = ["halyard/core", "halyard/encoding", "halyard/policies"]

ARROWS = {
    # The platform's ground is one-way: foundation stands on nothing of the platform, dispatch
    # on foundation, and the rest on both.
    "platform/foundation": [],
    "platform/dispatch": PLATFORM_GROUND,
    "platform/concurrency": PLATFORM_CORE,
    "platform/reactive": PLATFORM_CORE + ["platform/concurrency"],
    "platform/coding": PLATFORM_CORE,
    "platform/security": PLATFORM_CORE + ["platform/coding"],
    "platform/net": PLATFORM_CORE + ["platform/coding", "platform/security"],
    "platform/time": PLATFORM_CORE + ["platform/coding"],
    "platform/graphics": PLATFORM_CORE,
    "platform/display": PLATFORM_CORE + ["platform/graphics"],
    "platform/tether": PLATFORM_CORE + ["platform/coding"],
    # The HTTP client: encoding and policies stand on core, core on neither, and the two
    # siblings do not include each other.
    "halyard/core": PLATFORM_HTTP,
    "halyard/encoding": PLATFORM_HTTP + ["halyard/core"],
    "halyard/policies": PLATFORM_HTTP + ["halyard/core"],
    "imagecache": PLATFORM_HTTP + HALYARD + ["platform/graphics"],
    "almanac": PLATFORM_CORE + ["platform/coding", "platform/time"],
    "almanac/periods": PLATFORM_CORE + ["platform/coding", "platform/time", "almanac"],
    "streaming": PLATFORM_CORE
    + ["platform/coding", "platform/graphics", "platform/display", "platform/tether"],
    # The widgets' shared pieces sit in widgets/ itself; each kind of widget stands on them.
    "widgets": PLATFORM_CORE,
    "widgets/activity-indicators": PLATFORM_CORE + ["widgets"],
    "widgets/carousel": PLATFORM_CORE + ["widgets"],
    "widgets/login-item": PLATFORM_CORE + ["widgets"],
    "app": None,  # the application is the top: it may include every layer
}

# Finer rules inside a layer: files directly in FOLDER (not in its subfolders) must not include
# anything below the folders named, except the one file that chooses among them.
INNER_RULES = [
    {
        "folder": "platform/display",
        "forbidden": [
            "platform/display/x11",
            "platform/display/xvfb",
            "platform/display/wlroots",
            "platform/display/gnome",
        ],
        "why": "the generic display files reach each backend through its interface",
        "chooser": "platform/display/display_backends.cpp",
    },
]

# Folders standing side by side inside a layer: a file in one of them includes none of the others.
SIBLING_RULES = [
    {
        "folders": [
            "platform/display/x11",
            "platform/display/xvfb",
            "platform/display/wlroots",
            "platform/display/gnome",
        ],
        "why": "one display backend does not reach into another",
    },
]

# ---- The check -------------------------------------------------------------------------------

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc", ".c"}


def within(path, folder):
    return path == folder or path.startswith(folder + "/")


def layer_of(path):
    """The longest layer `path` (relative to src/) lies in, or None."""
    best = None
    for layer in ARROWS:
        if within(path, layer) and (best is None or len(layer) > len(best)):
            best = layer
    return best


def crossing(source, target):
    """Why including `target` from `source` (both relative to src/) is not allowed, or None."""
    from_layer, to_layer = layer_of(source), layer_of(target)
    if from_layer is not None and to_layer is not None and from_layer != to_layer:
        allowed = ARROWS[from_layer]
        if allowed is not None and to_layer not in allowed:
            return f"{from_layer} may not include {to_layer}"
    for rule in INNER_RULES:
        if str(pathlib.PurePosixPath(source).parent) != rule["folder"] or source == rule["chooser"]:
            continue
        for folder in rule["forbidden"]:
            if within(target, folder):
                return f"{rule['folder']}: {rule['why']}, not through {folder}"
    for rule in SIBLING_RULES:
        home = next((f for f in rule["folders"] if within(source, f)), None)
        other = next((f for f in rule["folders"] if within(target, f)), None)
        if home is not None and other is not None and home != other:
            return f"{home} may not include {other}: {rule['why']}"
    return None


def includes_of(file):
    """(line number, included path) of each quoted include in `file`."""
    with open(file, encoding="utf-8", errors="replace") as text:
        for number, line in enumerate(text, 1):
            match = INCLUDE.match(line)
            if match:
                yield number, match.group(1)


def check(root):
    """Failures: lines "src/a.h:3: includes "b.h": reason"."""
    src = pathlib.Path(root) / "src"
    if not src.is_dir():
        raise FileNotFoundError(f"no src/ folder below {root}")
    failures = []
    for file in sorted(src.rglob("*")):
        if file.suffix not in SOURCE_SUFFIXES or not file.is_file():
            continue
        source = file.relative_to(src).as_posix()
        for number, target in includes_of(file):
            if not (src / target).is_file():
                # A path beside the file would pass unseen by the arrows: includes are rooted
                # at src/. What is neither is outside src/ (a generated or a system header).
                if (file.parent / target).is_file():
                    failures.append(f'src/{source}:{number}: includes "{target}": '
                                    "not rooted at src/")
                continue
            reason = crossing(source, target)
            if reason is not None:
                failures.append(f'src/{source}:{number}: includes "{target}": {reason}')
    return failures


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    default_root = pathlib.Path(__file__).resolve().parents[2]
    parser.add_argument("--root", default=default_root, help="the folder that holds src/")
    arguments = parser.parse_args(argv)
    try:
        failures = check(arguments.root)
    except FileNotFoundError as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    for line in failures:
        print(line)
    if failures:
        print(f"{len(failures)} include(s) against the layers' arrows", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
