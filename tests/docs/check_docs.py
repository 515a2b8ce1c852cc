#!/usr/bin/env python3
"""Checks README.md and docs/*.md against the tree and the programs they describe.

  check_docs.py SOURCE_DIR KRVCTL KRVD

- every relative link (and image) resolves to a file, and a #anchor into Markdown to a heading;
- every repo path named in `backticks` exists;
- every `$ krvctl|krvd|tapsim ...` line in a fenced block names a real subcommand and options,
  as the built program's --help lists them (tapsim is never run: any argument would start it).

Failures are printed as FILE:LINE: problem; the exit status is 1 when there is any.
"""
import glob
import os
import re
import shlex
import subprocess
import sys

# Paths named in the guides that are examples or things made at run or build time, not
# files of the repository.
EXAMPLE_PATHS = {
    "greenhouse.csv", "applied.csv", "mistakes.csv", "capture.pcap",
}
BUILD_PREFIXES = ("build/", "build-")
# What counts as a repo path when it has no "/": a name ending in one of these.
REPO_EXTENSIONS = (".sh", ".py", ".cpp", ".h", ".c", ".md", ".scd", ".cmake", ".lua", ".png")
PLACEHOLDER = re.compile(r"[A-Z][A-Z0-9_]{2,}")  # PROGRAM, ARCH, TARGET: any name there

LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
FENCE = re.compile(r"^\s*(```|~~~)")
SHELL_OPERATORS = {"|", "||", "&&", ";", "&", ">", ">>", "<", "2>", "2>&1"}


def slug(heading):
    """GitHub's anchor for a heading: lower case, punctuation dropped, spaces to hyphens."""
    text = re.sub(r"`|\*\*|__", "", heading.strip().lower())
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = "".join(c for c in text if c.isalnum() or c in " -_")
    return text.replace(" ", "-")


def anchors_of(path, cache={}):
    if path not in cache:
        seen, found, fenced = {}, set(), False
        with open(path, encoding="utf-8") as f:
            for line in f:
                if FENCE.match(line):
                    fenced = not fenced
                    continue
                m = None if fenced else re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
                if m:
                    base = slug(m.group(1))
                    n = seen.get(base, 0)
                    seen[base] = n + 1
                    found.add(base if n == 0 else f"{base}-{n}")
                for a in re.findall(r'<a (?:name|id)="([^"]+)"', line):
                    found.add(a)
        cache[path] = found
    return cache[path]


def looks_like_repo_path(text):
    if " " in text or text.startswith(("/", "~", "$", "-", "http:", "https:")):
        return False
    if any(c in text for c in "<>$={}#|*?,'\"()"):
        return False
    if re.fullmatch(r"[\d.]+(/\d+)?", text):  # an address or a subnet
        return False
    if "/" in text:
        return re.fullmatch(r"[\w.@+-]+(/[\w.@+-]*)+", text) is not None
    return text.endswith(REPO_EXTENSIONS)


def repo_path_exists(root, text, doc_dir):
    if text in EXAMPLE_PATHS or text.startswith(BUILD_PREFIXES):
        return True
    pattern = PLACEHOLDER.sub("*", text) if PLACEHOLDER.search(text) else None
    for base in (root, doc_dir):
        candidate = os.path.join(base, text)
        if os.path.exists(candidate):
            return True
        if pattern and glob.glob(os.path.join(base, pattern)):
            return True
    # A bare file name ("Plan.cpp", "run.sh") may sit anywhere in the sources: not in build
    # folders, whose Wine prefixes link back to the whole file system, nor through links.
    if "/" not in text:
        for folder, subfolders, files in os.walk(root):
            subfolders[:] = [name for name in subfolders
                             if not name.startswith(("build", ".")) and name != "node_modules"]
            if text in files:
                return True
    return False


class Help:
    """The options and subcommands a program's --help lists."""

    OPTION = re.compile(r"^\s+(?:-\w,)?(--[\w-]+)(?:[ =](\S+))?")

    def __init__(self, program, args):
        out = subprocess.run([program, *args], capture_output=True, text=True, timeout=10)
        self.text = out.stdout + out.stderr
        self.options = {}  # option -> whether it takes a value
        self.subcommands = set()
        section = None
        for line in self.text.splitlines():
            if re.match(r"^\S.*:$", line):
                section = line[:-1]
                continue
            m = self.OPTION.match(line)
            if section == "Options" and m:
                self.options[m.group(1)] = bool(m.group(2) and m.group(2)[0].isupper())
                continue
            m = re.match(r"^  ([a-z][\w-]*)\s", line)
            if section == "Subcommands" and m:
                self.subcommands.add(m.group(1))
        for opt in re.findall(r"\[(--[\w-]+)\]", self.text):  # "Usage: krvd [--version]"
            self.options.setdefault(opt, False)
        self.options.setdefault("-h", False)


