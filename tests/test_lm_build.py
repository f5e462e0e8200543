import io
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import make_prepared

from lumora import lm_build


def reference_build(ws, name):
    """A plain-Python rendering of the build, to compare files and errors with."""
    src = ws + name + "/data/tmp1/"
    with open(ws + name + "/data/idx/words.pickle", "rb") as f:
        dic_w = pickle.load(f)
    with open(ws + name + "/data/idx/tags.pickle", "rb") as f:
        dic_t = pickle.load(f)
    arrays = {}
    for filename in os.listdir(src):
        d = []
        with open(src + filename, "r", encoding="utf-8") as f:
            for line in f:
                if not line.strip():
                    continue
                fl = line.strip().split("\t")
                d.append((dic_w[fl[0]], dic_t[fl[1]], fl[2], fl[3]))
        buf = io.BytesIO()
        np.save(buf, np.array(d, dtype=int), allow_pickle=False)
        arrays[filename if filename.endswith(".npy") else filename + ".npy"] = buf.getvalue()
    return arrays, {v: k for k, v in dic_w.items()}, {v: k for k, v in dic_t.items()}


def built_files(c):
    return {n: (c.npy / n).read_bytes() for n in os.listdir(c.npy)}


def build(c, language="en"):
    return lm_build.make_indexes(c.workspace, c.name, language)


TEXTS = {
    "a.txt": [("The", "DT", 1, 1), ("cat", "NN", 1, 2), ("sat", "VB", 1, 3), (".", "PUNCT", 1, 4)],
    "b.txt": [("the", "DT", 1, 1), ("dog", "NN", 1, 2), ("The", "DT", 2, 1)],
    "c.npy": [("cat", "NN", 5, -7)],
}


def test_build_matches_plain_rendering(prepared):
    c = prepared(TEXTS)
    arrays, inv_w, inv_t = reference_build(c.workspace, c.name)
    assert build(c) is None
    assert built_files(c) == arrays
    assert sorted(arrays) == ["a.txt.npy", "b.txt.npy", "c.npy"]
    words, tags = c.read_dict("words"), c.read_dict("tags")
    assert words == inv_w and list(words) == list(inv_w)
    assert tags == inv_t and list(tags) == list(inv_t)
    arr = np.load(c.npy / "a.txt.npy")
    assert arr.dtype == np.dtype(int) and arr.shape == (4, 4)
    assert arr[1].tolist() == [c.word_ids["cat"], c.tag_ids["NN"], 1, 2]
    assert os.listdir(c.tmp1) == list(os.listdir(c.tmp1))  # token files stay
    assert not [n for n in os.listdir(c.idx) if n.endswith(".partial")]


@pytest.mark.parametrize(
    "lines, expected",
    [
        (["  dog\tNN\t3\t7  "], [("dog", "NN", 3, 7)]),
        (["dog\tNN\t3\t7\textra"], [("dog", "NN", 3, 7)]),
        (["", "   ", "\t", "dog\tNN\t1\t2", "\u3000\u2028"], [("dog", "NN", 1, 2)]),
        (["dog\tNN\t 4 \t-0"], [("dog", "NN", 4, 0)]),
        (["dog\tNN\t+1_000\t\u0663"], [("dog", "NN", 1000, 3)]),
        (["dog\tNN\t99999999999999999\t-999999999999999999"],
         [("dog", "NN", 99999999999999999, -999999999999999999)]),
        (["\x1cdog\tNN\t1\t2\x1f\x85\xa0"], [("dog", "NN", 1, 2)]),
        ([], []),
        (["", "  "], []),
    ],
)
def test_line_reading(prepared, lines, expected):
    c = prepared({"t.txt": lines}, extra_words=["dog"], extra_tags=["NN"])
    build(c)
    arr = np.load(c.npy / "t.txt.npy")
    if not expected:
        assert arr.shape == (0,) and arr.dtype == np.dtype(int)
    else:
        want = [[c.word_ids[w], c.tag_ids[t], a, b] for w, t, a, b in expected]
        assert arr.tolist() == want


