"""Run benchmark suites and print a table of native against baseline.

    python -m bench.run [suite ...] [--tokens N] [--texts N] [--seed S] [--repeat K] [--quick]

Suites are the modules ``bench/bench_<name>.py`` (see ``bench.case``). Every case runs once per
side (native, baseline) in a fresh subprocess, so that each side's peak memory is its own and a
native module that does not import yet only skips its side.
"""

import argparse
import gc
import importlib
import json
import os
import pkgutil
import platform
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import bench
from bench import corpus
from bench.case import Params

ROOT = Path(__file__).resolve().parent.parent
_MARK = "@@lumora-bench "
_QUICK_SCALE = 10

MEMORY_NOTE = (
    "peak = extra resident memory of one call: VmHWM when it returns minus VmRSS when it\n"
    "       starts, read from /proc/self/status in a fresh subprocess per case and side, after\n"
    "       imports and setup, with the high-water mark reset just before the call\n"
    "       (/proc/self/clear_refs); counts every allocation (NumPy, Python objects, C++\n"
    "       containers); largest over the runs")
MEMORY_NOTE_FALLBACK = (
    "peak = VmHWM when the call returns minus VmHWM after imports and setup (this kernel does not\n"
    "       reset the high-water mark, so a setup that used more memory hides the call's peak)")


def discover():
    """Names of the suites: the modules bench/bench_<name>.py."""
    return sorted(m.name[len("bench_"):] for m in pkgutil.iter_modules(bench.__path__)
                  if m.name.startswith("bench_"))


def load_suite(name):
    return importlib.import_module("bench.bench_" + name)


# ---------------------------------------------------------------------------------------------
# Memory, read from the kernel so that native allocations count as much as Python's.

def _status_kib():
    try:
        with open("/proc/self/status") as f:
            lines = f.read().splitlines()
    except OSError:
        return None
    fields = {}
    for line in lines:
        key, _, value = line.partition(":")
        if key in ("VmRSS", "VmHWM"):
            fields[key] = int(value.split()[0])
    return fields


def _reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return False
    return True


# ---------------------------------------------------------------------------------------------
# The workers: one case and one side, or the indexed copy and the floor, in a process of their
# own, so that a native module that crashes on import cannot take the runner down.

def _worker(spec):
    if spec.get("task") == "floor":
        return _floor_worker(spec)
    return _case_worker(spec)


def _floor_worker(spec):
    params = Params(**spec["params"])
    started = time.perf_counter()
    indexed = corpus.indexed_copy(params.tokens, params.texts, params.seed,
                                  builder=spec["builder"])
    indexed_s = time.perf_counter() - started
    floor_s, files = measure_floor(indexed, params.repeat)
    return {"status": "ok", "floor_s": floor_s, "files": files, "indexed_s": indexed_s}


def _case_worker(spec):
    suite = load_suite(spec["suite"])
    case = next(c for c in suite.CASES if c.name == spec["case"])
    params = Params(**spec["params"])
    side = spec["side"]
    fn = case.native if side == "native" else case.baseline
    if fn is None:
        return {"status": "absent"}
    if side == "native" and case.requires:
        try:
            importlib.import_module(case.requires)
        except ImportError as exc:
            return {"status": "skipped", "reason": f"{type(exc).__name__}: {exc}"}
    times, peaks, method = [], [], None
    for _ in range(params.repeat):
        ctx = case.setup(params)
        try:
            gc.collect()
            reset = _reset_peak()
            before = _status_kib()
            started = time.perf_counter()
            result = fn(ctx)
            elapsed = time.perf_counter() - started
            after = _status_kib()
            del result
        except ImportError as exc:
            if side != "native":
                raise
            return {"status": "skipped", "reason": f"{type(exc).__name__}: {exc}"}
        finally:
            if case.teardown is not None:
                case.teardown(ctx)
        times.append(elapsed)
        if before and after:
            method = "reset" if reset else "hwm"
            peaks.append(after["VmHWM"] - (before["VmRSS"] if reset else before["VmHWM"]))
    return {"status": "ok", "times": times, "peaks_kib": peaks,
            "peak_kib": max(peaks) if peaks else None, "memory": method}


