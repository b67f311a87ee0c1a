#!/usr/bin/env python3
"""The inspector's JSON against its schemas in docs/schema: the expected
output of every golden case that prints JSON, and every command run with
--json on the sample set. Then names of hostile and random bytes (a fixed
seed) through every output form: the JSON valid against its schema and each
name read back whole and distinct, the Prometheus file passed by promtool
with distinct label values, and no control character in any text form.
Exits 77 (skipped) without python3-jsonschema."""
import argparse
import json
import random
import re
import shutil
import os
import subprocess
import sys
import tempfile

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed: the JSON is not checked")
    sys.exit(77)

COMMANDS = ["info", "pairs", "entries", "page", "map", "plan", "advise", "survey", "report"]


def command_of(args):
    for a in args:
        if a in COMMANDS:
            return a
    return None


# Names that have broken output forms: not UTF-8 (Latin-1, a lone
# continuation byte, an encoded surrogate, an overlong form, two names that
# differ only in such bytes), terminal controls, line breaks, C1 controls
# both encoded and raw, bidirectional controls, markup, the plugin's
# separator, and the escapes spelled out beside the bytes they stand for.
TABLE_NAMES = [
    b"LATIN1-\xe9t\xe9.DAT", b"\xff\xfe.DAT", b"\xfe\xff.DAT", b"lone-\x80.DAT",
    b"surrogate-\xed\xb2\x80.DAT", b"overlong-\xc0\xaf.DAT", b"ESC\x1b[31mRED\x1b[0m.DAT",
    b"CR\rLF\ndamage: forged.DAT", b"C1-\xc2\x9b2J.DAT", b"raw-C1-\x9b2J.DAT", b"DEL\x7f.DAT",
    b"TAB\t.DAT", b'Q"U\\OTE.DAT', b"pipe|files=0.DAT", b"<img src=x onerror=alert(1)>.DAT",
    b"disk-\xf0\x9f\x92\xbe.DAT", b"spelled-\\udcff.DAT", b"spelled-\xff.DAT",
    b"spelled-\\xff.DAT", b"pipe\\x7cfiles=0.DAT", b"bidi-\xe2\x80\xaeTAD.exe",
    b"isolate-\xe2\x81\xa6x\xe2\x81\xa9.DAT",
]
RANDOM_NAMES = 24
SEED = 20261208
# Control characters that must not reach a text: C0 but line feed, DEL, C1,
# and the bidirectional controls.
CONTROL = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069]")


def random_names(rng, count):
    names = set()
    while len(names) < count:
        n = bytes(rng.choice([b for b in range(1, 256) if b != 0x2F])
                  for _ in range(rng.randint(1, 24)))
        if n not in (b".", b"..") and not re.search(rb"\.\^..$", n):
            names.add(n)
    return sorted(names)


def read_back(name):
    """A name of a JSON document as the bytes it stands for."""
    return name.encode("utf-8", "surrogateescape")


def unescape_text(shown):
    """The bytes a name of a text form stands for: \\\\, \\xNN and \\uNNNN undone."""
    return re.sub(rb"\\(\\|x[0-9a-f]{2}|u[0-9a-f]{4})", lambda e: b"\\" if e.group(1) == b"\\" else
                  bytes([int(e.group(1)[1:], 16)]) if e.group(1)[0] == ord("x") else
                  chr(int(e.group(1)[1:], 16)).encode("utf-8", "surrogateescape"), shown.encode())


def label_values(text, label):
    """The names of the label: the exposition's escapes, then the text's."""
    values = []
    for m in re.finditer(r'\b%s="((?:[^"\\]|\\.)*)"' % label, text):
        v = re.sub(r'\\(.)', lambda e: "\n" if e.group(1) == "n" else e.group(1), m.group(1))
        values.append(unescape_text(v))
    return values


def hostile_names(o, validate):
    """Names of hostile and random bytes through every output form."""
    failures = []
    rng = random.Random(SEED)
    names = TABLE_NAMES + random_names(rng, RANDOM_NAMES)
    with tempfile.TemporaryDirectory() as tmp:
        seed = os.path.join(tmp, "seed")
        recipe = os.path.join(tmp, "recipe")
        with open(recipe, "w") as f:
            f.write("family 0x0800 page 1024 logical 20\nentry 5 logical 6\n")
        subprocess.run([o.sample, seed, recipe, "SEED.DAT"], check=True, stdout=subprocess.DEVNULL)
        folder = os.path.join(os.fsencode(tmp), b"dir-\xff\x1b[2J")
        os.mkdir(folder)
        for n in names:
            shutil.copyfile(os.path.join(seed, "SEED.DAT"), os.path.join(folder, n))
        failures += survey_forms(o, validate, folder, names)
        for n in TABLE_NAMES + names[len(TABLE_NAMES):len(TABLE_NAMES) + 4]:
            failures += file_commands(o, validate, os.path.join(folder, n), tmp)
    for f in failures:
        print("FAIL hostile names: " + f)
    return len(failures)


