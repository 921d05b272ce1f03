#!/usr/bin/env python3
"""Benchmark krenn_python.sum_as_string against the limit (hand-written C
with krenn's exact behaviour), a plainer C floor, nanobind, pybind11, Cython
and pure Python; and, as further groups, functions over everyday types
(scale, shout, is_even, nothing), a class (geo::Vec2 and dot) and
containers and callbacks (total, count_words, apply), each against its own
limit, nanobind and pybind11.

    python3 bench/run.py            # build peers, time, count, report
    python3 bench/run.py --quick    # fewer rounds, for a smoke run

Builds the peer extensions into bench/_build/ (CMake), checks every
implementation's outcome per case against the limit's, times them
interleaved in one process, counts instructions per call under callgrind,
measures module sizes and C stack per nested call, and writes
bench/results.md and bench/results.png. krenn_python is imported from the
installed package (pip install .), krenn's modules for the other groups
(bench_krenn_everyday, bench_krenn_classes, bench_krenn_stdlib and its _std) from
bench/_build/lib or sys.path; any of them is left out if missing.
Needs: cmake, a C/C++ compiler, pip install -r bench/requirements.txt,
valgrind for the instruction counts and strip (binutils) for the module
sizes (each skipped without it).
"""

import argparse
import datetime
import importlib.util
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import sysconfig
import time
import timeit
from concurrent.futures import ThreadPoolExecutor
from importlib import metadata
from pathlib import Path

import impls
from impls import BENCH, BUILD, CASE_KEYS, CASES, CLASSES, EVERYDAY, LIB, STDLIB, SUM

# Groups whose krenn is also held to instructions per call: at most this
# many times the limit's, and fewer than nanobind's.
IR_TARGETS = {CLASSES.key: 1.2, STDLIB.key: 1.2}

# The groups after the first, each with its heading and what it binds.
MORE_GROUPS = [
    (
        EVERYDAY,
        "Everyday types: scale, shout, is_even, nothing",
        "`scale(x: float, k: int) -> float`, `shout(s: str) -> str` (ASCII "
        "letters upper-cased), `is_even(n: int) -> bool` and `nothing() -> "
        "None`, k and n as int64. limit: `limit/everyday.c`; krenn: the "
        "module `bench_krenn_everyday`; nanobind and pybind11 bind plain "
        "lambdas.",
    ),
    (
        CLASSES,
        "A class: geo::Vec2 and dot",
        "The C++ struct `geo::Vec2` (`vec2.hpp`) as the class `Vec2` "
        "(`__init__(x=0.0, y=0.0)`, `length()`, `scaled(k)`, `scale_by(k)`, "
        "`__repr__`, `__eq__`, static `unit_x()`, read-write `x`, read-only "
        "`y`) and `dot(a, b)`; v is `Vec2(3.0, 4.0)`, a `Vec2(1.0, 2.0)`, b "
        "`Vec2(3.0, 4.0)`. limit: `limit/vec2.c`, a C type that behaves as a "
        "Python class of the same signatures; krenn: `bench_krenn_classes`; "
        "nanobind and pybind11 bind the struct.",
    ),
    (
        STDLIB,
        "Containers and callbacks: total, count_words, apply",
        "`total(xs)` sums 1000 floats, `count_words(d)` the int values of a "
        "dict of 100 str keys (krenn reads them through `krenn::Sequence<double>` "
        "and `krenn::Mapping<std::string_view, int64_t>`, the peers through "
        "`std::vector<double>` and `std::unordered_map<std::string, int64_t>`), "
        "`apply(f, x)` calls a "
        "`std::function<int64_t(int64_t)>`: a Python lambda, and the module's "
        "own `inc(x)`. limit: `limit/stdlib.c`; krenn: `bench_krenn_stdlib`; "
        "nanobind and pybind11 with their stl headers.",
    ),
]

CG_DIR = BUILD / "callgrind"
KRENN_SYMS = BUILD / "krenn"  # same sources and flags as the wheel, plus -g
# krenn's time per call at most this many times the limit's.
TARGET_OK, TARGET_ERR = 1.4, 1.2
SUBSAMPLES = 3
PEERS = ["nanobind", "pybind11", "cython", "cython-fstr"]


def log(msg):
    print(msg, flush=True)


# --- build -----------------------------------------------------------------


