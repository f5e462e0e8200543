import glob
import os
import pickle
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

from lumora import lm_vocab
from lumora.lm_vocab import make_wordlist

DATA = os.path.join(os.path.dirname(lm_vocab.__file__), "data")


@pytest.fixture
def corpus(tmp_path):
    """make(texts, ids) writes an indexed corpus and returns (workspace, corpus_name).

    texts maps a token-array file name to a list of word forms (or to an array written as
    is); ids maps each word form to its word id.
    """

    def make(texts, ids):
        data = tmp_path / "c1" / "data"
        (data / "npy").mkdir(parents=True)
        (data / "idx").mkdir()
        for name, words in texts.items():
            if not isinstance(words, np.ndarray):
                col = [ids[w] for w in words]
                words = np.array([[i, 7, 0, len(w)] for i, w in zip(col, words)], dtype=int)
            np.save(str(data / "npy" / name), words, allow_pickle=False)
        with open(data / "idx" / "words.pickle", "wb") as f:
            pickle.dump({i: w for w, i in ids.items()}, f)
        return str(tmp_path) + os.sep, "c1"

    return make


# Ids run against the order of first appearance, so ranking by id would show.
IDS = {"c": 1, "a": 2, "b": 3, "the": 4, "The": 5, "x": 6}


EXACT = (7, 5, 5 / 7, 3, [(1, "b", 2), (2, "a", 2), (3, "The", 1), (4, "the", 1), (5, "c", 1)])
MERGED = (7, 4, 4 / 7, 1, [(1, "b", 2), (2, "a", 2), (3, "the", 2), (4, "c", 1)])


@pytest.mark.parametrize(
    "lowercase, expected", [(False, EXACT), (0, EXACT), (True, MERGED), ("yes", MERGED)]
)
def test_known_answers(corpus, lowercase, expected):
    ws, name = corpus({"t1.npy": ["b", "a", "The", "the", "a", "c", "b"]}, IDS)
    result = make_wordlist(ws, name, "en", lowercase)
    assert result == expected
    assert type(result[4]) is list
    for rank, word, freq in result[4]:
        assert (type(rank), type(word), type(freq)) == (int, str, int)
    assert all(type(v) is int for v in result[:2] + result[3:4]) and type(result[2]) is float


def test_ties_follow_listed_files_then_position(corpus):
    ws, name = corpus({"p.npy": ["x", "x", "The", "a", "a"], "q.npy": ["b", "the", "c", "b"]}, IDS)
    p_first = os.listdir(ws + name + "/data/npy/")[0] == "p.npy"
    exact = ["x", "a", "b", "The", "the", "c"] if p_first else ["b", "x", "a", "the", "c", "The"]
    # Merged, "the" (2) takes the place of whichever variant appears first.
    merged = ["x", "the", "a", "b", "c"] if p_first else ["b", "the", "x", "a", "c"]
    for lowercase, words in ((False, exact), (True, merged)):
        assert [w for _, w, _ in make_wordlist(ws, name, None, lowercase)[4]] == words


@pytest.mark.parametrize(
    "texts",
    [{}, {"e.npy": np.zeros(0, dtype=int)}, {"e.npy": np.zeros((0, 4), dtype=int)}],
    ids=["no-files", "shape-0", "shape-0x4"],
)
@pytest.mark.parametrize("lowercase", [False, True])
def test_empty_corpus(corpus, texts, lowercase):
    result = make_wordlist(*corpus(texts, IDS), "en", lowercase)
    assert result == (0, 0, 0.0, 0, []) and type(result[2]) is float


@pytest.mark.parametrize(
    "breakage, exc",
    [("npy", FileNotFoundError), ("words", FileNotFoundError), ("unknown id", KeyError)],
)
def test_errors(corpus, breakage, exc):
    ws, name = corpus({"a.npy": ["a", "b"]}, IDS)
    if breakage == "npy":
        shutil.rmtree(ws + name + "/data/npy/")
    elif breakage == "words":
        os.remove(ws + name + "/data/idx/words.pickle")
    else:
        np.save(ws + name + "/data/npy/b.npy", np.array([[99, 0, 0, 0]]), allow_pickle=False)
    with pytest.raises(exc):
        make_wordlist(ws, name, "en", False)


