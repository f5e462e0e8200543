import contextlib
import ctypes
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import sysconfig
import textwrap
import tracemalloc
import types

import pytest
from conftest import ROOT, make_indexed
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from bench import baseline_keyness as baseline
from lumora import lm_keyness, lm_vocab

LANG = "xx"


def single(x):
    return struct.unpack("f", struct.pack("f", x))[0]


@contextlib.contextmanager
def collecting(seen):
    """Collects unraisable-exception reports as (type, message, object) while active.

    Set around each call rather than by a fixture: some pytest versions install their own hook
    for the duration of the test call.
    """
    old = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append((u.exc_type, str(u.exc_value), u.object))
    try:
        yield seen
    finally:
        sys.unraisablehook = old


class Keywords:
    """Runs make_keywords (native and baseline) on a given word-list result and reference list.

    The module file is pointed into tmp_path, so the reference lists are tmp_path/data/*.tab.
    """

    def __init__(self, tmp_path, monkeypatch):
        self.data = tmp_path / "data"
        self.data.mkdir()
        self.calls = []
        self.reports = []  # unraisable-exception reports of the native calls
        self.mp = monkeypatch
        home = str(tmp_path / "lm_keyness.so")
        monkeypatch.setattr(lm_keyness, "__file__", home)
        monkeypatch.setattr(baseline, "MODULE_FILE", home)

    def reference(self, content, language=LANG):
        """content: lines (joined with "\\n"), a str, or raw bytes."""
        if isinstance(content, list):
            content = "".join(line + "\n" for line in content)
        if isinstance(content, str):
            content = content.encode("utf-8")
        (self.data / f"reflist_{language}.tab").write_bytes(content)

    def wordlist(self, result):
        def fake(*args, **kwargs):
            self.calls.append((args, kwargs))
            return result() if callable(result) else result
        self.mp.setattr(lm_keyness, "make_wordlist", fake)
        self.mp.setattr(baseline, "make_wordlist", fake)

    def run(self, measure=1, language=LANG, module=lm_keyness):
        if module is not lm_keyness:
            return module.make_keywords("/ws/", "c1", language, measure)
        with collecting(self.reports):
            return module.make_keywords("/ws/", "c1", language, measure)

    def score(self, measure, a, b, c, d):
        """The score of one word with frequencies a, b in corpora of c, d tokens."""
        self.reference([f"w\t{b}"] + ([f"pad\t{d - b}"] if d != b else []))
        self.wordlist((c, 1, 1.0, 1, [(1, "w", a)]))
        native = self.run(measure)[0][3]
        assert native.hex() == self.run(measure, module=baseline)[0][3].hex()
        return native


@pytest.fixture
def kw(tmp_path, monkeypatch):
    return Keywords(tmp_path, monkeypatch)


@pytest.fixture
def reports(kw):
    return kw.reports


@pytest.mark.parametrize("measure, args, expected", [
    (1, (10, 5, 1000, 2000), 6.929999828338623),
    (1, (5, 50, 1000, 2000), -18.020000457763672),
    (1, (1, 1, 10, 10), 0.0),  # equal relative frequencies keep G
    (1, (0, 0, 10, 5), -0.0),  # a zero G negated
    (1, (1, 1000, 10, 100000), -1.7999999523162842),  # term 1 dropped: E1 < 1
    (1, (0, 5, 1000, 2000), single(-4.05)),
    (1, (5, 0, 1000, 2000), single(10.99)),
    (1, (120, 6, 100000, 10000), 3.4100000858306885),
    (2, (10, 5, 1000, 2000), 7.539999961853027),
    (2, (5, 50, 1000, 2000), 14.819999694824219),  # no sign
    (2, (100, 1, 10000, 1000000), 9900.0),
])
def test_known_scores(kw, reports, measure, args, expected):
    assert kw.score(measure, *args).hex() == expected.hex()
    assert reports == []


