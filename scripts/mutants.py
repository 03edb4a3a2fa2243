#!/usr/bin/env python3
"""Mutation check: how many seeded faults in the product's code does the test suite catch?

Each mutant is one small change to one line of the product's C++ or page scripts. It is written
into the working tree, the build tree is rebuilt incrementally, the tests named for the mutated
file's folder run, and the original bytes are put back before the next mutant. A mutant is killed
when a test fails or times out, survives when every test passes, and counts as neither when it does
not compile. Results go to the terminal and to <build>/mutants.json.

    scripts/mutants.py --seed 1 --count 60 [--files 'usb/*'] [--list]
"""

import argparse
import fcntl
import fnmatch
import json
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CXX_DIRS = ("app/", "usb/", "web/", "maintenance/", "platform/", "settings/", "midi/", "tuning/", "sim/")
PORT_LOCK = "/tmp/port5000.lock"
# The program's own folders and its pages carry the behaviour a user meets. The simulated module
# only stands in for hardware in the demo and the tests, and its lines far outnumber some of the
# program's folders: a plain draw fell mostly there. Each of its mutants is drawn with this
# weight against 1 for a mutant of the program's own folders.
OWN_DIRS = ("app/", "usb/", "web/", "maintenance/", "platform/", "settings/", "midi/", "tuning/",
            "web_resources/")
OTHER_WEIGHT = 0.1

# The fast subset: the tests that exercise each part of the product, as ctest name patterns
# (Python regular expressions matched against the test names). The first matching path prefix
# wins. The demo's load storms (demo_stress_test) take minutes and are left out; the in-process
# stress tests take seconds and stay. Update the patterns when tests are renamed: every pattern
# that matches no test is reported when the check starts.
SUBSETS = [
    ("settings/", [r"^settings_test$", r"^browser_settings", r"^browser_kits$", r"^browser_kit-check$"]),
    ("tuning/", [r"^tuning_test$", r"^browser_kit-check$"]),
    ("midi/", [r"^midi_test$", r"^browser_hits$"]),
    ("usb/", [r"^usb_", r"^web_routes_test$", r"^settings_test$", r"^firmware_transfer", r"^demo_stress_test$"]),
    ("web/", [r"^web_", r"^settings_test$", r"^app_lifecycle", r"^browser_pages$"]),
    ("maintenance/", [r"^firmware_", r"^web_routes_test$", r"^settings_test$", r"^browser_pages$"]),
    ("sim/", [r"^firmware_", r"^web_routes_test$", r"^demo_stress_test$", r"^browser_pages$",
              r"^browser_tuning$", r"^midi_test$"]),
    ("midi/", [r"^midi_test$"]),
    ("platform/", [r"^window_", r"^app_lifecycle", r"^cli_"]),
    ("app/", [r"^app_lifecycle", r"^cli_", r"^browser_pages$", r"^window_demo_test$"]),
    ("web_resources/", [r"^browser_"]),
]

# Replacements of binary operators; each one stands between spaces in the formatted sources,
# which tells it from template brackets, unary signs, references and stream operators.
SWAPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==", "===": "!==",
         "!==": "===", "&&": "||", "||": "&&", "+": "-", "-": "+", "+=": "-=", "-=": "+="}
OPERATOR = re.compile(r"(?<= )(===|!==|<=|>=|==|!=|&&|\|\||\+=|-=|<|>|\+|-)(?= )")
BOOLEAN = re.compile(r"\b(true|false)\b")
INTEGER = re.compile(r"(?<![\w.$])(0[xX][0-9A-Fa-f]+|[1-9]\d*|0)([A-Za-z_]*)(?![\w.$])")
INTEGER_SUFFIXES = {"", "u", "U", "l", "L", "ul", "UL", "ull", "ULL", "ll", "LL", "ms", "us",
                    "ns", "s", "min", "h"}
RETURN = re.compile(r"^(\s*)return\s+(.+?)\s*;\s*$")
CXX_DEFAULTS = {"{}", "false", "0", "nullptr", "std::nullopt", "FALSE", "NULL"}
NOT_CALLS = {"return", "if", "while", "for", "switch", "delete", "throw", "new", "sizeof",
             "case", "else", "do", "typeof", "static_assert", "co_return", "co_yield", "yield"}
