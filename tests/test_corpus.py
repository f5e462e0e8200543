import os
import pickle
import sys
import types

import numpy as np
import pytest

from lumora import corpus as lc
from lumora import tagging
from lumora.corpus import PrepareError, prepare, prepare_texts
from lumora.tagging import RuleTagger, TaggerError, get_tagger, sentences, tokenize

# ---------------------------------------------------------------------------------------------
# Helpers

def token_files(folder):
    """{token-file name: [(word, tag, sentence, position)]} read back from data/tmp1."""
    out = {}
    tmp1 = os.path.join(folder, "data", "tmp1")
    for name in os.listdir(tmp1):
        with open(os.path.join(tmp1, name), encoding="utf-8") as f:
            rows = [line.rstrip("\n").split("\t") for line in f]
        out[name] = [(w, t, int(s), int(p)) for w, t, s, p in rows]
    return out


def load(folder, which):
    with open(os.path.join(folder, "data", "idx", which + ".pickle"), "rb") as f:
        return pickle.load(f)


def check_corpus(info):
    """The contract of a prepared corpus folder, checked from the files; returns the texts as
    lists of (word, tag, sentence, position)."""
    folder = info.folder
    texts = token_files(folder)
    words, tags, lower = load(folder, "words"), load(folder, "tags"), load(folder, "wordslc")
    # id-to-string after the build; ids distinct (the inversion lost nothing), non-zero, 32-bit
    seen_words = {w for rows in texts.values() for w, _, _, _ in rows}
    seen_tags = {t for rows in texts.values() for _, t, _, _ in rows}
    assert sorted(words.values()) == sorted(seen_words)
    assert sorted(tags.values()) == sorted(seen_tags)
    for d in (words, tags):
        assert all(type(i) is int and 0 < i < 2**31 for i in d)
    # lower-case dictionary: every id under its lower-cased form, once, and nothing else
    assert sorted(i for ids in lower.values() for i in ids) == sorted(words)
    for i, w in words.items():
        assert i in lower[w.lower()]
    assert all(type(ids) is list and ids == sorted(set(ids)) for ids in lower.values())
    # one token array per token file, rows = (word id, tag id, sentence, position)
    word_id = {w: i for i, w in words.items()}
    tag_id = {t: i for i, t in tags.items()}
    npy = os.path.join(folder, "data", "npy")
    assert sorted(os.listdir(npy)) == sorted(n + ".npy" for n in texts)
    for name, rows in texts.items():
        arr = np.load(os.path.join(npy, name + ".npy"))
        expected = [(word_id[w], tag_id[t], s, p) for w, t, s, p in rows]
        assert (arr.tolist() if arr.size else []) == [list(r) for r in expected]
        # sentences numbered from 1 without gaps, positions from 1 within each sentence
        last_s, last_p = 0, 0
        for _, _, s, p in rows:
            assert (s, p) in ((last_s, last_p + 1), (last_s + 1, 1))
            last_s, last_p = s, p
    assert info.texts == len(texts)
    assert info.tokens == sum(map(len, texts.values()))
    assert info.types == len(words) and info.tags == len(tags)
    return texts


def words_of(rows):
    return [r[0] for r in rows]


# ---------------------------------------------------------------------------------------------
# Tokeniser and sentences

@pytest.mark.parametrize("text, language, expected", [
    ("Don't stop, it's 3.5% of 1,000 U.S.A. costs...", "en",
     ["Do", "n't", "stop", ",", "it", "'s", "3.5", "%", "of", "1,000", "U.S.A.", "costs", "..."]),
    ("shouldn't've O'Neill’s", "en", ["should", "n't", "'ve", "O'Neill", "’s"]),
    ("see e.g. https://example.org/a_b.html, or mail a.b@c.de!", "en",
     ["see", "e.g.", "https://example.org/a_b.html", ",", "or", "mail", "a.b@c.de", "!"]),
    ("well-known -- __init__ (x)", "en", ["well-known", "--", "__init__", "(", "x", ")"]),
    ("l'homme qu'il aime", "fr", ["l'", "homme", "qu'", "il", "aime"]),
    ("dell'anno", "it", ["dell'", "anno"]),
    ("geht's", "de", ["geht's"]),
    # combining marks stay inside their word; zero-width spaces only separate
    ("नमस्ते दुनिया", "hi", ["नमस्ते", "दुनिया"]),
    ("a\u200bb \u00e9te\u0301", "en", ["a", "b", "\u00e9te\u0301"]),
    ("12:30 1/2 ½ €5", "en", ["12:30", "1/2", "½", "€", "5"]),
])
def test_tokenize(text, language, expected):
    assert tokenize(text, language) == expected