@pytest.mark.parametrize("measure, args, where", [
    (1, (3, 1, 100, 0), "ll"),  # reference size 0
    (1, (1, 1, 0, 0), "ll"),  # both sizes 0
    (1, (2, 1, 0, 10), "ll"),
    (2, (0, 0, 10, 10), "chi_square"),  # a + b is 0
    (2, (5, 5, 5, 5), "chi_square"),  # a + b is c + d
    (2, (1, 1, 0, 10), "chi_square"),
])
def test_failure_is_reported_and_scores_zero(kw, reports, measure, args, where):
    a, b, c, d = args
    kw.reference([f"w\t{b}"] + ([f"pad\t{d - b}"] if d != b else []))
    kw.wordlist((c, 1, 1.0, 1, [(1, "w", a), (2, "x", 1)]))
    rows = kw.run(measure)
    assert rows[0] == [1, "w", a, 0.0]
    assert len(rows) == 2  # the list goes on
    assert reports[0] == (ZeroDivisionError, "float division", f"lumora.lm_keyness.{where}")


def test_default_hook_writes_the_report_to_stderr(kw, capsys):
    kw.reference(["w\t1", "pad\t-1"])
    kw.wordlist((100, 1, 1.0, 1, [(1, "w", 3)]))
    old = sys.unraisablehook
    sys.unraisablehook = sys.__unraisablehook__
    try:
        assert lm_keyness.make_keywords("/ws/", "c1", LANG, 1)[0][3] == 0.0
    finally:
        sys.unraisablehook = old
    err = capsys.readouterr().err
    assert "lumora.lm_keyness.ll" in err and "ZeroDivisionError: float division" in err


def test_math_is_looked_up_at_every_call(kw, reports, monkeypatch):
    logged = []
    fake = types.SimpleNamespace(log=lambda x: logged.append(x) or math.log(x))
    monkeypatch.setattr(lm_keyness, "math", fake)
    assert kw.score(1, 10, 5, 1000, 2000) == 6.929999828338623
    assert logged == [2.0, 0.5]  # single(a) / E1, then single(b) / E2
    monkeypatch.setattr(fake, "log", lambda x: "2.0")
    assert kw.run(1)[0][3] == 0.0
    monkeypatch.delattr(lm_keyness, "math")
    assert kw.run(1)[0][3] == 0.0
    assert kw.run(2)[0][3] == 7.539999961853027  # chi-square needs no logarithm
    assert [(r[0], r[2]) for r in reports] == [(TypeError, "lumora.lm_keyness.ll"),
                                              (NameError, "lumora.lm_keyness.ll")]


def test_rows_keep_the_word_list_objects_and_order(kw, reports):
    fresh = "".join(["t", "he"])  # noqa: FLY002 - a new str object, not the interned constant
    rows_in = [(1, fresh, 120), (2, "rare", 3), (3, "absent", int("2000"), "x"),
               (4, "zero", 0), (5, type("S", (str,), {})("rare"), 3), (6, 42, 3),
               (7, "\ud800", 3)]
    kw.reference(["the\t6", "rare\t500", "zero\t1", "pad\t9493"])
    kw.wordlist((100000, 4, 0.5, 0, rows_in))
    rows = kw.run(1)
    assert rows[0] == [1, "the", 120, 3.4100000858306885]
    assert all(type(r) is list for r in rows) and [r[0] for r in rows] == [1, 2, 3, 4, 5, 6, 7]
    for row, src in zip(rows, rows_in):
        assert row[1] is src[1] and row[2] is src[2]
    # No filter and no sorting: a negative score stays in place.
    assert rows[1][3] < 0 < rows[0][3]
    # A word missing from the reference list counts once there.
    assert rows[2][3] == baseline.ll(2000, 1, 100000, 10000)
    # Words that are not exactly str are looked up by Python's rules: a str subclass finds
    # its equal, an int (or a str no file could hold) finds nothing.
    assert rows[4][3] == rows[1][3]
    assert rows[5][3] == rows[6][3] == baseline.ll(3, 1, 100000, 10000)
    assert rows == kw.run(1, module=baseline)


@pytest.mark.parametrize("measure, scorer", [
    (1, baseline.ll), (True, baseline.ll), (2, baseline.chi_square), (0, baseline.chi_square),
    (-1, baseline.chi_square), (False, baseline.chi_square),
])
def test_measure_selects_the_score(kw, measure, scorer):
    assert kw.score(measure, 10, 5, 1000, 2000) == scorer(10, 5, 1000, 2000)


