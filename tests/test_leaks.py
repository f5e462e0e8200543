"""Repeated calls of every public function, returning and raising, leak nothing."""

import ctypes
import importlib
import os
import pickle
import random
import re
import shutil
import sys

import hostile
import leakcheck
import numpy as np
import pytest
from conftest import make_indexed, make_prepared

# Under PYTHONMALLOC=malloc there is no block count, and the traced memory of plain Python and
# NumPy code (the plain-Python reference modules too) keeps growing for hundreds of calls: a cache
# keyed by addresses, which malloc seldom gives twice. The plain test runs check leaks.
pytestmark = pytest.mark.skipif(leakcheck.sanitized(), reason="no leak checks under sanitizers")


def _module(name):
    try:
        return importlib.import_module("lumora." + name)
    except ImportError as e:
        pytest.skip(f"lumora.{name} is not built: {e}")


def _fresh(s):
    """An equal str that is a new object (not interned), so its reference count is its own."""
    return (s + "\0")[:-1]


def _texts(n_texts=3, n_tokens=4000, seed=7):
    rnd = random.Random(seed)
    vocab = [("the", "DT"), ("The", "DT"), ("cat", "NN"), ("Cat", "NN"), ("sat", "VB"),
             (".", "PUNCT"), (",", "PUNCT")] + [(f"w{i}", "NN") for i in range(300)]
    return {f"t{i}.txt": [rnd.choice(vocab) for _ in range(n_tokens)] for i in range(n_texts)}


class Env:
    """An indexed corpus, a prepared one, and helpers to damage copies of them."""

    def __init__(self, root):
        self.root = str(root)
        self.texts = _texts()
        self.indexed = make_indexed(os.path.join(self.root, "ix"), self.texts)
        self.prepared = make_prepared(os.path.join(self.root, "pr"), self.texts, name="c1")
        with open(self.prepared.idx / "words.pickle", "rb") as f:
            self.words_bytes = f.read()
        with open(self.prepared.idx / "tags.pickle", "rb") as f:
            self.tags_bytes = f.read()
        self.n = 0

    def copy(self, corpus):
        """A copy of a corpus folder: (workspace, name, folder)."""
        self.n += 1
        ws = os.path.join(self.root, f"copy{self.n}")
        shutil.copytree(str(corpus.folder), os.path.join(ws, "c1"))
        return _fresh(ws + os.sep), _fresh("c1"), os.path.join(ws, "c1")

    def args(self, corpus=None):
        c = corpus or self.indexed
        return _fresh(c.workspace), _fresh(c.name)


def _write(path, data):
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else pickle.dumps(data))


@pytest.fixture(scope="module")
def env(tmp_path_factory):
    return Env(tmp_path_factory.mktemp("leaks"))


# Each scenario: (module, id, make) with make(env) -> (callable, args, expected exception).
SCENARIOS = []


def scenario(module, sid):
    def deco(make):
        SCENARIOS.append(pytest.param(module, make, id=f"{module}-{sid}"))
        return make
    return deco


# ---- lm_build

@scenario("lm_build", "make_indexes")
def _(env):
    m = _module("lm_build")
    ws, name, folder = env.copy(env.prepared)
    idx = os.path.join(folder, "data", "idx")

    def build(ws, name, language):  # the dictionaries back in word-to-id form first
        _write(os.path.join(idx, "words.pickle"), env.words_bytes)
        _write(os.path.join(idx, "tags.pickle"), env.tags_bytes)
        m.make_indexes(ws, name, language)
    return build, (ws, name, _fresh("en")), None


@scenario("lm_build", "make_indexes-KeyError")
def _(env):
    m = _module("lm_build")
    ws, name, _folder = env.copy(env.indexed)  # id-to-word dictionaries: a second build
    return m.make_indexes, (ws, name, _fresh("en")), KeyError


