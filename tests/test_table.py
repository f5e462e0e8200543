import csv
import ctypes
import gc
import io
import subprocess
import sys
import threading
import unicodedata
import weakref

import numpy as np
import pytest

from lumora import table as table_mod
from lumora.table import Table, Utf8

WORDS = ["the", "Straße", "日本語", "", "tab\there", "naïve", "a,b", 'say "hi"', "x" * 70,
         "e\u0301"]


def sample(n=12, seed=0):
    rng = np.random.default_rng(seed)
    return Table({
        "rank": np.arange(1, n + 1, dtype=np.int64),
        "word": [WORDS[i] for i in rng.integers(0, len(WORDS), n)],
        "freq": rng.integers(0, 4, n).astype(np.int64),
        "texts": rng.integers(0, 3, n).astype(np.int32),
        "percent": (rng.integers(1, 4, n) / 3 * 100).astype(np.float32),
        "score": rng.normal(size=n),
        "kept": rng.integers(0, 2, n).astype(bool),
    }, meta={"tokens": 1234, "texts": 3})


# -- construction -----------------------------------------------------------------------------

def test_columns_keep_their_types_and_memory():
    freq = np.array([3, 1, 2], dtype=np.int64)
    t = Table({"word": ["a", "é", "c"], "freq": freq, "small": np.array([1, 2, 3], np.int16)},
              meta={"tokens": 6})
    assert (len(t), t.columns, t.meta) == (3, ["word", "freq", "small"], {"tokens": 6})
    assert isinstance(t.column("word"), Utf8) and t["small"].dtype == np.int64
    assert np.shares_memory(t["freq"], freq) and not t["freq"].flags.writeable
    assert t["word"] is t["word"] and t["word"].dtype == object
    assert t["word"].tolist() == ["a", "é", "c"]


@pytest.mark.parametrize("strings", [
    np.array(["ab", "", "日本"]),
    np.array(["ab", "", "日本"], dtype=object),
    (np.array([0, 2, 2, 8]), np.frombuffer("ab日本".encode(), np.uint8)),
    Utf8([0, 2, 2, 8], "ab日本".encode()),
])
def test_string_columns_from_any_form(strings):
    t = Table({"s": strings})
    col = t.column("s")
    assert col.offsets.tolist() == [0, 2, 2, 8] and bytes(col.data) == "ab日本".encode()
    assert list(t) == [("ab",), ("",), ("日本",)]


@pytest.mark.parametrize("columns, error, message", [
    ({"a": [1, 2], "b": [1]}, ValueError, "column 'b' has 1 rows where column 'a' has 2"),
    ({"a": np.zeros((2, 2))}, ValueError,
     "column 'a' must be one-dimensional, not of shape (2, 2)"),
    ({"a": np.zeros(2, np.complex64)}, TypeError,
     ("column 'a' has values of type complex64; a table holds int64, int32, float32, float64, "
      "bool and str columns")),
    ({"a": ["x", 1]}, TypeError, "column 'a' holds a int among its strings: 1"),
    ({"a": "abc"}, TypeError, "column 'a' must be an array or a list of values, not str"),
    ({1: [1]}, TypeError, "column names must be str, not int: 1"),
    ({"a": (np.array([1, 2]), np.zeros(2, np.uint8))}, ValueError,
     "Utf8 offsets must start at 0, not 1"),
    ({"a": (np.array([0, 2, 1]), np.zeros(2, np.uint8))}, ValueError,
     "Utf8 offsets must not decrease"),
    ({"a": (np.array([0, 3]), np.zeros(2, np.uint8))}, ValueError,
     "Utf8 offsets reach byte 3 of 2 bytes"),
])
def test_bad_columns(columns, error, message):
    with pytest.raises(error) as e:
        Table(columns)
    assert str(e.value) == message


@pytest.mark.parametrize("offsets, data, message", [
    ([0, 2], b"\xff\xfe", "Utf8 data is not valid UTF-8 (invalid start byte)"),
    ([0, 1, 3], "日".encode(), "Utf8 offsets cut a character in two"),
    ([0, 1], b"a\xc3", None),  # bad bytes past the last string are never read
])
def test_utf8_is_checked(offsets, data, message):
    if message is None:
        assert Table({"s": Utf8(offsets, data)})["s"].tolist() == ["a"]
        return
    with pytest.raises(ValueError) as e:
        Utf8(offsets, data)
    assert str(e.value) == message


