"""Statistics: the time each measure adds to the call it extends, on an opened corpus.

    python -m bench.run stats                                     # 2M tokens in 400 texts
    python -m bench.run stats --tokens 20000000 --texts 4000      # the large corpus

In each case the "baseline" side is the plain call and the "native" side the same call with the
statistics, so baseline/native below 1 is the share of time the statistics cost (0.5: they
double the call):

* ``words()`` vs ``words(dispersion=True)`` (range, DP, DP normalised, Juilland's D per word);
* ``keywords()`` (single precision, the module) vs ``keywords(reference="en")`` and
  ``keywords(reference=<the 2M corpus>)`` (the six double-precision scores);
* ``dispersion(term)`` vs ``dispersion(term).measures``;
* the dispersion columns counted by the engine vs by the NumPy fallback (a speed-up).
"""

from bench import corpus
from bench.case import Case

DEFAULTS = {"tokens": 2_000_000, "texts": 400}
REFERENCE = (2_000_000, 400)  # the reference corpus of the corpus-vs-corpus case
TERM = "the"


def prepare(params):
    corpus.indexed_copy(params.tokens, params.texts, params.seed)
    corpus.indexed_copy(*REFERENCE, params.seed)


def _open(c):
    import lumora

    k = lumora.open(c.workspace + c.corpus_name)
    k._lexicon()  # read once, as after a user's first call
    return k


def _opened(params):
    return _open(corpus.indexed_copy(params.tokens, params.texts, params.seed))


def _with_reference(params):
    k = _opened(params)
    k._bench_reference = _open(corpus.indexed_copy(*REFERENCE, params.seed))
    return k


def _numpy_dispersion(k):
    from lumora import stats

    engine = stats._engine
    stats._engine = lambda: None
    try:
        return k.words(dispersion=True)
    finally:
        stats._engine = engine


CASES = [
    Case("words(dispersion=True) vs words()", native=lambda k: k.words(dispersion=True),
         baseline=lambda k: k.words(), setup=_opened, requires="lumora._engine"),
    Case("keywords(reference='en') vs keywords()",
         native=lambda k: k.keywords(reference="en"), baseline=lambda k: k.keywords(),
         setup=_opened, requires="lumora._engine"),
    Case("keywords(reference=2M corpus) vs keywords()",
         native=lambda k: k.keywords(reference=k._bench_reference),
         baseline=lambda k: k.keywords(), setup=_with_reference, requires="lumora._engine"),
    Case(f"dispersion({TERM!r}).measures vs dispersion({TERM!r})",
         native=lambda k: k.dispersion(TERM).measures, baseline=lambda k: k.dispersion(TERM),
         setup=_opened, requires="lumora.lm_spread"),
    Case("dispersion columns: engine vs NumPy fallback",
         native=lambda k: k.words(dispersion=True), baseline=_numpy_dispersion,
         setup=_opened, requires="lumora._engine"),
]
