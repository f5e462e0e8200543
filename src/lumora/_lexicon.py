"""The per-distinct-form facts of a corpus that the native engine needs, computed once in Python.

A :class:`Lexicon` (``Lexicon(corpus)``: a corpus object or a folder path) is built from the
corpus's id-to-word and id-to-tag dictionaries (``data/idx/words.pickle``, ``tags.pickle``;
``wordslc.pickle`` is read when first asked for).
Everything that depends on Python's semantics (``str.lower``, the ``\\W`` class of ``re``,
equality of strings) is decided here, once per distinct string, so that native code can count
over integer arrays and still give results equal to the modules'. All facts are NumPy arrays
indexed by a *dense index*: the position of an id in its dictionary's iteration order.

Words (``n_words`` entries, dense index ``d``):

* ``word_ids[d]``: the word id (int64);
* ``words``: the word forms as UTF-8 (:class:`Strings`, ``words[d]`` is the form);
* ``form_group[d]``: number of the distinct form (equal strings share one) in ``forms``;
* ``lower_group[d]``: number of the distinct lower-cased form (``str.lower``) in
  ``lower_forms``;
* ``punct[d]``: the form is made only of non-word characters (``re.match(r"^\\W+$", form)``);
  ``form_punct`` and ``lower_punct`` hold the same fact for ``forms`` and ``lower_forms``.

Tags (``n_tags`` entries): ``tag_ids``, ``tags``, ``tag_group`` / ``tag_forms`` (distinct tag
strings).

Groups are numbered in the order of their first member in dictionary order. ``identity_words``
and ``identity_tags`` (``arange``) stand for "no merging" where an engine function takes a
grouping.

A corpus whose dictionaries hold anything the engine cannot reproduce exactly (a value that is
not a str, a key that is not an int, a string that cannot be written as UTF-8, a file that does
not load as a dict) makes the constructor raise :class:`Unsupported`; the caller then falls
back to the module, which reports the problem in its own words.
"""

import os
import pickle
import re

import numpy as np

__all__ = ["Lexicon", "Strings", "Unsupported"]

_PUNCT = re.compile(r"^\W+$")
_INT64 = (-(2**63), 2**63 - 1)


class Unsupported(Exception):
    """The engine cannot reproduce the module's result exactly for this corpus or call."""


class Strings:
    """Strings as UTF-8: ``offsets`` (int64, length n + 1, from 0) and ``data`` (uint8); string
    i is ``data[offsets[i]:offsets[i + 1]]``. The layout of an Arrow string column."""

    __slots__ = ("offsets", "data")

    def __init__(self, offsets, data):
        self.offsets = offsets
        self.data = data

    @classmethod
    def of(cls, strings):
        """From a list of str; raises Unsupported for a str that is not valid UTF-8 text."""
        try:
            encoded = [s.encode("utf-8") for s in strings]
        except UnicodeEncodeError as e:
            raise Unsupported(f"a string cannot be written as UTF-8: {e}") from None
        offsets = np.zeros(len(encoded) + 1, dtype=np.int64)
        if encoded:
            np.cumsum(np.fromiter(map(len, encoded), dtype=np.int64, count=len(encoded)),
                      out=offsets[1:])
        data = np.frombuffer(b"".join(encoded), dtype=np.uint8)
        return cls(offsets, data)

    def __len__(self):
        return len(self.offsets) - 1

    def __getitem__(self, i):
        return bytes(self.data[self.offsets[i]:self.offsets[i + 1]]).decode("utf-8")

    def tolist(self):
        raw = self.data.tobytes()
        off = self.offsets.tolist()
        return [raw[a:b].decode("utf-8") for a, b in zip(off, off[1:])]

    def pair(self):
        """(offsets, data), as native code takes and gives string columns."""
        return self.offsets, self.data


def _load(path):
    try:
        with open(path, "rb") as f:
            obj = pickle.load(f)
    except Exception as e:  # the module reads it again and reports what is wrong
        raise Unsupported(f"{path}: {e!r}") from None
    if type(obj) is not dict:
        raise Unsupported(f"{path} holds {type(obj).__name__}, not a dict")
    return obj