def test_tokens_never_hold_white_space():
    text = "a\tb\x85c\u2028d\u3000e \x1cf\r\ng\u00a0h"
    toks = tokenize(text)
    assert toks == list("abcdefgh")


@pytest.mark.parametrize("text, expected", [
    ("One. Two! Three? Four", [["One", "."], ["Two", "!"], ["Three", "?"], ["Four"]]),
    ('He said "Stop." Then left.', [["He", "said", '"', "Stop", ".", '"'],
                                    ["Then", "left", "."]]),
    ("Use e.g. this. and that", [["Use", "e.g.", "this", ".", "and", "that"]]),
    ("No end\n\nnew paragraph", [["No", "end"], ["new", "paragraph"]]),
    ("Wait... What", [["Wait", "..."], ["What"]]),
])
def test_sentences(text, expected):
    assert sentences(text) == expected


def gold_sentences(path, limit=None):
    """(form, upos) sentences of a CoNLL-U file, read plainly for comparison."""
    out, cur = [], []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                if cur:
                    out.append(cur)
                    cur = []
                    if limit and len(out) == limit:
                        break
            elif not line.startswith("#"):
                fields = line.split("\t")
                if fields[0].isdigit():
                    cur.append((fields[1], fields[3]))
    if cur:
        out.append(cur)
    return out


@pytest.mark.parametrize("name, language, least", [
    ("en_ewt-ud-dev.conllu", "en", 0.82),
    ("de_gsd-ud-dev.conllu", "de", 0.78),
])
def test_rule_tagger_accuracy_on_treebanks(conllu_corpus, name, language, least):
    tagger = RuleTagger(language)
    right = total = 0
    for sent in gold_sentences(conllu_corpus(name)):
        tags = tagger.tag([w for w, _ in sent])
        assert len(tags) == len(sent)
        right += sum(g == t for (_, g), t in zip(sent, tags))
        total += len(sent)
    assert right / total >= least


@pytest.mark.parametrize("tokens, expected", [
    (["I", "want", "to", "go", "to", "the", "park", "."],
     ["PRON", "VERB", "PART", "VERB", "ADP", "DET", "NOUN", "PUNCT"]),
    (["It", "'s", "John", "'s", "book", "$", "5"],
     ["PRON", "AUX", "PROPN", "PART", "NOUN", "SYM", "NUM"]),
    (["They", "quickly", "walked", "home"], ["PRON", "ADV", "VERB", "NOUN"]),
])
def test_rule_tagger_examples(tokens, expected):
    assert RuleTagger("en").tag(tokens) == expected


# ---------------------------------------------------------------------------------------------
# Taggers

def test_tagger_plugins(monkeypatch):
    mod = types.ModuleType("fake_tagger_mod")
    mod.upper = lambda toks: [t.upper() for t in toks]

    class Tagger:
        def __init__(self, language):
            self.language = language

        def tag(self, toks):
            return [self.language] * len(toks)

    mod.Tagger = Tagger
    monkeypatch.setitem(sys.modules, "fake_tagger_mod", mod)
    assert get_tagger("fake_tagger_mod:upper")(["a", "b"]) == ["A", "B"]
    assert get_tagger("fake_tagger_mod:Tagger", "nl").tag(["a"]) == ["nl"]
    assert isinstance(get_tagger("rules", "de"), RuleTagger)
    for spec in ("nonsense", "fake_tagger_mod:missing", "no_such_module_xyz:f"):
        with pytest.raises(TaggerError):
            get_tagger(spec)