@pytest.mark.parametrize("content", [
    "the\t7\r\nof\t3\rand\t 2 \n\n  \t  \nmore\t4\textra\tfields",
    ["\u3000the\t+7\u2028", "of\t1_0", "and\t\u0663", "\ufeffbom\t1", "x\x0cy\t5", "caf\u00e9\t-3"],
    "",
])
def test_reference_list_is_read_as_python_reads_it(kw, content):
    kw.reference(content)
    words = ["the", "of", "and", "more", "a", "x\x0cy", "caf\u00e9", "\ufeffbom", "bom"]
    kw.wordlist((1000, 9, 1.0, 9, [(i, w, 5) for i, w in enumerate(words, 1)]))
    for measure in (1, 2):
        native = kw.run(measure)
        assert [r[3].hex() for r in native] == [r[3].hex() for r in kw.run(measure, module=baseline)]


def test_later_line_wins_and_every_line_counts(kw):
    kw.reference(["the\t100", "", "a", "the\t50"])
    kw.wordlist((1000, 2, 1.0, 2, [(1, "the", 5), (2, "a", 5)]))
    assert [r[3] for r in kw.run(2)] == [baseline.chi_square(5, 50, 1000, 150),
                                         baseline.chi_square(5, 1, 1000, 150)]


def test_empty_reference_list_fails_every_ll_score(kw, reports):
    kw.reference("")
    kw.wordlist((10, 2, 1.0, 2, [(1, "a", 5), (2, "b", 5)]))
    assert [r[3] for r in kw.run(1)] == [0.0, 0.0]
    assert [r[:2] for r in reports] == [(ZeroDivisionError, "float division")] * 2


WL = (10, 1, 1.0, 1, [(1, "w", 1)])


@pytest.mark.parametrize("content, wordlist, exc, message", [
    (["w\t5", "v\tfive"], WL, ValueError, "invalid literal for int() with base 10: 'five'"),
    (["w\t2147483647", "v\t1"], WL, OverflowError, None),  # the running sum
    (["w\t3000000000", "v\t-2999999999"], WL, OverflowError, None),  # used as a frequency
    (b"w\t1\n\xff\t2\n", WL, UnicodeDecodeError, None),
    (None, (10, 1, 1.0, 1, []), FileNotFoundError, None),  # read even for an empty list
    (None, (10, 1, 1.0, 1, None), FileNotFoundError, None),
    (["w\t1"], (10, 1, 1.0, 1, None), TypeError, "'NoneType' object is not iterable"),
])
def test_reference_failures(kw, content, wordlist, exc, message):
    if content is not None:
        kw.reference(content)
    kw.wordlist(wordlist)
    for module in (lm_keyness, baseline):
        with pytest.raises(exc) as info:
            kw.run(1, module=module)
        if message is not None:
            assert str(info.value) == message


def test_reference_path_comes_from_the_module_file(kw, monkeypatch, tmp_path):
    kw.reference(["w\t2", "v\t8"])
    kw.wordlist(WL)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(lm_keyness, "__file__", "lm_keyness.so")  # made absolute first
    assert kw.run(2)[0][3] == baseline.chi_square(1, 2, 10, 10)
    monkeypatch.setattr(lm_keyness, "__file__", os.fsencode(str(tmp_path / "m.so")))
    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        kw.run(2)
    monkeypatch.delattr(lm_keyness, "__file__")
    with pytest.raises(NameError):
        kw.run(2)


@pytest.mark.parametrize("language", ["../xx", "a/b", "..", "x\0", "xx" + os.sep, "a..b"])
def test_language_that_leaves_the_data_folder_is_refused(kw, language):
    kw.reference(["w\t1"], language="xx")
    kw.wordlist(WL)
    for module in (lm_keyness, baseline):
        with pytest.raises(ValueError, match="^invalid language "):
            kw.run(1, language=language, module=module)
    assert kw.calls == []  # refused before anything was read


def test_none_language_fails_at_the_path(kw):
    kw.wordlist(WL)
    with pytest.raises(TypeError, match=r'^can only concatenate str \(not "NoneType"\) to str$'):
        kw.run(1, language=None)
    assert kw.calls == [(("/ws/", "c1", None, True), {})]


