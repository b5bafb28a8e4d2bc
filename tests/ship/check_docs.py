#!/usr/bin/env python3
"""Keeps the README and docs/ true to the code: every Java block compiles
(a whole program also runs, and must succeed), every `$ java -jar dorlesk.jar`
line of a console block runs and prints what the block shows ("…" stands for
any text; COM1 echoes, COM2 is a free terminal), and every link into the tree leads somewhere. Outputs that cannot be
made here (another user, a machine's own UART) belong in text blocks.
  check_docs.py SOURCE_DIR BUILD_DIR PTY_ECHO"""
import os
import re
import subprocess
import sys
import tempfile

source, build, pty_echo = sys.argv[1:4]
jar = os.path.join(build, "dorlesk.jar")
pages = [os.path.join(source, "README.md")] + sorted(
    os.path.join(source, "docs", f) for f in os.listdir(os.path.join(source, "docs")) if f.endswith(".md"))
faults = []


def blocks(page):
    """(language, text, line number) of each fenced block."""
    lines = open(page, encoding="utf-8").read().split("\n")
    i = 0
    while i < len(lines):
        m = re.match(r"^\s*```(\w*)\s*$", lines[i])
        if m:
            indent = len(lines[i]) - len(lines[i].lstrip())
            start, body = i + 1, []
            i += 1
            while not lines[i].strip().startswith("```"):
                body.append(lines[i][indent:])
                i += 1
            yield m.group(1), "\n".join(body), start
        i += 1


def run(command, env, timeout=60):
    p = subprocess.run(command, env=env, capture_output=True, text=True, timeout=timeout)
    return p.returncode, p.stdout + p.stderr


def matches(expected, actual):
    pattern = "".join(".*" if c == "…" else re.escape(c) for c in expected)
    return re.fullmatch(pattern, actual) is not None


work = tempfile.mkdtemp()
ports = os.path.join(work, "ports")
os.mkdir(ports)
echo = subprocess.Popen([pty_echo, os.path.join(ports, "COM1")], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
echo.stdout.readline()
master, slave = os.openpty()  # COM2: a free terminal, whose far end only this holds
os.symlink(os.ttyname(slave), os.path.join(ports, "COM2"))
os.close(slave)
env = dict(os.environ, DORLESK_PORT_DIR=ports, XDG_CACHE_HOME=os.path.join(work, "cache"))
java = ["java", "-Xcheck:jni", "-Djava.library.path=" + build]
programs = checked = 0
try:
    for page in pages:
        name = os.path.relpath(page, source)
        text = open(page, encoding="utf-8").read()
        for target in re.findall(r"\]\(([^)#:]+)\)", text):
            if not os.path.exists(os.path.join(os.path.dirname(page), target)):
                faults.append(f"{name}: the link {target} leads nowhere")
        for language, body, line in blocks(page):
            where = f"{name}:{line}"
            if language == "java":
                cls = re.search(r"public (?:final )?class (\w+)", body)
                directory = tempfile.mkdtemp(dir=work)
                if cls is None:  # a fragment: it must compile in a method
                    imports = "".join(l + "\n" for l in body.split("\n") if l.startswith("import "))
                    rest = "\n".join(l for l in body.split("\n") if not l.startswith("import "))
                    body = (imports + "import cz.qelvar.*;\nclass Fragment {\n void run() throws Exception {\n"
                            + rest + "\n }\n}\n")
                file = os.path.join(directory, (cls.group(1) if cls else "Fragment") + ".java")
                open(file, "w", encoding="utf-8").write(body)
                status, out = run(["javac", "--release", "8", "-Xlint:all", "-cp", jar, "-d", directory, file], env)
                if status != 0:
                    faults.append(f"{where}: the example does not compile:\n{out}")
                elif cls:
                    status, out = run(java + ["-cp", jar + ":" + directory, cls.group(1)], env)
                    programs += 1
                    print(f"{where}: {cls.group(1)} ran, exit {status}: {out.strip()}")
                    if status != 0 or "WARNING in native method" in out:
                        faults.append(f"{where}: {cls.group(1)} failed (exit {status}):\n{out}")
            elif language == "console":
                commands = re.split(r"(?m)^\$ ", body)[1:]
                for command in commands:
                    first, _, shown = command.partition("\n")
                    args = first.split("#")[0].split()
                    if args[:3] != ["java", "-jar", "dorlesk.jar"]:
                        faults.append(f"{where}: a console block runs only java -jar dorlesk.jar, not: {first}")
                        continue
                    status, out = run(java + ["-jar", jar] + args[3:], env)
                    checked += 1
                    expected, actual = shown.rstrip("\n").split("\n"), out.rstrip("\n").split("\n")
                    if len(expected) != len(actual) or not all(map(matches, expected, actual)):
                        faults.append(f"{where}: $ {first}\nshown:\n{shown}\nprinted:\n{out}")
finally:
    os.close(master)
    echo.stdin.close()
    echo.wait()
    subprocess.run(["rm", "-rf", work])

print(f"{len(pages)} pages, {programs} programs run, {checked} commands compared")
for fault in faults:
    print("FAIL: " + fault)
if programs == 0 or checked == 0:
    print("FAIL: no program or command found to check")
    sys.exit(1)
sys.exit(1 if faults else 0)