def test_from_rows():
    rows = [(1, "the", 3, 33.33333206176758, True), (2, "日本", 1, 100.0, False)]
    t = Table.from_rows(rows, ["rank", "word", "freq", "percent", "flag"], meta={"texts": 3},
                        dtypes={"percent": np.float32})
    assert t.to_list() == rows and t["percent"].dtype == np.float32 and t.meta == {"texts": 3}
    assert [c.dtype for c in (t["rank"], t["flag"])] == [np.int64, np.bool_]
    empty = Table.from_rows([], ["word", "freq"], dtypes={"word": str})
    assert len(empty) == 0 and isinstance(empty.column("word"), Utf8)
    with pytest.raises(ValueError, match="row 1 has 1 values for 2 columns"):
        Table.from_rows([(1, 2), (3,)], ["a", "b"])


# -- access and iteration ---------------------------------------------------------------------

def test_rows_are_python_scalars(monkeypatch):
    monkeypatch.setattr(table_mod, "_ITER_ROWS", 5)  # several blocks of rows
    t = sample(12)
    rows = list(t)
    assert rows == t.to_list() and len(rows) == 12
    assert [type(v) for v in rows[0]] == [int, str, int, int, float, float, bool]
    assert rows[3][4] == float(t["percent"][3]) == t["percent"].tolist()[3]
    assert t[3] == rows[3] and t[-1] == rows[-1]
    assert t[2:5].to_list() == rows[2:5] and t[::4].to_list() == rows[::4]
    with pytest.raises(IndexError, match="row 12 is out of range for a table of 12 rows"):
        t[12]
    with pytest.raises(KeyError, match="no column 'nope'"):
        t["nope"]


def test_head_select_and_with_columns():
    t = sample(8)
    rows = t.to_list()
    for n in (0, 3, 8, 20, -2, -20):
        assert t.head(n).to_list() == rows[:n]
    assert t.head(3).meta == t.meta
    s = t.select("word", "freq")
    assert s.columns == ["word", "freq"] and s.to_list() == [(r[1], r[2]) for r in rows]
    assert t.select(["freq"]).columns == ["freq"]
    with pytest.raises(ValueError, match="names a column twice"):
        t.select("freq", "freq")
    w = t.with_columns(freq=t["freq"] * 2, extra=np.ones(8, np.int32))
    assert w.columns == t.columns + ["extra"] and w["freq"].tolist() == [r[2] * 2 for r in rows]
    with pytest.raises(ValueError, match="has 2 rows"):
        t.with_columns(freq=[1, 2])


@pytest.mark.parametrize("gather", ["native", "numpy"])
def test_take_gathers_strings(monkeypatch, gather):
    if gather == "numpy":
        monkeypatch.setattr(table_mod, "_native_gather", lambda: None)
    elif table_mod._native_gather() is None:
        pytest.skip("lumora._engine is not built")
    monkeypatch.setattr(table_mod, "_GATHER_BYTES", 7)  # the NumPy gather in several blocks
    t = sample(50, seed=3)
    rows = t.to_list()
    idx = np.random.default_rng(1).integers(-50, 50, 200)
    fresh = Table({"word": list(t["word"])})  # no cached strings: the bytes are gathered
    assert fresh.take(idx).to_list() == [(rows[i][1],) for i in idx]
    assert t.take(idx).to_list() == [rows[i] for i in idx]
    assert t.take([]).to_list() == [] and len(t.take(np.array([], np.int32))) == 0


@pytest.mark.parametrize("indices, error, message", [
    ([50], IndexError, "row 50 is out of range for a table of 50 rows"),
    ([-51], IndexError, "row -51 is out of range for a table of 50 rows"),
    ([True], TypeError, "take() needs integer row numbers, not bool (filter() takes a mask)"),
    ([0.5], TypeError, "take() needs integer row numbers, not float64"),
])
def test_take_bad_indices(indices, error, message):
    with pytest.raises(error) as e:
        sample(50).take(indices)
    assert str(e.value) == message


