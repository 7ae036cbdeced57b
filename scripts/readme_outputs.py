#!/usr/bin/python3
"""The README's output blocks, produced by running its commands on the demo's audio
with the shipped model.

    readme_outputs.py          rewrite the blocks in README.md
    readme_outputs.py --check  compare them with a fresh run; exit 1 on a difference,
                               77 when the demo's audio cannot be fetched

Each generated block follows a line `<!-- output: NAME -->` in README.md and is the
indented block after it. KX_ORVEL_TOOL is the tool (default build/tools/kx-orvel),
KX_DEMO_DIR the demo's work folder (default build/demo), KX_ORVEL_LIBRARY the library
the Python blocks load (default: the binding's own search). The Dask table needs
Debian's python3-distributed and python3-pandas; without them --check leaves it out.
"""

import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
README = os.path.join(ROOT, "README.md")
MODEL = os.path.join(ROOT, "models", "default.kx")
TOOL = os.path.abspath(os.environ.get("KX_ORVEL_TOOL") or os.path.join(ROOT, "build", "tools", "kx-orvel"))
DEMO = os.path.abspath(os.environ.get("KX_DEMO_DIR") or os.path.join(ROOT, "build", "demo"))
SKIP = 77
MEETING = ["speaker08-1", "speaker33-1", "speaker08-2", "speaker06-1", "speaker33-2"]
PROFILES = ["speaker06", "speaker08", "speaker33", "speaker53"]


def run(*args, stdout=True):
    """stdout (or stderr) of a command run in the demo folder; any exit code is allowed,
    as the README shows failing commands too."""
    r = subprocess.run([TOOL, *args], cwd=DEMO, capture_output=True, text=True, timeout=600)
    return r.stdout if stdout else r.stderr


def wrap(text, indent=""):
    return textwrap.fill(text, width=84, subsequent_indent=indent, break_long_words=False,
                         break_on_hyphens=False)


def enroll():
    manifest = json.load(open(os.path.join(DEMO, "manifest.json")))
    os.makedirs(os.path.join(DEMO, "profiles"), exist_ok=True)
    for speaker, files in sorted(manifest["enrolled"].items()):
        out = os.path.join("profiles", speaker + ".profile")
        r = subprocess.run([TOOL, "enroll", "--model", MODEL, "--out", out, *files], cwd=DEMO,
                           capture_output=True, text=True)
        if r.returncode != 0:
            raise SystemExit(f"enrolling {speaker} failed: {r.stderr}")


def demo_table():
    tests = sorted(glob.glob(os.path.join(DEMO, "audio", "test", "*.mp3")))
    profiles = [a for p in PROFILES for a in ("--profile", f"profiles/{p}.profile")]
    results = os.path.join(DEMO, "results.json")
    with open(results, "w") as f:
        f.write(run("recognize", "--model", MODEL, "--json", *profiles, *tests))
    table = subprocess.run([sys.executable, os.path.join(HERE, "demo_audio.py"), "table", DEMO, results, "0.5"],
                           capture_output=True, text=True, check=True).stdout
    lines = table.rstrip("\n").split("\n")
    summary = lines.index("")
    return "\n".join(lines[:summary] + [""] + [wrap(" ".join(lines[summary + 1:]))])


def timeline():
    with open(os.path.join(DEMO, "meeting.mp3"), "wb") as out:
        for name in MEETING:
            with open(os.path.join(DEMO, "audio", "test", name + ".mp3"), "rb") as f:
                out.write(f.read())
    profiles = [a for p in PROFILES for a in ("--profile", f"profiles/{p}.profile")]
    table = run("timeline", *profiles, "meeting.mp3").rstrip("\n")
    rttm = run("timeline", *profiles, "--rttm", "meeting.mp3").split("\n")[0]
    return table, rttm