IDENT = r"[A-Za-z_$][\w$]*"
CALL_ONLY = re.compile(rf"^\s*(?:await\s+)?({IDENT})(?:\s*(?:\.|->|::)\s*{IDENT}|\(\)|\[[^\]]*\])*"
                       r"\(\)\s*;\s*$")
STRING = "\x01"  # stands for every character of a string literal in a masked line


def mask_lines(lines, lang):
    """The lines with comments blanked and string literals replaced by STRING, index for index,
    so that the site finders see only code. Preprocessor lines and, in pages, everything outside
    inline scripts are blanked whole. Template literals and regular expressions count as strings."""
    out, state, raw_end, in_script, continued = [], None, "", lang != "html", False
    for line in lines:
        if lang == "html":
            if re.search(r"<script(?![^>]*\bsrc=)[^>]*>", line):
                in_script = True
                out.append(" " * len(line))
                continue
            if "</script>" in line:
                in_script = False
        stripped = line.lstrip()
        if not in_script or (lang == "cxx" and state is None and (continued or stripped.startswith("#"))):
            continued = lang == "cxx" and line.rstrip().endswith("\\")
            out.append(" " * len(line))
            continue
        masked, i = [], 0
        while i < len(line):
            c, two = line[i], line[i:i + 2]
            if state == "comment":
                end = line.find("*/", i)
                stop = len(line) if end < 0 else end + 2
                masked.append(" " * (stop - i))
                state, i = (state if end < 0 else None), stop
            elif state in ("raw", "template"):
                end = line.find(raw_end, i) if state == "raw" else _template_end(line, i)
                stop = len(line) if end < 0 else end + len(raw_end)
                masked.append(STRING * (stop - i))
                state, i = (state if end < 0 else None), stop
            elif two == "//":
                masked.append(" " * (len(line) - i))
                i = len(line)
            elif two == "/*":
                state = "comment"
                masked.append("  ")
                i += 2
            elif lang == "cxx" and re.match(r'R"([^(\s]*)\(', line[i:]) and not _word_before(line, i):
                delim = re.match(r'R"([^(\s]*)\(', line[i:]).group(1)
                state, raw_end = "raw", ")" + delim + '"'
                masked.append(STRING * (len(delim) + 3))
                i += len(delim) + 3
            elif lang != "cxx" and c == "`":
                state, raw_end = "template", "`"
                masked.append(STRING)
                i += 1
            elif c in "\"'" or (lang != "cxx" and c == "/" and _regex_may_start(masked)):
                stop = _quoted_end(line, i)
                masked.append(STRING * (stop - i))
                i = stop
            else:
                masked.append(c)
                i += 1
        out.append("".join(masked))
    return out


def _word_before(line, i):
    return i > 0 and (line[i - 1].isalnum() or line[i - 1] == "_")


def _template_end(line, i):
    while i < len(line):
        if line[i] == "\\":
            i += 2
        elif line[i] == "`":
            return i
        else:
            i += 1
    return -1


def _regex_may_start(masked):
    before = "".join(masked).rstrip()
    return not before or before[-1] in "(,=:[!&|?{};+-*%<>~^" or re.search(r"\breturn$", before)


def _quoted_end(line, i):
    """The index after the literal that opens at line[i] (a quote or a regular expression)."""
    quote, j, in_class = line[i], i + 1, False
    while j < len(line):
        c = line[j]
        if c == "\\":
            j += 2
            continue
        if quote == "/" and c in "[]":
            in_class = c == "["
        elif c == quote and not in_class:
            return j + 1
        j += 1
    return len(line)