SORTS = [("freq", True), ("word", False), (["freq", "texts"], True),
         (["kept", "word"], [True, False]), (["percent", "word", "rank"], [False, True, False]),
         ("score", True)]


@pytest.mark.parametrize("by, descending", SORTS)
@pytest.mark.parametrize("seed", range(3))
def test_sort_is_stable_like_sorted(by, descending, seed):
    t = sample(200, seed)
    rows = t.to_list()
    keys = [by] if isinstance(by, str) else by
    flags = descending if isinstance(descending, list) else [descending] * len(keys)
    expected = rows
    for name, desc in reversed(list(zip(keys, flags))):
        i = t.columns.index(name)
        expected = sorted(expected, key=lambda r: r[i], reverse=desc)
    assert t.sort(by, descending=descending).to_list() == expected


@pytest.mark.parametrize("dtype", [np.int64, np.int32])
@pytest.mark.parametrize("descending", [True, False])
def test_sort_of_integers_of_any_spread(monkeypatch, dtype, descending):
    monkeypatch.setattr(table_mod, "_RADIX_ROWS", 0)
    rng = np.random.default_rng(7)
    info = np.iinfo(dtype)
    for values in (rng.integers(0, 5, 300), rng.integers(-70000, 200000, 300),
                   np.concatenate([rng.integers(1, 4, 290), [info.max, info.min, 70000] * 3]),
                   np.array([info.max, info.max - 3, info.max] * 50)):
        t = Table({"key": values.astype(dtype), "row": np.arange(len(values))})
        expected = sorted(t.to_list(), key=lambda r: r[0], reverse=descending)
        assert t.sort("key", descending=descending).to_list() == expected


def test_sort_keeps_ties_in_order():
    t = Table({"word": ["a", "b", "c", "d", "e"], "freq": [1, 3, 1, 3, 2]})
    assert t.sort("freq")["word"].tolist() == ["b", "d", "e", "a", "c"]
    assert t.sort("freq", descending=False)["word"].tolist() == ["a", "c", "e", "b", "d"]
    assert len(Table({"a": np.zeros(0, np.int64)}).sort("a")) == 0
    with pytest.raises(ValueError, match="2 descending flags for 1 columns"):
        t.sort("freq", descending=[True, False])


def test_filter():
    t = sample(30)
    mask = t["freq"] > 1
    assert t.filter(mask).to_list() == [r for r in t if r[2] > 1]
    with pytest.raises(TypeError, match="needs a bool mask, not int64"):
        t.filter(t["freq"])
    with pytest.raises(ValueError, match=r"one bool per row \(30\)"):
        t.filter(mask[:3])


# -- text -------------------------------------------------------------------------------------

def _cell(v, fmt):
    if isinstance(v, float):
        return f"{v:.2f}" if fmt == "table" else repr(v)
    if isinstance(v, int) and not isinstance(v, bool) and fmt == "table":
        return f"{v:,}"
    s = str(v)
    return s.replace("\t", " ").replace("\n", " ").replace("\r", " ") if fmt == "tsv" else s


def _width(s):
    return sum(0 if unicodedata.combining(c) else
               2 if unicodedata.east_asian_width(c) in ("W", "F") else 1 for c in s)