def batch():
    tests = sorted(os.path.relpath(p, DEMO) for p in glob.glob(os.path.join(DEMO, "audio", "test", "*.mp3")))
    with open(os.path.join(DEMO, "archive.txt"), "w") as f:
        f.write("\n".join(tests) + "\n")
    scores = os.path.join(DEMO, "scores.jsonl")
    if os.path.exists(scores):
        os.remove(scores)
    args = ["recognize", "--profile", "profiles/speaker06.profile", "--profile", "profiles/speaker08.profile",
            "--list", "archive.txt", "--jobs", "2", "--output", "scores.jsonl", "--resume"]
    runs = run(*args, stdout=False) + run(*args, stdout=False)
    with open(scores) as f:
        line = next(line for line in f if '"audio/test/speaker06-1.mp3"' in line).rstrip("\n")
    return runs.rstrip("\n"), wrap(line, " ")


def enroll_message():
    out = os.path.join(tempfile.mkdtemp(), "x.profile")
    text = run("enroll", "--out", out, "audio/test/speaker06-3.mp3", stdout=False).strip()
    shutil.rmtree(os.path.dirname(out))
    text = re.sub(r"^kx-orvel: ", "", text.split("\n")[-1])
    return wrap(text)


DASK = r"""
import sys
from distributed import Client, LocalCluster
import pandas
import kx_orvel.dask
files = sys.argv[1:]
profiles = ["profiles/speaker06.profile", "profiles/speaker08.profile"]
with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
        Client(cluster) as client:
    frame = kx_orvel.dask.score_files(files, profiles, client=client)
pandas.set_option("display.width", 200)
print(frame[["file", "seconds", "best", "score_speaker06", "score_speaker08"]].head(4).to_string())
"""


def dask_table():
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"))
    try:
        subprocess.run([sys.executable, "-c", "import distributed, pandas"], env=env, check=True,
                       capture_output=True)
    except subprocess.CalledProcessError:
        return None
    files = [f"build/demo/audio/test/{os.path.basename(p)}"
             for p in sorted(glob.glob(os.path.join(DEMO, "audio", "test", "*.mp3")))]
    # The README runs it from the source tree, where build/demo is.
    link = os.path.join(tempfile.mkdtemp(), "build")
    os.makedirs(link)
    os.symlink(DEMO, os.path.join(link, "demo"))
    os.symlink(os.path.join(DEMO, "profiles"), os.path.join(os.path.dirname(link), "profiles"))
    r = subprocess.run([sys.executable, "-c", DASK, *files], cwd=os.path.dirname(link), env=env,
                       capture_output=True, text=True, timeout=600)
    shutil.rmtree(os.path.dirname(link))
    if r.returncode != 0:
        raise SystemExit("the Dask table failed:\n" + r.stderr)
    return r.stdout.rstrip("\n")


PYTHON = r"""
import kx_orvel
pcm = kx_orvel.read_audio("audio/test/speaker06-1.mp3")
other_pcm = kx_orvel.read_audio("audio/test/speaker06-2.mp3")
with kx_orvel.Profiler() as profiler:
    for path in sorted(__import__("glob").glob("audio/enroll/speaker06/*.mp3")):
        profiler.enroll(kx_orvel.read_audio(path))
    profiler.flush()
    profile = profiler.export()
with kx_orvel.Recognizer() as recognizer:
    scores = recognizer.process(other_pcm, [profile])
assert scores is not None and 0 <= scores[0] <= 1, scores
"""


def python_block():
    """The README's Python example runs (its output is not shown, so only that)."""
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"))
    r = subprocess.run([sys.executable, "-c", PYTHON], cwd=DEMO, env=env, capture_output=True, text=True)
    if r.returncode != 0:
        raise SystemExit("the README's Python example failed:\n" + r.stderr)