for _sid, _content, _exc in [("UnicodeDecodeError", b"the\tDT\t1\t1\n\xff\n", UnicodeDecodeError),
                             ("ValueError", b"the\tDT\t1\tx\n", ValueError),
                             ("IndexError", b"the\tDT\t1\n", IndexError)]:
    @scenario("lm_build", "make_indexes-" + _sid)
    def _(env, content=_content, exc=_exc):
        m = _module("lm_build")
        ws, name, folder = env.copy(env.prepared)
        _write(os.path.join(folder, "data", "tmp1", "t1.txt"), content)
        return m.make_indexes, (ws, name, None), exc


@scenario("lm_build", "make_indexes-OverflowError")
def _(env):
    m = _module("lm_build")
    ws, name, folder = env.copy(env.prepared)
    words = pickle.loads(env.words_bytes)
    _write(os.path.join(folder, "data", "idx", "words.pickle"),
           dict(words, zzz=2**40))  # fails while inverting: nothing is replaced
    return m.make_indexes, (ws, name, None), OverflowError


@scenario("lm_build", "make_indexes-TypeError")
def _(env):
    m = _module("lm_build")
    ws, name, folder = env.copy(env.prepared)
    _write(os.path.join(folder, "data", "idx", "tags.pickle"), [1, 2])
    return m.make_indexes, (ws, name, None), TypeError


@scenario("lm_build", "make_indexes-argument")
def _(env):
    m = _module("lm_build")
    return m.make_indexes, (_fresh("x"), [1], None), TypeError


@scenario("lm_build", "get_files")
def _(env):
    m = _module("lm_build")
    return (lambda folder: list(m.get_files(folder))), (str(env.prepared.tmp1),), None


@scenario("lm_build", "get_files-FileNotFoundError")
def _(env):
    m = _module("lm_build")
    return (lambda folder: list(m.get_files(folder))), (_fresh(env.root + "/none"),), \
        FileNotFoundError


@scenario("lm_build", "get_files-unstarted-closed-thrown")
def _(env):
    m = _module("lm_build")

    def use(folder):
        m.get_files(folder)  # dropped before it starts
        g = m.get_files(folder)
        next(g)
        g.close()
        g = m.get_files(folder)
        next(g)
        try:
            g.throw(ValueError("x"))
        except ValueError:
            pass
        m.get_files(1)
    return use, (_fresh(str(env.prepared.tmp1)),), TypeError


# ---- lm_tagfreq and lm_docfreq

for _module_name, _func in [("lm_tagfreq", "make_wtfreq"), ("lm_docfreq", "make_wfreqinfiles")]:
    for _lower in (False, True):
        @scenario(_module_name, f"{_func}-{_lower}")
        def _(env, mod=_module_name, func=_func, lower=_lower):
            m = _module(mod)
            return getattr(m, func), env.args() + (_fresh("en"), lower), None

    @scenario(_module_name, _func + "-KeyError")
    def _(env, mod=_module_name, func=_func):
        m = _module(mod)
        ws, name, folder = env.copy(env.indexed)
        _write(os.path.join(folder, "data", "idx", "words.pickle"), {1: "x"})
        return getattr(m, func), (ws, name, None, True), KeyError

    @scenario(_module_name, _func + "-FileNotFoundError")
    def _(env, mod=_module_name, func=_func):
        m = _module(mod)
        return getattr(m, func), (_fresh(env.root + "/"), _fresh("none"), None, False), \
            FileNotFoundError

    @scenario(_module_name, _func + "-truth-fails")
    def _(env, mod=_module_name, func=_func):
        m = _module(mod)
        return getattr(m, func), env.args() + (None, hostile.BadBool()), hostile.Boom

    @scenario(_module_name, _func + "-argument")
    def _(env, mod=_module_name, func=_func):
        m = _module(mod)
        return getattr(m, func), env.args() + (b"en", False), TypeError


# ---- lm_spread

def _dispersion(sid, node, pos, cs, rx, exc=None, damage=None):
    @scenario("lm_spread", "make_dispersion-" + sid)
    def _(env):
        m = _module("lm_spread")
        args = env.args()
        if damage:
            ws, name, folder = env.copy(env.indexed)
            damage(folder)
            args = (ws, name)
        return m.make_dispersion, args + (_fresh(node), pos, cs, rx), exc