def build():
    BUILD.mkdir(exist_ok=True)
    logfile = BUILD / "build.log"
    cmd_cfg = [
        "cmake",
        "-S",
        str(BENCH),
        "-B",
        str(BUILD),
        f"-DPython_EXECUTABLE={sys.executable}",
        "-DCMAKE_BUILD_TYPE=Release",
    ]
    if shutil.which("ninja") and not (BUILD / "CMakeCache.txt").exists():
        cmd_cfg += ["-G", "Ninja"]
    with open(logfile, "w") as out:
        for cmd in (cmd_cfg, ["cmake", "--build", str(BUILD), "-j", "2"]):
            if subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, check=False).returncode:
                sys.exit(f"build failed: {' '.join(cmd)}\n" + logfile.read_text()[-3000:])


def build_krenn_symbols():
    """A krenn_python that keeps its symbols, for callgrind's function names.

    The installed wheel is stripped; this copy is only profiled, never timed.
    """
    logfile = BUILD / "krenn-build.log"
    cfg = [
        "cmake",
        "-S",
        str(BENCH.parent),
        "-B",
        str(KRENN_SYMS),
        "-DCMAKE_BUILD_TYPE=Release",
        "-DCMAKE_CXX_FLAGS=-g",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    if shutil.which("ninja") and not (KRENN_SYMS / "CMakeCache.txt").exists():
        cfg += ["-G", "Ninja"]
    with open(logfile, "w") as out:
        for cmd in (
            cfg,
            ["cmake", "--build", str(KRENN_SYMS), "-j", "2", "--target", "krenn_python"],
        ):
            if subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, check=False).returncode:
                log(f"  symbol build of krenn failed, see {logfile}")
                return None
    return KRENN_SYMS


# --- outcomes ----------------------------------------------------------------

CHECK_SRC = """
import json, sys
sys.path.insert(0, sys.argv[1])
import impls
group = impls.GROUPS[sys.argv[3]]
try:
    funcs = group.funcs(sys.argv[2])
except Exception as e:
    print(json.dumps({"missing": f"{type(e).__name__}: {e}"})); sys.exit()
out = {}
for key in group.case_keys:
    print(json.dumps({"case": key}), flush=True)
    out[key] = impls.call_once(funcs[key], key, group)
print(json.dumps({"outcomes": out}))
"""

STACK_SRC = """
import json, sys
sys.path.insert(0, sys.argv[1])
import impls
print(json.dumps({"stack": impls.stack_per_level(impls.load(sys.argv[2]))}))
"""