@pytest.mark.parametrize("raw, rows", [
    (b"dog\tNN\t1\t2\rcat\tNN\t3\t4\r", 2),
    (b"dog\tNN\t1\t2\r\ncat\tNN\t3\t4", 2),
    (b"dog\tNN\t1\t2\n\r\n\rcat\tNN\t3\t4\n", 2),
])
def test_universal_line_ends(prepared, raw, rows):
    c = prepared({}, extra_words=["dog", "cat"], extra_tags=["NN"])
    (c.tmp1 / "x").write_bytes(raw)
    build(c)
    assert np.load(c.npy / "x.npy").shape == (rows, 4)


@pytest.mark.parametrize(
    "content, exc, message",
    [
        ("dog\n", IndexError, "list index out of range"),
        ("cow\n", KeyError, "'cow'"),
        ("dog\tNN\t1\n", IndexError, "list index out of range"),
        ("dog\tVB\t1\t2\n", KeyError, "'VB'"),
        ("\ufeffdog\tNN\t1\t2\n", KeyError, "'\\ufeffdog'"),
        ("dog\tNN\tx\t2\n", ValueError, "invalid literal for int() with base 10: 'x'"),
        ("dog\tNN\t1\t2.0\n", ValueError, "invalid literal for int() with base 10: '2.0'"),
        ("dog\tNN\t1\t99999999999999999999\n", OverflowError, None),
        # A look-up failure on a later line wins over a bad integer on an earlier one.
        ("dog\tNN\tx\t2\ncow\tNN\t1\t2\n", KeyError, "'cow'"),
        ("dog\tNN\tx\t2\ndog\n", IndexError, "list index out of range"),
        # Integers convert in array order.
        ("dog\tNN\t1\ty\ndog\tNN\tx\t2\n", ValueError, "invalid literal for int() with base 10: 'y'"),
    ],
)
def test_token_file_failures(prepared, content, exc, message):
    c = prepared({}, extra_words=["dog"], extra_tags=["NN"])
    (c.tmp1 / "bad.txt").write_text(content, encoding="utf-8")
    before = (c.idx / "words.pickle").read_bytes()
    with pytest.raises(exc) as info:
        build(c)
    if message is not None:
        assert str(info.value) == message
    assert (c.idx / "words.pickle").read_bytes() == before
    assert not (c.npy / "bad.txt.npy").exists()


def test_invalid_utf8_and_folders(prepared):
    c = prepared({}, extra_words=["dog"], extra_tags=["NN"])
    (c.tmp1 / "bad.txt").write_bytes(b"dog\tNN\t1\t2\n\xff\n")
    with pytest.raises(UnicodeDecodeError):
        build(c)
    (c.tmp1 / "bad.txt").unlink()
    (c.tmp1 / "sub").mkdir()
    with pytest.raises(IsADirectoryError):
        build(c)


def test_arrays_written_before_a_failure_stay(prepared):
    c = prepared({"a": [("dog", "NN")], "b": ["cow\tNN\t1\t2"]}, extra_words=["dog"])
    first = os.listdir(c.tmp1)[0]
    with pytest.raises(KeyError):
        build(c)
    if first == "a":
        assert (c.npy / "a.npy").exists()
    assert not (c.npy / "b.npy").exists()


def test_empty_token_folder_still_inverts(prepared):
    c = prepared({})
    words = dict(c.word_ids)
    c.write_dict("words", {"b": 2, "a": 1, "c": True})
    build(c)
    assert c.read_dict("words") == {2: "b", 1: "a", 1: "c"}  # noqa: F601 - later entry wins
    assert type(list(c.read_dict("words"))[0]) is int
    assert os.listdir(c.npy) == []
    assert words == c.word_ids


def test_second_build_fails_on_first_token(prepared):
    c = prepared({"a.txt": [("dog", "NN")]})
    build(c)
    with pytest.raises(KeyError, match="dog"):
        build(c)