_dispersion("exact", "the cat", None, True, False)
_dispersion("lower-tags", "the cat", [_fresh("DT"), _fresh("NN")], False, False)
_dispersion("regexp", "c.t w1.*", _fresh("NN NN"), True, True)
_dispersion("unknown-word", "dog", None, True, False)
_dispersion("re.error", "c(t", None, True, True, re.error)
_dispersion("UnboundLocalError", "the cat sat the", None, True, 0, UnboundLocalError)
_dispersion("IndexError", "the cat", ["DT"], True, False, IndexError)
_dispersion("FileNotFoundError", "the", None, False, False, FileNotFoundError,
            lambda f: os.remove(os.path.join(f, "data", "idx", "wordslc.pickle")))
_dispersion("pos-TypeError", "the", [1], True, False, TypeError)


@scenario("lm_spread", "make_dispersion-argument")
def _(env):
    m = _module("lm_spread")
    return m.make_dispersion, env.args() + (5, None, True, False), TypeError


@scenario("lm_spread", "search_node")
def _(env):
    m = _module("lm_spread")
    w, t = env.indexed.word_ids, env.indexed.tag_ids
    node = [np.array(w["the"]), np.array(w["cat"])]
    return m.search_node, (_fresh(env.indexed.npy_path), node, [np.array(t["DT"]), np.array(
        t["NN"])]), None


@scenario("lm_spread", "search_node-UnboundLocalError")
def _(env):
    m = _module("lm_spread")
    return m.search_node, (_fresh(env.indexed.npy_path), [], None), UnboundLocalError


@scenario("lm_spread", "translate")
def _(env):
    m = _module("lm_spread")
    records = [(_fresh(f"t{i}"), 100, 3, [0.5, 19.5, 99.5]) for i in range(50)]
    return m.translate, (records,), None


@scenario("lm_spread", "translate-TypeError")
def _(env):
    m = _module("lm_spread")
    return m.translate, ([(_fresh("a"), 3, 1, [1.0]), (_fresh("b"), 3, 1, [None])],), TypeError


# ---- lm_bundles

def _clusters(sid, node, pos, lowercase, size, exc=None, damage=None):
    @scenario("lm_bundles", "make_clusters-" + sid)
    def _(env):
        m = _module("lm_bundles")
        args = env.args()
        if damage:
            ws, name, folder = env.copy(env.indexed)
            damage(folder)
            args = (ws, name)
        return m.make_clusters, args + (_fresh(node), pos, lowercase, size), exc


for _size in (1, 2, 3):
    _clusters(f"size{_size}", "cat", None, False, _size)
_clusters("tag", "the", _fresh("DT"), True, 3)
_clusters("ValueError", "cat", None, True, -1, ValueError)
_clusters("UnboundLocalError", "  ", None, True, 2, UnboundLocalError)
_clusters("OverflowError", "cat", None, True, 2**31, OverflowError)
_clusters("KeyError", "cat", None, True, 2, KeyError, lambda f: _drop_words(f, "w"))


def _drop_words(folder, prefix):
    path = os.path.join(folder, "data", "idx", "words.pickle")
    with open(path, "rb") as fh:
        words = pickle.load(fh)
    _write(path, {i: w for i, w in words.items() if not w.startswith(prefix)})


# ---- lm_sequences

def _ngrams(sid, pos, size, lowercase, exc=None, damage=None):
    @scenario("lm_sequences", "make_ngrams-" + sid)
    def _(env):
        m = _module("lm_sequences")
        args = env.args()
        if damage:
            ws, name, folder = env.copy(env.indexed)
            damage(folder)
            args = (ws, name)
        return m.make_ngrams, args + (pos, size, lowercase), exc


_ngrams("size1", None, 1, True)
_ngrams("size3-tags", _fresh("DT NN VB"), 3, False)
_ngrams("size5", None, 5, True)
_ngrams("UnboundLocalError", None, 0, False, UnboundLocalError)
_ngrams("IndexError", [_fresh("NN")], 3, False, IndexError)
_ngrams("AttributeError", 5, 2, False, AttributeError)
_ngrams("KeyError", None, 2, False, KeyError,
        lambda f: _write(os.path.join(f, "data", "idx", "words.pickle"), {1: "x"}))