def test_make_wordlist_call_and_its_errors(kw):
    kw.reference(["w\t1"])
    kw.wordlist(WL)
    kw.run(2)
    assert kw.calls == [(("/ws/", "c1", LANG, True), {})]
    assert kw.calls[0][0][3] is True

    class Boom(Exception):
        pass

    def fail():
        raise Boom("no corpus")

    kw.wordlist(fail)
    with pytest.raises(Boom, match="^no corpus$"):
        kw.run(1)


def items(n):
    """An iterator over n items of a valid result that records how many were read."""
    read = []

    def gen():
        for i, v in enumerate([10, 1, 1.0, 1, [], 6, 7][:n]):
            read.append(i)
            yield v
    gen.read = read
    return gen


@pytest.mark.parametrize("result, exc, message", [
    ((10, 1, 1.0, 1), ValueError, "need more than 4 values to unpack"),
    ([10], ValueError, "need more than 1 value to unpack"),
    ((), ValueError, "need more than 0 values to unpack"),
    ((10, 1, 1.0, 1, [], 6), ValueError, "too many values to unpack (expected 5)"),
    (None, TypeError, None),
    (("10", 1, 1.0, 1, []), TypeError, "an integer is required"),
    ((2**31, 1, 1.0, 1, []), OverflowError, None),
    ((10, 1.0, "x", 1, []), TypeError, "an integer is required"),  # types before type_token
    ((10, 1, "x", 2**40, []), TypeError, None),  # type_token before hapax
    ((10, 1, 1.0, 2**40, ()), OverflowError, None),  # hapax before the list test
    ((10, 1, 1.0, 1, ()), TypeError, "Expected list, got tuple"),
    ((10, 1, 1.0, 1, type("L", (list,), {})()), TypeError, "Expected list, got L"),
    ((10, 1, 1.0, 1, [[1, "w", 1]]), TypeError, "Expected tuple, got list"),
    ((10, 1, 1.0, 1, [(1, "w")]), IndexError, "tuple index out of range"),
    ((10, 1, 1.0, 1, [(1,)]), IndexError, "tuple index out of range"),
    ((10, 1, 1.0, 1, [(1, ["w"], 1)]), TypeError, "unhashable type: 'list'"),
    ((10, 1, 1.0, 1, [(1, "w", 1.0)]), TypeError, "an integer is required"),
    ((10, 1, 1.0, 1, [(1, "w", -(2**31) - 1)]), OverflowError, None),
])
def test_word_list_result_failures(kw, result, exc, message):
    kw.reference(["w\t1"])
    kw.wordlist(result)
    for module in (lm_keyness, baseline):
        with pytest.raises(exc) as info:
            kw.run(1, module=module)
        if message is not None and module is lm_keyness:
            assert str(info.value) == message


@pytest.mark.parametrize("n, outcome", [(5, None), (4, "need more than 4 values to unpack"),
                                        (7, "too many values to unpack (expected 5)")])
def test_iterable_result_is_read_for_at_most_six_items(kw, n, outcome):
    kw.reference(["w\t1"])
    gen = items(n)
    kw.wordlist(gen)
    if outcome is None:
        assert kw.run(1) == []
    else:
        with pytest.raises(ValueError, match=f"^{re.escape(outcome)}$"):
            kw.run(1)
    assert gen.read == list(range(min(n, 6)))