@pytest.mark.parametrize(
    "which, bad, exc, message",
    [
        ("tags", {"NN": 1, 5: 2}, TypeError, "Expected str, got int"),
        ("tags", {"NN": 1, None: 2}, TypeError, "Expected str, got NoneType"),
        ("tags", {"NN": 2**31}, OverflowError, None),
        ("tags", {"NN": 1.5}, TypeError, "an integer is required"),
        ("words", {"dog": -(2**31) - 1}, OverflowError, None),
        ("words", {"dog": "7"}, TypeError, "an integer is required"),
    ],
)
def test_failed_inversion_leaves_both_dictionaries(prepared, which, bad, exc, message):
    c = prepared({})
    c.write_dict(which, bad)
    before = {w: (c.idx / f"{w}.pickle").read_bytes() for w in ("words", "tags")}
    with pytest.raises(exc) as info:
        build(c)
    if message:
        assert str(info.value) == message
    assert {w: (c.idx / f"{w}.pickle").read_bytes() for w in ("words", "tags")} == before
    assert sorted(os.listdir(c.idx)) == ["tags.pickle", "words.pickle", "wordslc.pickle"]


def test_failed_dump_leaves_old_file_whole(prepared, monkeypatch):
    c = prepared({})
    before = (c.idx / "words.pickle").read_bytes()

    class Broken:
        @staticmethod
        def dump(obj, f):
            f.write(b"half")
            raise OSError("disk full")

        load = staticmethod(pickle.load)

    monkeypatch.setattr(lm_build, "pickle", Broken)
    with pytest.raises(OSError, match="disk full"):
        build(c)
    assert (c.idx / "words.pickle").read_bytes() == before
    assert sorted(os.listdir(c.idx)) == ["tags.pickle", "words.pickle", "wordslc.pickle"]


@pytest.mark.parametrize(
    "words, tags, content, exc, message",
    [
        (None, {"NN": 1}, "dog\tNN\t1\t2\n", TypeError, "'NoneType' object is not subscriptable"),
        ({"dog": 1}, None, "dog\tNN\t1\t2\n", TypeError, "'NoneType' object is not subscriptable"),
        ({"dog": 1}, None, "dog\n", IndexError, "list index out of range"),
        (None, {"NN": 1}, None, AttributeError, "'NoneType' object has no attribute 'items'"),
        ([("dog", 1)], {"NN": 1}, None, TypeError, "Expected dict, got list"),
        ({"dog": 1}, "x", None, TypeError, "Expected dict, got str"),
    ],
)
def test_dictionary_failures(prepared, words, tags, content, exc, message):
    c = prepared({})
    c.write_dict("words", words)
    c.write_dict("tags", tags)
    if content is not None:
        (c.tmp1 / "t").write_text(content, encoding="utf-8")
    with pytest.raises(exc) as info:
        build(c)
    assert str(info.value) == message


def test_missing_folders_and_files(prepared, tmp_path):
    c = prepared({"a": [("dog", "NN")]})
    (c.idx / "tags.pickle").unlink()
    with pytest.raises(FileNotFoundError):
        build(c)
    c = make_prepared(tmp_path, {"a": [("dog", "NN")]}, name="c2")
    os.rmdir(c.npy)
    with pytest.raises(FileNotFoundError):
        build(c)
    c = make_prepared(tmp_path, {}, name="c3")
    os.rmdir(c.tmp1)
    with pytest.raises(FileNotFoundError):
        build(c)
    with pytest.raises(TypeError):
        lm_build.make_indexes(None, "c3", None)


def test_paths_are_plain_concatenation(tmp_path):
    ws = str(tmp_path) + "/ws"
    c = make_prepared(tmp_path, {"a": [("dog", "NN")]}, name="wsc1")
    lm_build.make_indexes(ws, "c1", None)  # "/ws" + "c1" is the folder "wsc1"
    assert (c.npy / "a.npy").exists()