def _id_table(d, what):
    """(ids as int64, values) of an id-to-string dictionary, in its order."""
    ids, values = [], []
    for k, v in d.items():
        if type(k) is not int or type(v) is not str:
            raise Unsupported(f"{what} dictionary entry {k!r}: {v!r} is not int -> str")
        if not _INT64[0] <= k <= _INT64[1]:
            continue  # no token array can hold it
        ids.append(k)
        values.append(v)
    return np.array(ids, dtype=np.int64), values


def _groups(values):
    """(group number of each value, distinct values in order of first appearance)."""
    slots = {}
    group = np.fromiter((slots.setdefault(v, len(slots)) for v in values), dtype=np.int32,
                        count=len(values))
    return group, list(slots)


def _punct(values):
    return np.fromiter((_PUNCT.match(v) is not None for v in values), dtype=np.bool_,
                       count=len(values))


class Lexicon:
    """Facts about every word form and tag of one corpus (see the module's docstring)."""

    def __init__(self, corpus):
        """The lexicon of ``corpus``: a corpus object (its ``path``) or a corpus folder path,
        indexed (dictionaries in id-to-word form)."""
        path = getattr(corpus, "path", corpus)
        idx = os.path.join(os.fspath(path), "data", "idx")
        self._build(_load(os.path.join(idx, "words.pickle")),
                    _load(os.path.join(idx, "tags.pickle")))
        self._wordslc_path = os.path.join(idx, "wordslc.pickle")

    @classmethod
    def from_folder(cls, path):
        """The lexicon of the corpus folder at ``path``."""
        return cls(path)

    @classmethod
    def from_dicts(cls, word_dict, tag_dict):
        """A lexicon of an id-to-word and an id-to-tag dictionary (no lower-case dictionary)."""
        self = cls.__new__(cls)
        if type(word_dict) is not dict or type(tag_dict) is not dict:
            raise Unsupported("dictionaries must be dicts")
        self._build(word_dict, tag_dict)
        self._wordslc_path = None
        return self

    def _build(self, word_dict, tag_dict):
        ids, values = _id_table(word_dict, "word")
        self.word_ids = ids
        self.words = Strings.of(values)
        self.form_group, forms = _groups(values)
        if len(forms) == len(values):
            self.forms = self.words
            self.form_punct = self.punct = _punct(values)
        else:
            self.forms = Strings.of(forms)
            self.punct = _punct(values)
            self.form_punct = _punct(forms)
        self.lower_group, lower = _groups([v.lower() for v in values])
        self.lower_forms = Strings.of(lower)
        self.lower_punct = _punct(lower)

        tag_ids, tag_values = _id_table(tag_dict, "tag")
        self.tag_ids = tag_ids
        self.tags = Strings.of(tag_values)
        self.tag_group, tag_forms = _groups(tag_values)
        self.tag_forms = self.tags if len(tag_forms) == len(tag_values) else Strings.of(tag_forms)

        self.identity_words = np.arange(len(ids), dtype=np.int32)
        self.identity_tags = np.arange(len(tag_ids), dtype=np.int32)
        self._word_sorted = np.argsort(ids, kind="stable")
        self._tag_sorted = np.argsort(tag_ids, kind="stable")
        self._wordslc = None

    @property
    def n_words(self):
        return len(self.word_ids)

    @property
    def n_tags(self):
        return len(self.tag_ids)

    def word_index(self, ids):
        """Dense indices of word ids (any integer array-like); -1 where an id is unknown."""
        return _dense(self.word_ids, self._word_sorted, ids)

    def tag_index(self, ids):
        """Dense indices of tag ids; -1 where an id is unknown."""
        return _dense(self.tag_ids, self._tag_sorted, ids)

    def wordslc(self):
        """The lower-case word dictionary as stored (lower-cased form -> list of ids), loaded on
        first use."""
        if self._wordslc is None:
            if self._wordslc_path is None:
                raise Unsupported("no lower-case word dictionary")
            self._wordslc = _load(self._wordslc_path)
        return self._wordslc


def _dense(ids, order, wanted):
    wanted = np.asarray(wanted, dtype=np.int64)
    if len(ids) == 0:
        return np.full(wanted.shape, -1, dtype=np.int64)
    at = np.searchsorted(ids, wanted, sorter=order)
    at = np.minimum(at, len(ids) - 1)
    dense = order[at]
    return np.where(ids[dense] == wanted, dense, -1).astype(np.int64)