def rendered(t, fmt, limit=None):
    """The command line's printing of rows, as it was written before tables had a format."""
    import csv

    headers, all_rows = t.columns, t.to_list()
    rows = all_rows if limit is None else all_rows[:limit]
    out = io.StringIO()
    if fmt == "csv":
        w = csv.writer(out)
        w.writerow(headers)
        for r in rows:
            w.writerow([_cell(v, fmt) for v in r])
        return out.getvalue()
    if fmt == "tsv":
        out.write("\t".join(headers) + "\n")
        for r in rows:
            out.write("\t".join(_cell(v, fmt) for v in r) + "\n")
        return out.getvalue()
    cells = [[_cell(v, fmt) for v in r] for r in rows]
    numeric = [bool(rows) and all(isinstance(r[i], (int, float)) for r in rows)
               for i in range(len(headers))]
    widths = [max([_width(h)] + [min(_width(r[i]), 64) for r in cells])
              for i, h in enumerate(headers)]

    def line(values):
        return "  ".join((" " * max(widths[i] - _width(v), 0) + v) if numeric[i]
                         else v + " " * max(widths[i] - _width(v), 0)
                         for i, v in enumerate(values)).rstrip()

    out.write(line(headers) + "\n")
    for r in cells:
        out.write(line(r) + "\n")
    if not rows:
        out.write("(no rows)\n")
    elif limit is not None and len(all_rows) > limit:
        out.write(f"... {len(all_rows) - limit:,} more rows (see --limit)\n")
    return out.getvalue()


@pytest.mark.parametrize("fmt, cli_fmt", [("aligned", "table"), ("tsv", "tsv"), ("csv", "csv")])
@pytest.mark.parametrize("n, limit", [(12, None), (12, 5), (12, 12), (0, None), (1, 3)])
def test_format_is_the_command_lines_output(fmt, cli_fmt, n, limit):
    t = sample(n, seed=n)
    text = t.format(fmt, limit, hint="see --limit" if cli_fmt == "table" else None)
    assert text == rendered(t, cli_fmt, limit)


def test_repr_and_html():
    t = sample(15)
    assert repr(t) == t.format("aligned", 10).rstrip("\n")
    assert repr(t).splitlines()[-1] == "... 5 more rows"
    assert repr(Table({"word": [], "freq": []})) == "word  freq\n(no rows)"
    page = Table({"word": ["<b>&"], "freq": [1234]})._repr_html_()
    assert "<td style=\"text-align: left\">&lt;b&gt;&amp;</td>" in page
    assert "<td style=\"text-align: right\">1,234</td>" in page
    with pytest.raises(ValueError, match="unknown format 'xml'"):
        t.format("xml")


def test_write_csv_tsv_parquet(tmp_path):
    t = sample(20)
    for ext, fmt in ((".csv", "csv"), (".TSV", "tsv")):
        path = tmp_path / ("t" + ext)
        t.write(path)
        assert path.read_bytes() == t.format(fmt).encode("utf-8")
    with open(tmp_path / "t.csv", newline="", encoding="utf-8") as f:
        back = list(csv.reader(f))
    assert back[0] == t.columns
    assert back[1:] == [[repr(v) if isinstance(v, float) else str(v) for v in r] for r in t]
    with pytest.raises(ValueError) as e:
        t.write(tmp_path / "t.xlsx")
    assert str(e.value) == (f"cannot write {tmp_path / 't.xlsx'}: the name must end in .csv, "
                            ".tsv or .parquet")
    pq = pytest.importorskip("pyarrow.parquet")
    t.write(tmp_path / "t.parquet")
    back = pq.read_table(tmp_path / "t.parquet")
    assert back.column_names == t.columns
    assert [tuple(r.values()) for r in back.to_pylist()] == t.to_list()


IMPORTS = [
    ("polars", lambda t: t.to_polars(), "to_polars() needs polars: pip install 'lumora[polars]'"),
    ("pandas", lambda t: t.to_pandas(), "to_pandas() needs pandas: pip install 'lumora[pandas]'"),
    ("pyarrow", lambda t: t.to_arrow(), "to_arrow() needs pyarrow: pip install 'lumora[arrow]'"),
    ("pyarrow", lambda t: t.write("x.parquet"),
     "write() of a .parquet file needs pyarrow: pip install 'lumora[arrow]'"),
]


@pytest.mark.parametrize("module, call, message", IMPORTS, ids=[m for m, _, _ in IMPORTS])
def test_missing_extra_names_it(monkeypatch, module, call, message):
    for name in list(sys.modules):
        if name == module or name.startswith(module + "."):
            monkeypatch.setitem(sys.modules, name, None)
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError) as e:
        call(sample(3))
    assert str(e.value) == message


