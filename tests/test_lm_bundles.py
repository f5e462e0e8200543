import gc
import os
import pickle
import re
import tracemalloc

import numpy as np
import pytest
from conftest import run_python, make_indexed, tokens_of
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from bench import baseline_bundles as baseline

lm_bundles = pytest.importorskip("lumora.lm_bundles")

PUNCTUATION = re.compile(r"^\W+ | \W+$| \W+ ")


def clusters(c, node, pos=None, lowercase=True, size=2):
    return lm_bundles.make_clusters(c.workspace, c.name, node, pos, lowercase, size)


def reference(c, node, pos=None, lowercase=True, size=2):
    return baseline.make_clusters(c.workspace, c.name, node, pos, lowercase, size)


def outcome(fn, *args):
    """The result, or the type of the exception raised."""
    try:
        return fn(*args)
    except Exception as e:  # noqa: BLE001 - compared by type
        return type(e)


def texts_of(rows):
    return [r[1] for r in rows]


@pytest.mark.parametrize("size, expected", [
    (1, [(1, "very", 2, 1, 100.0)]),
    # Hits close together count independently: "very very" is each hit's window once.
    (2, [(1, "very very", 2, 1, 100.0), (2, "very good", 1, 1, 100.0)]),
    # Windows never reach beyond the text; "very good ." ends in punctuation.
    (3, [(1, "very very good", 2, 1, 100.0)]),
    (0, []),
    (4, []),
])
def test_windows_of_close_hits(indexed, size, expected):
    c = indexed({"a.txt": tokens_of("very very good .")})
    result = clusters(c, "very", size=size)
    assert result == expected
    assert result == reference(c, "very", size=size)
    for row in result:
        assert [type(v) for v in row] == [int, str, int, int, float]


def test_edges_of_a_text(indexed):
    c = indexed({"a": tokens_of("dog b c d dog")})
    assert texts_of(clusters(c, "dog", size=2)) == ["dog b", "d dog"]
    assert texts_of(clusters(c, "dog", size=3)) == ["dog b c", "c d dog"]


def test_range_percent_and_order_follow_the_listing(indexed):
    c = indexed({"a": tokens_of("the dog barks"), "b": tokens_of("the dog sleeps"),
                 "c": tokens_of("a cat")})
    order = [n for n in c.listing() if n != "c.npy"]
    third = {"a.npy": "dog barks", "b.npy": "dog sleeps"}
    assert clusters(c, "dog") == [
        (1, "the dog", 2, 2, 66.66666412353516),
        (2, third[order[0]], 1, 1, 33.33333206176758),
        (3, third[order[1]], 1, 1, 33.33333206176758),
    ]


def test_inverted_sense_of_lowercase(indexed):
    c = indexed({"a": tokens_of("The cat . the cat . THE cat . the dog")})
    # True: exact lookup, texts lower-cased and merged.
    assert clusters(c, "The", lowercase=True) == [(1, "the cat", 1, 1, 100.0)]
    assert clusters(c, "the", lowercase=True) == [(1, "the cat", 1, 1, 100.0),
                                                  (2, "the dog", 1, 1, 100.0)]
    # False: every case variant, texts keep their case.
    assert texts_of(clusters(c, "tHe", lowercase=False)) == ["The cat", "the cat", "THE cat",
                                                             "the dog"]
    assert clusters(c, "THE", lowercase=0, size=1) == [(1, "The", 1, 1, 100.0),
                                                       (2, "the", 2, 1, 100.0),
                                                       (3, "THE", 1, 1, 100.0)]
    assert clusters(c, "the", lowercase="yes", size=1) == [(1, "the", 2, 1, 100.0)]


@pytest.mark.parametrize("node, size, expected", [
    (".", 1, ["."]),  # one punctuation token is listed on its own
    (".", 2, []),
    ("the", 2, []),  # ". the" and "the ,"
    ("b", 3, ["b i don't"]),  # ", a , b" and "a , b i" are left out
    ("don't", 2, ["i don't", "don't know"]),
])
def test_punctuation_filter(indexed, node, size, expected):
    c = indexed({"a": tokens_of("end . the , a , b i don't know")})
    assert texts_of(clusters(c, node, size=size)) == expected