def child(src, name, what, *extra):
    """Runs src for one implementation in a child, so a crash costs only it."""
    p = subprocess.run(
        [sys.executable, "-c", src, str(BENCH), name, *extra],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    lines = [json.loads(x) for x in p.stdout.splitlines() if x.startswith("{")]
    if p.returncode != 0 or not lines:
        last = next((x["case"] for x in reversed(lines) if "case" in x), what)
        return {"missing": f"crashed (exit {p.returncode}) on {last}: " + p.stderr.strip()[-300:]}
    return lines[-1]


def check(name, group=SUM):
    """Outcomes per case, plain and inside an except block."""
    return child(CHECK_SRC, name, "import", group.key)


def agreement(status, names, group=SUM):
    """Per implementation and case: None where the outcome is the limit's,
    else a note saying what differs."""
    ref = status["limit"]["outcomes"]
    return {
        n: {k: impls.outcome_note(status[n]["outcomes"][k], ref[k]) for k in group.case_keys}
        for n in names
    }


# --- size and stack ------------------------------------------------------------


def module_files(names, group=SUM):
    """{label: shared object} per module; the two Cython variants share one."""
    out = {}
    for n in names:
        module = group.modules[n]
        if module == "purepy":
            continue
        if group is not SUM:
            path = next(iter(LIB.glob(f"{module}.*.so")), None)
            spec = None if path else importlib.util.find_spec(module)
            path = path or (Path(spec.origin) if spec and spec.origin else None)
        elif n == "krenn":
            spec = importlib.util.find_spec(module)
            path = Path(spec.origin) if spec and spec.origin else None
        else:
            path = next(iter(LIB.glob(f"{module}.*.so")), None)
        if path is None:
            continue
        label = " / ".join(m for m in names if group.modules[m] == module)
        out.setdefault(label, path)
    return out


def module_sizes(names, group=SUM):
    """{label: (bytes as built, bytes stripped)}; stripped with
    --strip-unneeded, as a wheel ships it, from a copy."""
    if not shutil.which("strip"):
        return None
    out_dir = BUILD / "stripped"
    out_dir.mkdir(parents=True, exist_ok=True)
    sizes = {}
    for label, path in module_files(names, group).items():
        copy = out_dir / path.name
        p = subprocess.run(
            ["strip", "--strip-unneeded", "-o", str(copy), str(path)],
            capture_output=True,
            check=False,
        )
        if p.returncode == 0:
            sizes[label] = (path.stat().st_size, copy.stat().st_size)
    return sizes


def stack_bytes(names):
    """{name: {"bytes": per level, ...} or None} for f -> __index__ -> f."""
    if not list(LIB.glob("bench_stackmark*")):
        return None
    return {n: child(STACK_SRC, n, "stack probe") for n in names if n != "purepy"}


# --- timing ------------------------------------------------------------------


def time_all(funcs, rounds, target_s, group=SUM, seed=1):
    """Median ns per call and ratio to the limit, from interleaved rounds.

    Each round takes one sample of every implementation (and of an empty
    loop) per case, in a fresh random order, so drift in machine speed
    lands on all of them alike. Differences and ratios are paired per round.
    A sample is the fastest of SUBSAMPLES short runs: another process taking
    the CPU can only add time, and rarely hits all of them.
    """
    names = list(funcs)
    timers = {}
    for key in group.case_keys:
        for name in [*names, "(loop)"]:
            env = funcs[name][key] if name in funcs else {"f": None}
            s = impls.BASELINE_STMT if name == "(loop)" else group.stmts[key]
            setup = "\n".join(f"{k} = _env[{k!r}]" for k in env)
            t = timeit.Timer(s, setup=setup, globals={"_env": env})
            per = min(t.timeit(200) for _ in range(3)) / 200
            sub_s = target_s / SUBSAMPLES
            number = max(20, min(2_000_000, int(sub_s / max(per, 1e-9))))
            timers[key, name] = (t, number)
    samples = {k: [] for k in timers}
    rng = random.Random(seed)
    order = [*names, "(loop)"]
    for _r in range(rounds):
        for key in group.case_keys:
            rng.shuffle(order)
            for name in order:
                t, number = timers[key, name]
                best = min(t.timeit(number) for _ in range(SUBSAMPLES))
                samples[key, name].append(best / number * 1e9)
    res = {}
    for key in group.case_keys:
        base = samples[key, "(loop)"]
        net = {n: [s - b for s, b in zip(samples[key, n], base, strict=True)] for n in names}
        for n in names:
            q = statistics.quantiles(net[n], n=4)
            med = statistics.median(net[n])
            ratio = statistics.median(a / b for a, b in zip(net[n], net["limit"], strict=True))
            res[key, n] = {
                "ns": med,
                "ratio": ratio,
                "iqr_rel": (q[2] - q[0]) / med if med > 0 else None,
            }
        res[key, "(loop)"] = {"ns": statistics.median(base)}
    return res


# --- callgrind ---------------------------------------------------------------


def parse_callgrind(path):
    """(label, {function: self Ir}) from one callgrind dump file."""
    names = {"fn": {}, "ob": {}}
    kind_of = {"fn": "fn", "cfn": "fn", "ob": "ob", "cob": "ob"}
    label, fn, ob = None, "?", "?"
    costs = {}
    skip_next = False
    with open(path) as fh:
        for line in fh:
            if line.startswith("desc: Trigger: Client Request: "):
                label = line.split(": ", 2)[2].strip().split(": ", 1)[-1]
                continue
            head, sep, rest = line.partition("=")
            if sep and head in kind_of:
                rest = rest.strip()
                table = names[kind_of[head]]
                if rest.startswith("("):
                    ident, _, nm = rest.partition(")")
                    nm = nm.strip()
                    if nm:
                        table[ident] = nm
                    value = table.get(ident, nm)
                else:
                    value = rest
                if head == "fn":
                    fn = value
                elif head == "ob":
                    ob = value
                continue
            if sep and head == "calls":
                skip_next = True
                continue
            if line[:1].isdigit() or line[:1] in "+-*":
                if skip_next:
                    skip_next = False
                    continue
                parts = line.split()
                if len(parts) > 1:
                    k = f"{fn} [{os.path.basename(ob)}]"
                    costs[k] = costs.get(k, 0) + int(parts[1])
    return label, costs


def callgrind_one(name, n, from_dir=None, tag=None, group=SUM):
    out = CG_DIR / (tag or name) if group is SUM else CG_DIR / f"{group.key}-{tag or name}"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    env = dict(os.environ, PYTHONHASHSEED="0")
    cmd = [
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={out}/cg.out",
        sys.executable,
        str(BENCH / "cg_probe.py"),
        name,
        str(n),
    ]
    if from_dir or group is not SUM:
        cmd.append(str(from_dir or ""))
    if group is not SUM:
        cmd.append(group.key)
    p = subprocess.run(cmd, env=env, capture_output=True, text=True, cwd=BENCH, check=False)
    if p.returncode != 0:
        return {"error": p.stderr.strip()[-500:]}
    segs = {}
    for f in out.glob("cg.out.*"):
        label, costs = parse_callgrind(f)
        if label:
            segs[label] = costs
    per_fn = {}
    for key in [*group.case_keys, "baseline"]:
        a, b = segs[f"{key} n"], segs[f"{key} 2n"]
        per_fn[key] = {k: (b.get(k, 0) - a.get(k, 0)) / n for k in set(a) | set(b)}
    base = per_fn.pop("baseline")
    res = {}
    for key in group.case_keys:
        fns = {k: v - base.get(k, 0) for k, v in per_fn[key].items()}
        res[key] = {"ir": sum(fns.values()), "fns": {k: v for k, v in fns.items() if abs(v) >= 0.5}}
    return res


def callgrind_all(jobs, n):
    """{group key: {implementation: result}} for jobs of (group, names,
    krenn build with symbols or None), two valgrinds at a time."""
    runs = []
    for group, names, krenn_syms in jobs:
        runs += [(x, n, None, None, group) for x in names]
        if krenn_syms and "krenn" in names:
            runs.append(("krenn", n, krenn_syms, "krenn+syms", group))
    with ThreadPoolExecutor(max_workers=2) as pool:
        done = list(pool.map(lambda r: callgrind_one(*r), runs))
    out = {group.key: {} for group, _, _ in jobs}
    for r, res in zip(runs, done, strict=True):
        out[r[4].key][r[3] or r[0]] = res
    return out


# --- report ------------------------------------------------------------------


def machine():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} logical CPUs, Linux {platform.release()}"


