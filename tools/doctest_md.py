#!/usr/bin/env python3
"""Runs the sessions shown in Markdown pages and checks that they print what the pages show.

A session is a code block (fenced with ``` or indented by four spaces) whose first line starts
with "$ ".  Each "$ " line is a command, run by bash; the lines up to the next command are what it
prints (standard output and standard error together).  The sessions of one page run one after the
other in one scratch folder, so a page may build on its earlier sessions; every session starts a
new shell.  The scratch folder holds what the pages name: build/fieldscan, build/fieldmap/fieldmap,
build/demo.map (a copy), build/python (the module) and fieldmap/testdata; PATH leads to the two
programs and PYTHONPATH to the module.  A command continues on the next line when it ends in "\"
or when the next line starts with "> " (the shell's prompt for a continued command).

The comparison is exact, line by line, but for these conventions:
  - trailing blanks of a line are not compared (editors drop them);
  - a line "..." stands for any number of lines, none included;
  - <date>, <path> or any other <lower-case words> in a line stands for any text;
  - a command whose every line ends with CR LF (the console and its listings) is compared after
    turning CR LF into LF; one line with a bare LF among CR LF lines (or the reverse) is a
    difference, so the page needs to show CR LF only where it shows the bytes (od -c);
  - the console's dialogue: a line of the expected output that starts with one of the console's
    questions (" Input ... (def=...)" or "MAP filename [<RET>=exit]:") shows after the question
    the answer typed there.  The answers are fed to the command's standard input (unless the
    command line redirects it), and each one is put back into the output after its question with
    a line break, as a terminal echoes it.  An answer "^D" ends the input there (Ctrl-D); the
    terminal shows nothing for it, the page shows ^D and a line break.
  - Exit statuses are not compared; a page shows one with "echo $?".

Code blocks marked ```python that hold ">>>" lines run as doctests (ELLIPSIS, NORMALIZE_WHITESPACE)
in the page's scratch folder, one namespace per page.

Usage: doctest_md.py --build BUILD_DIR --source SOURCE_DIR [--python] PAGE.md...
Exit status 0 when every session prints what its page shows; 1 otherwise, with the differences.
"""

import argparse
import doctest
import difflib
import os
import re
import shutil
import subprocess
import sys
import tempfile

PROMPT = re.compile(r"^( Input [^\n]*?\(def=[^)]*\):? |MAP filename \[<RET>=exit\]: )")
PROMPT_LINE = re.compile(r"^( Input .*?\(def=[^)]*\):?|MAP filename \[<RET>=exit\]:) ?(.*)$")
PLACEHOLDER = re.compile(r"<[a-z][a-z ]*>")
MARK = "\x1edoctest-md\x1e"


def blocks(text):
    """(kind, first line number, lines) of each code block: kind is the fence's word or ''."""
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        fence = re.match(r"^(\s*)```(\w*)", lines[i])
        if fence:
            indent = len(fence.group(1))
            start = i + 1
            i += 1
            while i < len(lines) and not lines[i].strip().startswith("```"):
                i += 1
            yield fence.group(2), start + 1, [l[indent:] for l in lines[start:i]]
            i += 1
            continue
        if lines[i].startswith("    ") and (i == 0 or not lines[i - 1].strip()):
            start = i
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
                i += 1
            body = [l[4:] for l in lines[start:i]]
            while body and not body[-1].strip():
                body.pop()
            yield "", start + 1, body
            continue
        i += 1


def commands(lines):
    """(command, expected output lines) of a session."""
    out = []
    for line in lines:
        if line.startswith("$ "):
            out.append([line[2:], []])
        elif out and not out[-1][1] and (out[-1][0].endswith("\\") or line.startswith("> ")):
            out[-1][0] += "\n" + (line[2:] if line.startswith("> ") else line)
        else:
            out[-1][1].append(line)
    return out


def line_matches(pattern, line):
    parts = PLACEHOLDER.split(pattern)
    regex = ".*".join(re.escape(p) for p in parts)
    return re.fullmatch(regex, line) is not None


def matches(expected, actual):
    """Whether the actual lines match the expected ones, "..." standing for any lines."""
    if not expected:
        return not actual
    if expected[0].strip() == "...":
        return any(matches(expected[1:], actual[k:]) for k in range(len(actual) + 1))
    return bool(actual) and line_matches(expected[0], actual[0]) and matches(expected[1:], actual[1:])


def answers_of(expected):
    return [m.group(2).rstrip() for m in map(PROMPT_LINE.match, expected) if m]


def echo_answers(output, answers):
    """The output as a terminal shows it: each answer after its question, then a line break."""
    pieces = []
    rest = output
    for answer in answers:
        m = re.search(PROMPT.pattern[1:], rest, re.M)
        if not m:
            break
        pieces.append(rest[: m.end()] + answer + "\n")
        rest = rest[m.end():]
    return "".join(pieces) + rest


