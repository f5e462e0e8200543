"""lumora.Table: the columnar result of an analysis.

A table holds one NumPy array per column (int64, int32, float32, float64 or bool) or a ``Utf8``
string column in Arrow's layout (int64 offsets into UTF-8 bytes). Iterating it gives tuples of
Python scalars; ``polars.DataFrame(t)``, ``pyarrow.table(t)`` and DuckDB read it through the Arrow
PyCapsule interface without copying the columns.
"""

import codecs
import csv
import html
import importlib
import io
import os
import unicodedata
from collections.abc import Mapping

import numpy as np

__all__ = ["Table", "Utf8"]

_TYPES = tuple(np.dtype(t) for t in (np.int64, np.int32, np.float32, np.float64, np.bool_))
_ITER_ROWS = 65536  # rows turned into Python objects at a time while iterating or writing
_GATHER_BYTES = 1 << 24  # bytes of strings a NumPy gather moves at a time
_REPR_ROWS = 10
_MAX_COLUMN = 64  # a very long word (a URL, say) is printed whole but widens its column no more


def _readonly(a):
    v = a.view()
    v.flags.writeable = False
    return v


def _need(module, what, extra):
    """Import an optional dependency or say which extra brings it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        name = module.split(".")[0]
        raise ImportError(f"{what} needs {name}: pip install 'lumora[{extra}]'") from None


def native_engine(what="the Arrow export"):
    """lumora._engine, or an ImportError saying that `what` needs it."""
    try:
        from . import _engine as engine
    except ImportError as e:
        raise ImportError(f"{what} needs lumora's native engine, which is not available "
                          f"here ({e})") from None
    return engine


def _native_gather():
    try:
        from . import _engine as engine
    except ImportError:
        return None
    return getattr(engine, "utf8_gather", None)


# ---------------------------------------------------------------------------------------------
# String columns

class Utf8:
    """A string column in Arrow's large_utf8 layout: row i is the UTF-8 text
    ``data[offsets[i]:offsets[i + 1]]``; ``offsets`` is int64 of length n + 1, starting at 0."""

    __slots__ = ("_strings", "data", "offsets")

    def __init__(self, offsets, data):
        offsets = np.asarray(offsets)
        if isinstance(data, (bytes, bytearray, memoryview)):
            data = np.frombuffer(data, dtype=np.uint8)
        data = np.asarray(data)
        if offsets.ndim != 1 or offsets.dtype.kind not in "iu" or len(offsets) == 0:
            raise ValueError("Utf8 offsets must be a one-dimensional integer array of n + 1 "
                             "positions")
        if data.ndim != 1 or data.dtype != np.uint8:
            raise ValueError("Utf8 data must be a one-dimensional uint8 array of UTF-8 bytes")
        offsets = np.ascontiguousarray(offsets, dtype=np.int64)
        data = np.ascontiguousarray(data)
        if offsets[0] != 0:
            raise ValueError(f"Utf8 offsets must start at 0, not {offsets[0]}")
        if len(offsets) > 1 and not np.all(offsets[1:] >= offsets[:-1]):
            raise ValueError("Utf8 offsets must not decrease")
        if offsets[-1] > len(data):
            raise ValueError(f"Utf8 offsets reach byte {offsets[-1]:,} of {len(data):,} bytes")
        _check_utf8(offsets, data)
        self.offsets = _readonly(offsets)
        self.data = _readonly(data)
        self._strings = None

    @classmethod
    def _trusted(cls, offsets, data, strings=None):
        self = object.__new__(cls)
        self.offsets = _readonly(offsets)
        self.data = _readonly(data)
        self._strings = strings
        return self

    @classmethod
    def from_strings(cls, values, name="strings"):
        """A column of the given str values (a list, tuple or NumPy str or object array)."""
        if isinstance(values, np.ndarray):
            values = values.tolist()
        values = list(values)
        for v in values:
            if not isinstance(v, str):
                raise TypeError(f"column {name!r} holds a {type(v).__name__} among its "
                                f"strings: {v!r}")
        encoded = [v.encode("utf-8") for v in values]
        offsets = np.zeros(len(encoded) + 1, dtype=np.int64)
        np.cumsum(np.fromiter(map(len, encoded), dtype=np.int64, count=len(encoded)),
                  out=offsets[1:])
        data = np.frombuffer(b"".join(encoded), dtype=np.uint8)
        strings = np.empty(len(values), dtype=object)
        strings[:] = values
        return cls._trusted(offsets, data, _readonly(strings))

    def __len__(self):
        return len(self.offsets) - 1

    def __repr__(self):
        return f"Utf8({len(self):,} strings, {int(self.offsets[-1]):,} bytes)"

    def to_numpy(self):
        """The strings as a NumPy object array of str (made once, then cached)."""
        if self._strings is None:
            self._strings = _readonly(_decode(self.offsets, self.data))
        return self._strings

    def slice(self, start, stop):
        offsets = self.offsets[start:stop + 1]
        base = int(offsets[0])
        if base:
            offsets = offsets - base
        data = self.data[base:int(self.offsets[stop])]
        strings = None if self._strings is None else self._strings[start:stop]
        return Utf8._trusted(offsets, data, strings)

    def take(self, indices):
        """The rows at `indices` (an int64 array of valid, non-negative row numbers)."""
        starts = self.offsets[indices]
        offsets = np.zeros(len(indices) + 1, dtype=np.int64)
        np.cumsum(self.offsets[indices + 1] - starts, out=offsets[1:])
        data = np.empty(int(offsets[-1]), dtype=np.uint8)
        gather = _native_gather()
        (gather or _gather_numpy)(self.data, starts, offsets, data)
        strings = None if self._strings is None else self._strings[indices]
        return Utf8._trusted(offsets, data, strings)


def _check_utf8(offsets, data):
    """Valid UTF-8 bytes, with every string starting and ending on a character's boundary."""
    used = data[:int(offsets[-1])]
    decoder = codecs.getincrementaldecoder("utf-8")()
    try:
        for start in range(0, len(used), _GATHER_BYTES):
            decoder.decode(used[start:start + _GATHER_BYTES].tobytes())
        decoder.decode(b"", final=True)
    except UnicodeDecodeError as e:
        raise ValueError(f"Utf8 data is not valid UTF-8 ({e.reason})") from None
    cut = offsets[(offsets > 0) & (offsets < len(used))]
    if len(cut) and np.any((used[cut] & 0xC0) == 0x80):
        raise ValueError("Utf8 offsets cut a character in two")