def versions():
    out = {}
    for dist in ("nanobind", "pybind11", "Cython", "krenn_python"):
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = "not installed"
    cc = subprocess.run(["cc", "--version"], capture_output=True, text=True, check=False)
    out["cc"] = cc.stdout.splitlines()[0] if cc.returncode == 0 else "unknown"
    return out


def module_origin(path):
    """Where a module was loaded from, in words that hold on any machine: the
    report is committed, so it must not carry this one's paths."""
    p = Path(path).resolve()
    if p.is_relative_to(BENCH.parent):
        return f"the source tree ({p.relative_to(BENCH.parent).as_posix()})"
    for scheme in ("platlib", "purelib"):
        if p.is_relative_to(Path(sysconfig.get_path(scheme)).resolve()):
            return f"site-packages ({p.name})"
    return p.name


def fmt_ns(v):
    return f"{v:.0f}" if v >= 100 else f"{v:.1f}"


def short_name(key):
    """Drops C++ parameter lists and the object's ABI suffix from a name."""
    name, _, obj = key.rpartition(" [")
    out, depth, i = [], 0, 0
    while i < len(name):
        if name.startswith("(anonymous namespace)", i):
            if depth == 0:
                out.append("(anonymous namespace)")
            i += len("(anonymous namespace)")
            continue
        c = name[i]
        if c == "(":
            if depth == 0:
                out.append("()")
            depth += 1
        elif c == ")":
            depth -= 1
        elif depth == 0:
            out.append(c)
        i += 1
    obj = obj.rstrip("]").split(".cpython-")[0]
    return f"{''.join(out)} [{obj}]"


def footnote_marks(notes, names, group=SUM, first=1):
    """Numbered marks, from first on, for outcomes that differ from the limit's."""
    labels = group.labels
    marks, footnotes = {}, []
    for name in names:
        for key in group.case_keys:
            if notes[name][key]:
                num = len(footnotes) + first
                marks[key, name] = f" [{num}]"
                footnotes.append(f"[{num}] {name}, {labels[key]}: {notes[name][key]}.")
    return marks, footnotes


def time_table(timing, names, marks, group=SUM):
    labels = group.labels
    L = [
        "| case | " + " | ".join(names) + " | loop |",
        "|---" * (len(names) + 2) + "|",
    ]
    for key in group.case_keys:
        cells = []
        for n in names:
            r = timing[key, n]
            c = fmt_ns(r["ns"]) + ("" if n == "limit" else f" ({r['ratio']:.2f}x)")
            cells.append(c + marks.get((key, n), ""))
        L.append(
            f"| {labels[key]} | "
            + " | ".join(cells)
            + f" | {fmt_ns(timing[key, '(loop)']['ns'])} |"
        )
    return L


