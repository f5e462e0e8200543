"""N-gram lists in plain Python: the baseline for ``lumora.lm_sequences`` and its reference.

Every window is counted with Python objects, one token at a time: each token is read through
NumPy indexing and ``int()``, appended to a ``collections.deque`` of the n-gram's length, packed
into a tuple and counted in a ``collections.Counter``; each text leaves a pickled presence dict
(n-gram -> 1) in a temporary folder, and the ranges are computed by reading those files back one
by one. Strings, lower-casing and the punctuation filter use ``str`` and ``re`` directly.

Two things go beyond the plain rendering, as the native module does them too: a text shorter
than the n-gram (an empty text included) counts nothing and still gets a presence file holding an
empty dict, and the temporary folder is removed also when the call fails (the exception reaches
the caller unchanged). Messages for a wrong number of arguments are Python's own here.
"""

import collections
import operator
import os
import pickle
import re
import shutil
import tempfile

import numpy as np

DTYPE = int

_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1


def _check_str(name, value):
    if value is not None and type(value) is not str:
        raise TypeError("Argument '%.200s' has incorrect type (expected str, got %.200s)"
                        % (name, type(value).__name__))


def _expect(kind, value):
    if type(value) is not kind:
        raise TypeError("Expected %.16s, got %.200s" % (kind.__name__, type(value).__name__))


def _as_int32(value):
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError("an integer is required") from None
    if not _INT32_MIN <= number <= _INT32_MAX:
        raise OverflowError("value too large to convert to int")
    return number


def _single(x):
    """A double rounded to single precision, handed back as a Python float."""
    return float(np.float32(x))


def load_dict(path):
    with open(path, "rb") as f:
        return dict(pickle.load(f))


def parse_search(workspace, corpus_name, pos):
    """The tag pattern: None, or one zero-dimensional id array per tag of ``pos``."""
    tags = load_dict(workspace + corpus_name + "/data/idx/tags.pickle")
    inverted = {}
    for tag_id, tag in tags.items():
        inverted[tag] = tag_id
    if pos != None:  # noqa: E711 - the comparison itself is part of the behaviour
        p = []
        if type(pos) is list:
            for t in pos:
                _expect(str, t)
                if t.strip():
                    p.append(t.strip())
        else:
            for t in pos.strip().split(" "):
                if t.strip():
                    p.append(t.strip())
        encoded_pos = []
        for t in p:
            if t in inverted:
                encoded_pos.append(np.array(inverted[t], dtype=int))
            else:
                encoded_pos = None
                break
    else:
        encoded_pos = None
    return encoded_pos


def _windows(arr, encoded_pos, n):
    """Counter of the n-grams of one text: a deque of the last n word ids (and of their tags)."""
    counter = collections.Counter()
    if arr.shape[0] < n:  # a text shorter than the n-gram has no window
        return counter
    if encoded_pos != None:  # noqa: E711
        if n == 1:
            window = collections.deque(maxlen=1)
            for i in range(arr.shape[0]):
                if int(arr[i][1]) in encoded_pos:
                    window.append(int(arr[i][0]))
                    counter[window[0]] += 1
            return counter
        window = collections.deque(maxlen=n)
        tags = collections.deque(maxlen=n)
        for k in range(n - 1):
            window.append(int(arr[k][0]))
            tags.append(int(arr[k][1]))
        for i in range(n - 1, arr.shape[0]):
            window.append(int(arr[i][0]))
            tags.append(int(arr[i][1]))
            for k in range(n):
                if not tags[k] in encoded_pos[k]:
                    break
            else:
                counter[tuple(window)] += 1
        return counter
    # A row of the one-column slice is read as its one element (recent NumPy refuses int() of a
    # one-element row).
    window = collections.deque(maxlen=n)
    for k in range(n - 1):
        window.append(int(arr[k][0]))
    for i in range(n - 1, arr.shape[0]):
        window.append(int(arr[i][0]))
        counter[window[0] if n == 1 else tuple(window)] += 1
    return counter


def unigrams(arr, encoded_pos):
    return _windows(arr, encoded_pos, 1)


