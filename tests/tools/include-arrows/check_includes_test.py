#!/usr/bin/env python3
"""Rows for the include check: its arrows one by one, and whole sample trees."""

import contextlib
import io
import pathlib
import sys
import unittest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[2] / "tools" / "include-arrows"))

import check_includes  # noqa: E402

SAMPLES = HERE / "samples"


def run(root):
    out = io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(io.StringIO()):
        status = check_includes.main(["--root", str(root)])
    return status, out.getvalue().splitlines()


class ArrowTest(unittest.TestCase):
    def test_each_arrow(self):
        # (including file, included file, words of the reason, or None where allowed)
        rows = [
            ("halyard/encoding/a.cpp", "halyard/core/request.h", None),
            ("halyard/policies/a.h", "halyard/core/request.h", None),
            ("halyard/core/a.h", "halyard/policies/event_monitor.h", "halyard/core may not"),
            ("halyard/core/a.h", "halyard/encoding/url_encoding.h", "halyard/core may not"),
            ("halyard/encoding/a.h", "halyard/policies/a.h", "halyard/encoding may not"),
            ("halyard/policies/a.h", "halyard/encoding/a.h", "halyard/policies may not"),
            ("halyard/core/a.h", "platform/net/url.h", None),
            ("halyard/core/a.h", "platform/display/d.h", "halyard/core may not"),
            ("platform/foundation/a.h", "platform/dispatch/dispatch_queue.h", "foundation may"),
            ("platform/dispatch/a.cpp", "platform/foundation/log.h", None),
            ("platform/foundation/a.h", "halyard/core/request.h", "foundation may not"),
            ("platform/net/a.h", "streaming/s.h", "platform/net may not"),
            ("streaming/a.cpp", "platform/display/d.h", None),
            ("streaming/a.cpp", "halyard/core/session.h", "streaming may not"),
            ("imagecache/a.cpp", "halyard/policies/p.h", None),
            ("almanac/periods/a.h", "almanac/region.h", None),
            ("almanac/a.h", "almanac/periods/p.h", "almanac may not"),
            ("widgets/carousel/a.h", "widgets/w.h", None),
            ("widgets/w.h", "widgets/carousel/a.h", "widgets may not"),
            ("app/a.cpp", "streaming/s.h", None),
            ("halyard/core/a.h", "app/a.h", "halyard/core may not"),
            ("platform/display/x11/a.cpp", "platform/display/d.h", None),
            ("platform/display/x11/a.cpp", "platform/display/x11/b.h", None),
            ("platform/display/xvfb/a.cpp", "platform/display/x11/b.h", "xvfb may not include"),
            ("platform/display/gnome/a.h", "platform/display/wlroots/b.h", "gnome may not"),
        ]
        for source, target, reason in rows:
            with self.subTest(source=source, target=target):
                verdict = check_includes.crossing(source, target)
                if reason is None:
                    self.assertIsNone(verdict)
                else:
                    self.assertIsNotNone(verdict)
                    self.assertIn(reason, verdict)

    def test_generic_display_files_may_not_reach_a_backend(self):
        for backend in ["x11", "xvfb", "wlroots", "gnome"]:
            with self.subTest(backend=backend):
                verdict = check_includes.crossing(
                    "platform/display/display_registry.cpp", f"platform/display/{backend}/b.h"
                )
                self.assertIsNotNone(verdict)
                self.assertIn(f"platform/display/{backend}", verdict)
                # The one file that chooses a backend may name them all.
                self.assertIsNone(
                    check_includes.crossing(
                        "platform/display/display_backends.cpp", f"platform/display/{backend}/b.h"
                    )
                )


class SampleTreeTest(unittest.TestCase):
    def test_crossing_tree_fails_naming_file_and_line(self):
        status, failures = run(SAMPLES / "crossing")
        self.assertEqual(status, 1)
        self.assertEqual(
            [line.split(": ", 1)[0] for line in failures],
            [
                "src/halyard/core/request.h:3",
                "src/halyard/policies/retry_policy.h:4",
                "src/platform/display/capture_stream.cpp:2",
                "src/platform/display/display_registry.cpp:2",
                "src/platform/foundation/error.h:5",
            ],
        )
        self.assertIn('includes "halyard/policies/retry_policy.h"', failures[0])
        self.assertIn("not rooted at src/", failures[1])
        self.assertIn("not through platform/display/x11", failures[2])
        self.assertIn("not through platform/display/x11", failures[3])
        self.assertIn('includes "platform/dispatch/queue.h"', failures[4])

    def test_clean_tree_passes(self):
        # Its one include outside src/ (a generated header) is not checked.
        self.assertEqual(run(SAMPLES / "clean"), (0, []))

    def test_missing_tree_is_bad_use(self):
        self.assertEqual(run(SAMPLES / "no-such-tree")[0], 2)


if __name__ == "__main__":
    unittest.main()
