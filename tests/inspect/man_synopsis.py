#!/usr/bin/env python3
"""The synopses of tabulon-inspect(1) against the program's --help: each
command's options (by either form) and positionals, required or not, and
the program's own options in every synopsis."""
import re
import subprocess
import sys

page, tool = sys.argv[1], sys.argv[2]
text = open(page).read()
synopsis = text[text.index(".Sh SYNOPSIS"):text.index(".Sh DESCRIPTION")]
failures = []


def help_of(*args):
    out = subprocess.run([tool, *args, "--help"], capture_output=True, text=True).stdout
    options, positionals = [], []
    section = None
    for line in out.splitlines():
        if line.startswith("Options:"):
            section = "o"
        elif line.startswith("Positionals:"):
            section = "p"
        elif line.startswith("Subcommands:"):
            section = "s"
        elif section == "o" and re.match(r"^  -", line):
            forms = line.split()[0].split(",")
            if "--help" in forms:
                continue
            options.append((set(forms), "REQUIRED" in line))
        elif section == "p" and re.match(r"^  \S", line):
            positionals.append(line.split()[0].lower())
    return options, positionals


global_options, _ = help_of()
global_flags = {f for forms, _ in global_options for f in forms} - {"--version"}

for block in synopsis.split(".Nm\n")[1:]:
    m = re.search(r"^\.Cm (\w+)$", block, re.M)
    if not m:
        continue
    command = m.group(1)
    flags = {}  # name -> required
    positionals = []
    for line in block.splitlines():
        f = re.match(r"^\.(Op )?Fl (\S+)", line)
        if f:
            flags["-" + f.group(2)] = not f.group(1)
            continue
        a = re.match(r"^\.(?:Op )?Ar (.*)$", line)
        if a:
            positionals += [w for w in a.group(1).split() if w != "..."]
    options, helped = help_of(command)
    for g in global_flags:
        if g not in flags:
            failures.append("%s: the synopsis lacks %s" % (command, g))
    for forms, required in options:
        named = forms & set(flags)
        if not named:
            failures.append("%s: the synopsis lacks %s" % (command, "/".join(sorted(forms))))
        elif flags[named.pop()] != required:
            failures.append("%s: %s is %s in --help" % (command, "/".join(sorted(forms)),
                                                       "required" if required else "optional"))
    known = {f for forms, _ in options for f in forms} | global_flags
    for f in flags:
        if f not in known:
            failures.append("%s: %s is in the synopsis but not in --help" % (command, f))
    if len(positionals) != len(helped):
        failures.append("%s: positionals %s in the synopsis, %s in --help" %
                        (command, positionals, helped))

for f in failures:
    print("FAIL " + f)
print("%d differences" % len(failures))
sys.exit(1 if failures else 0)