def normalise(raw):
    """CR LF into LF when every line of the output ends with CR LF."""
    if "\n" in raw and raw.count("\r\n") == raw.count("\n"):
        return raw.replace("\r\n", "\n")
    return raw


def run_session(session, folder, env):
    """The failures of one session, as text."""
    script = []
    feeds = []
    for command, expected in session:
        answers = answers_of(expected)
        redirected = "<" in command or "|" in command
        if answers and not redirected:
            fed = answers[: answers.index("^D")] if "^D" in answers else answers
            path = os.path.join(folder, ".answers%d" % len(feeds))
            with open(path, "w") as f:
                f.write("".join(a + "\n" for a in fed))
            stdin = " < " + path
        else:
            stdin = "" if redirected else " < /dev/null"
        feeds.append(answers if answers and not redirected else [])
        script.append("{ %s\n}%s 2>&1\nrc=$?\nprintf '%s'\n(exit $rc)\n" % (command, stdin, MARK))
    result = subprocess.run(["bash", "-c", "".join(script)], cwd=folder, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
    outputs = result.stdout.decode("utf-8", "backslashreplace").split(MARK)
    failures = []
    for k, (command, expected) in enumerate(session):
        raw = outputs[k] if k < len(outputs) else "<no output: the session stopped>"
        actual = echo_answers(normalise(raw), feeds[k])
        actual_lines = [l.rstrip() for l in actual.split("\n")]
        if actual_lines and actual_lines[-1] == "":
            actual_lines.pop()
        wanted = [l.rstrip() for l in expected]
        if not matches(wanted, actual_lines):
            diff = "\n".join(difflib.unified_diff(wanted, actual_lines, "page", "run", lineterm=""))
            failures.append("$ %s\n%s" % (command, diff))
    return failures


def scratch_folder(build, source):
    folder = tempfile.mkdtemp(prefix="doctest_md.")
    os.makedirs(os.path.join(folder, "build", "fieldmap"))
    os.symlink(os.path.join(build, "fieldscan"), os.path.join(folder, "build", "fieldscan"))
    os.symlink(os.path.join(build, "fieldmap", "fieldmap"),
               os.path.join(folder, "build", "fieldmap", "fieldmap"))
    if os.path.isdir(os.path.join(build, "python")):
        os.symlink(os.path.join(build, "python"), os.path.join(folder, "build", "python"))
    shutil.copy(os.path.join(build, "demo.map"), os.path.join(folder, "build", "demo.map"))
    os.makedirs(os.path.join(folder, "fieldmap"))
    os.symlink(os.path.join(source, "fieldmap", "testdata"),
               os.path.join(folder, "fieldmap", "testdata"))
    return folder


def run_python(lines, name, folder, globs):
    parser = doctest.DocTestParser()
    test = parser.get_doctest("\n".join(lines) + "\n", globs, name, name, 0)
    if not test.examples:
        return 0, []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    report = []
    here = os.getcwd()
    os.chdir(folder)
    try:
        runner.run(test, out=report.append, clear_globs=False)
    finally:
        os.chdir(here)
    return len(test.examples), (["".join(report)] if runner.failures else [])


def run_page(page, build, source, python):
    """(sessions run, failures) of one page."""
    folder = scratch_folder(build, source)
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join([os.path.join(folder, "build", "fieldmap"),
                                   os.path.join(folder, "build"), env.get("PATH", "")])
    env["PYTHONPATH"] = os.path.join(build, "python")
    env["MPLBACKEND"] = "Agg"
    sys.path.insert(0, env["PYTHONPATH"])
    os.environ["MPLBACKEND"] = "Agg"
    count = 0
    failures = []
    globs = {}
    try:
        with open(page, encoding="utf-8") as f:
            text = f.read()
        for kind, line, lines in blocks(text):
            where = "%s:%d" % (page, line)
            if kind == "python" and any(l.startswith(">>>") for l in lines):
                if not python:
                    print("%s: Python example skipped (the module is not built)" % where)
                    continue
                n, fails = run_python(lines, where, folder, globs)
                count += 1 if n else 0
                failures += ["%s\n%s" % (where, x) for x in fails]
            elif lines and lines[0].startswith("$ "):
                count += 1
                failures += ["%s\n%s" % (where, x)
                             for x in run_session(commands(lines), folder, env)]
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return count, failures


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--python", action="store_true",
                    help="run the Python examples too (the build has the module)")
    ap.add_argument("pages", nargs="+")
    args = ap.parse_args()
    total = 0
    failures = []
    for page in args.pages:
        count, fails = run_page(page, os.path.abspath(args.build), os.path.abspath(args.source),
                                args.python)
        print("%s: %d sessions, %d failing" % (os.path.relpath(page, args.source), count, len(fails)))
        total += count
        failures += fails
    for f in failures:
        print("\n" + f)
    print("%d sessions, %d failing" % (total, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
