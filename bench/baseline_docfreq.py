"""Word frequency across texts in plain Python/NumPy: the baseline for ``lumora.lm_docfreq`` and
the reference its tests compare with.

Per token array ``np.unique`` of the word ids, then one dictionary update per distinct id (per id
and text when merging case variants); four stable sorts by value, largest first; words made only
of non-word characters (``^\\W+$``) get no row.

As in the native module, an empty text (an array of shape (0,)) adds nothing instead of failing
and still counts among the texts. Messages for a wrong number of arguments are Python's own
here, not the native module's.
"""

import os
import pickle
import re

import numpy as np

DTYPE = int


def _check_str(name, value):
    if value is not None and type(value) is not str:
        raise TypeError("Argument '%.200s' has incorrect type (expected str, got %.200s)"
                        % (name, type(value).__name__))


def load_dict(path):
    """Unpickle one object from ``path``; it must be a dict or None."""
    with open(path, "rb") as f:
        obj = pickle.load(f)
    if obj is not None and type(obj) is not dict:
        raise TypeError("Expected dict, got %.200s" % type(obj).__name__)
    return obj


def _distinct_ids(path):
    arr = np.load(path)
    if isinstance(arr, np.ndarray) and arr.shape == (0,):  # an empty text
        return arr
    return np.unique(arr[:, 0], return_counts=False)


def count_words(npy_folder):
    """(number of texts, {word id: number of texts it occurs in})."""
    wcount = {}
    files = os.listdir(npy_folder)
    total_files = len(files)
    for name in files:
        u = _distinct_ids(npy_folder + name)
        for j in range(len(u)):
            wcount[u[j]] = wcount.get(u[j], 0) + 1
    return total_files, wcount


def count_words2(npy_folder):
    """(number of texts, {(word id, text number): 1})."""
    wcount = {}
    files = os.listdir(npy_folder)
    total_files = len(files)
    for file_no, name in enumerate(files, 1):
        u = _distinct_ids(npy_folder + name)
        for j in range(len(u)):
            key = (u[j], file_no)
            wcount[key] = wcount.get(key, 0) + 1
    return total_files, wcount


def _percent(v, total_files):
    return float(np.float32(v / total_files * 100))


def make_wfreqinfiles(workspace, corpus_name, language, lowercase):
    """[(rank, word, range, percent)], ranked by range."""
    _check_str("workspace", workspace)
    _check_str("corpus_name", corpus_name)
    _check_str("language", language)
    lowercase = bool(lowercase)
    punct = re.compile(r"^\W+$")
    dict_words = load_dict(workspace + corpus_name + "/data/idx/words.pickle")
    wfreqinfiles = []
    if not lowercase:
        total_files, wcount = count_words(workspace + corpus_name + "/data/npy/")
        i = 0
        for k, v in sorted(wcount.items(), key=lambda x: x[1], reverse=True):
            w = dict_words[k]
            if punct.match(w) is None:
                i += 1
                wfreqinfiles.append((i, w, v, _percent(v, total_files)))
        return wfreqinfiles
    total_files, wcount = count_words2(workspace + corpus_name + "/data/npy/")
    new_wcount = {}
    for k, v in sorted(wcount.items(), key=lambda x: x[1], reverse=True):
        key = (dict_words[k[0]].lower(), k[1])
        if key not in new_wcount:
            new_wcount[key] = 1
    wcount = {}
    for k, v in sorted(new_wcount.items(), key=lambda x: x[1], reverse=True):
        wcount[k[0]] = wcount.get(k[0], 0) + v
    del new_wcount
    i = 0
    for k, v in sorted(wcount.items(), key=lambda x: x[1], reverse=True):
        if punct.match(k) is None:
            i += 1
            wfreqinfiles.append((i, k, v, _percent(v, total_files)))
    return wfreqinfiles
