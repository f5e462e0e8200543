"""What a suite module ``bench/bench_<name>.py`` exposes to the runner.

A suite defines ``CASES``, a list of ``Case``, and may define ``DEFAULTS`` (corpus size for the
suite: ``{"tokens": ..., "texts": ...}``) and ``prepare(params)``, called once in the runner
before any case (to generate cached corpora outside every measurement).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable


@dataclass(frozen=True)
class Params:
    """Corpus size and repetitions chosen on the command line (or the suite's defaults)."""

    tokens: int
    texts: int
    seed: int = 0
    repeat: int = 3


@dataclass(frozen=True)
class Case:
    """One benchmark: a native and a baseline callable doing the same work.

    ``setup(params)`` runs before every timed run, outside the timing, and returns the context
    that the callable gets (``native(ctx)`` / ``baseline(ctx)``); ``teardown(ctx)`` runs after
    each run. ``tokens(params)`` is the number of tokens one run processes (default: the corpus
    size). ``requires`` names the native module: when it does not import, the native side is
    reported as skipped. ``floor`` asks for the native/floor ratio in the table.
    """

    name: str
    native: Callable[[Any], Any] | None
    baseline: Callable[[Any], Any] | None
    setup: Callable[[Params], Any]
    teardown: Callable[[Any], None] | None = None
    tokens: Callable[[Params], int] | None = None
    requires: str = ""
    floor: bool = False

    def tokens_for(self, params):
        return self.tokens(params) if self.tokens is not None else params.tokens