@pytest.mark.parametrize("args, kwargs, exc, message", [
    (("/ws/", "c1", LANG), {}, TypeError,
     "make_keywords() takes exactly 4 positional arguments (3 given)"),
    (("/ws/", "c1", LANG, 1, 2), {}, TypeError,
     "make_keywords() takes exactly 4 positional arguments (5 given)"),
    (("/ws/", "c1", 5, 1), {}, TypeError,
     "Argument 'language' has incorrect type (expected str, got int)"),
    ((b"/ws/", "c1", LANG, 1), {}, TypeError,
     "Argument 'workspace' has incorrect type (expected str, got bytes)"),
    (("/ws/", "c1", LANG, "1"), {}, TypeError, "an integer is required"),
    (("/ws/", "c1", LANG, 1.0), {}, TypeError, "an integer is required"),
    (("/ws/", "c1", LANG, 2**31), {}, OverflowError, None),
    (("/ws/",), {"corpus_name": "c1", "language": LANG, "measure": 1, "x": 1}, TypeError,
     "make_keywords() got an unexpected keyword argument 'x'"),
])
def test_argument_failures(kw, args, kwargs, exc, message):
    kw.wordlist(WL)
    with pytest.raises(exc) as info:
        lm_keyness.make_keywords(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    assert kw.calls == []


def test_keyword_arguments(kw):
    kw.reference(["w\t4", "v\t6"])
    kw.wordlist(WL)
    rows = lm_keyness.make_keywords(measure=2, language=LANG, corpus_name="c1", workspace="/ws/")
    assert rows == kw.run(2)


def test_module_attributes():
    # Bound in this order at import (checked in a fresh interpreter: tests here rebind some).
    r = run_python("""
        import lumora.lm_keyness as m
        print([n for n in vars(m) if not n.startswith("__") or n == "__test__"])
    """)
    assert r.stdout.strip() == str(["os", "make_wordlist", "math", "make_keywords", "__test__"])
    assert lm_keyness.make_wordlist is lm_vocab.make_wordlist
    assert lm_keyness.os is os and lm_keyness.math is math and lm_keyness.__test__ == {}
    assert type(lm_keyness.make_keywords).__name__ == "builtin_function_or_method"


def run_python(code):
    import lumora
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(lumora.__file__)))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, check=False, cwd=os.path.dirname(__file__), env=env)


def test_import_needs_make_wordlist_and_happens_once():
    r = run_python("""
        import sys, types, importlib
        sys.modules["lumora.lm_vocab"] = types.ModuleType("lumora.lm_vocab")
        try:
            import lumora.lm_keyness
        except ImportError as e:
            print("IE", e)
        del sys.modules["lumora.lm_vocab"]
        import lumora.lm_keyness  # a failed start-up leaves the module importable later
        del sys.modules["lumora.lm_keyness"]
        try:
            importlib.import_module("lumora.lm_keyness")
        except RuntimeError as e:
            print("RT", e)
    """)
    assert r.stdout.splitlines() == [
        "IE cannot import name make_wordlist",
        "RT Module 'lm_keyness' has already been imported. Re-initialisation is not supported."]


# Generated word lists and reference lists against the plain rendering.
WORDS = st.text(alphabet="abAé \t\u3000", min_size=0, max_size=3)
COUNT = st.one_of(st.integers(-3, 3), st.integers(-10**9, 10**9))


@settings(max_examples=300, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data(), ref=st.lists(st.tuples(WORDS, COUNT), max_size=8),
       tokens=st.one_of(st.integers(-3, 50), st.integers(-(2**31), 2**31 - 1)),
       measure=st.sampled_from([1, 2]))
def test_matches_plain_rendering(kw, reports, monkeypatch, data, ref, tokens, measure):
    kw.reference([f"{w}\t{n}" for w, n in ref])
    pool = [w for w, _ in ref] + ["zz"]
    rows = data.draw(st.lists(st.tuples(st.integers(), st.sampled_from(pool), COUNT), max_size=6))
    kw.wordlist((tokens, 1, 1.0, 1, rows))
    base_reports = []
    monkeypatch.setattr(baseline, "_report", base_reports.append)

    def outcome(module):
        try:
            return [(r[0], r[1], r[2], r[3].hex()) for r in kw.run(measure, module=module)]
        except Exception as e:  # noqa: BLE001 - both sides must fail alike
            return type(e)

    reports.clear()
    assert outcome(lm_keyness) == outcome(baseline)
    assert [r[2] for r in reports] == base_reports


# Native round(x, 2) against Python's, on the header the modules compile in.
@pytest.fixture(scope="module")
def native_round(tmp_path_factory):
    header = ROOT / "src" / "lumora" / "common" / "pytext.hpp"
    cxx = next(filter(None, map(shutil.which, ["c++", "g++", "clang++"])), None)
    if not header.exists() or cxx is None:
        pytest.skip("needs the source tree and a C++ compiler")
    d = tmp_path_factory.mktemp("probe")
    (d / "probe.cpp").write_text(
        '#include "lumora/common/pytext.hpp"\n'
        'extern "C" double probe_round(double x, int n) {\n'
        '  try { return lumora::py_round(x, n); } catch (const lumora::PyErrorSet&) { return 0; }\n'
        '}\n')
    lib = d / "probe.so"
    subprocess.run([cxx, "-std=c++17", "-O2", "-shared", "-fPIC", f"-I{ROOT / 'src'}",
                    f"-I{sysconfig.get_paths()['include']}", str(d / "probe.cpp"), "-o", str(lib)],
                   check=True)
    fn = ctypes.PyDLL(str(lib)).probe_round  # holds the GIL: it may call Python
    fn.restype, fn.argtypes = ctypes.c_double, [ctypes.c_double, ctypes.c_int]
    return lambda x: fn(x, 2)