def _worker_main(spec_json):
    spec = json.loads(spec_json)
    try:
        out = _worker(spec)
    except Exception as exc:  # noqa: BLE001 - reported in the table, not a crash of the runner
        out = {"status": "error", "error": f"{type(exc).__name__}: {exc}"}
    sys.stdout.write("\n" + _MARK + json.dumps(out) + "\n")
    return 0


def _spawn(spec):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(ROOT), env.get("PYTHONPATH")) if p)
    proc = subprocess.run([sys.executable, "-m", "bench.run", "--worker", json.dumps(spec)],
                          cwd=str(ROOT), env=env, capture_output=True, text=True, check=False)
    for line in reversed(proc.stdout.splitlines()):
        if line.startswith(_MARK):
            return json.loads(line[len(_MARK):])
    tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
    return {"status": "error", "error": f"worker exited with {proc.returncode}: {tail}"}


# ---------------------------------------------------------------------------------------------
# The runner.

def measure_floor(indexed, repeat):
    """Best time to np.load every token array of an indexed corpus (after one warm pass)."""
    folder = indexed.npy_folder
    names = os.listdir(folder)
    for name in names:
        np.load(folder + name)
    best = float("inf")
    for _ in range(max(repeat, 1)):
        started = time.perf_counter()
        for name in names:
            np.load(folder + name)
        best = min(best, time.perf_counter() - started)
    return best, len(names)


def _seconds(t):
    return f"{t:.4g}"


def _rate(tokens, t):
    return "%.3g M" % (tokens / t / 1e6) if t > 0 else "-"


def _mib(kib):
    return "%.1f" % (kib / 1024) if kib is not None else "n/a"


def _cell(res):
    if res["status"] == "skipped":
        return "skipped"
    if res["status"] == "absent":
        return "-"
    return "error"