def test_spacy_adapter_keeps_our_tokens(monkeypatch):
    """The spaCy adapter against a stand-in for spaCy's API (spaCy itself need not be here)."""
    calls = []

    class Tok:
        def __init__(self, text):
            self.text, self.pos_ = text, "" if text == "?" else text.upper()[:4]

    class Doc(list):
        def __init__(self, vocab, words):
            super().__init__(Tok(w) for w in words)

    class Nlp:
        vocab = object()

        def __init__(self):
            self.pipeline = [("tagger", lambda doc: calls.append(len(doc)) or doc)]

    def load(model, exclude=()):
        if model != "xx_model":
            raise OSError(f"no model {model}")
        return Nlp()

    fake = types.ModuleType("spacy")
    fake.load = load
    fake_tokens = types.ModuleType("spacy.tokens")
    fake_tokens.Doc = Doc
    fake.tokens = fake_tokens
    monkeypatch.setitem(sys.modules, "spacy", fake)
    monkeypatch.setitem(sys.modules, "spacy.tokens", fake_tokens)
    t = get_tagger("spacy:xx_model")
    assert t.tag(["do", "n't", "?"]) == ["DO", "N'T", "X"] and calls == [3]
    with pytest.raises(TaggerError, match="cannot load the spaCy model"):
        get_tagger("spacy:other")
    # auto falls back to the rule tagger when no model loads
    assert isinstance(get_tagger("auto", "en"), RuleTagger)


def test_auto_uses_rules_without_spacy(monkeypatch):
    monkeypatch.setitem(sys.modules, "spacy", None)  # import spacy fails
    monkeypatch.setattr(tagging.importlib.util, "find_spec", lambda name: None)
    assert isinstance(get_tagger(None, "en"), RuleTagger)


# ---------------------------------------------------------------------------------------------
# Preparing from the three formats

PLAIN = ("The cat sat on the mat. It didn't move!\n"
         "\n"
         "Dogs bark.   Cats don't.\n")


def test_plain_text(tmp_path):
    src = tmp_path / "texts"
    src.mkdir()
    (src / "cats.txt").write_text(PLAIN, encoding="utf-8")
    (src / "empty.txt").write_text("", encoding="utf-8")
    (src / "notes.md").write_text("not read", encoding="utf-8")
    (src / ".hidden.txt").write_text("not read", encoding="utf-8")
    info = prepare(src, tmp_path / "c", tagger="rules")
    texts = check_corpus(info)
    assert sorted(texts) == ["cats.txt", "empty.txt"]
    assert texts["empty.txt"] == []
    assert np.load(tmp_path / "c" / "data" / "npy" / "empty.txt.npy").shape == (0,)
    rows = texts["cats.txt"]
    assert words_of(rows) == ["The", "cat", "sat", "on", "the", "mat", ".", "It", "did", "n't",
                              "move", "!", "Dogs", "bark", ".", "Cats", "do", "n't", "."]
    assert [(r[2], r[3]) for r in rows][5:9] == [(1, 6), (1, 7), (2, 1), (2, 2)]
    assert rows[-1][2:] == (4, 4)
    assert {w: t for w, t, _, _ in rows}["the"] == "DET"
    assert info.sentences == 4 and info.tagger == "rules"
    assert lc.read_info(tmp_path / "c")["language"] == "en"


VERTICAL = (
    '<doc id="1">\n'
    "<s>\n"
    "The\tDET\tthe\n"
    "  dog \t NOUN \n"
    "barks\tVERB\n"
    "</s>\n"
    "<s>\n"
    "Yes\n"
    "a\u2028b\tX\n"
    "</s>\n"
    "\n"
    "\n"
    "Again\tADV\n"
    "</doc>\n"
)


def test_vertical(tmp_path):
    (tmp_path / "v.vrt").write_text(VERTICAL, encoding="utf-8")
    info = prepare(tmp_path / "v.vrt", tmp_path / "c")
    texts = check_corpus(info)
    assert texts == {"v.vrt": [
        ("The", "DET", 1, 1), ("dog", "NOUN", 1, 2), ("barks", "VERB", 1, 3),
        ("Yes", "X", 2, 1), ("a\u2028b", "X", 2, 2),
        ("Again", "ADV", 3, 1)]}
    assert info.tagger == "none"