def callgrind_section(meta, cg, names, group=SUM, heading="## Instructions per call"):
    labels = group.labels
    cg_names = [n for n in [*names, "krenn+syms"] if n in cg and "error" not in cg[n]]
    L = [
        "",
        heading,
        "",
        (
            f"callgrind, {meta['cg_n']} and {2 * meta['cg_n']} calls per case "
            "in one process; the difference over the extra calls, less the "
            "same difference for an empty loop. In brackets: the ratio to the limit."
        ),
        "",
        "| case | " + " | ".join(cg_names) + " |",
        "|---" * (len(cg_names) + 1) + "|",
    ]
    for key in group.case_keys:
        cells = []
        for n in cg_names:
            ir = cg[n][key]["ir"]
            base = cg["limit"][key]["ir"] if "limit" in cg_names else None
            cells.append(f"{ir:.0f}" + ("" if n == "limit" or not base else f" ({ir / base:.2f}x)"))
        L.append(f"| {labels[key]} | " + " | ".join(cells) + " |")
    if "krenn+syms" in cg_names:
        L += [
            "",
            (
                "krenn+syms: the same sources built here with -g (the wheel "
                "is stripped), profiled only to name functions below; it should "
                "count as the installed krenn does, unless the sources moved on "
                "since the install."
            ),
        ]
    for n in cg:
        if "error" in cg[n]:
            L.append(f"\ncallgrind failed for {n}: {cg[n]['error']}")
    return L


def size_section(sizes, level="##", text=None):
    L = [
        "",
        f"{level} Module size",
        "",
        text
        or (
            "The shared object, stripped as a wheel ships it (`strip "
            "--strip-unneeded` on a copy); krenn's is the installed one. The "
            "two Cython variants share one module."
        ),
        "",
        "| module | stripped bytes | stripped KiB | as built, bytes |",
        "|---|---|---|---|",
    ]
    for label, (built, stripped) in sizes.items():
        L.append(f"| {label} | {stripped} | {stripped / 1024:.1f} | {built} |")
    return L


def stack_section(stacks):
    L = [
        "",
        "## C stack per nested call",
        "",
        (
            "f calls `__index__` (or `__int__`) on its argument, which calls f "
            "again, 32 levels deep; a C helper called from `__index__` gives the "
            "address of a local at each level. Bytes per level: the difference "
            "between levels, the same at every level unless a range is shown; it "
            "includes the interpreter's own share (calling `__index__`, running "
            "it, calling f). Frame's own: that less the limit's."
        ),
        "",
        "| implementation | bytes per level | frame's own |",
        "|---|---|---|",
    ]
    base = (stacks.get("limit") or {}).get("stack")
    for n, res in stacks.items():
        if "missing" in res:
            L.append(f"| {n} | {res['missing'][:120]} | |")
            continue
        st = res["stack"]
        if st is None:
            L.append(f"| {n} | never calls `__index__` | |")
            continue
        spread = "" if st["min"] == st["max"] else f" ({st['min']}..{st['max']})"
        own = f"{st['bytes'] - base['bytes']:+.0f}" if base else ""
        L.append(f"| {n} | {st['bytes']:.0f}{spread} | {own} |")
    return L


def targets_section(timing, notes, cg, names, marks, group=SUM, level="##"):
    labels = group.labels
    peers = [p for p in PEERS if p in group.names]
    L = [
        "",
        f"{level} krenn against its targets",
        "",
        (
            f"Time per call at most {TARGET_OK}x the limit's where the call "
            f"succeeds and {TARGET_ERR}x on error paths, and below every peer "
            f"({', '.join(peers)}) whose outcome on the case is the limit's. "
            "Met only if krenn's own outcome is the limit's too: a ratio to "
            "different work would mean nothing."
        ),
        "",
        "| case | target | krenn/limit | outcome as the limit's | "
        "peers with that outcome | slower than | met |",
        "|---|---|---|---|---|---|---|",
    ]
    missed = []
    for key in group.case_keys:
        r = timing[key, "krenn"]
        lim = TARGET_ERR if impls.is_error_case(key) else TARGET_OK
        same = [p for p in peers if p in names and notes[p][key] is None]
        beaten_by = [p for p in same if timing[key, p]["ns"] <= r["ns"]]
        agrees = notes["krenn"][key] is None
        ok = agrees and r["ratio"] <= lim and not beaten_by
        if not ok:
            missed.append(key)
        same_cell = "yes" if agrees else "no" + marks[key, "krenn"]
        L.append(
            f"| {labels[key]} | <= {lim}x limit, faster than peers | {r['ratio']:.2f}x | "
            f"{same_cell} | {', '.join(same) or 'none'} | {', '.join(beaten_by) or '-'} | "
            f"{'yes' if ok else 'NO'} |"
        )
    prof = next(
        (p for p in ("krenn+syms", "krenn") if cg and p in cg and "error" not in cg[p]), None
    )
    if not prof:
        return L
    shown = ", ".join(labels[k] for k in group.profiled)
    L += [
        "",
        f"{level} Where krenn's instructions go",
        "",
        (
            "Self instructions per call by function (callgrind, empty loop "
            f"subtracted), {prof} beside the limit, for {shown} "
            "and every case krenn misses."
        ),
    ]
    limit_cg = cg.get("limit", {}) if "error" not in cg.get("limit", {}) else {}
    for key in dict.fromkeys([*group.profiled, *missed]):
        L += [
            "",
            f"{level}# {labels[key]}: {prof} {cg[prof][key]['ir']:.0f}"
            + (f", limit {limit_cg[key]['ir']:.0f}" if key in limit_cg else ""),
            "",
            "| function | krenn | limit |",
            "|---|---|---|",
        ]
        kf = cg[prof][key]["fns"]
        lf = limit_cg.get(key, {}).get("fns", {})
        # Top of each side, so both sides' own work shows.
        rows = sorted(kf, key=kf.get, reverse=True)[:12]
        rows += [k for k in sorted(lf, key=lf.get, reverse=True)[:8] if k not in rows]
        rows.sort(key=lambda k: -max(kf.get(k, 0), lf.get(k, 0)))
        for k in rows:
            cells = [f"{d[k]:.0f}" if k in d else "" for d in (kf, lf)]
            short = short_name(k).replace("|", "\\|")
            L.append(f"| `{short}` | {cells[0]} | {cells[1]} |")
    return L