def test_table_needs_only_numpy():
    code = ("import sys\n"
            "for m in ('polars', 'pandas', 'pyarrow', 'duckdb'): sys.modules[m] = None\n"
            "from lumora.table import Table\n"
            "t = Table({'w': ['a', 'b'], 'f': [2, 1]}).sort('f', descending=False)\n"
            "print(t.to_list())\n")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                       check=False)
    assert (r.returncode, r.stdout, r.stderr) == (0, "[('b', 1), ('a', 2)]\n", "")


# -- Arrow ------------------------------------------------------------------------------------

@pytest.fixture
def arrow():
    return pytest.importorskip("lumora._engine")


def test_pyarrow_shares_the_columns(arrow):
    pa = pytest.importorskip("pyarrow")
    t = sample(40)
    at = pa.table(t)
    assert at.column_names == t.columns
    assert [str(f.type) for f in at.schema] == ["int64", "large_string", "int64", "int32", "float",
                                                "double", "bool"]
    assert [tuple(r.values()) for r in at.to_pylist()] == t.to_list()
    freq = at.column("freq").chunk(0)
    assert freq.buffers()[1].address == t["freq"].ctypes.data
    word = at.column("word").chunk(0).buffers()
    assert word[1].address == t.column("word").offsets.ctypes.data
    assert word[2].address == t.column("word").data.ctypes.data
    assert t.to_arrow().equals(at)
    assert pa.schema(t) == at.schema


def test_polars_shares_the_columns(arrow):
    pl = pytest.importorskip("polars")
    t = sample(40)
    df = pl.DataFrame(t)
    assert df.columns == t.columns and df.rows() == t.to_list()
    assert df["freq"].to_numpy(allow_copy=False).ctypes.data == t["freq"].ctypes.data
    assert t.to_polars().equals(df)


def test_duckdb_reads_a_table(arrow):
    duckdb = pytest.importorskip("duckdb")
    t = sample(40)
    assert duckdb.sql("select * from t").fetchall() == t.to_list()
    got = duckdb.sql("select word, sum(freq) from t group by word order by word").fetchall()
    sums = {}
    for r in t:
        sums[r[1]] = sums.get(r[1], 0) + r[2]
    assert got == sorted(sums.items())
    empty = t.head(0)  # noqa: F841 (read by name)
    assert duckdb.sql("select count(*) from empty").fetchall() == [(0,)]


def test_empty_and_unusual_tables_cross(arrow):
    pa = pytest.importorskip("pyarrow")
    pl = pytest.importorskip("polars")
    for t in (sample(0), sample(9).head(0), Table({}), Table({"s": ["", "", "日本\u0000"]})):
        at = pa.table(t)
        assert at.num_rows == len(t) and at.column_names == t.columns
        assert [tuple(r.values()) for r in at.to_pylist()] == t.to_list()
        assert pl.DataFrame(t).rows() == t.to_list()
    # A slice's strings start part-way into the shared bytes.
    t = Table({"s": WORDS}).take(np.arange(3, 10))[2:6]
    assert pa.table(t).column("s").to_pylist() == WORDS[5:9]


def test_to_pandas():
    pd = pytest.importorskip("pandas")
    t = sample(10)
    df = t.to_pandas()
    assert isinstance(df, pd.DataFrame) and list(df.columns) == t.columns
    assert [tuple(r) for r in df.itertuples(index=False)] == t.to_list()


def test_capsules(arrow):
    t = sample(3)
    with pytest.raises(ValueError, match="column 0 has the wrong length"):
        arrow.arrow_stream(("a",), (np.arange(4),), 3)
    with pytest.raises(ValueError, match="offsets of string column 0 do not fit"):
        arrow.arrow_stream(("s",), ((np.array([0, 9]), np.zeros(2, np.uint8)),), 1)
    with pytest.raises(TypeError, match="column 0 is not of int64"):
        arrow.arrow_stream(("a",), (np.arange(3, dtype=np.uint16),), 3)
    with pytest.raises(ValueError, match="holds a NUL character"):
        arrow.arrow_stream(("a\0",), (np.arange(3),), 3)
    assert "arrow_array_stream" in repr(t.__arrow_c_stream__())
    assert "arrow_schema" in repr(t.__arrow_c_schema__())


