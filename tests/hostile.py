"""Hostile arguments and a child interpreter that makes native calls on them.

The objects here are picklable (they live in an importable module), so the same hostile value
can be built in the test process and handed to the child. `run_isolated` makes each call in a
separate interpreter, many calls per interpreter: a call that crashes the interpreter or hangs
ends only its own case, which comes back as a "crash" or "hang" outcome with the child's
standard error, and the next interpreter goes on with the following case.
"""
from __future__ import annotations

import faulthandler
import hashlib
import importlib
import os
import pickle
import subprocess
import sys
import tempfile
import traceback
from dataclasses import dataclass, field
from typing import Any, ClassVar

HERE = os.path.dirname(os.path.abspath(__file__))


class Boom(Exception):
    """Raised by the hostile objects' special methods."""


class BadEq:
    """Equality (and so inequality) fails."""

    def __eq__(self, other):
        raise Boom("__eq__")

    __hash__ = object.__hash__

    def __repr__(self):
        return "BadEq()"


class BadBool:
    def __bool__(self):
        raise Boom("__bool__")

    def __repr__(self):
        return "BadBool()"


class BadIndex:
    def __index__(self):
        raise Boom("__index__")

    def __repr__(self):
        return "BadIndex()"


class BadRound:
    def __round__(self, *args):
        raise Boom("__round__")

    def __repr__(self):
        return "BadRound()"


class StrSub(str):
    """A str subclass: not an exact str."""


class BadStr(str):
    """A str subclass whose hashing, comparison and stripping fail."""

    def __hash__(self):
        raise Boom("__hash__")

    def __eq__(self, other):
        raise Boom("__eq__")

    def strip(self, *args):
        raise Boom("strip")


class BadIter:
    """Iteration fails part-way."""

    def __init__(self, good=()):
        self.good = list(good)

    def __iter__(self):
        yield from self.good
        raise Boom("__iter__")


class BadItems(dict):
    """A dict subclass whose keys(), items() and iteration fail."""

    def keys(self):
        raise Boom("keys")

    def items(self):
        raise Boom("items")

    def __iter__(self):
        raise Boom("__iter__")

    def __reduce__(self):  # pickling would call items()
        return (_bad_items, (list(dict.items(self)),))


def _bad_items(pairs):
    return BadItems(pairs)


# The wrong-type values every str-or-None argument is tried with.
def wrong_types():
    return {
        "int": 1,
        "bytes": b"abc",
        "list": ["abc"],
        "dict": {"a": 1},
        "BadEq": BadEq(),
        "BadBool": BadBool(),
        "BadIndex": BadIndex(),
        "StrSub": StrSub("abc"),
        "BadStr": BadStr("abc"),
    }


class WordList:
    """A stand-in for the keyword module's make_wordlist, with a good or a hostile result."""

    ROWS: ClassVar[dict] = {
        "good": [(1, "the", 3), (2, "cat", 1)],
        "bad-freq": [(1, "the", BadIndex())],
        "huge-freq": [(1, "the", 2**31)],
        "unhashable-word": [(1, ["the"], 3)],
        "short-row": [(1, "the")],
        "list-row": [[1, "the", 3]],
        "bad-rows": BadIter([(1, "the", 3)]),
    }

    def __init__(self, kind):
        self.kind = kind

    def __call__(self, workspace, corpus_name, language, flag):
        if self.kind == "raises":
            raise Boom("make_wordlist")
        if self.kind == "bad-tokens":
            return (BadIndex(), 2, 0.5, 1, [])
        if self.kind == "iter-fails":
            return BadIter([4, 2])
        return (4, 2, 0.5, 1, self.ROWS[self.kind])


# ---------------------------------------------------------------------------------------------
# Folder snapshots: what a call changed on disk.

def snapshot(root):
    """{relative path: content digest or "<dir>"} for everything under root (links not followed)."""
    out = {}
    if not os.path.lexists(root):
        return out
    for dirpath, dirnames, filenames in os.walk(root):
        for d in dirnames:
            p = os.path.join(dirpath, d)
            out[os.path.relpath(p, root)] = "<link>" if os.path.islink(p) else "<dir>"
        for f in filenames:
            p = os.path.join(dirpath, f)
            rel = os.path.relpath(p, root)
            if os.path.islink(p):
                out[rel] = f"<link:{os.readlink(p)}>"
            elif os.path.isfile(p):
                with open(p, "rb") as fh:
                    out[rel] = hashlib.sha1(fh.read()).hexdigest()
            else:
                out[rel] = "<special>"
    return out


def changes(before, after):
    """Sorted list of (path, what) for every path added, removed or rewritten."""
    diff = []
    for p in sorted(set(before) | set(after)):
        if p not in after:
            diff.append((p, "removed"))
        elif p not in before:
            diff.append((p, "added"))
        elif before[p] != after[p]:
            diff.append((p, "changed"))
    return diff


# ---------------------------------------------------------------------------------------------
# The isolated calls.