def conllu_excerpt(path, documents=None, sentences=None):
    """The first few documents (or sentences) of a treebank file, as text."""
    out, docs, sents = [], 0, 0
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("# newdoc"):
                docs += 1
                if documents is not None and docs > documents:
                    break
            out.append(line)
            if not line.strip():
                sents += 1
                if sentences is not None and sents == sentences:
                    break
    return "".join(out)


def test_conllu_documents(conllu_corpus, tmp_path):
    excerpt = conllu_excerpt(conllu_corpus("en_ewt-ud-dev.conllu"), documents=3)
    (tmp_path / "ewt.conllu").write_text(excerpt, encoding="utf-8")
    info = prepare(tmp_path / "ewt.conllu", tmp_path / "c")
    texts = check_corpus(info)
    doc_ids = [line.split("=", 1)[1].strip() for line in excerpt.splitlines()
               if line.startswith("# newdoc id")]
    assert len(doc_ids) == 3 and sorted(texts) == sorted(doc_ids)
    # each document holds exactly its sentences' words: FORM and UPOS, no ranges, no empty nodes
    chunks = excerpt.split("# newdoc")[1:]
    for doc_id, chunk in zip(doc_ids, chunks):
        path = tmp_path / "one.conllu"
        path.write_text("# newdoc" + chunk, encoding="utf-8")
        gold = [tok for sent in gold_sentences(path) for tok in sent]
        assert [r[:2] for r in texts[doc_id]] == gold
    assert info.tagger == "none"


def test_conllu_without_newdoc_and_with_ranges(conllu_corpus, tmp_path):
    path = conllu_corpus("de_gsd-ud-dev.conllu")
    excerpt = conllu_excerpt(path, sentences=40)
    assert any(line.split("\t")[0].count("-") for line in excerpt.splitlines())  # has ranges
    src = tmp_path / "de.conllu"
    src.write_text(excerpt + "1.1\tnull\t_\tX\t_\t_\t_\t_\t_\t_\n", encoding="utf-8")
    info = prepare(src, tmp_path / "c", language="de")
    texts = check_corpus(info)
    assert list(texts) == ["de.conllu"]
    gold = [tok for sent in gold_sentences(src) for tok in sent]
    assert [r[:2] for r in texts["de.conllu"]] == gold
    assert info.sentences == 40


def test_conllu_edge_documents(tmp_path):
    tok = "1\tw\t_\tNOUN\t_\t_\t_\t_\t_\t_\n"
    (tmp_path / "x.conllu").write_text(
        tok + "\n# newdoc\n" + tok + "\n# newdoc id = d/2\n\n# newdoc id = last\n" +
        tok.replace("NOUN", "_") + "\n", encoding="utf-8")
    texts = check_corpus(prepare(tmp_path / "x.conllu", tmp_path / "c"))
    # leading sentences before the first newdoc are a text of their own; an empty document is
    # still a text; a missing UPOS is X; a path-like id is made a safe name
    assert texts == {"x.conllu": [("w", "NOUN", 1, 1)], "x.conllu-doc1": [("w", "NOUN", 1, 1)],
                     "d_2": [], "last": [("w", "X", 1, 1)]}


@pytest.mark.parametrize("content, message", [
    ("1\tonly three\tfields\n", "not a CoNLL-U line"),
    ("x\tw\t_\tNOUN\t_\t_\t_\t_\t_\t_\n", "not a CoNLL-U token ID"),
])
def test_conllu_errors(tmp_path, content, message):
    (tmp_path / "bad.conllu").write_text(content, encoding="utf-8")
    with pytest.raises(PrepareError, match=message) as e:
        prepare(tmp_path / "bad.conllu", tmp_path / "c")
    assert "bad.conllu:1" in str(e.value)
    assert os.listdir(tmp_path) == ["bad.conllu"]


def test_sniffing_and_explicit_format(tmp_path):
    (tmp_path / "a.data").write_text("The\tDET\ncat\tNOUN\n\nIt\tPRON\nran\tVERB\n",
                                     encoding="utf-8")
    (tmp_path / "b.data").write_text("1\tHi\thi\tINTJ\t_\t_\t0\troot\t_\t_\n\n",
                                     encoding="utf-8")
    (tmp_path / "c.data").write_text("Just some words.\n", encoding="utf-8")
    kinds = {os.path.basename(s.path): s.format
             for s in lc.find_sources([tmp_path / n for n in ("a.data", "b.data", "c.data")])}
    assert kinds == {"a.data": "vertical", "b.data": "conllu", "c.data": "text"}
    assert lc.find_sources(tmp_path) == []  # unknown extensions are not picked from folders
    assert [s.format for s in lc.find_sources(tmp_path, "vertical")] == ["vertical"] * 3
    with pytest.raises(PrepareError, match="no input files"):
        prepare(tmp_path, tmp_path / "c")