def spread_line(timing, names, group):
    iqr = [
        (timing[k, n]["iqr_rel"], group.labels[k], n)
        for k in group.case_keys
        for n in names
        if timing[k, n]["iqr_rel"] is not None
    ]
    if not iqr:
        return []
    worst = max(iqr)
    return [
        "",
        (
            f"Spread (interquartile range / median): median "
            f"{statistics.median(x[0] for x in iqr):.1%}, worst {worst[0]:.1%} "
            f"({worst[2]}, {worst[1]})."
        ),
    ]


def not_measured(status, group):
    missing = [n for n in group.names if n not in status or "missing" in status[n]]
    L = [f"- Not measured: {n}: {status.get(n, {}).get('missing', 'skipped')}" for n in missing]
    return [*L, ""] if L else []


def group_section(meta, res, first_note, group, title, text):
    """A group after the first: its own limit, cases and tables; returns
    the lines and the number of notes it used."""
    L = [
        "",
        f"## {title}",
        "",
        text + " Timed and counted as above; ratios are to this group's limit.",
        "",
    ]
    if "skipped" in res:
        return [*L, f"Not measured: {res['skipped']}"], 0
    status, notes, timing, cg, names = (
        res[k] for k in ("status", "notes", "timing", "cg", "names")
    )
    marks, footnotes = footnote_marks(notes, names, group, first_note)
    L += not_measured(status, group)
    L += [
        "### Time per call",
        "",
        f"Median ns per call over {meta['rounds']} interleaved rounds, as above.",
        "",
        *time_table(timing, names, marks, group),
        *spread_line(timing, names, group),
        "",
        "Error cases catch the exception inside the timed statement.",
    ]
    if footnotes:
        L += [""] + [f + "  " for f in footnotes]
    if cg:
        L += callgrind_section(meta, cg, names, group, "### Instructions per call")
    if res.get("sizes"):
        L += size_section(
            res["sizes"], "###", "Each module stripped as a wheel ships it, as above."
        )
    if "krenn" in names:
        L += targets_section(timing, notes, cg, names, marks, group, "###")
        if group.key in IR_TARGETS:
            L += instruction_targets(res, group, IR_TARGETS[group.key])
    return L, len(footnotes)


def instruction_targets(res, group, most):
    """krenn's instructions per call against the limit's and nanobind's,
    and its module size against nanobind's."""
    cg, notes, sizes = res["cg"], res["notes"], res.get("sizes") or {}
    have = [
        n for n in ("krenn", "limit", "nanobind") if cg and "error" not in cg.get(n, {"error": 1})
    ]
    if "krenn" not in have or "limit" not in have:
        return []
    L = [
        "",
        "### krenn's instructions and size against their targets",
        "",
        (
            f"Instructions per call at most {most}x the limit's and fewer than "
            "nanobind's on every case, and the module stripped smaller than "
            "nanobind's. Met only if krenn's outcome is the limit's."
        ),
        "",
        "| case | krenn | krenn/limit | nanobind | met |",
        "|---|---|---|---|---|",
    ]
    for key in group.case_keys:
        ir, lim = cg["krenn"][key]["ir"], cg["limit"][key]["ir"]
        nb = cg["nanobind"][key]["ir"] if "nanobind" in have else None
        ok = notes["krenn"][key] is None and ir <= most * lim and (nb is None or ir < nb)
        nb_cell = "-" if nb is None else f"{nb:.0f}"
        L.append(
            f"| {group.labels[key]} | {ir:.0f} | {ir / lim:.2f}x | {nb_cell} | "
            f"{'yes' if ok else 'NO'} |"
        )
    if "krenn" in sizes and "nanobind" in sizes:
        k, nb = sizes["krenn"][1], sizes["nanobind"][1]
        L.append(f"| module size, stripped | {k} | | {nb} | {'yes' if k < nb else 'NO'} |")
    return L