@dataclass
class Job:
    """One call: module.func(*args, **kwargs), optionally drained with list()."""
    module: str
    func: str
    args: tuple = ()
    kwargs: dict = field(default_factory=dict)
    drain: bool = False  # list() the result (a generator)
    patches: tuple = ()  # (attribute, value) set on the module for the call, then restored
    tempdir: str | None = None  # tempfile.tempdir for the call; leftovers are reported


@dataclass
class Outcome:
    kind: str  # "ok", "raise", "crash" or "hang"
    value: Any = None  # the result ("ok")
    exc_type: str = ""  # "module.QualName" ("raise")
    exc_str: str = ""
    leftovers: list = field(default_factory=list)  # entries left in the job's tempdir
    detail: str = ""  # traceback ("raise") or the child's exit and stderr ("crash", "hang")

    def describe(self):
        if self.kind == "ok":
            return f"returned {self.value!r:.300}"
        if self.kind == "raise":
            return f"raised {self.exc_type}: {self.exc_str:.300}"
        return f"{self.kind}: {self.detail[-3000:]}"


def _qualname(tp):
    return f"{tp.__module__}.{tp.__qualname__}"


def _run_job(job):
    mod = importlib.import_module(job.module)
    saved = []
    for name, value in job.patches:
        saved.append((name, getattr(mod, name)))
        setattr(mod, name, value)
    old_tempdir = tempfile.tempdir
    if job.tempdir is not None:
        tempfile.tempdir = job.tempdir
    try:
        value = getattr(mod, job.func)(*job.args, **job.kwargs)
        if job.drain:
            value = list(value)
        out = Outcome("ok", value=value)
    except BaseException as e:  # noqa: BLE001 - every exception is an outcome here
        out = Outcome("raise", exc_type=_qualname(type(e)), exc_str=str(e)[:2000],
                      detail="".join(traceback.format_exception(type(e), e, e.__traceback__)))
    finally:
        tempfile.tempdir = old_tempdir
        for name, value in reversed(saved):
            setattr(mod, name, value)
    if job.tempdir is not None:
        out.leftovers = sorted(os.listdir(job.tempdir))
    try:
        pickle.dumps(out.value)
    except Exception:  # noqa: BLE001
        out.value = repr(out.value)
    return out


def _child(jobs_path, results_dir, start, timeout):
    faulthandler.enable()
    with open(jobs_path, "rb") as f:
        jobs = pickle.load(f)
    for i in range(start, len(jobs)):
        with open(os.path.join(results_dir, "current"), "w") as f:
            f.write(str(i))
        faulthandler.dump_traceback_later(timeout, exit=True)
        out = _run_job(jobs[i])
        faulthandler.cancel_dump_traceback_later()
        with open(os.path.join(results_dir, f"{i}.pickle"), "wb") as f:
            pickle.dump(out, f)


def _sanitizer_reports(workdir):
    text = ""
    for name in sorted(os.listdir(workdir)):
        if name.startswith(("asan.", "ubsan.")):
            with open(os.path.join(workdir, name), errors="replace") as f:
                text += "\n" + f.read()
            os.remove(os.path.join(workdir, name))
    return text


def run_isolated(jobs, workdir, timeout=60.0):
    """Runs every job in child interpreters; returns one Outcome per job, in order.

    A job that takes longer than `timeout` seconds is a hang. The children import the same
    lumora as this process, and inherit its environment (sanitizer settings included).
    """
    import lumora
    os.makedirs(workdir, exist_ok=True)
    jobs_path = os.path.join(workdir, "jobs.pickle")
    with open(jobs_path, "wb") as f:
        pickle.dump(list(jobs), f)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(os.path.dirname(lumora.__file__)), HERE]))
    env.pop("PYTHONSTARTUP", None)
    # Sanitizer reports of a child go beside its results, and into its outcome: a crash is
    # already the failure of its case.
    for var, prefix in (("ASAN_OPTIONS", "asan"), ("UBSAN_OPTIONS", "ubsan")):
        if var in env:
            env[var] += ":log_path=" + os.path.join(workdir, prefix)
    outcomes = [None] * len(jobs)
    start = 0
    while start < len(jobs):
        code = f"import hostile; hostile._child({jobs_path!r}, {workdir!r}, {start}, {timeout!r})"
        # The child's own folder holds no lumora, so the one on PYTHONPATH is imported.
        r = subprocess.run([sys.executable, "-c", code], cwd=workdir, env=env, check=False,
                           capture_output=True, text=True, errors="replace",
                           timeout=timeout * (len(jobs) - start) + 120)
        i = start
        while i < len(jobs) and os.path.exists(os.path.join(workdir, f"{i}.pickle")):
            with open(os.path.join(workdir, f"{i}.pickle"), "rb") as f:
                outcomes[i] = pickle.load(f)
            i += 1
        if i < len(jobs):
            kind = "hang" if "Timeout (" in r.stderr else "crash"
            outcomes[i] = Outcome(kind, detail=f"exit status {r.returncode}\n{r.stderr}"
                                  f"{_sanitizer_reports(workdir)}")
            i += 1
        start = i
    return outcomes
