#!/usr/bin/env python3
"""Runs the examples of docs/extensions.md so that the document cannot drift from the code.

Usage: docs_examples_test.py --host PLEXORE_HOST --cc CC --include DIR --doc EXTENSIONS_MD

- Every fenced block opened with "```jsonl scenario" is played with `plexore-host run
  --scenario` on a fresh data root (the built-in extensions), and the "```jsonl output" block
  that follows it is compared: for every receiver the output block names ("to"), the lines that
  receiver printed must be exactly the block's lines, in order. Lines of receivers the block
  does not name are not compared; ROOT in the block stands for the data root.
- The one "```c sdk-example" block is compiled as a shared library with CC against DIR alone,
  with warnings as errors, and must export the three entry points.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

FENCE = re.compile(r"^```([a-z]+) ([a-z-]+)\n(.*?)^```$", re.MULTILINE | re.DOTALL)
ENTRY_POINTS = ("plexore_extension_load", "plexore_extension_message", "plexore_extension_unload")
ARGS = None


def tagged_blocks(text):
    """(language, tag, body) of every fenced block whose opening line carries a tag."""
    return [(m.group(1), m.group(2), m.group(3)) for m in FENCE.finditer(text)]


def receiver(line):
    """The "to" of one output line (a JSON object)."""
    return json.loads(line)["to"]


def by_receiver(lines):
    grouped = {}
    for line in lines:
        grouped.setdefault(receiver(line), []).append(line)
    return grouped


def compared(name, printed, shown):
    """The lines of receiver `name` that a block showing `shown` is compared with: all of them,
    or for "ui" those whose call the block shows."""
    if name != "ui":
        return printed
    calls = {json.loads(line)["call"] for line in shown}
    return [line for line in printed if json.loads(line)["call"] in calls]


def play(scenario):
    """Standard output of `plexore-host run --scenario` on a fresh data root, ROOT for its path."""
    with tempfile.TemporaryDirectory() as work:
        root = os.path.join(work, "appdata")
        path = os.path.join(work, "doc.jsonl")
        with open(path, "w", encoding="utf-8") as out:
            out.write(scenario)
        env = dict(os.environ, HALCY_APPDATA=root, HALCY_REGISTRY=os.path.join(work, "reg.reg"))
        command = [os.path.abspath(ARGS.host), "run", "--data-root", root, "--scenario", path]
        run = subprocess.run(command, cwd=work, env=env, capture_output=True, text=True,
                             timeout=150)
        if run.returncode != 0:
            raise AssertionError("exit %d\n%s%s" % (run.returncode, run.stdout, run.stderr))
        return run.stdout.replace(root, "ROOT")


class DocumentExamplesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(ARGS.doc, encoding="utf-8") as doc:
            cls.blocks = tagged_blocks(doc.read())

    def test_every_scenario_prints_what_the_document_shows(self):
        pairs = 0
        for i, (language, tag, body) in enumerate(self.blocks):
            if tag != "scenario":
                continue
            self.assertEqual("jsonl", language)
            self.assertLess(i + 1, len(self.blocks), "a scenario block without its output block")
            self.assertEqual(("jsonl", "output"), self.blocks[i + 1][:2])
            shown = [line for line in self.blocks[i + 1][2].splitlines() if line.strip()]
            self.assertTrue(shown, "an empty output block")
            printed = by_receiver(play(body).splitlines())
            for name, lines in by_receiver(shown).items():
                with self.subTest(block=pairs, receiver=name):
                    self.assertEqual(lines, compared(name, printed.get(name, []), lines))
            pairs += 1
        self.assertGreaterEqual(pairs, 2)

    def test_sdk_example_builds_as_a_library_exporting_the_entry_points(self):
        examples = [body for language, tag, body in self.blocks if tag == "sdk-example"]
        self.assertEqual(1, len(examples))
        self.assertIn("plexore/native_extension.h", examples[0])
        with tempfile.TemporaryDirectory() as work:
            source = os.path.join(work, "example.c")
            library = os.path.join(work, "example.so")
            with open(source, "w", encoding="utf-8") as out:
                out.write(examples[0])
            build = subprocess.run([ARGS.cc, "-shared", "-fPIC", "-std=c11", "-Wall", "-Wextra",
                                    "-Werror", "-fvisibility=hidden", "-I", ARGS.include, "-o",
                                    library, source], capture_output=True, text=True)
            self.assertEqual(0, build.returncode, build.stdout + build.stderr)
            symbols = subprocess.run(["nm", "-D", "--defined-only", library],
                                     capture_output=True, text=True, check=True).stdout
            exported = {line.split()[-1] for line in symbols.splitlines() if line.strip()}
            for name in ENTRY_POINTS:
                self.assertIn(name, exported)


class ComparisonTest(unittest.TestCase):
    def test_ui_lines_are_compared_by_the_calls_shown_and_others_in_full(self):
        printed = ['{"to":"ui","call":"AddPoint","args":["a"]}',
                   '{"to":"ui","call":"Show","args":[1]}', '{"to":"ui","call":"Show","args":[2]}']
        shown = ['{"to":"ui","call":"Show","args":[1]}']
        self.assertEqual(printed[1:], compared("ui", printed, shown))
        self.assertEqual(printed, compared("fe", printed, printed[:1]))


class BlockExtractionTest(unittest.TestCase):
    def test_only_tagged_fences_count_and_each_keeps_its_body(self):
        text = ("```\nplain\n```\n```c sdk-example\nint x;\n```\n"
                "```jsonl scenario\n{\"op\":\"wait\"}\n```\n")
        self.assertEqual([("c", "sdk-example", "int x;\n"),
                          ("jsonl", "scenario", "{\"op\":\"wait\"}\n")], tagged_blocks(text))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for flag in ("--host", "--cc", "--include", "--doc"):
        parser.add_argument(flag, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