@settings(max_examples=5000, deadline=None)
@given(x=st.one_of(
    st.floats(allow_nan=False, allow_infinity=False),
    st.integers(-(10**12), 10**12).map(lambda k: k / 8),  # exact ties such as 0.125
    st.integers(-(10**12), 10**12).map(lambda k: (k + 0.5) / 100),  # near ties
    st.floats(-1e6, 1e6, width=32).map(lambda v: v * 2.0),
))
def test_native_round_is_pythons_round(native_round, x):
    assert native_round(x).hex() == round(x, 2).hex()


def test_native_round_on_random_bit_patterns(native_round, rng):
    for _ in range(100000):
        x = struct.unpack("d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if math.isfinite(x):
            assert native_round(x).hex() == round(x, 2).hex(), x


def test_real_corpus_and_english_list(tmp_path, conllu_corpus):
    texts, doc = {}, None
    with open(conllu_corpus("en_ewt-ud-dev.conllu"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("# newdoc") or doc is None:
                doc = f"d{len(texts):03d}"
                texts[doc] = []
            fields = line.rstrip("\n").split("\t")
            if len(fields) == 10 and fields[0].isdigit():
                texts[doc].append((fields[1], fields[3]))
    c = make_indexed(tmp_path, texts)
    wordlist = lm_vocab.make_wordlist(c.workspace, c.name, "en", True)
    reports = []
    for measure in (1, 2):
        with collecting(reports):
            rows = lm_keyness.make_keywords(c.workspace, c.name, "en", measure)
        assert rows == baseline.make_keywords(c.workspace, c.name, "en", measure)
        assert [r[1:3] for r in rows] == [list(w[1:]) for w in wordlist[4]]
    assert len(rows) > 3000 and reports == []
    # The real list: "the" is scored with its count there and the list's total.
    with open(os.path.join(os.path.dirname(lm_keyness.__file__), "data", "reflist_en.tab"),
              encoding="utf-8") as f:
        ref = dict(line.rstrip("\n").split("\t") for line in f)
    the = next(r for r in rows if r[1] == "the")
    total = sum(map(int, ref.values()))
    assert the[3] == baseline.chi_square(the[2], int(ref["the"]), wordlist[0], total)


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="memory tracked under sanitizers keeps growing without any leak")
def test_no_reference_leaks(kw, monkeypatch):
    kw.reference([f"w{i}\t{i}" for i in range(50)])
    words = [f"w{i}" * 2 for i in range(40)] + ["caf\u00e9"]
    rows = [(i, w, i + 1) for i, w in enumerate(words)]
    result = (1000, 1, 1.0, 1, rows)
    monkeypatch.setattr(lm_keyness, "make_wordlist", lambda *args: result)

    def calls(n):
        for _ in range(n):
            lm_keyness.make_keywords("/ws/", "c1", LANG, 1)
            lm_keyness.make_keywords("/ws/", "c1", LANG, 2)

    calls(300)
    counts = [sys.getrefcount(w) for w in words] + [sys.getrefcount(r) for r in rows]
    # A leak grows in every window; interpreter caches (and allocator interposers such as
    # sanitizers) settle after a while.
    tracemalloc.start()
    try:
        for _ in range(8):
            before = tracemalloc.get_traced_memory()[0]
            calls(200)
            grown = tracemalloc.get_traced_memory()[0] - before
            if grown < 400 * 16:
                break
    finally:
        tracemalloc.stop()
    assert counts == [sys.getrefcount(w) for w in words] + [sys.getrefcount(r) for r in rows]
    assert grown < 400 * 16  # one leaked row per call would be several kB a call