def test_module_attributes_are_looked_up_at_each_call(prepared, monkeypatch):
    c = prepared({"a": [("dog", "NN")], "b": [("cat", "NN")]})
    seen = []

    def only_b(folder):
        seen.append(folder)
        yield "b"

    monkeypatch.setattr(lm_build, "get_files", only_b)
    saved = []
    real_np = np

    class NpSpy:
        def __getattr__(self, name):
            return getattr(real_np, name)

        @staticmethod
        def save(path, arr, allow_pickle=True):
            saved.append((path, arr.shape, allow_pickle))
            return real_np.save(path, arr, allow_pickle=allow_pickle)

    monkeypatch.setattr(lm_build, "np", NpSpy())
    build(c)
    assert seen == [c.workspace + c.name + "/data/tmp1/"]
    assert saved == [(c.workspace + c.name + "/data/npy/b", (1, 4), False)]
    assert os.listdir(c.npy) == ["b.npy"]


def test_get_files_is_lazy_and_unsorted(tmp_path, monkeypatch):
    for n in ("b.txt", "a.txt", ".hidden"):
        (tmp_path / n).write_text("")
    (tmp_path / "sub").mkdir()
    gen = lm_build.get_files(str(tmp_path))
    assert list(gen) == os.listdir(tmp_path)
    assert list(gen) == []
    missing = lm_build.get_files(str(tmp_path / "nope"))  # nothing happens yet
    with pytest.raises(FileNotFoundError):
        next(missing)
    with pytest.raises(StopIteration):
        next(missing)
    monkeypatch.chdir(tmp_path)
    assert list(lm_build.get_files(None)) == os.listdir(None)
    calls = []
    monkeypatch.setattr(lm_build.os, "listdir", lambda p: calls.append(p) or ["x"])
    g = lm_build.get_files("folder")
    assert calls == []
    assert next(g) == "x" and calls == ["folder"]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: lm_build.make_indexes(), "make_indexes() takes exactly 3 positional arguments (0 given)"),
        (lambda: lm_build.make_indexes("a", "b"), "make_indexes() takes exactly 3 positional arguments (2 given)"),
        (lambda: lm_build.make_indexes("a", "b", "c", "d"), "make_indexes() takes exactly 3 positional arguments (4 given)"),
        (lambda: lm_build.make_indexes("a", language="c"), "make_indexes() takes exactly 3 positional arguments (1 given)"),
        (lambda: lm_build.make_indexes("a", "b", "c", spam=1), "make_indexes() got an unexpected keyword argument 'spam'"),
        (lambda: lm_build.make_indexes("a", "b", "c", workspace="a"), "make_indexes() got multiple values for keyword argument 'workspace'"),
        (lambda: lm_build.make_indexes(1, "b", "c"), "Argument 'workspace' has incorrect type (expected str, got int)"),
        (lambda: lm_build.make_indexes("a", b"b", "c"), "Argument 'corpus_name' has incorrect type (expected str, got bytes)"),
        (lambda: lm_build.make_indexes(workspace="a", corpus_name="b", language=["c"]), "Argument 'language' has incorrect type (expected str, got list)"),
        (lambda: lm_build.make_indexes(type("S", (str,), {})("a"), "b", "c"), "Argument 'workspace' has incorrect type (expected str, got S)"),
        (lambda: lm_build.get_files(b"."), "Argument 'source_folder' has incorrect type (expected str, got bytes)"),
    ],
)
def test_argument_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_and_get_files_arity(prepared):
    c = prepared({"a": [("dog", "NN")]})
    lm_build.make_indexes(language=None, corpus_name=c.name, workspace=c.workspace)
    assert (c.npy / "a.npy").exists()
    with pytest.raises(TypeError):
        lm_build.get_files(source_folder=".")
    with pytest.raises(TypeError):
        lm_build.get_files(".", ".")