def run(o, args):
    p = subprocess.run([os.fsencode(o.tool)] + args, capture_output=True)
    return p.returncode, p.stdout, p.stderr


def text_faults(what, data):
    """Why a text form is not clean text: not UTF-8, or a control character."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        return ["%s: not UTF-8: %s" % (what, e)]
    m = CONTROL.search(text)
    return ["%s: control character %r" % (what, m.group(0))] if m else []


def survey_forms(o, validate, folder, names):
    failures = []
    _, out, _ = run(o, ["--json", "survey", folder])
    validate("hostile names: survey", "survey", out.decode("utf-8"))
    doc = json.loads(out)
    if read_back(doc["dirs"][0]) != folder:
        failures.append("survey: the folder reads back as %r" % read_back(doc["dirs"][0]))
    got = sorted(read_back(f["path"]) for f in doc["files"])
    if got != sorted(names):
        failures.append("survey: the names read back differ: %r" % (set(got) ^ set(names)))

    _, out, err = run(o, ["survey", folder])
    failures += text_faults("survey text", out) + text_faults("survey errors", err)
    damaged = sum(1 for f in doc["files"] if f["damaged"])
    # Two heads, a row a file, the total, the summary, a line a damaged file.
    if out.count(b"\n") != 2 + len(names) + 2 + damaged:
        failures.append("survey text: %d lines for %d files" % (out.count(b"\n"), len(names)))
    # The files are copies of one: rows that print alike are names that do.
    rows = out.split(b"\n")[2:2 + len(names)]
    if len(set(rows)) != len(names):
        failures.append("survey text: two names print alike")

    _, out, _ = run(o, ["survey", "--format", "nagios", folder])
    failures += text_faults("nagios", out)
    if out.count(b"\n") != 1 or out.count(b"|") != 1:
        failures.append("nagios: not one line with one '|': %r" % out)

    prom = os.path.join(os.path.dirname(folder), b"tabulon.prom")
    run(o, ["survey", "--format", "prometheus", "-o", prom, folder])
    with open(prom, "rb") as f:
        text = f.read().decode("utf-8")
    paths = label_values(text, "path")
    if sorted(paths[:len(names)]) != sorted(names):
        failures.append("prometheus: the path labels are not the names")
    if shutil.which("promtool"):
        p = subprocess.run(["promtool", "check", "metrics"], input=text.encode(),
                           capture_output=True)
        if p.returncode != 0:
            failures.append("promtool: " + p.stdout.decode() + p.stderr.decode())

    html = os.path.join(os.path.dirname(folder), b"report.html")
    _, out, _ = run(o, ["--json", "report", folder, "-o", html])
    validate("hostile names: report", "report", out.decode("utf-8"))
    with open(html, "rb") as f:
        page = f.read()
    failures += text_faults("report", page.replace(b"\t", b" "))
    if b"<img" in page:
        failures.append("report: a name's markup reached the page")
    return failures


def file_commands(o, validate, path, tmp):
    failures = []
    svg = os.path.join(os.fsencode(tmp), b"map.svg")
    for args in (["info", path], ["pairs", path], ["entries", path], ["page", path, "4"],
                 ["map", path, "-o", svg], ["plan", path], ["advise", path]):
        _, out, err = run(o, ["--json"] + args)
        what = "%s %r" % (args[0], path)
        validate("hostile names: " + what, args[0], out.decode("utf-8"))
        doc = json.loads(out) if out.startswith(b"{") else {}  # validate() told otherwise
        if read_back(doc.get("path", "")) != path:
            failures.append(what + ": the path does not read back")
        if args[0] != "plan":
            _, text, err = run(o, args)
            failures += text_faults(what, text) + text_faults(what + " errors", err)
    _, _, err = run(o, ["info", path + b".missing"])
    failures += text_faults("an error on %r" % path, err)
    return failures


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
            ["map", main_file, "-o", os.path.join(tmp, "m.svg")],
            ["plan", main_file], ["plan", main_file, "/R", "/F4"], ["advise", main_file],
            ["survey", tmp], ["survey", "--strict", tmp],
            ["report", tmp, "-o", os.path.join(tmp, "r.html")],
        ]
        for r in runs:
            p = subprocess.run([o.tool, "--json"] + r, capture_output=True, text=True)
            validate("sample: " + " ".join(r).replace(tmp, "SAMPLE"), r[0], p.stdout)

    failures += hostile_names(o, validate)
    for c in COMMANDS:
        if checked[c] == 0:
            print("FAIL no output of %s was checked" % c)
            failures += 1
    print("%d documents checked, %d failures" % (sum(checked.values()), failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