@pytest.mark.parametrize("node, pos, expected", [
    ("run", None, ["to run", "run fast", "the run", "run ended"]),
    ("run", "XYZ", ["to run", "run fast", "the run", "run ended"]),  # unknown tag: no filter
    ("run", "VB", ["to run", "run fast"]),
    ("run", "  NN  VB ", ["the run", "run ended"]),  # the first word of pos only
    ("run", "", []),  # a pos without a word allows no tag
    ("run", "   ", []),
    ("  run  the ", None, ["to run", "run fast", "the run", "run ended"]),  # first word only
    ("walk", None, []),
])
def test_search_word_and_tag(indexed, node, pos, expected):
    c = indexed({"a": tokens_of("to/TO run/VB fast/RB the/DT run/NN ended/VB")})
    assert texts_of(clusters(c, node, pos)) == expected
    assert clusters(c, node, pos) == reference(c, node, pos)


def test_empty_text_counts_as_a_file(indexed):
    c = indexed({"a": tokens_of("the dog"), "b": [], "c": []})
    assert np.load(c.npy / "b.npy").shape == (0,)
    assert clusters(c, "dog") == [(1, "the dog", 1, 1, 33.33333206176758)]
    assert clusters(c, "dog") == reference(c, "dog")
    with pytest.raises(UnboundLocalError):  # still raised at the first array, even an empty one
        clusters(indexed({"b": []}, name="c2"), " ")


def test_empty_folder_and_empty_search_text(indexed, tmp_path):
    c = indexed({"a": tokens_of("the dog")})
    with pytest.raises(UnboundLocalError) as info:
        clusters(c, "  \t ")
    assert str(info.value) == "local variable 'ix' referenced before assignment"
    e = make_indexed(tmp_path, {}, name="c2", extra_words=["dog"])
    assert os.listdir(e.npy) == []
    for node, size in [("  ", 2), ("dog", -1), ("dog", 2)]:
        assert clusters(e, node, size=size) == []


def remove(c, which):
    os.remove(c.idx / f"{which}.pickle")


@pytest.mark.parametrize("node, lowercase, size, damage, exc", [
    ("dog", True, -1, None, ValueError),
    ("cow", True, -1, None, []),  # an unknown word returns before any array is read
    ("dog", True, 2, lambda c: remove(c, "words"), FileNotFoundError),
    ("dog", True, 2, lambda c: remove(c, "wordslc"), [(1, "the dog", 1, 1, 100.0)]),
    ("dog", False, 2, lambda c: remove(c, "wordslc"), FileNotFoundError),
    ("dog", False, 2, lambda c: remove(c, "tags"), FileNotFoundError),
    # words.pickle is read for the texts only after the search, and not at all without it.
    ("dog", False, 2, lambda c: remove(c, "words"), FileNotFoundError),
    ("dog", False, 0, lambda c: remove(c, "words"), FileNotFoundError),
    ("cow", False, 2, lambda c: remove(c, "words"), []),
    ("dog", True, 2, lambda c: c.write_dict("words", None), TypeError),
    ("dog", False, 2, lambda c: c.write_dict("wordslc", [1, 2]), TypeError),
    ("dog", True, 2, lambda c: c.write_dict("tags", [("NN", 1)]), [(1, "the dog", 1, 1, 100.0)]),
    ("dog", True, 2, lambda c: c.write_dict("words", {c.word_ids["dog"]: "dog"}), KeyError),
    ("dog", True, 2, lambda c: os.rename(c.npy, c.idx / "moved"), FileNotFoundError),
    ("dog", True, 2, lambda c: np.save(c.npy / "z", np.zeros((2, 3), dtype=int)), ValueError),
    ("dog", True, 5, lambda c: np.save(c.npy / "z", np.zeros(3, dtype=int)), ValueError),
    ("dog", True, 2, lambda c: np.save(c.npy / "z", np.zeros((2, 4, 1), dtype=int)), ValueError),
    ("dog", True, 2, lambda c: (c.npy / "z.npy").write_bytes(b"not an array"), None),
    ("dog", True, 2, lambda c: (c.npy / "sub").mkdir(), None),
    (None, True, 2, None, AttributeError),
    (None, False, 2, None, AttributeError),
])
def test_failures_and_their_order(indexed, node, lowercase, size, damage, exc):
    c = indexed({"a": tokens_of("the dog")})
    if damage is not None:
        damage(c)
    want = outcome(reference, c, node, None, lowercase, size)
    got = outcome(clusters, c, node, None, lowercase, size)
    assert got == want
    if exc is not None:
        assert want == exc


def test_negative_size_message(indexed):
    c = indexed({"a": tokens_of("the dog")})
    with pytest.raises(ValueError, match="^negative dimensions are not allowed$"):
        clusters(c, "dog", size=-(2**31))


def test_large_size_reads_every_text_and_lists_nothing(indexed):
    # No padding is built, so even the largest size costs nothing; the texts are still read.
    c = indexed({"a": tokens_of("the dog")})
    assert clusters(c, "dog", size=2**31 - 1) == []
    np.save(c.npy / "z", np.zeros((1, 3), dtype=int))
    with pytest.raises(ValueError):
        clusters(c, "dog", size=2**31 - 1)


