"""The index builder in plain Python: the baseline for ``lumora.lm_build`` and its reference.

Every step works on Python objects, one token at a time: read each token file as UTF-8 text,
strip and split each line, look the word and the tag up in the word-to-id dictionaries, turn
the file's tuples into an array with ``np.array(d, dtype=int)`` and save it; then invert both
dictionaries and write them back in id-to-word form.

Two things go beyond the plain loop, as the native builder does them too: both dictionaries
are inverted before either file is touched, and each file is replaced in one step (written
beside it, then renamed over it), so a failure while inverting leaves both files as they were.
Messages for a wrong number of arguments are Python's own here, not the native module's.
"""

import operator
import os
import pickle

import numpy as np

DTYPE = int

_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1


def _check_str(name, value):
    if value is not None and type(value) is not str:
        raise TypeError(f"Argument '{name:.200}' has incorrect type "
                        f"(expected str, got {type(value).__name__:.200})")


def load_dict(path):
    """Unpickle one object from ``path``; it must be a dict or None."""
    with open(path, "rb") as f:
        obj = pickle.load(f)
    if obj is not None and type(obj) is not dict:
        raise TypeError(f"Expected dict, got {type(obj).__name__:.200}")
    return obj


def _listing(source_folder):
    yield from os.listdir(source_folder)


def get_files(source_folder):
    """Generator of the names in ``source_folder``, unfiltered, in the order the OS lists them.

    The folder is listed when the generator is first advanced.
    """
    _check_str("source_folder", source_folder)
    return _listing(source_folder)


def _as_int32(value):
    try:
        number = int(operator.index(value))  # an exact int: True is stored as 1
    except TypeError:
        raise TypeError("an integer is required") from None
    if not _INT32_MIN <= number <= _INT32_MAX:
        raise OverflowError("value too large to convert to int")
    return number


def _invert(dictionary):
    inverted = {}
    for key, value in dictionary.items():
        if type(key) is not str:
            raise TypeError(f"Expected str, got {type(key).__name__:.200}")
        inverted[_as_int32(value)] = key
    return inverted


def _replace_pickle(path, obj):
    # Opened like any new file (so it gets the usual permissions), then renamed over the old one.
    tmp = f"{path}.{os.getpid()}-{os.urandom(4).hex()}.tmp"
    try:
        with open(tmp, "xb") as f:
            pickle.dump(obj, f)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def make_indexes(workspace, corpus_name, language):
    """Write one token array per token file and turn both dictionaries into id-to-word form."""
    _check_str("workspace", workspace)
    _check_str("corpus_name", corpus_name)
    _check_str("language", language)
    source_path = workspace + corpus_name + "/data/tmp1/"
    files = get_files(source_path)
    dic_w = load_dict(workspace + corpus_name + "/data/idx/words.pickle")
    dic_t = load_dict(workspace + corpus_name + "/data/idx/tags.pickle")
    for filename in files:
        d = []
        with open(source_path + filename, "r", encoding="utf-8") as fh:
            for line in fh:
                line = line.strip()
                if not line:
                    continue
                f = line.split("\t")
                # Word, then tag, then fields 3 and 4: the first failing lookup decides the error.
                d.append((dic_w[f[0]], dic_t[f[1]], f[2], f[3]))
        # Fields 3 and 4 become integers here, after the whole file has been read.
        np.save(workspace + corpus_name + "/data/npy/" + filename, np.array(d, dtype=int),
                allow_pickle=False)
    dic_w = _invert(dic_w)
    dic_t = _invert(dic_t)
    _replace_pickle(workspace + corpus_name + "/data/idx/words.pickle", dic_w)
    _replace_pickle(workspace + corpus_name + "/data/idx/tags.pickle", dic_t)