def command_words(line):
    try:
        words = shlex.split(line, comments=True)
    except ValueError as error:
        return None, str(error)
    for i, w in enumerate(words):
        if w in SHELL_OPERATORS or w.startswith((">", "2>", "<")):
            return words[:i], None
    return words, None


def check_command(words, helps):
    program, rest = words[0], words[1:]
    if program == "tapsim":
        return [f"tapsim takes no arguments, given {' '.join(rest)}"] if rest else []
    if program not in helps:
        return []
    top = helps[program]()
    problems, sub, options = [], None, dict(top.options)
    i = 0
    while i < len(rest):
        w = rest[i]
        if w.startswith("-") and w != "-":
            name = w.split("=", 1)[0]
            if name not in options:
                where = f"krvctl {sub}" if sub else program
                problems.append(f"{where} has no option {name}")
            elif options[name] and "=" not in w:
                i += 1
        elif sub is None and top.subcommands:
            if w not in top.subcommands:
                problems.append(f"{program} has no subcommand {w}")
                return problems
            sub = w
            options.update(helps[program](sub).options)  # global options may follow it
        i += 1
    if top.subcommands and sub is None and not any(o in rest for o in ("--help", "-h", "--version")):
        problems.append(f"{program}: no subcommand")
    return problems


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    root, krvctl, krvd = sys.argv[1:]
    cache = {}

    def helper(program, path):
        def get(sub=None):
            key = (program, sub)
            if key not in cache:
                cache[key] = Help(path, [sub, "--help"] if sub else ["--help"])
            return cache[key]
        return get

    helps = {"krvctl": helper("krvctl", krvctl), "krvd": helper("krvd", krvd)}
    docs = [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md")))
    failures = []
    commands = 0
    for doc in docs:
        rel = os.path.relpath(doc, root)
        doc_dir = os.path.dirname(doc)
        fenced = False
        with open(doc, encoding="utf-8") as f:
            lines = f.read().splitlines()
        for number, line in enumerate(lines, 1):
            where = f"{rel}:{number}"
            if FENCE.match(line):
                fenced = not fenced
                continue
            if fenced:
                m = re.match(r"^\s*\$ (.*)$", line)
                if not m:
                    continue
                words, error = command_words(m.group(1))
                if error:
                    failures.append(f"{where}: cannot read the command: {error}")
                    continue
                while words and (words[0] in ("sudo", "env")
                                 or re.fullmatch(r"[A-Z_][A-Z0-9_]*=.*", words[0])):
                    words = words[1:]  # what runs the program, and VAR=value before it
                if not words:
                    continue
                program = words[0]
                if "/" in program and not program.startswith(BUILD_PREFIXES):
                    if not os.path.exists(os.path.join(root, program)):
                        failures.append(f"{where}: {program} does not exist")
                name = os.path.basename(program)
                if name in ("krvctl", "krvd", "tapsim"):
                    commands += 1
                    failures += [f"{where}: {p}" for p in check_command([name, *words[1:]], helps)]
                continue
            prose = CODE_SPAN.sub(lambda m: " " * len(m.group(0)), line)
            for target in LINK.findall(prose):
                if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                    continue  # http:, mailto:
                path, _, anchor = target.partition("#")
                file = os.path.normpath(os.path.join(doc_dir, path)) if path else doc
                if not os.path.exists(file):
                    failures.append(f"{where}: link to {target}: {path} does not exist")
                elif anchor and file.endswith(".md") and anchor not in anchors_of(file):
                    failures.append(f"{where}: link to {target}: no heading #{anchor} in "
                                    f"{os.path.relpath(file, root)}")
            for _, span in CODE_SPAN.findall(line):
                text = span.strip()
                if looks_like_repo_path(text) and not repo_path_exists(root, text, doc_dir):
                    failures.append(f"{where}: `{text}` names no file of the repository")
    for failure in failures:
        print(failure)
    print(f"check_docs: {len(docs)} files, {commands} commands checked; {len(failures)} problems")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
