"""Keyword list: ``lumora.lm_keyness.make_keywords`` against the plain-Python rendering.

The keyword cases time the keyword step itself, scored against the real English reference list:
on both sides the module attribute ``make_wordlist`` is replaced by a function that returns the
corpus's word list, computed once per process before any timing. Target: at least five times the
baseline for both measures. ``make_wordlist`` is timed on its own against the np.load floor, and
once more inside a whole keyword list.
"""

from bench import baseline_keyness, corpus
from bench.case import Case

DEFAULTS = {"tokens": 2_000_000, "texts": 400}
LANGUAGE = "en"  # the reference list the keywords are scored against

_word_lists = {}


def prepare(params):
    corpus.indexed_copy(params.tokens, params.texts, params.seed)


def _indexed(params):
    return corpus.indexed_copy(params.tokens, params.texts, params.seed)


def _set_make_wordlist(fn):
    baseline_keyness.make_wordlist = fn
    try:
        from lumora import lm_keyness
    except ImportError:  # the baseline side still runs
        return
    lm_keyness.make_wordlist = fn


def _precomputed(params):
    """The indexed corpus, with make_wordlist answering from a word list made once."""
    from lumora.lm_vocab import make_wordlist

    c = _indexed(params)
    key = (params.tokens, params.texts, params.seed)
    if key not in _word_lists:
        _word_lists[key] = make_wordlist(c.workspace, c.corpus_name, LANGUAGE, True)
    result = _word_lists[key]
    _set_make_wordlist(lambda *args: result)
    return c


def _real(params):
    from lumora.lm_vocab import make_wordlist

    _set_make_wordlist(make_wordlist)
    return _indexed(params)


def _native(measure):
    def run(c):
        from lumora import lm_keyness

        return lm_keyness.make_keywords(c.workspace, c.corpus_name, LANGUAGE, measure)
    return run


def _baseline(measure):
    def run(c):
        return baseline_keyness.make_keywords(c.workspace, c.corpus_name, LANGUAGE, measure)
    return run


def _make_wordlist(c):
    from lumora.lm_vocab import make_wordlist

    return make_wordlist(c.workspace, c.corpus_name, LANGUAGE, True)


CASES = [
    Case("make_keywords ll, keyword step", native=_native(1), baseline=_baseline(1),
         setup=_precomputed, requires="lumora.lm_keyness"),
    Case("make_keywords chi-square, keyword step", native=_native(2), baseline=_baseline(2),
         setup=_precomputed, requires="lumora.lm_keyness"),
    Case("make_wordlist", native=_make_wordlist, baseline=None, setup=_indexed,
         requires="lumora.lm_vocab", floor=True),
    Case("make_keywords ll, with make_wordlist", native=_native(1), baseline=_baseline(1),
         setup=_real, requires="lumora.lm_keyness", floor=True),
]