def slow_wordlist(npy_folder, dict_words, lowercase):
    """Token by token, as plainly as possible."""
    freq = {}
    for name in os.listdir(npy_folder):
        arr = np.load(npy_folder + name)
        for wid in arr.reshape(-1, 4)[:, 0].tolist():
            word = dict_words[wid].lower() if lowercase else dict_words[wid]
            freq[word] = freq.get(word, 0) + 1
    ranked = sorted(freq.items(), key=lambda kv: kv[1], reverse=True)
    tokens = sum(freq.values())
    hapax = sum(1 for v in freq.values() if v == 1)
    rows = [(r, w, f) for r, (w, f) in enumerate(ranked, 1)]
    return tokens, len(freq), len(freq) / tokens if tokens else 0.0, hapax, rows


@pytest.mark.parametrize("fold_at", [1, 7, 1 << 16])
@pytest.mark.parametrize("seed", range(6))
def test_matches_token_by_token_count(corpus, monkeypatch, seed, fold_at):
    monkeypatch.setattr(lm_vocab, "_FOLD_AT", fold_at)
    rng = np.random.default_rng(seed)
    bases = ["dog", "cat", "ärger", "straße", "istanbul", "a", "the", "ﬁx", "σοφός"]
    forms = sorted({f for b in bases for f in (b, b.title(), b.upper())} | {"İstanbul"})
    ids = dict(zip(forms, rng.choice(2**31 - 1, len(forms), replace=False).tolist()))
    weights = 1.0 / np.arange(1, len(forms) + 1)
    texts = {}
    for k in range(int(rng.integers(1, 8))):
        n = int(rng.integers(0, 40))
        picked = rng.choice(len(forms), n, p=weights / weights.sum()).tolist()
        texts[f"t{k}.npy"] = [forms[j] for j in picked] if n else np.zeros(0, dtype=int)
    ws, name = corpus(texts, ids)
    dict_words = {i: w for w, i in ids.items()}
    for lowercase in (False, True):
        expected = slow_wordlist(ws + name + "/data/npy/", dict_words, lowercase)
        assert make_wordlist(ws, name, "en", lowercase) == expected


def test_import_is_light():
    code = "import sys, lumora.lm_vocab; print(sorted(m for m in sys.modules if 'lumora' in m))"
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run(
        [sys.executable, "-c", code], cwd=root, capture_output=True, text=True, check=False
    )
    assert out.stdout.split() == ["['lumora',", "'lumora.lm_vocab']"], out.stderr


REFLISTS = sorted(glob.glob(os.path.join(DATA, "reflist_*.tab")))


def test_reference_languages_and_notice():
    codes = {os.path.basename(p)[len("reflist_") : -len(".tab")] for p in REFLISTS}
    assert "en" in codes and len(codes) >= 6
    with open(os.path.join(DATA, "REFLISTS-LICENSE.txt"), encoding="utf-8") as f:
        notice = f.read()
    assert "CC BY-SA 4.0" in notice and "wordfreq" in notice
    assert all(os.path.basename(p) in notice for p in REFLISTS)


@pytest.mark.parametrize("path", REFLISTS, ids=os.path.basename)
def test_reference_file_format(path):
    with open(path, "rb") as f:
        text = f.read().decode("utf-8")  # strict: fails on anything but UTF-8
    assert text.endswith("\n") and "\r" not in text
    words = {}
    for line in text.split("\n")[:-1]:
        word, count = line.split("\t")  # exactly two fields
        assert word == word.strip().lower() and word and not re.match(r"^\W+$", word), line
        assert re.fullmatch(r"[1-9][0-9]*", count), line
        assert word not in words, line
        words[word] = int(count)
    assert len(words) >= 10_000
    assert sum(words.values()) <= (2**31 - 1) // 2  # a 32-bit total with room to spare