def sites_in_line(text, masked, prev_code, lang, is_header):
    """Every mutation of one line: (operator, column, old text, new text)."""
    # Console output of the pages is for people debugging them: no test can see it.
    if lang != "cxx" and re.search(r"\bconsole\.", masked):
        return []
    found = []
    has_string = STRING in masked
    for m in OPERATOR.finditer(masked):
        op = m.group(1)
        if lang == "cxx" and op in ("===", "!=="):
            continue
        # In C++ a '+' next to a string literal is concatenation: '-' would not compile.
        if lang == "cxx" and op in ("+", "+=") and has_string:
            continue
        found.append(("relational" if op[0] in "<>=!" else "logical" if op in ("&&", "||")
                      else "arithmetic", m.start(1), op, SWAPS[op]))
    for m in BOOLEAN.finditer(masked):
        found.append(("boolean", m.start(1), m.group(1), "false" if m.group(1) == "true" else "true"))
    for m in INTEGER.finditer(masked):
        digits, suffix = m.group(1), m.group(2)
        if suffix not in INTEGER_SUFFIXES or (lang != "cxx" and suffix):
            continue
        value = int(digits, 0)
        new = value + 1 if value == 0 else value - 1
        if digits[:2].lower() == "0x":
            hex_digits = f"{new:0{len(digits) - 2}x}"
            new_text = digits[:2] + (hex_digits.upper() if digits[2:].isupper() else hex_digits)
        else:
            new_text = str(new)
        found.append(("integer", m.start(1), digits, new_text))
    ret = RETURN.match(masked)
    if ret:
        expr = text[ret.start(2):ret.end(2)]
        default = "{}" if lang == "cxx" else _js_default(expr)
        if expr not in CXX_DEFAULTS and expr != default:
            found.append(("return", ret.start(2), expr, default))
    call = CALL_ONLY.match(_collapse_parens(masked))
    statement_start = prev_code.endswith((";", "{", "}")) or re.match(r"\s*(case\b.*|default):$", prev_code)
    if call and call.group(1) not in NOT_CALLS and statement_start and not (lang == "cxx" and is_header):
        start = len(text) - len(text.lstrip())
        found.append(("call", start, text.strip(), ";"))
    return found


def _js_default(expr):
    if re.fullmatch(r"-?\d+(\.\d+)?", expr):
        return "0"
    if expr[0] in "\"'`":
        return '""'
    if expr in ("true", "false") or re.search(r"[<>!=]=|[<>]|&&|\|\||^!", expr):
        return "false"
    return "undefined"


def _collapse_parens(masked):
    previous = None
    while previous != masked:
        previous, masked = masked, re.sub(r"\([^()]*\)", "()", masked)
    return masked


def product_files():
    listed = subprocess.run(["git", "ls-files", *CXX_DIRS, "web_resources"], cwd=ROOT, check=True,
                            capture_output=True, text=True).stdout.split()
    return sorted(f for f in listed
                  if (f.startswith(CXX_DIRS) and f.endswith((".cpp", ".h")))
                  or fnmatch.fnmatch(f, "web_resources/assets/js/*.js")
                  or re.fullmatch(r"web_resources/[^/]+\.html", f))


def candidates(files):
    """Every mutant of the given files, in file, line and column order."""
    result = []
    for path in files:
        lang = "cxx" if path.startswith(CXX_DIRS) else "html" if path.endswith(".html") else "js"
        with open(os.path.join(ROOT, path), "rb") as f:
            raw_lines = f.read().splitlines(keepends=True)
        lines = [line.rstrip(b"\r\n").decode("utf-8") for line in raw_lines]
        prev_code = "{"
        for number, (text, masked) in enumerate(zip(lines, mask_lines(lines, lang)), start=1):
            for operator, col, old, new in sites_in_line(text, masked, prev_code, lang, path.endswith(".h")):
                mutated = text[:col] + new + text[col + len(old):]
                result.append({"file": path, "line": number, "column": col + 1, "operator": operator,
                               "old": old, "new": new, "original": text, "mutated": mutated})
            if masked.strip():
                prev_code = masked.rstrip()
    return result