def _decode(offsets, data):
    raw = data[:int(offsets[-1])].tobytes()
    n = len(offsets) - 1
    if raw.isascii():
        text = raw.decode("ascii")
        pos = offsets.tolist()
    else:
        text = raw.decode("utf-8")
        starts = np.zeros(len(raw) + 1, dtype=np.int64)
        np.cumsum((data[:len(raw)] & 0xC0) != 0x80, out=starts[1:])
        pos = starts[offsets].tolist()
    out = np.empty(n, dtype=object)
    out[:] = [text[a:b] for a, b in zip(pos, pos[1:])]
    return out


def _gather_numpy(src, starts, offsets, dest):
    """The byte copy of a string gather in NumPy, a block of rows at a time."""
    n = len(starts)
    i = 0
    while i < n:
        j = int(np.searchsorted(offsets, offsets[i] + _GATHER_BYTES, side="right")) - 1
        j = min(max(j, i + 1), n)
        base = offsets[i]
        total = int(offsets[j] - base)
        if total:
            lengths = offsets[i + 1:j + 1] - offsets[i:j]
            pos = np.repeat(starts[i:j] - (offsets[i:j] - base), lengths)
            pos += np.arange(total, dtype=np.int64)
            dest[base:base + total] = src[pos]
        i = j


# ---------------------------------------------------------------------------------------------
# Columns

def _column(name, value):
    """A column as a table keeps it: a read-only contiguous NumPy array of one of the five
    types, or a Utf8."""
    if isinstance(value, Utf8):
        return value
    if (isinstance(value, tuple) and len(value) == 2
            and all(isinstance(v, np.ndarray) for v in value)):
        return Utf8(*value)
    if not isinstance(value, np.ndarray):
        if isinstance(value, (str, bytes)) or not hasattr(value, "__len__"):
            raise TypeError(f"column {name!r} must be an array or a list of values, not "
                            f"{type(value).__name__}")
        values = list(value)
        if any(isinstance(v, str) for v in values):
            return Utf8.from_strings(values, name)
        value = np.asarray(values) if values else np.zeros(0, dtype=np.int64)
    if value.ndim != 1:
        raise ValueError(f"column {name!r} must be one-dimensional, not of shape {value.shape}")
    kind = value.dtype.kind
    if kind in "UO":
        return Utf8.from_strings(value, name)
    dtype = value.dtype.newbyteorder("=")
    if dtype not in _TYPES:
        if kind == "i" or (kind == "u" and dtype.itemsize < 8):
            dtype = np.dtype(np.int64)
        elif kind == "f" and dtype.itemsize < 4:
            dtype = np.dtype(np.float32)
        else:
            raise TypeError(f"column {name!r} has values of type {value.dtype}; a table holds "
                            "int64, int32, float32, float64, bool and str columns")
    return _readonly(np.ascontiguousarray(value, dtype=dtype))