def test_module_attributes():
    names = [n for n in vars(lm_build) if not n.startswith("__") or n == "__test__"]
    assert names == ["os", "np", "DTYPE", "pickle", "get_files", "make_indexes", "__test__"]
    assert lm_build.DTYPE is int and lm_build.__test__ == {}
    assert lm_build.np is np and lm_build.os is os and lm_build.pickle is pickle
    assert type(lm_build.make_indexes).__name__ == "builtin_function_or_method"
    import lumora
    assert not hasattr(lumora, "lm_build") or "lumora.lm_build" in sys.modules


def run_python(code):
    """Runs code in a fresh interpreter that imports the same lumora as this process."""
    import lumora
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(lumora.__file__)))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, cwd=os.path.dirname(__file__), env=env)


def test_reinitialisation_and_numpy_failure():
    r = run_python("""
        import sys, importlib
        import lumora.lm_build
        del sys.modules["lumora.lm_build"]
        try:
            importlib.import_module("lumora.lm_build")
        except RuntimeError as e:
            print("RT", e)
    """)
    assert r.stdout.strip() == (
        "RT Module 'lm_build' has already been imported. Re-initialisation is not supported.")
    r = run_python("""
        import sys
        sys.modules["numpy"] = None
        try:
            import lumora.lm_build
        except ImportError as e:
            print("IE", e)
        sys.modules.pop("numpy")
        import lumora.lm_build  # a failed start-up leaves the module importable later
        print("OK", lumora.lm_build.DTYPE is int)
    """)
    assert r.stdout.split("\n")[:2] == ["IE numpy.core.multiarray failed to import", "OK True"]


def test_second_interpreter_is_refused():
    inner = ("import sys\nsys.path[:0] = {path!r}\n"
             "try:\n    import lumora.lm_build\nexcept ImportError as e:\n    print('IE', e)\n")
    r = run_python(f"""
        try:
            import _testcapi
        except ImportError:
            print("SKIP"); raise SystemExit
        import sys
        import lumora.lm_build
        _testcapi.run_in_subinterp({inner!r}.format(path=sys.path))
    """)
    if r.stdout.strip() == "SKIP":
        pytest.skip("_testcapi not available")
    assert ("IE Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.") in r.stdout


def test_python_white_space_set(prepared):
    """Every code point whose str.strip() behaviour differs shows in the result."""
    cps = [c for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF and c not in (0x09, 0x0A, 0x0D)]
    cps = [c for c in cps if c < 0x3100 or chr(c).isspace() or c % 97 == 0]
    words = {}
    lines = []
    for i, c in enumerate(cps):
        w = f"w{i}"
        words[w] = 2 * i + 1
        words[chr(c) + w] = 2 * i + 2
        lines.append(chr(c) + w + "\tT\t1\t2")
    c = prepared({}, word_ids=words, tag_ids={"T": 1})
    (c.tmp1 / "ws").write_text("\n".join(lines), encoding="utf-8")
    build(c)
    got = np.load(c.npy / "ws.npy")[:, 0].tolist()
    stripped = [cps[i] for i, v in enumerate(got) if v % 2 == 1]
    assert stripped == [c for c in cps if chr(c).isspace()]


PIECE = st.sampled_from(list("ab1 \t_-+٣\u00a0\u2028x\r\n\x85") + ["dog", "NN", "\t1\t2"])
FIELD = st.lists(PIECE, max_size=8).map("".join)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(lines=st.lists(FIELD, max_size=6))
def test_matches_plain_rendering_on_generated_files(tmp_path_factory, lines):
    c = make_prepared(tmp_path_factory.mktemp("g"), {}, word_ids={"dog": 3, "a": 5, "1": 7},
                      tag_ids={"NN": 2, "b": 4})
    (c.tmp1 / "g.txt").write_bytes("\n".join(lines).encode("utf-8"))
    try:
        want = reference_build(c.workspace, c.name)[0]
    except Exception as e:  # noqa: BLE001 - the same exception type is expected
        with pytest.raises(type(e)):
            build(c)
        return
    build(c)
    assert built_files(c) == want