# The C structs, to drive a stream as a foreign consumer would.
class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


ArrowSchema._fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p),
                        ("metadata", ctypes.c_char_p), ("flags", ctypes.c_int64),
                        ("n_children", ctypes.c_int64),
                        ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
                        ("dictionary", ctypes.c_void_p),
                        ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))),
                        ("private_data", ctypes.c_void_p)]
ArrowArray._fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64),
                       ("offset", ctypes.c_int64), ("n_buffers", ctypes.c_int64),
                       ("n_children", ctypes.c_int64),
                       ("buffers", ctypes.POINTER(ctypes.c_void_p)),
                       ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
                       ("dictionary", ctypes.c_void_p),
                       ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))),
                       ("private_data", ctypes.c_void_p)]


class ArrowArrayStream(ctypes.Structure):
    _fields_ = [("get_schema", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p,
                                                ctypes.POINTER(ArrowSchema))),
                ("get_next", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p,
                                              ctypes.POINTER(ArrowArray))),
                ("get_last_error", ctypes.c_void_p),
                ("release", ctypes.c_void_p),
                ("private_data", ctypes.c_void_p)]


def capsule_pointer(capsule, name):
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return get(capsule, name)


def test_stream_as_a_foreign_thread_sees_it(arrow):
    words, freq = Utf8.from_strings(["ab", "日本", ""]), np.array([5, 0, 7])
    t = Table({"word": words, "freq": freq, "flag": [True, False, True]})
    alive = weakref.ref(freq)
    data = weakref.ref(words.data.base)
    capsule = t.__arrow_c_stream__()
    ptr = capsule_pointer(capsule, b"arrow_array_stream")
    stream = ArrowArrayStream.from_address(ptr)
    schema = ArrowSchema()
    assert stream.get_schema(ptr, ctypes.byref(schema)) == 0
    assert (schema.format, schema.n_children) == (b"+s", 3)
    kids = [schema.children[i].contents for i in range(3)]
    assert [(k.name, k.format, k.flags) for k in kids] == [(b"word", b"U", 2), (b"freq", b"l", 2),
                                                            (b"flag", b"b", 2)]
    schema.release(ctypes.byref(schema))
    batch = ArrowArray()
    assert stream.get_next(ptr, ctypes.byref(batch)) == 0
    end = ArrowArray()
    assert stream.get_next(ptr, ctypes.byref(end)) == 0 and not end.release
    del capsule, stream, t, words, freq  # the stream goes; the batch keeps the columns
    gc.collect()
    assert (batch.length, batch.n_children, batch.n_buffers) == (3, 3, 1)
    word, num, flag = (batch.children[i].contents for i in range(3))
    assert ctypes.string_at(word.buffers[2], 8) == "ab日本".encode()
    assert (ctypes.c_int64 * 3).from_address(num.buffers[1])[:] == [5, 0, 7]
    assert ctypes.string_at(flag.buffers[1], 1) == bytes([0b101])
    # A consumer may move a child out and release the parent first.
    moved = ArrowArray.from_buffer_copy(num)
    num.release = type(num.release)()
    batch.release(ctypes.byref(batch))
    assert not batch.release and alive() is not None and data() is None
    # ctypes calls the release callback without the interpreter lock, on another thread.
    th = threading.Thread(target=moved.release, args=(ctypes.byref(moved),))
    th.start()
    th.join()
    assert not moved.release and alive() is None


@pytest.mark.parametrize("consumer", ["pyarrow", "polars", "capsule"])
def test_consumers_let_go_of_the_columns(arrow, consumer):
    freq = np.arange(1000, dtype=np.int64)
    alive = weakref.ref(freq)
    t = Table({"freq": freq, "word": ["w"] * 1000})
    del freq
    if consumer == "capsule":
        held = t.__arrow_c_stream__()  # never read
    else:
        lib = pytest.importorskip(consumer)
        held = lib.table(t) if consumer == "pyarrow" else lib.DataFrame(t)
    del t
    gc.collect()
    assert alive() is not None
    del held
    gc.collect()
    assert alive() is None