def _width(s):
    """Columns a string takes on a terminal (wide East Asian characters take two)."""
    w = 0
    for c in s:
        if unicodedata.combining(c):
            continue
        w += 2 if unicodedata.east_asian_width(c) in ("W", "F") else 1
    return w


def _cells(column, values, fmt):
    """The printed cells of one column's Python values: counts with thousands separators and
    floats with two decimals in an aligned table, floats in full (repr) in tsv and csv."""
    if isinstance(column, Utf8):
        if fmt == "tsv":
            return [v.replace("\t", " ").replace("\n", " ").replace("\r", " ") for v in values]
        return values
    kind = column.dtype.kind
    if kind == "f":
        return [f"{v:.2f}" for v in values] if fmt == "aligned" else [repr(v) for v in values]
    if kind == "i" and fmt == "aligned":
        return [f"{v:,}" for v in values]
    return [str(v) for v in values]


_FORMATS = {"aligned": "aligned", "table": "aligned", "tsv": "tsv", "csv": "csv"}


# ---------------------------------------------------------------------------------------------
# Tables

class Table:
    """Columns of equal length, in order: ``Table({"word": [...], "freq": array}, meta={})``.

    A column is a one-dimensional NumPy array (int64, int32, float32, float64, bool; other
    integer widths become int64), a ``Utf8``, an ``(offsets, data)`` pair of NumPy arrays in
    Utf8's layout, or str values (a list, or a NumPy str or object array). Arrays are shared, not
    copied, and the table's views of them are read-only.
    """

    __slots__ = ("_columns", "_length", "_meta", "_names")

    def __init__(self, columns, meta=None):
        if not isinstance(columns, Mapping):
            raise TypeError(f"Table() takes a dict of columns, not {type(columns).__name__}")
        names, cols, length = [], [], None
        for name, value in columns.items():
            if not isinstance(name, str):
                raise TypeError(f"column names must be str, not {type(name).__name__}: {name!r}")
            col = _column(name, value)
            if length is None:
                length = len(col)
            elif len(col) != length:
                raise ValueError(f"column {name!r} has {len(col):,} rows where column "
                                 f"{names[0]!r} has {length:,}")
            names.append(name)
            cols.append(col)
        self._names = names
        self._columns = cols
        self._length = length or 0
        self._meta = dict(meta) if meta else {}

    @classmethod
    def _of(cls, names, columns, length, meta):
        self = object.__new__(cls)
        self._names = list(names)
        self._columns = list(columns)
        self._length = length
        self._meta = dict(meta)
        return self

    @classmethod
    def from_rows(cls, rows, names, *, dtypes=None, meta=None):
        """A table of row tuples. Column types come from `dtypes` (name -> a NumPy type or
        str) where given, else from the first row (str, bool, int as int64, float as float64);
        the columns of a table without rows are int64 unless `dtypes` says otherwise."""
        names = list(names)
        rows = rows if isinstance(rows, list) else list(rows)
        dtypes = dtypes or {}
        for i, r in enumerate(rows):
            if len(r) != len(names):
                raise ValueError(f"row {i} has {len(r)} values for {len(names)} columns")
        values = list(zip(*rows)) if rows else [()] * len(names)
        columns = {}
        for i, name in enumerate(names):
            dtype = dtypes.get(name)
            if dtype is None and rows:
                first = rows[0][i]
                dtype = (str if isinstance(first, str) else np.bool_ if isinstance(first, bool)
                         else np.int64 if isinstance(first, int) else np.float64)
            if dtype is str:
                columns[name] = Utf8.from_strings(values[i], name)
            else:
                columns[name] = np.array(values[i], dtype=dtype or np.int64)
        return cls(columns, meta)

    # -- shape and access ----------------------------------------------------------------------

    def __len__(self):
        return self._length

    @property
    def columns(self):
        """The column names, in order."""
        return list(self._names)

    @property
    def meta(self):
        """The totals of the call that made the table (tokens, texts, ...)."""
        return self._meta

    def column(self, name):
        """A column as the table holds it: a NumPy array, or a Utf8 for strings."""
        try:
            return self._columns[self._names.index(name)]
        except ValueError:
            raise KeyError(f"no column {name!r} (columns: {', '.join(self._names)})") from None

    def _values(self, i):
        col = self._columns[i]
        return col.to_numpy() if isinstance(col, Utf8) else col

    def __getitem__(self, key):
        """t["freq"] is a column as a NumPy array (strings as an object array of str), t[i] a
        row, t[a:b] a table of those rows."""
        if isinstance(key, str):
            col = self.column(key)
            return col.to_numpy() if isinstance(col, Utf8) else col
        if isinstance(key, slice):
            start, stop, step = key.indices(self._length)
            if step == 1:
                return self._slice(start, max(start, stop))
            return self.take(np.arange(start, stop, step))
        if isinstance(key, (int, np.integer)) and not isinstance(key, bool):
            i = int(key)
            if not -self._length <= i < self._length:
                raise IndexError(f"row {key} is out of range for a table of {self._length:,} "
                                 "rows")
            i %= self._length
            return tuple(self._values(j)[i:i + 1].tolist()[0] for j in range(len(self._names)))
        raise TypeError(f"a table is indexed by a column name, a row number or a slice, not "
                        f"{type(key).__name__}")

    def __iter__(self):
        for start in range(0, self._length, _ITER_ROWS):
            yield from self._rows(start, min(self._length, start + _ITER_ROWS))

    def _rows(self, start, stop):
        return zip(*[self._values(j)[start:stop].tolist() for j in range(len(self._names))])

    def to_list(self):
        """The rows as a list of tuples of Python values (int, float, str, bool)."""
        if not self._names:
            return []
        return list(zip(*[self._values(j).tolist() for j in range(len(self._names))]))

    # -- new tables of some rows or columns ----------------------------------------------------

    def _slice(self, start, stop):
        cols = [c.slice(start, stop) if isinstance(c, Utf8) else c[start:stop]
                for c in self._columns]
        return Table._of(self._names, cols, stop - start, self._meta)

    def head(self, n=5):
        """The first n rows (all but the last -n when n is negative)."""
        n = int(n)
        stop = min(n, self._length) if n >= 0 else max(self._length + n, 0)
        return self._slice(0, stop)

    def take(self, indices):
        """The rows at the given row numbers, in that order (negative ones count from the end)."""
        idx = np.asarray(indices)
        if idx.size == 0:
            idx = idx.astype(np.int64)
        if idx.ndim != 1:
            raise ValueError(f"take() needs a one-dimensional array of row numbers, not of shape "
                             f"{idx.shape}")
        if idx.dtype.kind not in "iu":
            raise TypeError(f"take() needs integer row numbers, not {idx.dtype}"
                            + (" (filter() takes a mask)" if idx.dtype.kind == "b" else ""))
        if idx.dtype.kind == "u" and idx.size and int(idx.max()) > np.iinfo(np.int64).max:
            raise IndexError(f"row {int(idx.max())} is out of range for a table of "
                             f"{self._length:,} rows")
        idx = idx.astype(np.int64, copy=False)
        n = self._length
        if idx.size:
            low, high = int(idx.min()), int(idx.max())
            if low < -n or high >= n:
                bad = low if low < -n else high
                raise IndexError(f"row {bad} is out of range for a table of {n:,} rows")
            if low < 0:
                idx = np.where(idx < 0, idx + n, idx)
        cols = [c.take(idx) if isinstance(c, Utf8) else c[idx] for c in self._columns]
        return Table._of(self._names, cols, len(idx), self._meta)

    def sort(self, by, descending=True):
        """The rows sorted by one column or several (a list), largest first unless
        `descending` is False (or a list of one flag per column); rows that tie keep their
        order."""
        keys = [by] if isinstance(by, str) else list(by)
        if not keys:
            raise ValueError("sort() needs at least one column")
        if isinstance(descending, (bool, np.bool_)):
            flags = [bool(descending)] * len(keys)
        else:
            flags = [bool(d) for d in descending]
            if len(flags) != len(keys):
                raise ValueError(f"sort() got {len(flags)} descending flags for {len(keys)} "
                                 "columns")
        order = None
        # A stable sort by each key from the last to the first leaves the rows in the order of
        # the first key, ties broken by the next.
        for name, desc in zip(reversed(keys), reversed(flags)):
            values = self[name]
            key = values if order is None else values[order]
            step = _stable_argsort(key, desc)
            order = step if order is None else order[step]
        return self.take(order)

    def filter(self, mask):
        """The rows where `mask` (a bool array, one per row) is True."""
        mask = np.asarray(mask)
        if mask.dtype != np.bool_:
            raise TypeError(f"filter() needs a bool mask, not {mask.dtype}")
        if mask.shape != (self._length,):
            raise ValueError(f"filter() needs one bool per row ({self._length:,}), not a mask "
                             f"of shape {mask.shape}")
        return self.take(np.flatnonzero(mask))

    def with_columns(self, columns=None, /, **named):
        """A table with these columns added (at the end) or replaced (in place)."""
        new = dict(zip(self._names, self._columns))
        new.update(columns or {})
        new.update(named)
        return Table(new, self._meta)

    def select(self, *names):
        """A table of the named columns, in the order given: select("word", "freq") or
        select(["word", "freq"])."""
        if len(names) == 1 and not isinstance(names[0], str):
            names = tuple(names[0])
        cols = [self.column(name) for name in names]
        if len(set(names)) != len(names):
            raise ValueError(f"select() names a column twice: {', '.join(names)}")
        return Table._of(names, cols, self._length if cols else 0, self._meta)

    # -- text ----------------------------------------------------------------------------------

    def format(self, fmt="aligned", limit=None, *, hint=None, file=None):
        """The rows as text: "aligned" (the command line's table: counts with thousands
        separators, floats with two decimals, numbers right-aligned), "tsv" or "csv" (floats in
        full). `limit` rows at most, the rest counted in a last line ("... N more rows", with
        `hint` in parentheses after it). Written to `file` when given, else returned."""
        try:
            fmt = _FORMATS[fmt]
        except (KeyError, TypeError):
            raise ValueError(f"unknown format {fmt!r} (use aligned, tsv or csv)") from None
        if limit is not None and limit < 0:
            raise ValueError(f"limit must not be negative, not {limit}")
        out = io.StringIO() if file is None else file
        shown = self._length if limit is None else min(limit, self._length)
        if fmt == "aligned":
            self._write_aligned(out, shown, hint)
        else:
            self._write_separated(out, fmt, shown)
        return out.getvalue() if file is None else None

    def _cells(self, start, stop, fmt):
        return [_cells(col, self._values(j)[start:stop].tolist(), fmt)
                for j, col in enumerate(self._columns)]

    def _write_separated(self, out, fmt, shown):
        writer = csv.writer(out) if fmt == "csv" else None
        if writer:
            writer.writerow(self._names)
        else:
            out.write("\t".join(self._names) + "\n")
        for start in range(0, shown, _ITER_ROWS):
            rows = zip(*self._cells(start, min(shown, start + _ITER_ROWS), fmt))
            if writer:
                writer.writerows(rows)
            else:
                out.writelines("\t".join(r) + "\n" for r in rows)

    def _write_aligned(self, out, shown, hint):
        columns = self._cells(0, shown, "aligned")
        numeric = [shown > 0 and not isinstance(c, Utf8) for c in self._columns]
        widths = [max([_width(h)] + [min(_width(v), _MAX_COLUMN) for v in cells])
                  for h, cells in zip(self._names, columns)]

        def line(values):
            parts = []
            for i, v in enumerate(values):
                pad = " " * max(widths[i] - _width(v), 0)
                parts.append(pad + v if numeric[i] else v + pad)
            return "  ".join(parts).rstrip()

        out.write(line(self._names) + "\n")
        for row in zip(*columns):
            out.write(line(row) + "\n")
        if self._length == 0:
            out.write("(no rows)\n")
        elif shown < self._length:
            more = f"... {self._length - shown:,} more rows"
            out.write(more + (f" ({hint})" if hint else "") + "\n")

    def __repr__(self):
        return self.format("aligned", _REPR_ROWS).rstrip("\n")

    def _repr_html_(self):
        shown = min(_REPR_ROWS, self._length)
        columns = self._cells(0, shown, "aligned")
        right = [not isinstance(c, Utf8) for c in self._columns]
        head = "".join(f"<th>{html.escape(n)}</th>" for n in self._names)
        body = []
        for row in zip(*columns):
            cells = "".join(
                (f'<td style="text-align: right">{html.escape(v)}</td>' if right[i]
                 else f'<td style="text-align: left">{html.escape(v)}</td>')
                for i, v in enumerate(row))
            body.append(f"<tr>{cells}</tr>")
        foot = ""
        if self._length == 0:
            foot = "<p>(no rows)</p>"
        elif shown < self._length:
            foot = f"<p>... {self._length - shown:,} more rows</p>"
        return (f'<table class="lumora-table"><thead><tr>{head}</tr></thead>'
                f'<tbody>{"".join(body)}</tbody></table>{foot}')

    # -- other tools ---------------------------------------------------------------------------

    def _arrow_args(self):
        cols = tuple((c.offsets, c.data) if isinstance(c, Utf8) else c for c in self._columns)
        return tuple(self._names), cols, self._length

    def __arrow_c_stream__(self, requested_schema=None):
        """The table as an Arrow C stream (a PyCapsule) of one struct array of all columns,
        sharing the columns' memory; `requested_schema` is not used."""
        return native_engine().arrow_stream(*self._arrow_args())

    def __arrow_c_schema__(self):
        """The table's schema as an Arrow C schema (a PyCapsule): a struct of the columns."""
        return native_engine().arrow_schema(*self._arrow_args())

    def to_arrow(self):
        """A pyarrow.Table sharing the columns' memory."""
        pa = _need("pyarrow", "to_arrow()", "arrow")
        return pa.table(self)

    def to_polars(self):
        """A polars.DataFrame sharing the columns' memory."""
        pl = _need("polars", "to_polars()", "polars")
        return pl.DataFrame(self)

    def to_pandas(self):
        """A pandas.DataFrame of the columns (strings as str objects)."""
        pd = _need("pandas", "to_pandas()", "pandas")
        return pd.DataFrame({name: self[name] for name in self._names},
                            columns=list(self._names))

    def write(self, path):
        """Writes the table to a .csv or .tsv file (as `format` gives it), or to a .parquet
        file (with pyarrow)."""
        path = os.fspath(path)
        ext = os.path.splitext(path)[1].lower()
        if ext in (".csv", ".tsv"):
            with open(path, "w", encoding="utf-8", newline="") as out:
                self.format(ext[1:], file=out)
        elif ext == ".parquet":
            pq = _need("pyarrow.parquet", "write() of a .parquet file", "arrow")
            pq.write_table(self.to_arrow(), path)
        else:
            raise ValueError(f"cannot write {path}: the name must end in .csv, .tsv or .parquet")