def test_in_memory_texts_and_encodings(tmp_path):
    info = prepare_texts([("a", "Schön. Grüße!")], tmp_path / "c", language="de")
    assert [r[0] for r in check_corpus(info)["a"]] == ["Schön", ".", "Grüße", "!"]
    with pytest.raises(PrepareError, match="cannot be written as UTF-8"):
        prepare_texts({"b": "x\ud800y"}, tmp_path / "c")
    assert list(check_corpus(info)) == ["a"]
    latin = tmp_path / "latin.txt"
    latin.write_bytes("Café crème.".encode("latin-1"))
    with pytest.raises(PrepareError, match="not utf-8"):
        prepare(latin, tmp_path / "d")
    info = prepare(latin, tmp_path / "d", encoding="latin-1")
    assert words_of(check_corpus(info)["latin.txt"]) == ["Café", "crème", "."]
    bom = tmp_path / "bom.txt"
    bom.write_bytes("\ufeffWord".encode("utf-8"))
    assert words_of(check_corpus(prepare(bom, tmp_path / "e"))["bom.txt"]) == ["Word"]


def test_tagger_giving_wrong_number_of_tags(tmp_path):
    with pytest.raises(PrepareError, match="gave 1 tags for 2 tokens"):
        prepare_texts({"a": "two words"}, tmp_path / "c", tagger=lambda toks: ["X"])
    assert os.listdir(tmp_path) == []


def test_odd_words_and_tags_from_taggers(tmp_path):
    """Whatever a tagger or a file gives, token files stay one token per line of four fields."""
    (tmp_path / "v.vert").write_text("a\tTAG WITH SPACE\n\u00a0b\u00a0\t\n", encoding="utf-8")
    texts = check_corpus(prepare(tmp_path / "v.vert", tmp_path / "c"))
    assert texts["v.vert"] == [("a", "TAG WITH SPACE", 1, 1), ("b", "X", 1, 2)]
    info = prepare_texts({"t": "one two three"}, tmp_path / "d",
                         tagger=lambda toks: ["A\tB", " ", "C\nD"])
    assert [r[1] for r in check_corpus(info)["t"]] == ["A B", "X", "C D"]


# ---------------------------------------------------------------------------------------------
# Names

@pytest.mark.parametrize("name, expected", [
    ("report.txt", "report.txt"),
    ("../../etc/passwd", "etc_passwd"),
    (".hidden", "hidden"),
    ("..", "text"),
    ("", "text"),
    ("a b\tc", "a_b_c"),
    ("CON.txt", "_CON.txt"),
    ("nul", "_nul"),
    ("data.npy", "data_npy"),
    ("data.NPY", "data_npy"),
    ("trailing.", "trailing"),
    ("Grüße.txt", "Grüße.txt"),
    ("e\u0301t\u00e9", "\u00e9t\u00e9"),
])
def test_safe_name(name, expected):
    assert lc.safe_name(name) == expected


def test_names_are_unique_and_bounded():
    names = lc._Names()
    got = [names.allocate(n) for n in ("a.txt", "A.txt", "a.txt", "x", "x.npy", "x_npy")]
    assert got == ["a.txt", "A-2.txt", "a-3.txt", "x", "x_npy", "x_npy-2"]
    # token arrays are name + ".npy": all distinct, even on a case-insensitive file system
    assert len({(n + ".npy").casefold() for n in got}) == len(got)
    long = lc.safe_name("é" * 300 + ".txt")
    assert len(long.encode("utf-8")) <= 150