def test_id_zero_is_never_a_word(indexed):
    # A lower-case entry that lists the id 0: the rows around the texts are no hits.
    c = indexed({"a": tokens_of("the dog sat")})
    lc = c.read_dict("wordslc")
    want = clusters(c, "dog", lowercase=False, size=3)
    lc["dog"] = [0] + lc["dog"]
    c.write_dict("wordslc", lc)
    for size in (1, 2, 3):
        assert clusters(c, "dog", lowercase=False, size=size) == reference(c, "dog", None, True,
                                                                            size)
    assert want == [(1, "the dog sat", 1, 1, 100.0)]


class Form(str):
    """A word form pickled as a str subclass."""


@pytest.mark.parametrize("value, lowercase, size", [
    (5, False, 2), (5, False, 1), (5, True, 2), (b"dog", False, 1),
    (Form("the"), False, 1), (Form("the"), False, 2), (Form("x ."), False, 2),
])
def test_word_forms_that_are_not_plain_str(indexed, value, lowercase, size):
    c = indexed({"a": tokens_of("the dog . THE dog the cat")})
    words = c.read_dict("words")
    words[c.word_ids["THE"]] = value
    c.write_dict("words", words)
    want = outcome(reference, c, "dog", None, lowercase, size)
    assert outcome(clusters, c, "dog", None, lowercase, size) == want
    want = outcome(reference, c, "the", None, False, size)
    assert outcome(clusters, c, "the", None, False, size) == want