# ---- lm_keyness

def _keywords(sid, result, measure, exc=None, reflist=b"the\t100\ncat\t5\nsat\t7\n",
              language="xx"):
    @scenario("lm_keyness", "make_keywords-" + sid)
    def _(env):
        m = _module("lm_keyness")
        home = os.path.join(env.root, "kw-" + sid)
        os.makedirs(os.path.join(home, "data"))
        _write(os.path.join(home, "data", "reflist_xx.tab"), reflist)

        def call(ws, name, language, measure):
            saved = m.__file__, m.make_wordlist, sys.unraisablehook
            m.__file__ = os.path.join(home, "lm_keyness.so")
            m.make_wordlist = lambda *a: result() if callable(result) else result
            sys.unraisablehook = lambda u: None  # failed scores are reported there
            try:
                return m.make_keywords(ws, name, language, measure)
            finally:
                m.__file__, m.make_wordlist, sys.unraisablehook = saved
        return call, env.args() + (_fresh(language), measure), exc


_ROWS = [(i, w, f) for i, (w, f) in enumerate([("the", 120), ("cat", 3), ("dog", 1)] * 30, 1)]
_keywords("ll", lambda: (1000, 3, 0.1, 1, list(_ROWS)), 1)
_keywords("chi_square", lambda: (1000, 3, 0.1, 1, list(_ROWS)), 2)
_keywords("ll-fails", lambda: (1000, 3, 0.1, 1, list(_ROWS)), 1, reflist=b"")
_keywords("FileNotFoundError", lambda: (1000, 3, 0.1, 1, list(_ROWS)), 1, FileNotFoundError,
          language="yy")
_keywords("ValueError", lambda: (1, 2, 3), 1, ValueError)
_keywords("TypeError", lambda: (1000, 3, 0.1, 1, [(1, "the", 3), [2, "cat", 4]]), 1, TypeError)
_keywords("OverflowError", lambda: (1000, 3, 0.1, 1, []), 2**40, OverflowError)


# ---------------------------------------------------------------------------------------------

@pytest.mark.parametrize("module, make", SCENARIOS)
def test_repeated_calls_leak_nothing(env, module, make):
    call, args, exc = make(env)
    leakcheck.check(call, args, expect=exc)


# The check itself: each kind of leak is caught by the measure meant for it.

_kept = []


def _leaks_objects(x):
    _kept.append([x])


def _leaks_on_error(x):
    _kept.append(object())
    raise ValueError(x)


def _leaks_references(x):
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(x))


_libc = ctypes.CDLL(None)
_libc.malloc.restype = ctypes.c_void_p
_libc.malloc.argtypes = [ctypes.c_size_t]


def _leaks_native_memory(x):
    p = _libc.malloc(256 << 10)
    ctypes.memset(p, 1, 256 << 10)  # resident, not only reserved


@pytest.mark.parametrize("leaky, expect, found", [
    (_leaks_objects, None, "allocated blocks grew|traced memory grew"),
    (_leaks_on_error, ValueError, "allocated blocks grew|traced memory grew"),
    (_leaks_references, None, "reference count"),
    pytest.param(_leaks_native_memory, None, "resident memory grew", marks=pytest.mark.skipif(
        leakcheck.sanitized(), reason="resident memory is not measured under sanitizers")),
])
def test_the_check_finds_leaks(leaky, expect, found):
    arg = _fresh("an argument")
    try:
        with pytest.raises(AssertionError, match=found):
            leakcheck.check(leaky, (arg,), expect=expect)
    finally:
        _kept.clear()


def test_the_check_passes_a_clean_callable():
    g = leakcheck.check(lambda s: s.upper().split(), (_fresh("a b c"),))
    assert g.calls > 0 and g.traced_calls > 0 and g.refcounts
