"""``lumora.Corpus``: each analysis against its module, n-grams against polars computing the same
table, the word lists against the np.load floor, and two threads against one.

    python -m bench.run corpus                                    # 2M tokens in 400 texts
    python -m bench.run corpus --tokens 20000000 --texts 4000     # the large corpus

Targets: ``ngrams(2)`` and ``ngrams(3)`` at least 3 times faster than polars (a DataFrame
result), ``words()`` and ``wordtags()`` within 1.5 times the floor. The rows of polars and of
lumora are compared once per case, in the setup, outside the timing. ``LUMORA_THREADS=1`` is the
one-thread side of the thread cases.
"""

import os

from bench import corpus
from bench.case import Case

DEFAULTS = {"tokens": 2_000_000, "texts": 400}


def prepare(params):
    corpus.indexed_copy(params.tokens, params.texts, params.seed)


def _indexed(params):
    return corpus.indexed_copy(params.tokens, params.texts, params.seed)


def _open(c):
    import lumora

    return lumora.open(c.workspace + c.corpus_name)


def _opened(params):
    """Setup: the corpus opened and its lexicon read, as after a user's first call; the imports
    and the dictionaries are then outside the timing, as they are for every later call."""
    k = _open(_indexed(params))
    k._lexicon()
    return k


def _warmed(params):
    """Setup of the cluster cases: as _opened, after a first clusters call in each case mode
    (which reads the lower-case dictionary and the forms' punctuation classes once per
    corpus)."""
    k = _opened(params)
    k.clusters("of", size=1)
    k.clusters("of", size=1, case_sensitive=True)
    return k


_CHECKED = set()


def _checked_ngrams(size):
    """Setup of the polars case: the rows of both sides compared once (in the first run's
    setup), outside the timing."""
    def setup(params):
        from bench.baseline_polars import ngrams_frame

        k = _opened(params)
        if (params, size) not in _CHECKED:
            ours = k.ngrams(size, sort="first")
            theirs = ngrams_frame(k._workspace, k._name, size)
            if ours.to_list() != [(i,) + r for i, r in enumerate(theirs.iter_rows(), 1)]:
                raise AssertionError(f"polars and lumora differ on the {size}-grams")
            _CHECKED.add((params, size))
        return k
    return setup


def _threads(n, fn):
    def run(c):
        old = os.environ.get("LUMORA_THREADS")
        os.environ["LUMORA_THREADS"] = str(n)
        try:
            return fn(c)
        finally:
            if old is None:
                del os.environ["LUMORA_THREADS"]
            else:
                os.environ["LUMORA_THREADS"] = old
    return run


def _place(ctx):
    """(workspace, name) of a context: an opened Corpus or the bench's corpus record."""
    if hasattr(ctx, "_workspace"):
        return ctx._workspace, ctx._name
    return ctx.workspace, ctx.corpus_name


def _module(name, call):
    def run(ctx):
        import importlib

        return call(importlib.import_module("lumora." + name), *_place(ctx))
    return run


def _polars_ngrams(size):
    def run(ctx):
        from bench.baseline_polars import ngrams_frame

        return ngrams_frame(*_place(ctx), size)
    return run


_LANG = corpus.LANGUAGE
_ANALYSES = [
    # name, Corpus call, module, module call
    ("words()", lambda k: k.words(), "lm_vocab",
     lambda m, ws, n: m.make_wordlist(ws, n, _LANG, False)),
    ("words(lowercase=True)", lambda k: k.words(lowercase=True), "lm_vocab",
     lambda m, ws, n: m.make_wordlist(ws, n, _LANG, True)),
    ("wordtags()", lambda k: k.wordtags(), "lm_tagfreq",
     lambda m, ws, n: m.make_wtfreq(ws, n, _LANG, False)),
    ("wordtags(lowercase=True)", lambda k: k.wordtags(lowercase=True), "lm_tagfreq",
     lambda m, ws, n: m.make_wtfreq(ws, n, _LANG, True)),
    ("ranges()", lambda k: k.ranges(), "lm_docfreq",
     lambda m, ws, n: m.make_wfreqinfiles(ws, n, _LANG, False)),
    ("ngrams(2)", lambda k: k.ngrams(2), "lm_sequences",
     lambda m, ws, n: m.make_ngrams(ws, n, None, 2, False)),
    ("ngrams(3)", lambda k: k.ngrams(3), "lm_sequences",
     lambda m, ws, n: m.make_ngrams(ws, n, None, 3, False)),
    ("ngrams(3, tags='DT JJ NN')", lambda k: k.ngrams(3, tags="DT JJ NN"), "lm_sequences",
     lambda m, ws, n: m.make_ngrams(ws, n, "DT JJ NN", 3, False)),
    ("clusters('the', size=3)", lambda k: k.clusters("the", size=3), "lm_bundles",
     lambda m, ws, n: m.make_clusters(ws, n, "the", None, False, 3)),
    ("clusters('the', size=1)", lambda k: k.clusters("the", size=1), "lm_bundles",
     lambda m, ws, n: m.make_clusters(ws, n, "the", None, False, 1)),
    ("clusters('the', tag='DT', case_sensitive=True)",
     lambda k: k.clusters("the", tag="DT", case_sensitive=True), "lm_bundles",
     lambda m, ws, n: m.make_clusters(ws, n, "the", "DT", True, 2)),
    ("dispersion('the')", lambda k: k.dispersion("the"), "lm_spread",
     lambda m, ws, n: m.make_dispersion(ws, n, "the", None, False, False)),
    ("keywords()", lambda k: k.keywords(language="en"), "lm_keyness",
     lambda m, ws, n: m.make_keywords(ws, n, "en", 1)),
]


def _corpus_call(call):
    return lambda k: call(k)


def _first_call(params):
    c = _indexed(params)
    import lumora  # noqa: F401 - the import is outside the timing, the dictionaries are not
    from lumora import corpus_api, table  # noqa: F401
    return c


CASES = (
    [Case(f"{size}-grams: Corpus vs polars DataFrame",
          native=_corpus_call(lambda k, s=size: k.ngrams(s)), baseline=_polars_ngrams(size),
          setup=_checked_ngrams(size), requires="lumora._engine", floor=True)
     for size in (2, 3)]
    + [Case("open + first words(): Corpus vs module", native=lambda c: _open(c).words(),
            baseline=_module("lm_vocab", _ANALYSES[0][3]), setup=_first_call,
            requires="lumora._engine", floor=True)]
    + [Case(f"{name}: Corpus vs module", native=_corpus_call(call),
            baseline=_module(module, mcall),
            setup=_warmed if module == "lm_bundles" else _opened, requires="lumora._engine",
            floor=True)
       for name, call, module, mcall in _ANALYSES]
    + [Case(f"{name}: 2 threads vs 1", native=_threads(2, _corpus_call(call)),
            baseline=_threads(1, _corpus_call(call)), setup=_opened, requires="lumora._engine")
       for name, call, _, _ in _ANALYSES[:7:2] + _ANALYSES[8:9]]
)