class Checker:
    def __init__(self, build_dir, time_limit):
        self.build_dir, self.time_limit = build_dir, time_limit
        shown = subprocess.run(["ctest", "--test-dir", build_dir, "--show-only=json-v1"],
                               check=True, capture_output=True, text=True).stdout
        # The suites listen on fixed local ports, which the same tests of another checkout on this
        # machine may hold at that moment and so fail them. A network namespace of their own, where
        # the system allows one, gives the tests a loopback that nothing else uses.
        self.private_network = subprocess.run(["unshare", "--net", "ip", "link", "set", "lo", "up"],
                                              capture_output=True).returncode == 0
        self.tests = {}
        for test in json.loads(shown)["tests"]:
            props = {p["name"]: p["value"] for p in test.get("properties", [])}
            self.tests[test["name"]] = "port5000" in props.get("RESOURCE_LOCK", [])
        for prefix, patterns in SUBSETS:
            for pattern in patterns:
                if not any(re.search(pattern, name) for name in self.tests):
                    print(f"warning: the pattern {pattern!r} for {prefix} matches no test", file=sys.stderr)

    def subset(self, path):
        for prefix, patterns in SUBSETS:
            if path.startswith(prefix):
                return sorted(n for n in self.tests if any(re.search(p, n) for p in patterns))
        return []

    def build(self):
        done = subprocess.run(["cmake", "--build", self.build_dir, "-j", "2"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
        errors = [line for line in done.stdout.splitlines() if "error" in line]
        return done.returncode == 0, (errors[0] if errors else done.stdout[-300:]).strip()

    def run_tests(self, names):
        """The tests that failed (with ctest's reason) among those named; none when all passed."""
        if not names:
            return []
        command = ["ctest", "--test-dir", self.build_dir, "-R", "^(" + "|".join(names) + ")$",
                   "--stop-on-failure", "--timeout", "120", "-j", "2"]
        if self.private_network:
            command = ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$@"', "-", *command]
        with open(PORT_LOCK, "a") as lock, tempfile.TemporaryFile("w+") as output:
            if any(self.tests[n] for n in names):
                fcntl.flock(lock, fcntl.LOCK_EX)
            # A session of its own, so that a run past the limit can be ended with every program
            # it started (a demo holding port 5000 above all).
            run = subprocess.Popen(command, stdout=output, stderr=subprocess.STDOUT, start_new_session=True)
            try:
                passed = run.wait(timeout=self.time_limit) == 0
            except subprocess.TimeoutExpired:
                return [f"past the time limit of {self.time_limit} s"]
            finally:
                if run.poll() is None:
                    os.killpg(run.pid, signal.SIGKILL)
                    run.wait()
            output.seek(0)
            failed = re.findall(r"^\s*\d+ - (\S+ \(.*\))$", output.read(), re.MULTILINE)
            return [] if passed else failed or [f"ctest ended with status {run.returncode}"]


def apply_and_check(mutant, checker):
    """Writes the mutant, rebuilds, runs its tests and always puts the original bytes back."""
    path = os.path.join(ROOT, mutant["file"])
    with open(path, "rb") as f:
        original = f.read()
    lines = original.splitlines(keepends=True)
    line = lines[mutant["line"] - 1]
    ending = line[len(line.rstrip(b"\r\n")):]
    lines[mutant["line"] - 1] = mutant["mutated"].encode("utf-8") + ending
    started = time.monotonic()
    try:
        with open(path, "wb") as f:
            f.write(b"".join(lines))
        built, error = checker.build()
        mutant["build_seconds"] = round(time.monotonic() - started, 1)
        if not built:
            mutant.update(status="no-build", build_error=error, tests=[])
        else:
            mutant["tests"] = checker.subset(mutant["file"])
            mutant["failed"] = checker.run_tests(mutant["tests"])
            mutant["status"] = "killed" if mutant["failed"] else "survived"
    finally:
        with open(path, "wb") as f:
            f.write(original)
        if subprocess.run(["git", "diff", "--quiet", "--", mutant["file"]], cwd=ROOT).returncode:
            sys.exit(f"error: {mutant['file']} differs from git after restoring it")
    mutant["seconds"] = round(time.monotonic() - started, 1)


def weighted_sample(every, count, seed):
    """count mutants drawn without replacement, the program's own folders weighted over the
    rest: each mutant gets the key u ** (1 / weight) for a uniform u, and the largest keys win."""
    rng = random.Random(seed)
    keyed = [(rng.random() ** (1 / (1.0 if m["file"].startswith(OWN_DIRS) else OTHER_WEIGHT)), i)
             for i, m in enumerate(every)]
    chosen = sorted(keyed, reverse=True)[:count]
    return sorted((every[i] for _, i in chosen), key=lambda m: (m["file"], m["line"], m["column"]))


def folder(mutant):
    return mutant["file"].split("/", 1)[0] + "/"


def interrupt(*_):
    """SIGTERM ends the run as Ctrl+C does, through the 'finally' that restores the sources."""
    raise KeyboardInterrupt()


def describe(m):
    return f"{m['file']}:{m['line']}  {m['old']} -> {m['new']}"


def totals(mutants):
    counts = {s: sum(m.get("status") == s for m in mutants) for s in ("killed", "survived", "no-build")}
    judged = counts["killed"] + counts["survived"]
    counts["score"] = round(counts["killed"] / judged, 3) if judged else None
    return counts


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=1, help="chooses the sample (default 1)")
    parser.add_argument("--count", type=int, default=20, help="number of mutants (default 20)")
    parser.add_argument("--files", default="*", help="glob of repository paths to mutate, e.g. 'usb/*'")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build"))
    parser.add_argument("--time-limit", type=int, default=900, help="seconds for one mutant's tests")
    parser.add_argument("--list", action="store_true", help="print the sample without running it")
    parser.add_argument("--no-check", dest="check", action="store_false",
                        help="skip the first run of the chosen tests on the unmutated tree")
    args = parser.parse_args()

    files = [f for f in product_files() if fnmatch.fnmatch(f, args.files)]
    every = candidates(files)
    sample = weighted_sample(every, min(args.count, len(every)), args.seed)
    print(f"{len(sample)} of {len(every)} mutants in {len(files)} files (seed {args.seed})")
    if args.list:
        for m in sample:
            print(f"{m['operator']:10}  {describe(m)}")
        for f in sorted({folder(m) for m in sample}):
            print(f"{f:16} {sum(folder(m) == f for m in sample)} mutants")
        return

    if subprocess.run(["git", "diff", "--quiet", "HEAD", "--", *files], cwd=ROOT).returncode:
        sys.exit("error: commit or stash the changes to the files under mutation first")
    signal.signal(signal.SIGTERM, interrupt)
    os.makedirs(args.build_dir, exist_ok=True)
    own_lock = open(os.path.join(args.build_dir, "mutants.lock"), "w")
    try:
        fcntl.flock(own_lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        sys.exit("error: another mutation check is running in this build tree")
    checker = Checker(args.build_dir, args.time_limit)
    if not checker.build()[0]:
        sys.exit("error: the unmutated tree does not build")
    # A test that fails without any mutant would count every mutant of its folder as killed.
    for names in sorted({tuple(checker.subset(m["file"])) for m in sample}) if args.check else []:
        if checker.run_tests(list(names)):
            sys.exit(f"error: these tests fail on the unmutated tree: {' '.join(names)}")
    for m in sample:
        m["status"] = "pending"
    report_path = os.path.join(args.build_dir, "mutants.json")
    report = {"seed": args.seed, "count": args.count, "files": args.files, "candidates": len(every),
              "subsets": {prefix: patterns for prefix, patterns in SUBSETS}, "mutants": sample}
    try:
        for m in sample:
            apply_and_check(m, checker)
            # A build that fails for a reason of its own (a missing file, a full disk) would count
            # every later mutant as not compiled: stop instead.
            if m["status"] == "no-build" and not checker.build()[0]:
                m["status"] = "pending"
                sys.exit(f"error: the unmutated tree does not build any more: {checker.build()[1]}")
            by = f"  by {m['failed'][0]}" if m.get("failed") else ""
            print(f"{m['status']:9} {describe(m)}  ({m['seconds']} s){by}", flush=True)
            report["totals"] = totals(sample)
            report["folders"] = {f: totals([m for m in sample if folder(m) == f])
                                 for f in sorted({folder(m) for m in sample})}
            with open(report_path, "w") as f:
                json.dump(report, f, indent=1)
    except KeyboardInterrupt:
        print("interrupted: the sources are restored", file=sys.stderr)
    finally:
        # The build tree still holds the last mutant: rebuild it from the restored sources.
        checker.build()
    def line(name, t):
        score = "n/a" if t["score"] is None else f"{100 * t['score']:.1f}%"
        return f"{name:16} killed {t['killed']:3}, survived {t['survived']:3}, did not build {t['no-build']:3}: score {score}"

    for f in sorted({folder(m) for m in sample}):
        print(line(f, totals([m for m in sample if folder(m) == f])))
    for m in sample:
        if m.get("status") == "survived":
            print(f"survived  {describe(m)}    {m['mutated'].strip()}")
    print(f"{line('all', totals(sample))} (report in {report_path})")


if __name__ == "__main__":
    main()