def test_same_names_from_different_folders(tmp_path):
    for sub, name in (("one", "a.txt"), ("two", "a.txt"), ("one", "A.txt")):
        (tmp_path / "src" / sub).mkdir(parents=True, exist_ok=True)
        (tmp_path / "src" / sub / name).write_text(f"{sub} {name[0]}", encoding="utf-8")
    (tmp_path / "loose").mkdir()
    (tmp_path / "loose" / "a.txt").write_text("loose", encoding="utf-8")
    info = prepare([tmp_path / "src", tmp_path / "loose" / "a.txt"], tmp_path / "c")
    texts = check_corpus(info)
    assert len(texts) == 4
    assert {name: " ".join(words_of(r)) for name, r in texts.items()} == {
        "one__A.txt": "one A", "one__a-2.txt": "one a", "two__a.txt": "two a", "a.txt": "loose"}


# ---------------------------------------------------------------------------------------------
# The workspace: replacing, failing, refusing

def folder_state(path):
    return sorted((str(p.relative_to(path)), p.read_bytes()) for p in path.rglob("*")
                  if p.is_file())


def test_re_preparing_replaces_the_corpus(tmp_path):
    first = prepare_texts({"old1": "Old words here.", "old2": "More old words."},
                          tmp_path / "c")
    check_corpus(first)
    second = prepare_texts({"new": "Brand new text."}, tmp_path / "c")
    texts = check_corpus(second)
    assert list(texts) == ["new"]
    assert "old" not in load(second.folder, "words").values()
    assert sorted(os.listdir(tmp_path)) == ["c"]  # no build or old folders left behind


@pytest.mark.parametrize("where", ["tagger", "index", "swap"])
def test_failed_re_preparing_keeps_the_old_corpus(tmp_path, monkeypatch, where):
    prepare_texts({"old": "Old words here."}, tmp_path / "c")
    before = folder_state(tmp_path / "c")

    def broken_tagger(tokens):
        raise RuntimeError("tagger broke")

    tagger = broken_tagger if where == "tagger" else "rules"
    if where == "index":
        import lumora.lm_build

        def fail(*args):
            raise KeyError("boom")
        monkeypatch.setattr(lumora.lm_build, "make_indexes", fail)
    if where == "swap":
        real_rename = os.rename

        def rename(src, dst):
            if os.path.basename(str(src)).endswith(".preparing"):
                raise OSError(13, "Permission denied")
            return real_rename(src, dst)
        monkeypatch.setattr(lc.os, "rename", rename)
    with pytest.raises((RuntimeError, KeyError, OSError)):
        prepare_texts({"new": "New words."}, tmp_path / "c", tagger=tagger)
    assert folder_state(tmp_path / "c") == before
    assert sorted(os.listdir(tmp_path)) == ["c"]


def test_refuses_to_replace_other_folders(tmp_path):
    (tmp_path / "mine").mkdir()
    (tmp_path / "mine" / "thesis.txt").write_text("precious", encoding="utf-8")
    (tmp_path / "file").write_text("x", encoding="utf-8")
    for target, message in (("mine", "not a corpus folder"), ("file", "not a folder"),
                            ("no/such/parent", "no such folder")):
        with pytest.raises(PrepareError, match=message):
            prepare_texts({"a": "text"}, tmp_path / target)
    assert (tmp_path / "mine" / "thesis.txt").read_text(encoding="utf-8") == "precious"
    assert sorted(os.listdir(tmp_path)) == ["file", "mine"]
    # an empty folder is fine to fill
    (tmp_path / "empty").mkdir()
    check_corpus(prepare_texts({"a": "text"}, tmp_path / "empty"))


def test_progress_reports_every_byte(tmp_path):
    big = tmp_path / "big.txt"
    big.write_text("Some words here.\n" * 20000, encoding="utf-8")
    (tmp_path / "v.vrt").write_text(VERTICAL, encoding="utf-8")
    steps = []
    info = prepare([big, tmp_path / "v.vrt"], tmp_path / "c", progress=steps.append)
    assert len(steps) > 2 and all(s > 0 for s in steps)
    assert sum(steps) == big.stat().st_size + (tmp_path / "v.vrt").stat().st_size
    assert info.tokens == 80000 + 6