@pytest.mark.parametrize("size, exc, message", [
    ("2", TypeError, "an integer is required"),
    (2.0, TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (2**31, OverflowError, "value too large to convert to int"),
    (-(2**31) - 1, OverflowError, "value too large to convert to int"),
])
def test_size_is_converted_first(tmp_path, size, exc, message):
    with pytest.raises(exc) as info:  # before the missing corpus is noticed
        lm_bundles.make_clusters(str(tmp_path) + "/", "none", "dog", None, True, size)
    assert str(info.value) == message


def test_size_accepts_index_types(indexed):
    c = indexed({"a": tokens_of("the dog")})
    assert clusters(c, "dog", size=np.int16(2)) == clusters(c, "dog", size=2) != []
    assert clusters(c, "dog", size=True) == [(1, "dog", 1, 1, 100.0)]


def test_lowercase_truth_is_taken_before_any_file(tmp_path):
    class Flag:
        def __bool__(self):
            raise RuntimeError("truth")

    with pytest.raises(RuntimeError, match="truth"):
        lm_bundles.make_clusters(str(tmp_path) + "/", "none", "dog", None, Flag(), 2)


F = "make_clusters"


@pytest.mark.parametrize("call, message", [
    (lambda: lm_bundles.make_clusters(), f"{F}() takes exactly 6 positional arguments (0 given)"),
    (lambda: lm_bundles.make_clusters(*"abcde"),
     f"{F}() takes exactly 6 positional arguments (5 given)"),
    (lambda: lm_bundles.make_clusters(*"abcdefg"),
     f"{F}() takes exactly 6 positional arguments (7 given)"),
    (lambda: lm_bundles.make_clusters(*"abcde", sizes=2),
     f"{F}() takes exactly 6 positional arguments (5 given)"),
    (lambda: lm_bundles.make_clusters(*"abcdef", sizes=2),
     f"{F}() got an unexpected keyword argument 'sizes'"),
    (lambda: lm_bundles.make_clusters(*"abcdef", node="x"),
     f"{F}() got multiple values for keyword argument 'node'"),
    (lambda: lm_bundles.make_clusters(*"ab", ["c"], "d", 1, 2),
     "Argument 'node' has incorrect type (expected str, got list)"),
    (lambda: lm_bundles.make_clusters("a", "b", "c", pos=b"d", lowercase=1, size=2),
     "Argument 'pos' has incorrect type (expected str, got bytes)"),
    (lambda: lm_bundles.make_clusters(1, "b", "c", "d", 1, "x"),
     "Argument 'workspace' has incorrect type (expected str, got int)"),
])
def test_argument_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_and_none_paths(indexed):
    c = indexed({"a": tokens_of("the dog")})
    assert lm_bundles.make_clusters(size=2, lowercase=1, pos=None, node="dog",
                                    corpus_name=c.name, workspace=c.workspace) != []
    with pytest.raises(TypeError):
        clusters(type(c)(None, c.name), "dog")


def test_module_attributes():
    names = [n for n in vars(lm_bundles) if not n.startswith("__") or n == "__test__"]
    assert names == ["os", "np", "DTYPE", "pickle", "re", "make_clusters", "__test__"]
    assert lm_bundles.DTYPE is int and lm_bundles.__test__ == {}
    assert lm_bundles.np is np and lm_bundles.os is os and lm_bundles.pickle is pickle
    assert lm_bundles.re is re
    assert type(lm_bundles.make_clusters).__name__ == "builtin_function_or_method"


def test_module_attributes_are_looked_up_at_each_call(indexed, monkeypatch):
    c = indexed({"a": tokens_of("the dog"), "b": tokens_of("a dog")})
    calls = []

    class Spy:
        def __init__(self, real, *names):
            self.real, self.names = real, names

        def __getattr__(self, name):
            attr = getattr(self.real, name)
            if name in self.names:
                return lambda *a, **k: calls.append((name, os.path.basename(str(a[0])))) or attr(
                    *a, **k)
            return attr

    monkeypatch.setattr(lm_bundles, "np", Spy(np, "load"))
    monkeypatch.setattr(lm_bundles, "os", Spy(os, "listdir"))
    monkeypatch.setattr(lm_bundles, "pickle", Spy(pickle, "load"))
    expected = reference(c, "dog", None, False, 2)
    calls.clear()
    assert clusters(c, "dog", None, False, 2) == expected
    names = [n for n, _ in calls]
    assert names == ["load", "load", "listdir", "load", "load", "listdir", "load"]
    assert sorted(f for n, f in calls if n == "load" and f.endswith(".npy")) == ["a.npy", "b.npy"]


def test_listing_that_changes_while_texts_are_read(indexed, monkeypatch):
    c = indexed({"a": tokens_of("the dog"), "b": tokens_of("a dog"), "c": tokens_of("my dog")})
    shared = []

    class Os:
        path = os.path

        @staticmethod
        def listdir(path):
            shared[:] = os.listdir(path)
            return shared

    class Np:
        def __getattr__(self, name):
            return getattr(np, name)

        @staticmethod
        def load(path):
            shared.clear()  # the loop over the listing ends after this text
            return np.load(path)

    first = c.listing()[0]
    monkeypatch.setattr(lm_bundles, "os", Os)
    monkeypatch.setattr(lm_bundles, "np", Np())
    neighbour = {"a.npy": "the", "b.npy": "a", "c.npy": "my"}[first]
    assert clusters(c, "dog") == [(1, neighbour + " dog", 1, 1, 33.33333206176758)]


def test_no_reference_leaks(indexed):
    c = indexed({"a": tokens_of("the dog sat . the cat sat"), "b": tokens_of("The dog")})
    cases = [("the", None, True, 3), ("THE", "NN", False, 2), ("sat", None, False, 1),
             ("  ", None, True, 2), ("dog", None, True, -1)]

    def run():
        for args in cases:
            outcome(clusters, c, *args)

    def traced():
        gc.collect()  # np.load leaves cycles behind
        snapshot = tracemalloc.take_snapshot().filter_traces(
            [tracemalloc.Filter(False, "*numpy*"), tracemalloc.Filter(False, tracemalloc.__file__)])
        return sum(stat.size for stat in snapshot.statistics("filename"))

    run()
    tracemalloc.start()
    try:
        run()
        before = traced()
        for _ in range(200):
            run()
        grown = traced() - before
    finally:
        tracemalloc.stop()
    assert grown < 20_000


def test_reinitialisation_is_refused():
    code = """
        import sys, importlib
        import lumora.lm_bundles
        del sys.modules["lumora.lm_bundles"]
        try:
            importlib.import_module("lumora.lm_bundles")
        except RuntimeError as e:
            print(e)
    """
    r = run_python(code)
    assert r.stdout.strip() == (
        "Module 'lm_bundles' has already been imported. Re-initialisation is not supported.")


def test_word_characters_agree_with_re(indexed):
    """Every code point below U+3100 and a sample above: its clusters are listed exactly when
    Python's re finds no punctuation in them."""
    cps = [c for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF and (c < 0x3100 or c % 97 == 0)]
    forms = [chr(c) for c in cps]
    tokens = []
    for f in forms:
        tokens += [("xq", "T"), (f, "T")]
    c = indexed({"a": tokens})
    got = set(texts_of(clusters(c, "xq", lowercase=False, size=2)))
    candidates = {"xq " + f for f in forms} | {f + " xq" for f in forms}
    assert got == {t for t in candidates if not PUNCTUATION.findall(t)}
    got = set(texts_of(clusters(c, "xq", lowercase=False, size=3)))
    candidates = {f"xq {f} xq" for f in forms} | {f"{f} xq {g}" for f, g in zip(forms, forms[1:])}
    assert got == {t for t in candidates if not PUNCTUATION.findall(t)}


FORM = st.text(alphabet=st.sampled_from("aAbBaAbBcC _.,-1é\u2014\u00ab\u0663\t\n"), min_size=1,
               max_size=4)
WORDS = st.lists(FORM, min_size=1, max_size=6, unique=True)


@st.composite
def corpora(draw):
    words = draw(WORDS)
    tags = ["NN", "VB", "DT"]
    token = st.tuples(st.sampled_from(words), st.sampled_from(tags))
    names = draw(st.lists(st.sampled_from(["a", "b.txt", "c", "d.npy"]), min_size=1, max_size=4,
                          unique=True))
    texts = {n: draw(st.lists(token, min_size=draw(st.integers(0, 12)), max_size=12))
             for n in names}
    node = draw(st.sampled_from(words)) if draw(st.integers(0, 9)) else draw(FORM)
    node = draw(st.sampled_from(["", " ", " \t"])) + node + draw(st.sampled_from(["", " zz", "  "]))
    pos = draw(st.sampled_from([None, None, None, "NN", "VB", "XX", "", " VB NN"]))
    size = draw(st.sampled_from([1, 2, 3, 1, 2, 3, 0, 4, -1]))
    return texts, words, node, pos, draw(st.booleans()), size


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(case=corpora())
def test_matches_plain_rendering_on_generated_corpora(tmp_path_factory, case):
    texts, words, node, pos, lowercase, size = case
    c = make_indexed(tmp_path_factory.mktemp("g"), texts, extra_words=words,
                     extra_tags=["NN", "VB", "DT"])
    want = outcome(reference, c, node, pos, lowercase, size)
    assert outcome(clusters, c, node, pos, lowercase, size) == want


@pytest.mark.parametrize("size", [1, 2, 3])
@pytest.mark.parametrize("node, pos", [("the", None), ("The", "DT"), ("time", None),
                                       (".", "PUNCT")])
def test_matches_plain_rendering_on_running_text(tmp_path_factory, size, node, pos):
    from bench import corpus
    from bench.baseline_build import make_indexes

    root = tmp_path_factory.getbasetemp() / "running"
    if not (root / corpus.CORPUS_NAME).exists():
        corpus.generate(str(root) + os.sep, corpus.CORPUS_NAME, 30_000, 12, seed=3)
        make_indexes(str(root) + os.sep, corpus.CORPUS_NAME, corpus.LANGUAGE)
    ws = str(root) + os.sep
    for lowercase in (True, False):
        want = baseline.make_clusters(ws, corpus.CORPUS_NAME, node, pos, lowercase, size)
        assert lm_bundles.make_clusters(ws, corpus.CORPUS_NAME, node, pos, lowercase, size) == want


PIECE = st.text(alphabet=st.sampled_from(" .,_aA1é—«\n\t"), min_size=1, max_size=4)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(forms=st.lists(PIECE, min_size=1, max_size=10), size=st.sampled_from([1, 2, 3]),
       lowercase=st.booleans())
def test_punctuation_rule_matches_re(tmp_path_factory, forms, size, lowercase):
    """Every form stands beside the search word, so every cluster text meets the rule."""
    tokens = []
    for f in forms:
        tokens += [("k", "T"), (f, "T")]
    c = make_indexed(tmp_path_factory.mktemp("p"), {"a": tokens, "b": tokens[::-1]})
    assert clusters(c, "k", None, lowercase, size) == reference(c, "k", None, lowercase, size)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(forms=st.lists(st.text(alphabet=st.characters(max_codepoint=0x7F), min_size=1, max_size=5)
                      | st.sampled_from(["\u212a", "\u0130", "\u03a3\u03a3", "STRASSE", "Stra\u00dfe"]),
                      min_size=2, max_size=12),
       size=st.sampled_from([1, 2, 3]))
def test_lower_cased_forms_agree_with_str_lower(tmp_path_factory, forms, size):
    """ASCII forms are lower-cased without Python; the Kelvin sign, dotted I and final sigma
    lower-case beside them the way str.lower does, and equal forms merge."""
    tokens = []
    for f in forms:
        tokens += [("k", "T"), (f, "T"), (f.swapcase(), "T")]
    c = make_indexed(tmp_path_factory.mktemp("l"), {"a": tokens, "b": tokens[::-1]})
    assert clusters(c, "k", None, True, size) == reference(c, "k", None, True, size)