def bigrams(arr, encoded_pos):
    return _windows(arr, encoded_pos, 2)


def trigrams(arr, encoded_pos):
    return _windows(arr, encoded_pos, 3)


def quadrigrams(arr, encoded_pos):
    return _windows(arr, encoded_pos, 4)


def quinquegrams(arr, encoded_pos):
    return _windows(arr, encoded_pos, 5)


_WINDOW_FUNCTIONS = {1: unigrams, 2: bigrams, 3: trigrams, 4: quadrigrams, 5: quinquegrams}


def count_ngrams(path, encoded_pos, size, tmpdir):
    """Corpus counts (n-gram -> count, in order of first appearance); one presence file per text."""
    files = os.listdir(path)
    _expect(list, files)
    counts = {}
    for f in files:
        _expect(str, f)
        data = np.load(path + f)
        if size not in _WINDOW_FUNCTIONS:  # no window function: whatever the array holds
            raise UnboundLocalError("local variable 'counter' referenced before assignment")
        if data.ndim == 1 and data.shape[0] == 0:  # a text without tokens
            data = data.reshape(0, 2)
        arr = data[:, 0:1] if encoded_pos == None else data[:, 0:2]  # noqa: E711
        counter = _WINDOW_FUNCTIONS[size](arr, encoded_pos)
        presence = {}
        for key, v in counter.items():
            presence[key] = 1
            v = _as_int32(v)
            if key in counts:
                counts[key] += v
            else:
                counts[key] = v
        with open(tmpdir + "/" + f, "wb") as fh:
            pickle.dump(presence, fh)
    return counts


def translate(counts, dict_words, lowercase, total_files, size, tmpdir):
    """Rows (number, n-gram, frequency, range, percent) in order of first appearance."""
    result = []
    files = os.listdir(tmpdir)
    _expect(list, files)
    ranges = {}
    freq = {}
    if size == 1:
        pattern = re.compile(r"^\W+$")
    else:
        pattern = re.compile(r"^\W+ | \W+$| \W+ ")

    def string(k):
        if size == 1:
            w = dict_words[k]
        else:
            w = " ".join([dict_words[i] for i in k])
        return w.lower() if lowercase else w

    for f in files:
        _expect(str, f)
        with open(tmpdir + "/" + f, "rb") as fh:
            rd = pickle.load(fh)
        _expect(dict, rd)
        seen = {}
        for k in rd:
            w = string(k)
            if size == 1 and pattern.findall(w):
                continue
            if w not in seen:
                seen[w] = 1
        for w in seen:
            ranges[w] = ranges[w] + 1 if w in ranges else 1
    for k, v in counts.items():
        w = string(k)
        if size == 1 and pattern.findall(w):
            continue
        freq[w] = _as_int32(freq[w] + v) if w in freq else _as_int32(v)
    row = 0
    for k, v in freq.items():
        if not pattern.findall(k):
            row += 1
            percent = _single(ranges[k] / float(total_files) * 100)
            result.append((row, k, v, ranges[k], percent))
    return result


def make_ngrams(workspace, corpus_name, pos, size, lowercase):
    """Every n-gram of the corpus with its frequency, range and range percent."""
    _check_str("workspace", workspace)
    _check_str("corpus_name", corpus_name)
    size = _as_int32(size)
    lowercase = bool(lowercase)
    tmpdir = tempfile.mkdtemp()
    _expect(str, tmpdir)
    try:
        encoded_pos = parse_search(workspace, corpus_name, pos)
        total_files = len(os.listdir(workspace + corpus_name + "/data/npy/"))
        counts = count_ngrams(workspace + corpus_name + "/data/npy/", encoded_pos, size, tmpdir)
        dict_words = load_dict(workspace + corpus_name + "/data/idx/words.pickle")
        ngrams = translate(counts, dict_words, lowercase, total_files, size, tmpdir)
    except BaseException:
        # The folder goes also when the call fails; a failure to remove it must not hide the
        # exception that ended the call.
        try:
            shutil.rmtree(tmpdir)
        except Exception:  # noqa: BLE001
            pass
        raise
    shutil.rmtree(tmpdir)
    return ngrams
