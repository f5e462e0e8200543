"""Clusters around a search word in plain Python and NumPy: the baseline for
``lumora.lm_bundles`` and the reference its tests compare with.

The search word is found with NumPy masks per text; each text is padded with ``2 * size`` rows
of zeros on both sides (word id 0 is no word), and every window around every hit is read by item
access and counted in a dict per text. The counts are then turned into cluster texts, filtered
with the punctuation pattern and merged by text in the order they were first counted.

One thing goes beyond the plain rendering, as the native module does it too: a text without
tokens (a token array of shape (0,)) has no hits and adds an empty table, where the padding
concatenation would fail. Messages for a wrong number of arguments are Python's own here.
"""

import operator
import os
import pickle
import re

import numpy as np

DTYPE = int

_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1


def _check_str(name, value):
    if value is not None and type(value) is not str:
        raise TypeError(f"Argument '{name:.200}' has incorrect type "
                        f"(expected str, got {type(value).__name__:.200})")


def _as_int32(value):
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError("an integer is required") from None
    if not _INT32_MIN <= number <= _INT32_MAX:
        raise OverflowError("value too large to convert to int")
    return number


def load_dict(path):
    with open(path, "rb") as f:
        obj = pickle.load(f)
    return dict(obj)


def _invert(dictionary):
    inverted = {}
    for key, value in dictionary.items():
        inverted[value] = key
    return inverted


def _first_word(text):
    for piece in text.strip().split(" "):
        piece = piece.strip()
        if piece:
            return piece
    return None


def parse_search(workspace, corpus_name, node, pos, lowercase):
    """(encoded_node, encoded_pos) for the first word of ``node`` and of ``pos``."""
    if not lowercase:
        dict_words = load_dict(workspace + corpus_name + "/data/idx/wordslc.pickle")
    else:
        dict_words = _invert(load_dict(workspace + corpus_name + "/data/idx/words.pickle"))
    tags = _invert(load_dict(workspace + corpus_name + "/data/idx/tags.pickle"))
    if not lowercase:
        node = node.lower()
    word = _first_word(node)
    tag = None if pos is None else _first_word(pos)

    encoded_node = []
    if word is not None:
        if word in dict_words:
            encoded_node.append(np.array(dict_words[word], dtype=int))
        else:
            encoded_node = None
    if pos is None:
        encoded_pos = None
    else:
        encoded_pos = []
        if tag is not None:
            if tag in tags:
                encoded_pos.append(np.array(tags[tag], dtype=int))
            else:
                encoded_pos = None  # an unknown tag drops the filter
    return encoded_node, encoded_pos


def arr_search_indexes(arr, encoded_node, encoded_pos):
    n = len(encoded_node)
    if encoded_pos is None and n == 1:
        ix = np.where(np.isin(arr[:, [0]], encoded_node))[0]
    elif encoded_pos is not None and n == 1:
        a = np.isin(arr[:, [0]], encoded_node)
        b = np.isin(arr[:, [1]], encoded_pos)
        ix = np.where(a & b)[0]
    else:
        # The message of CPython 3.8 for a name that no branch bound.
        raise UnboundLocalError("local variable 'ix' referenced before assignment")
    return ix


def get_context(arr, positions, size):
    table = {}
    for p in positions:
        p = int(p)
        if size == 1:
            keys = [arr[p, 0]]
        elif size == 2:
            keys = [(arr[p - 1, 0], arr[p, 0]), (arr[p, 0], arr[p + 1, 0])]
        elif size == 3:
            keys = [(arr[p - 2, 0], arr[p - 1, 0], arr[p, 0]),
                    (arr[p - 1, 0], arr[p, 0], arr[p + 1, 0]),
                    (arr[p, 0], arr[p + 1, 0], arr[p + 2, 0])]
        else:
            keys = []
        for key in keys:
            table[key] = table.get(key, 0) + 1
    return [table]


def search_node(npy_path, encoded_node, encoded_pos, size):
    files = os.listdir(npy_path)
    contexts = []
    for f in files:
        zeros = np.zeros((2 * size, 4), dtype=int)
        arr = np.load(npy_path + f)
        if isinstance(arr, np.ndarray) and arr.shape == (0,):
            arr = arr.reshape(0, 4)  # a text without tokens
        padded = np.concatenate([zeros, arr, zeros])
        positions = arr_search_indexes(padded, encoded_node, encoded_pos)
        contexts.extend(get_context(padded, positions, size))
    return contexts


def translate(contexts, dict_words, lowercase, total_files, size):
    result = []
    frequencies = {}
    ranges = {}
    punctuation = re.compile(r"^\W+ | \W+$| \W+ ")
    for table in contexts:
        file_table = {}
        for key, count in table.items():
            if size == 1:
                if key == 0:
                    continue
                w = dict_words[key]
                if lowercase:
                    w = w.lower()
            else:
                if 0 in key:
                    continue
                words = []
                for i in key:
                    word = dict_words[i]
                    words.append(word.lower() if lowercase else word)
                w = " ".join(words)
            if not punctuation.findall(w):
                file_table[w] = file_table.get(w, 0) + count
        for w, count in file_table.items():
            ranges[w] = ranges.get(w, 0) + 1
            frequencies[w] = frequencies.get(w, 0) + count
    for i, (w, frequency) in enumerate(frequencies.items(), 1):
        r = ranges[w]
        percent = float(np.float32(r / total_files * 100))
        result.append((i, w, frequency, r, percent))
    return result


def make_clusters(workspace, corpus_name, node, pos, lowercase, size):
    for name, value in (("workspace", workspace), ("corpus_name", corpus_name), ("node", node),
                        ("pos", pos)):
        _check_str(name, value)
    lowercase = 1 if lowercase else 0
    size = _as_int32(size)
    encoded_node, encoded_pos = parse_search(workspace, corpus_name, node, pos, lowercase)
    if encoded_node is None:
        return []
    npy_path = workspace + corpus_name + "/data/npy/"
    contexts = search_node(npy_path, encoded_node, encoded_pos, size)
    if not contexts:
        return []
    total_files = len(os.listdir(npy_path))
    dict_words = load_dict(workspace + corpus_name + "/data/idx/words.pickle")
    return translate(contexts, dict_words, lowercase, total_files, size)