def _stable_argsort(key, descending):
    """Positions that sort `key` stably, largest first when descending (ties keep their
    order, as Python's sorted(reverse=True) keeps them)."""
    if key.dtype.kind in "iu" and len(key) > _RADIX_ROWS:
        return _argsort_counts(key, descending)
    return _argsort_general(key, descending)


def _argsort_general(key, descending):
    if not descending:
        return np.argsort(key, kind="stable")
    # Sorting the reversed keys ascending and reading the result backwards keeps ties in order.
    return (len(key) - 1 - np.argsort(key[::-1], kind="stable"))[::-1]


_RADIX_ROWS = 4096  # from this many rows on, integer keys go through NumPy's radix sort


def _argsort_counts(key, descending):
    """_stable_argsort of integers. NumPy's stable sort is a radix sort for 16-bit keys: the rows
    whose values lie within 65,536 of the smallest (most rows of a frequency list) are sorted
    that way, the few larger ones by the general sort, and the two parts put end to end."""
    lo = int(key.min())
    # (Every value lies within 65,536 of the smallest when that is so close to the type's top.)
    small = None if lo > np.iinfo(key.dtype).max - 65536 else key < lo + 65536
    everything = small is None or bool(small.all())
    rows = None if everything else np.flatnonzero(small)
    rel = (key if everything else key[rows]) - lo
    digits = rel.astype(np.uint16)
    if descending:
        digits = np.uint16(65535) - digits
    order = np.argsort(digits, kind="stable")
    if everything:
        return order
    order = rows[order]
    rest = np.flatnonzero(~small)
    rest = rest[_argsort_general(key[rest], descending)]
    return np.concatenate((rest, order) if descending else (order, rest))
