"""Leak checks for repeated calls: a helper for the tests, not a test module.

`check(call, args)` calls `call(*args)` many times and reports what kept growing once the
caches had filled:

- the interpreter's allocated blocks (`sys.getallocatedblocks`), which count every object and
  every PyMem/PyObject allocation (zero, and so not used, when PYTHONMALLOC=malloc);
- the memory traced by `tracemalloc` (every Python allocator domain, whatever the allocator);
- the reference counts of the argument objects themselves (a reference taken and never given
  back allocates nothing, so only this sees it);
- the process's resident memory (`/proc/self/statm`), which also sees native allocations that
  no Python allocator knows of; not used under AddressSanitizer, whose quarantine keeps freed
  memory resident by design.

Each call may have to raise: `expect` names the exception type every call must raise (None:
none may), so the error paths are measured as well as the paths that return.
"""
from __future__ import annotations

import gc
import os
import sys
import tracemalloc
from dataclasses import dataclass, field

# What may grow per measured call before it counts as a leak. One object leaked per call is
# at least one block and some 30 bytes; one token array leaked per call is far above the limit
# on resident memory.
BLOCKS_PER_CALL = 0.5
TRACED_BYTES_PER_CALL = 24
RSS_BYTES = 6 << 20


def sanitized():
    """True when the native code runs under AddressSanitizer or Python under plain malloc."""
    return "asan" in os.environ.get("LD_PRELOAD", "") or \
        os.environ.get("PYTHONMALLOC", "").startswith("malloc")


def rss_bytes():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return None


@dataclass
class Growth:
    calls: int  # measured calls (after the warm-up and the first round)
    traced_calls: int = 0  # the same while tracemalloc traced
    blocks: list = field(default_factory=list)  # allocated blocks after each round
    traced: list = field(default_factory=list)  # tracemalloc's current size after each round
    rss: list = field(default_factory=list)  # resident bytes after each round
    refcounts: list = field(default_factory=list)  # (argument index, before, after)

    def problems(self, check_rss=True):
        """What grew in every measured round by more than the limits allow. A leak grows with
        every call; the caches of Python and NumPy grow now and then, and stop."""
        out = []
        per_round = self.calls // max(len(self.blocks) - 1, 1)
        if (self.blocks and self.blocks[0] > 0
                and min(_deltas(self.blocks)) > BLOCKS_PER_CALL * per_round):
            out.append(f"allocated blocks grew in every round of {per_round} calls: "
                       f"{self.blocks}")
        if self.traced:
            traced_per_round = self.traced_calls // max(len(self.traced) - 1, 1)
            if min(_deltas(self.traced)) > TRACED_BYTES_PER_CALL * traced_per_round:
                out.append(f"traced memory grew in every round of {traced_per_round} calls: "
                           f"{self.traced}")
        for i, before, after in self.refcounts:
            if after != before:
                out.append(f"argument {i}: reference count {before} before the calls, "
                           f"{after} after")
        if check_rss and self.rss and self.rss[0] is not None:
            grown = self.rss[-1] - self.rss[0]
            if grown > RSS_BYTES:
                out.append(f"resident memory grew by {grown / 2**20:.1f} MiB over "
                           f"{self.calls} calls")
        return out


def _deltas(values):
    return [b - a for a, b in zip(values, values[1:])]


def _once(call, args, kwargs, expect):
    if expect is None:
        call(*args, **kwargs)
        return
    try:
        call(*args, **kwargs)
    except expect:
        return
    raise AssertionError(f"{call!r} did not raise {expect.__name__}")


def _counted(arg):
    """Whether an argument's reference count says anything: not a shared or cached number or
    constant that other code may hold at will. (Pass str arguments as new objects, not
    literals, which are shared.)"""
    return not (arg is None or isinstance(arg, (bool, int, float)))


def _settle(once, reading, limit, per_round, max_rounds):
    """Warm-up rounds until two in a row grow `reading()` by no more than `limit` each (caches
    fill up and stop, some only after hundreds of calls; a leak never does, and is measured
    after max_rounds)."""
    last = reading()
    quiet = 0
    for _ in range(max_rounds):
        for _ in range(per_round):
            once()
        gc.collect()
        now = reading()
        quiet = quiet + 1 if now - last <= limit else 0
        if quiet == 2:
            return
        last = now


def measure(call, args=(), kwargs=None, expect: type | None = None, warmup=20, rounds=4,
            per_round=50, traced_rounds=4, traced_per_round=25, max_settle=16):
    """Runs the calls and returns their Growth."""
    kwargs = kwargs or {}

    def once():
        _once(call, args, kwargs, expect)

    for _ in range(warmup):
        once()
    if sys.getallocatedblocks():
        _settle(once, sys.getallocatedblocks, BLOCKS_PER_CALL * per_round, per_round, max_settle)
    gc.collect()
    counted = [(i, a) for i, a in enumerate(args) if _counted(a)]
    before = [sys.getrefcount(a) for _, a in counted]
    g = Growth(calls=(rounds - 1) * per_round,
               traced_calls=(traced_rounds - 1) * traced_per_round)
    for _ in range(rounds):
        for _ in range(per_round):
            once()
        gc.collect()
        g.blocks.append(sys.getallocatedblocks())
        g.rss.append(rss_bytes())
    after = [sys.getrefcount(a) for _, a in counted]
    g.refcounts = [(i, b, a) for (i, _), b, a in zip(counted, before, after)]
    if traced_rounds:
        was_tracing = tracemalloc.is_tracing()
        if not was_tracing:
            tracemalloc.start()
        try:
            def traced():
                return tracemalloc.get_traced_memory()[0]
            _settle(once, traced, TRACED_BYTES_PER_CALL * traced_per_round, traced_per_round,
                    max_settle)
            for _ in range(traced_rounds):
                for _ in range(traced_per_round):
                    once()
                gc.collect()
                g.traced.append(traced())
        finally:
            if not was_tracing:
                tracemalloc.stop()
    return g


def check(call, args=(), kwargs=None, expect=None, **options):
    """Asserts that repeated calls leak nothing measurable; returns the Growth."""
    g = measure(call, args, kwargs, expect, **options)
    problems = g.problems(check_rss=not sanitized())
    assert not problems, "{!r} leaks:\n  {}".format(call, "\n  ".join(problems))
    return g