def write_report(meta, results, sizes, stacks):
    res = results[SUM.key]
    status, notes, timing, cg, names = (
        res[k] for k in ("status", "notes", "timing", "cg", "names")
    )
    marks, footnotes = footnote_marks(notes, names)
    L = [
        "# sum_as_string benchmark",
        "",
        f"Written by `python3 bench/run.py` on {meta['date']}.",
        "",
        f"- Machine: {meta['machine']}; timing pinned to CPU {meta['cpu']}; "
        f"load average {meta['load'][0]:.2f} before timing, {meta['load'][1]:.2f} after.",
        f"- Interpreter: CPython {meta['python']}",
        (
            f"- Peers: nanobind {meta['versions']['nanobind']} (NOMINSIZE), "
            f"pybind11 {meta['versions']['pybind11']}, "
            f"Cython {meta['versions']['Cython']}; all CMake Release (-O3) "
            f"with {meta['versions']['cc']}."
        ),
        f"- krenn_python: {meta['krenn']}",
        (
            "- limit: `limit/limit.c`, krenn's exact behaviour in plain C, as "
            "fast as we know how; floor: `floor/floor.c`, plainer C, for reference."
        ),
        "",
        *not_measured(status, SUM),
        "## Time per call",
        "",
        (
            f"Median ns per call over {meta['rounds']} interleaved rounds (each "
            "round samples every implementation once per case, in random order; "
            "the empty loop's time, shown as `loop`, is subtracted). In brackets: "
            "the median of the per-round ratios to the limit. A number in square "
            "brackets marks an outcome that differs from the limit's (result, or "
            "exception type, text, `__cause__`, `__context__` and "
            "`__suppress_context__`, each case run plainly and inside an `except` "
            "block); the notes below say how."
        ),
        "",
        *time_table(timing, names, marks),
        *spread_line(timing, names, SUM),
        "",
        (
            f"17 digits: f({impls.D17_A}, {impls.D17_B}). Error cases catch "
            "the exception inside the timed statement."
        ),
    ]
    if footnotes:
        L += [""] + [f + "  " for f in footnotes]
    if cg:
        L += callgrind_section(meta, cg, names)
    if sizes:
        L += size_section(sizes)
    if stacks:
        L += stack_section(stacks)
    if "krenn" in names:
        L += targets_section(timing, notes, cg, names, marks)
    first_note = len(footnotes) + 1
    for group, title, text in MORE_GROUPS:
        if group.key in results:
            more, used = group_section(meta, results[group.key], first_note, group, title, text)
            L += more
            first_note += used
    (BENCH / "results.md").write_text("\n".join(L) + "\n")


def write_chart(timing, names, meta, notes):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log("matplotlib missing: no results.png (pip install matplotlib)")
        return
    labels = {c[0]: c[1] for c in CASES}
    groups = [
        [k for k in CASE_KEYS if not impls.is_error_case(k)],
        [k for k in CASE_KEYS if impls.is_error_case(k)],
    ]
    fig, axes = plt.subplots(1, 2, figsize=(14, 5.5), gridspec_kw={"width_ratios": [5, 2.8]})
    width = 0.8 / len(names)
    for ax, keys, title in zip(axes, groups, ["calls that succeed", "error paths"], strict=True):
        for i, n in enumerate(names):
            xs = [j + (i - (len(names) - 1) / 2) * width for j in range(len(keys))]
            bars = ax.bar(xs, [timing[k, n]["ns"] for k in keys], width, label=n)
            for bar, k in zip(bars, keys, strict=True):
                if notes[n][k]:
                    bar.set_hatch("//")
        ax.set_xticks(range(len(keys)), [labels[k] for k in keys], fontsize=8)
        ax.set_title(title)
        ax.set_ylabel("ns per call (empty loop subtracted)")
        ax.grid(axis="y", alpha=0.3)
    axes[1].set_yscale("log")
    axes[0].legend(fontsize=8, ncol=2)
    fig.suptitle(f"sum_as_string, CPython {platform.python_version()}, {meta['date']}", fontsize=10)
    fig.text(
        0.99,
        0.01,
        "hatched: outcome differs from the limit's, see results.md",
        ha="right",
        fontsize=8,
    )
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    fig.savefig(BENCH / "results.png", dpi=110)