def test_language_codes_and_linked_corpora(tmp_path):
    assert prepare_texts({"a": "Hallo."}, tmp_path / "c", language=" DE ").language == "de"
    assert lc.read_info(tmp_path / "c")["language"] == "de"
    with pytest.raises(PrepareError, match="not a language code"):
        prepare_texts({"a": "x"}, tmp_path / "c", language="../x")
    os.symlink(tmp_path / "c", tmp_path / "link")
    info = prepare_texts({"b": "Neu."}, tmp_path / "link")
    assert os.path.islink(tmp_path / "link") and info.name == "c"
    assert list(check_corpus(info)) == ["b"]
    assert sorted(os.listdir(tmp_path)) == ["c", "link"]


def test_locate_and_workspace_strings(tmp_path):
    ws, name = lc.locate(tmp_path / "c")
    assert ws == str(tmp_path) + os.sep and name == "c"
    with pytest.raises(PrepareError):
        lc.locate(os.sep)


# ---------------------------------------------------------------------------------------------
# Build folders of preparations that died

_STALLED = """
import sys, time
from lumora.corpus import prepare_texts

class Stall:
    def tag(self, tokens):
        open(sys.argv[2], "w").close()
        time.sleep(600)
        return ["X"] * len(tokens)

prepare_texts({"t": "Some words to tag."}, sys.argv[1], tagger=Stall())
"""


def _start_stalled_preparation(target, ready):
    """A child process stopped in the middle of preparing target, its build folder made."""
    import subprocess
    import time

    import lumora
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(lumora.__file__)))
    child = subprocess.Popen([sys.executable, "-c", _STALLED, str(target), str(ready)], env=env)
    deadline = time.monotonic() + 60
    while not ready.exists():
        assert child.poll() is None, "the preparation ended before it stalled"
        assert time.monotonic() < deadline, "the preparation never got to tagging"
        time.sleep(0.05)
    return child


def _build_folders(parent):
    return sorted(e for e in os.listdir(parent) if e.endswith(".preparing"))


def test_killed_preparation_is_cleaned_up_by_the_next(tmp_path):
    import signal

    prepare_texts({"old": "Old words here."}, tmp_path / "c")
    before = folder_state(tmp_path / "c")
    child = _start_stalled_preparation(tmp_path / "c", tmp_path / "ready")
    left = _build_folders(tmp_path)
    os.kill(child.pid, signal.SIGKILL)
    child.wait()
    assert len(left) == 1 and left == _build_folders(tmp_path)  # kill -9 leaves it behind
    assert folder_state(tmp_path / "c") == before  # and the old corpus as it was
    # a preparation of another corpus in the same folder removes it
    prepare_texts({"new": "New words."}, tmp_path / "other")
    assert _build_folders(tmp_path) == []
    assert sorted(os.listdir(tmp_path)) == ["c", "other", "ready"]
    assert folder_state(tmp_path / "c") == before


def test_build_folder_in_use_is_never_removed(tmp_path):
    import signal

    child = _start_stalled_preparation(tmp_path / "c", tmp_path / "ready")
    try:
        in_use = _build_folders(tmp_path)
        prepare_texts({"t": "Other words."}, tmp_path / "d")
        assert in_use and _build_folders(tmp_path) == in_use
    finally:
        os.kill(child.pid, signal.SIGKILL)
        child.wait()


@pytest.mark.parametrize("record", [
    None,  # no record yet: the folder was only just made
    '{"pid": 1, "host": "some-other-host", "start": null}',  # another machine's
    "not json",
])
def test_build_folders_of_unknown_owners_stay(tmp_path, record):
    folder = tmp_path / ".c.0123abcd.preparing"
    folder.mkdir()
    if record is not None:
        (folder / lc.OWNER).write_text(record)
    prepare_texts({"t": "Words."}, tmp_path / "d")
    assert folder.is_dir()


def test_build_folder_of_a_reused_process_id_is_removed(tmp_path):
    import json
    import socket

    folder = tmp_path / ".c.0123abcd.preparing"
    folder.mkdir()
    # this very process id, but a start time it never had: the owner was an earlier process
    (folder / lc.OWNER).write_text(json.dumps(
        {"pid": os.getppid(), "host": socket.gethostname(), "start": -1}))
    if lc._process_start(os.getppid()) is None:
        pytest.skip("process start times are not available here")
    prepare_texts({"t": "Words."}, tmp_path / "d")
    assert not folder.exists()