def table(header, rows):
    """A Markdown table with padded columns, easy to paste into a note."""
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    def line(cells):
        return "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
    out = [line(header), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    out.extend(line(r) for r in rows)
    return "\n".join(out)


def run_suite(name, args):
    suite = load_suite(name)
    defaults = getattr(suite, "DEFAULTS", {})
    tokens = args.tokens or defaults.get("tokens", 2_000_000) // (_QUICK_SCALE if args.quick else 1)
    texts = args.texts or max(1, defaults.get("texts", 400) // (_QUICK_SCALE if args.quick else 1))
    params = Params(tokens=tokens, texts=min(texts, tokens), seed=args.seed,
                    repeat=args.repeat or (1 if args.quick else 3))

    print(f"lumora bench, suite {name}: {params.tokens:,} tokens in {params.texts:,} texts "
          f"(seed {params.seed}), best of {params.repeat}")
    print(f"machine: Python {platform.python_version()}, NumPy {np.__version__}, "
          f"{platform.system()} {platform.machine()}, {os.cpu_count()} CPUs")
    print("time = wall clock of one call (time.perf_counter), best of the runs; setup (fresh\n"
          "       copies, loading) runs before each call, outside the timing")
    sys.stdout.flush()

    started = time.perf_counter()
    if hasattr(suite, "prepare"):
        suite.prepare(params)
    prepare_s = time.perf_counter() - started
    notes = []
    # The indexed copy is built (and checked) with lumora.lm_build when it imports; if that
    # fails in any way, or only the baseline side runs, the baseline builds it alone.
    builder = "baseline" if args.only == "baseline" else "auto"
    floor = _spawn({"task": "floor", "builder": builder, "params": params.__dict__})
    if floor["status"] != "ok" and builder == "auto":
        notes.append("indexed copy with lumora.lm_build failed, made by the baseline alone: "
                     + floor["error"])
        floor = _spawn({"task": "floor", "builder": "baseline", "params": params.__dict__})
    floor_s = floor.get("floor_s")
    if floor_s is not None:
        print(f"floor = np.load of every token array of the indexed corpus ({floor['files']} "
              f"files): {_seconds(floor_s)} s, {_rate(params.tokens, floor_s)} tokens/s")
        print(f"corpora: prepare {prepare_s:.2f} s, indexed copy {floor['indexed_s']:.2f} s "
              "(both cached under bench/out/)")
    else:
        notes.append("no floor: " + floor["error"])
    sys.stdout.flush()

    header = ["case", "native s", "baseline s", "baseline/native", "native tok/s",
              "baseline tok/s", "native peak MiB", "baseline peak MiB", "native/floor"]
    rows, results, methods = [], [], set()
    sides = ("native", "baseline") if args.only is None else (args.only,)
    for case in suite.CASES:
        if args.case and not any(part in case.name for part in args.case):
            continue
        res = {side: _spawn({"suite": name, "case": case.name, "side": side,
                             "params": params.__dict__})
               if side in sides else {"status": "absent"}
               for side in ("native", "baseline")}
        n_tokens = case.tokens_for(params)
        best = {s: min(r["times"]) for s, r in res.items() if r["status"] == "ok"}
        for side, r in res.items():
            if r["status"] == "skipped":
                notes.append("{}, native: skipped ({})".format(case.name, r["reason"]))
            elif r["status"] == "error":
                notes.append("{}, {}: {}".format(case.name, side, r["error"]))
            elif r["status"] == "ok" and r["memory"]:
                methods.add(r["memory"])
        nat, base = best.get("native"), best.get("baseline")
        rows.append([
            case.name,
            _seconds(nat) if nat is not None else _cell(res["native"]),
            _seconds(base) if base is not None else _cell(res["baseline"]),
            "%.2fx" % (base / nat) if nat and base else "-",
            _rate(n_tokens, nat) if nat else "-",
            _rate(n_tokens, base) if base else "-",
            _mib(res["native"].get("peak_kib")) if nat is not None else "-",
            _mib(res["baseline"].get("peak_kib")) if base is not None else "-",
            "%.2fx" % (nat / floor_s) if case.floor and nat and floor_s else "-",
        ])
        results.append({"case": case.name, "tokens": n_tokens, "native": res["native"],
                        "baseline": res["baseline"]})
    print(MEMORY_NOTE_FALLBACK if methods == {"hwm"} else MEMORY_NOTE)
    print()
    print(table(header, rows))
    for note in notes:
        print("- " + note)
    print()
    sys.stdout.flush()
    return {"suite": name, "params": params.__dict__, "floor_s": floor_s, "results": results}


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--worker"]:
        return _worker_main(argv[1])
    ap = argparse.ArgumentParser(prog="python -m bench.run",
                                 description="Time lumora's native modules against baselines.")
    ap.add_argument("suites", nargs="*", metavar="suite",
                    help="suites to run (default: all of {})".format(", ".join(discover())))
    ap.add_argument("--tokens", type=int, help="corpus size in tokens (default: the suite's)")
    ap.add_argument("--texts", type=int, help="number of texts (default: the suite's)")
    ap.add_argument("--seed", type=int, default=0, help="corpus seed (default 0)")
    ap.add_argument("--repeat", type=int, help="runs per side, best taken (default 3)")
    ap.add_argument("--quick", action="store_true",
                    help="a tenth of the suite's corpus and one run per side")
    ap.add_argument("--only", choices=("native", "baseline"), help="run one side only")
    ap.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    ap.add_argument("--list", action="store_true", help="list suites and their cases")
    ap.add_argument("--case", action="append", metavar="TEXT",
                    help="run only the cases whose names contain TEXT (repeatable)")
    args = ap.parse_args(argv)

    available = discover()
    if args.list:
        for name in available:
            print("{}: {}".format(name, ", ".join(c.name for c in load_suite(name).CASES)))
        return 0
    unknown = [s for s in args.suites if s not in available]
    if unknown:
        ap.error("unknown suite {} (have: {})".format(", ".join(unknown), ", ".join(available)))
    for flag in ("tokens", "texts", "repeat"):
        value = getattr(args, flag)
        if value is not None and value < 1:
            ap.error(f"--{flag} must be at least 1")
    reports = [run_suite(name, args) for name in (args.suites or available)]
    if args.json:
        with open(args.json, "w") as f:
            json.dump(reports, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