# --- main --------------------------------------------------------------------


def check_group(group):
    """Outcomes of every implementation in a group, checked against the
    limit's: {"status", "notes", "names"}, or {"skipped": why}."""
    status = {n: check(n, group) for n in group.names}
    names = [n for n in group.names if "missing" not in status[n]]
    if "limit" not in names:
        if group is SUM:
            sys.exit("the limit is not available; nothing to compare against")
        log(f"  {group.title}: no limit ({status['limit']['missing']}); group skipped")
        return {"skipped": f"the limit: {status['limit']['missing']}", "status": status}
    labels = group.labels
    wrong = [
        f"{labels[k]}: {note}"
        for k in group.case_keys
        if (note := impls.strict_note(k, status["limit"]["outcomes"][k], group))
    ]
    if wrong:
        sys.exit("the limit itself is wrong, so nothing compares to it:\n" + "\n".join(wrong))
    notes = agreement(status, names, group)
    for n in group.names:
        if n not in names:
            log(f"  {n}: {status[n]['missing']}")
            continue
        differ = [labels[k] for k in group.case_keys if notes[n][k]]
        log(
            f"  {n}: ok"
            + (f"; outcome differs from the limit's on {', '.join(differ)}" if differ else "")
        )
    return {"status": status, "notes": notes, "names": names}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="few rounds, smoke run")
    ap.add_argument("--rounds", type=int, default=300)
    ap.add_argument("--sample-ms", type=float, default=2.0, help="length of one timing sample")
    ap.add_argument("--cg-calls", type=int, default=4000)
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--no-callgrind", action="store_true")
    args = ap.parse_args()
    if args.quick:
        args.rounds, args.cg_calls = 15, 500
    t0 = time.monotonic()
    load_before = os.getloadavg()[0]

    if not args.no_build:
        log("building peers into bench/_build ...")
        build()

    results = {}
    groups = [SUM, *(g for g, _, _ in MORE_GROUPS)]
    for group in groups:
        log(f"{group.title}:")
        results[group.key] = check_group(group)
    measured = [g for g in groups if "skipped" not in results[g.key]]
    names = results[SUM.key]["names"]
    sizes = module_sizes(names)
    for group in measured:
        if group is not SUM and group is not EVERYDAY:
            results[group.key]["sizes"] = module_sizes(results[group.key]["names"], group)
    stacks = stack_bytes(names)

    cpu = max(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpu})
    for group in measured:
        res = results[group.key]
        funcs = {n: group.funcs(n) for n in res["names"]}
        log(f"timing {group.title}: {len(funcs)} implementations, {args.rounds} rounds ...")
        res["timing"] = time_all(funcs, args.rounds, args.sample_ms / 1000, group)
    os.sched_setaffinity(0, set(range(os.cpu_count())))
    load_after = os.getloadavg()[0]

    for group in measured:
        results[group.key]["cg"] = None
    if args.no_callgrind:
        pass
    elif not shutil.which("valgrind") or not list(LIB.glob("bench_cgmark*")):
        log("valgrind or its headers missing: no instruction counts")
    else:
        syms = None
        if "krenn" in names:
            log("building a krenn_python with symbols for the profile ...")
            syms = build_krenn_symbols()
        log("counting instructions under callgrind ...")
        jobs = [(g, results[g.key]["names"], syms if g is SUM else None) for g in measured]
        for key, cg in callgrind_all(jobs, args.cg_calls).items():
            results[key]["cg"] = cg

    try:
        import krenn_python

        krenn = f"{versions()['krenn_python']} from {module_origin(krenn_python.__file__)}"
    except Exception as e:
        krenn = f"not importable ({type(e).__name__}: {e})"
    meta = {
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "machine": machine(),
        "cpu": cpu,
        "python": sys.version.replace("\n", " "),
        "versions": versions(),
        "krenn": krenn,
        "rounds": args.rounds,
        "cg_n": args.cg_calls,
        "load": (load_before, load_after),
    }
    write_report(meta, results, sizes, stacks)
    res = results[SUM.key]
    write_chart(res["timing"], names, meta, res["notes"])
    raw = {"meta": meta, "sizes": sizes, "stacks": stacks}
    for key, res in results.items():
        raw[key] = {
            **res,
            "timing": {f"{k}|{n}": v for (k, n), v in res.get("timing", {}).items()},
        }
    (BUILD / "results.json").write_text(json.dumps(raw, indent=1, default=str))
    log((BENCH / "results.md").read_text())
    log(f"done in {time.monotonic() - t0:.0f} s: bench/results.md, bench/results.png")


if __name__ == "__main__":
    main()
