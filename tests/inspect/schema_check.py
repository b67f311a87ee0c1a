#!/usr/bin/env python3
"""The inspector's JSON against its schemas in docs/schema: the expected
output of every golden case that prints JSON, and every command run with
--json on the sample set. Exits 77 (skipped) without python3-jsonschema."""
import argparse
import json
import os
import subprocess
import sys
import tempfile

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed: the JSON is not checked")
    sys.exit(77)

COMMANDS = ["info", "pairs", "entries", "page", "map", "advise", "survey", "report"]


def command_of(args):
    for a in args:
        if a in COMMANDS:
            return a
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--schemas", required=True)
    ap.add_argument("--cases", required=True)
    ap.add_argument("--tool", required=True)
    ap.add_argument("--sample", required=True)
    o = ap.parse_args()

    validators = {}
    for c in COMMANDS:
        with open(os.path.join(o.schemas, c + ".schema.json")) as f:
            schema = json.load(f)
        jsonschema.Draft202012Validator.check_schema(schema)
        validators[c] = jsonschema.Draft202012Validator(schema)

    failures = 0
    checked = {c: 0 for c in COMMANDS}

    def validate(what, command, text):
        nonlocal failures
        try:
            doc = json.loads(text)
        except ValueError as e:
            print("FAIL %s: not JSON: %s" % (what, e))
            failures += 1
            return
        errors = sorted(validators[command].iter_errors(doc), key=lambda e: list(e.path))
        for e in errors[:5]:
            print("FAIL %s: %s at /%s" % (what, e.message, "/".join(map(str, e.path))))
        failures += 1 if errors else 0
        checked[command] += 1

    # The golden cases whose output is JSON.
    for name in sorted(os.listdir(o.cases)):
        case = os.path.join(o.cases, name)
        try:
            with open(os.path.join(case, "args")) as f:
                args = f.read().split("\n")
            with open(os.path.join(case, "expect.stdout")) as f:
                out = f.read()
        except OSError:
            continue
        command = command_of(args)
        json_out = "--json" in args or ("--format" in args and
                                         args[args.index("--format") + 1] == "json")
        if command and json_out and out.strip():
            validate("golden case " + name, command, out)

    # Every command on the sample set.
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([o.sample, tmp], check=True, stdout=subprocess.DEVNULL)
        main_file = os.path.join(tmp, "ORDERS.DAT")
        runs = [
            ["info", main_file], ["pairs", main_file], ["entries", main_file],
            ["entries", main_file, "--problems", "--pair", "2"], ["page", main_file, "0"],
            ["page", main_file, "10"], ["page", main_file, "261"],
            ["map", main_file, "-o", os.path.join(tmp, "m.svg")], ["advise", main_file],
            ["survey", tmp], ["survey", "--strict", tmp],
            ["report", tmp, "-o", os.path.join(tmp, "r.html")],
        ]
        for r in runs:
            p = subprocess.run([o.tool, "--json"] + r, capture_output=True, text=True)
            validate("sample: " + " ".join(r).replace(tmp, "SAMPLE"), r[0], p.stdout)

    for c in COMMANDS:
        if checked[c] == 0:
            print("FAIL no output of %s was checked" % c)
            failures += 1
    print("%d documents checked, %d failures" % (sum(checked.values()), failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