def run_block(readme, name):
    """Runs the README's command block after `<!-- run: NAME -->` with bash, from the
    source tree, the demo folder standing for build/demo; its stdout."""
    where = blocks(readme, "run")
    if name not in where:
        raise SystemExit(f"README has no <!-- run: {name} --> block")
    start, end = where[name]
    script = "\n".join(line[4:] for line in readme[start:end])
    script = script.replace("cd build/demo", f"cd '{DEMO}'").replace("../../models/default.kx", f"'{MODEL}'")
    r = subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=ROOT, capture_output=True, text=True,
                       timeout=600)
    if r.returncode != 0:
        raise SystemExit(f"the README's {name} commands failed ({r.returncode}):\n{script}\n{r.stderr}")
    return r.stdout


def c_example(readme):
    """The C example reads the converted demo audio and enrolls from several files."""
    if not os.path.exists(os.path.join(DEMO, "..", "examples", "enroll_and_score")):
        return []
    out = run_block(readme, "c-example")
    if "enrollment: 100%" not in out or not re.search(r"score: [01]\.\d{3}", out):
        return [f"the C example printed:\n{out}"]
    return []


def blocks(readme, kind="output"):
    """{name: (start, end)} line ranges of the indented block after each marker."""
    out = {}
    for i, line in enumerate(readme):
        m = re.match(r"<!-- %s: ([a-z-]+) -->$" % kind, line)
        if not m:
            continue
        start = i + 1
        while start < len(readme) and not readme[start].strip():
            start += 1
        end = start
        while end < len(readme) and (readme[end].startswith("    ") or
                                     (not readme[end].strip() and end + 1 < len(readme) and
                                      readme[end + 1].startswith("    "))):
            end += 1
        out[m.group(1)] = (start, end)
    return out


def main():
    check = "--check" in sys.argv[1:]
    if not os.access(TOOL, os.X_OK):
        raise SystemExit(f"{TOOL}: no tool (build it, or set KX_ORVEL_TOOL)")
    r = subprocess.run([sys.executable, os.path.join(HERE, "demo_audio.py"), "fetch", DEMO])
    if r.returncode != 0:
        print("the demo's audio cannot be fetched (no Debian archive?): skipped")
        return SKIP
    enroll()
    python_block()
    fresh = {"demo-table": demo_table()}
    fresh["timeline"], rttm = timeline()
    fresh["batch-runs"], fresh["batch-line"] = batch()
    fresh["enroll-short"] = enroll_message()
    table = dask_table()
    if table is not None:
        fresh["dask-table"] = table
    elif not check:
        raise SystemExit("the Dask table needs python3-distributed and python3-pandas")

    readme = open(README).read().split("\n")
    where = blocks(readme)
    differ = c_example(readme)
    for name in sorted(set(where) - set(fresh) - ({"dask-table"} if check else set())):
        differ.append(f"README marks a block {name} that nothing makes")
    for name, text in sorted(fresh.items(), key=lambda kv: -where.get(kv[0], (0,))[0]):
        if name not in where:
            differ.append(f"README has no <!-- output: {name} --> block")
            continue
        start, end = where[name]
        lines = ["    " + line if line else "" for line in text.split("\n")]
        if readme[start:end] != lines:
            differ.append(f"{name}:\n" + "\n".join(readme[start:end]) + "\n--- a fresh run gives:\n" +
                          "\n".join(lines))
            readme[start:end] = lines
    text = "\n".join(readme)
    rttm_now = re.search(r"`SPEAKER meeting [^`]*`", text)
    if not rttm_now or rttm_now.group(0) != f"`{rttm}`":
        differ.append(f"the RTTM line: README {rttm_now and rttm_now.group(0)}, a fresh run `{rttm}`")
        text = re.sub(r"`SPEAKER meeting [^`]*`", f"`{rttm}`", text)
    if check:
        for d in differ:
            print(d + "\n")
        print("README outputs: " + ("differ; run scripts/readme_outputs.sh" if differ else "as a fresh run gives"))
        return 1 if differ else 0
    with open(README, "w") as f:
        f.write(text)
    print(f"README.md: {len(differ)} block(s) rewritten" if differ else "README.md: already as a fresh run gives")
    return 0


if __name__ == "__main__":
    sys.exit(main())
