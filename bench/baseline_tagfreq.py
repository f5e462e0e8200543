"""The word+tag frequency list in plain Python/NumPy: the baseline for ``lumora.lm_tagfreq`` and
the reference its tests compare with.

Per token array ``np.unique`` of the (word id, tag id) rows with their counts, then one
dictionary update per distinct pair; a stable sort by count, largest first; and, when merging case
variants, a second dictionary keyed by (lower-cased word, tag).

As in the native module, an empty text (an array of shape (0,)) adds nothing instead of failing,
and the running token count is a signed 32-bit integer (``OverflowError`` beyond it). Messages
for a wrong number of arguments are Python's own here, not the native module's.
"""

import os
import pickle

import numpy as np

DTYPE = int

_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1


def _check_str(name, value):
    if value is not None and type(value) is not str:
        raise TypeError("Argument '%.200s' has incorrect type (expected str, got %.200s)"
                        % (name, type(value).__name__))


def _int32(value):
    if not _INT32_MIN <= value <= _INT32_MAX:
        raise OverflowError("value too large to convert to int")
    return value


def load_dict(path):
    """Unpickle one object from ``path``; it must be a dict or None."""
    with open(path, "rb") as f:
        obj = pickle.load(f)
    if obj is not None and type(obj) is not dict:
        raise TypeError("Expected dict, got %.200s" % type(obj).__name__)
    return obj


def count_wt(npy_folder):
    """(tokens, {(word id, tag id): count}) over every token array of the folder."""
    wt_count = {}
    tokens = 0
    files = os.listdir(npy_folder)
    if type(files) is not list:
        raise TypeError("Expected list, got %.200s" % type(files).__name__)
    for name in files:
        if type(name) is not str:
            raise TypeError("Expected str, got %.200s" % type(name).__name__)
        arr = np.load(npy_folder + name)
        if not isinstance(arr, np.ndarray):
            raise TypeError("Cannot convert %.200s to numpy.ndarray" % type(arr).__name__)
        if arr.shape == (0,):  # an empty text
            continue
        rows = arr[:, 0:2]
        distinct, counts = np.unique(rows, axis=0, return_counts=True)
        for j in range(distinct.shape[0]):
            key = (distinct[j][0], distinct[j][1])
            wt_count[key] = wt_count.get(key, 0) + counts[j]
            tokens = _int32(tokens + int(counts[j]))
    return tokens, wt_count


def make_wtfreq(workspace, corpus_name, language, lowercase):
    """[(rank, word, tag, frequency, percent)], ranked by frequency."""
    _check_str("workspace", workspace)
    _check_str("corpus_name", corpus_name)
    _check_str("language", language)
    lowercase = bool(lowercase)
    tokens, wt_count = count_wt(workspace + corpus_name + "/data/npy/")
    dict_words = load_dict(workspace + corpus_name + "/data/idx/words.pickle")
    dict_tags = load_dict(workspace + corpus_name + "/data/idx/tags.pickle")
    wtfreq = []
    i = 0
    ranked = sorted(wt_count.items(), key=lambda x: x[1], reverse=True)
    if not lowercase:
        for k, v in ranked:
            v = _int32(int(v))
            i += 1
            p = float(np.float32(v / tokens * 100))
            wtfreq.append((i, dict_words[k[0]], dict_tags[k[1]], v, p))
        return wtfreq
    new_wt_count = {}
    for k, v in ranked:
        v = _int32(int(v))
        new_k = (dict_words[k[0]].lower(), dict_tags[k[1]])
        if new_k in new_wt_count:
            new_wt_count[new_k] += v
        else:
            new_wt_count[new_k] = v
    del wt_count, ranked
    for k, v in sorted(new_wt_count.items(), key=lambda x: x[1], reverse=True):
        i += 1
        p = float(np.float32(v / tokens * 100))
        wtfreq.append((i, k[0], k[1], v, p))
    return wtfreq
