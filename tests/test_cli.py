import csv
import importlib
import io
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

from lumora import cli
from lumora.cli import main
from lumora.corpus import locate

TEXTS = {
    "a.txt": "The cat sat on the mat. The cat was happy. THE END.\n",
    "b.txt": "A dog saw the cat. The dog ran to the park!\n\nDogs like parks.\n",
    "c.txt": "Nothing about animals here, only the weather: rain again.\n",
}


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    root = tmp_path_factory.mktemp("cli")
    src = root / "texts"
    src.mkdir()
    for name, text in TEXTS.items():
        (src / name).write_text(text, encoding="utf-8")
    assert main(["prepare", str(src), str(root / "corp"), "--tagger", "rules"]) == 0
    return str(root / "corp")


def run(argv, capsys):
    status = main(argv)
    out, err = capsys.readouterr()
    return status, out, err


def tsv_rows(text):
    lines = text.rstrip("\n").split("\n")
    return [line.split("\t") for line in lines[1:]]


def as_text(row):
    return [repr(v) if isinstance(v, float) else str(v) for v in row]


def module_rows(module, corpus):
    ws, name = locate(corpus)
    return {
        "wordlist": lambda m: m.make_wordlist(ws, name, "en", True)[4],
        "freq": lambda m: m.make_wtfreq(ws, name, "en", False),
        "range": lambda m: m.make_wfreqinfiles(ws, name, "en", True),
        "dispersion": lambda m: m.make_dispersion(ws, name, "the", None, False, False)[2],
        "clusters": lambda m: m.make_clusters(ws, name, "the", None, False, 2),
        "ngrams": lambda m: m.make_ngrams(ws, name, None, 2, False),
        "keywords": lambda m: [tuple(r) for r in m.make_keywords(ws, name, "en", 1)],
    }[module]


# Each subcommand in its module's own order (--sort none where it sorts) gives exactly the rows of
# the module call it stands for, with the options mapped to the right arguments.
ANALYSES = [
    ("lm_vocab", "wordlist", ["--lowercase"]),
    ("lm_tagfreq", "freq", []),
    ("lm_docfreq", "range", ["--lowercase"]),
    ("lm_spread", "dispersion", ["the", "--sort", "none"]),
    ("lm_bundles", "clusters", ["the", "--sort", "none"]),
    ("lm_sequences", "ngrams", ["--sort", "none"]),
    ("lm_keyness", "keywords", ["--sort", "freq"]),
]


@pytest.mark.parametrize("module, command, options", ANALYSES, ids=[a[1] for a in ANALYSES])
def test_subcommand_gives_the_module_rows(corpus, capsys, tmp_path, module, command, options):
    mod = pytest.importorskip("lumora." + module)
    expected = [as_text(r) for r in module_rows(command, corpus)(mod)]
    assert expected  # the sample corpus gives rows for every analysis
    status, out, err = run([command, corpus, *options, "--format", "tsv"], capsys)
    assert (status, err) == (0, "")
    assert tsv_rows(out) == expected
    status, out, err = run([command, corpus, *options, "-o", str(tmp_path / "r.csv"),
                            "--limit", "2"], capsys)
    assert status == 0 and out == ""
    with open(tmp_path / "r.csv", newline="", encoding="utf-8") as f:
        assert list(csv.reader(f))[1:] == expected[:2]


@pytest.mark.parametrize("command, options, key", [
    ("clusters", ["the"], lambda r: int(r[2])),
    ("clusters", ["the", "--sort", "range"], lambda r: (int(r[3]), int(r[2]))),
    ("ngrams", ["--size", "3"], lambda r: int(r[2])),
    ("keywords", [], lambda r: float(r[3])),
    ("dispersion", ["the"], lambda r: int(r[3])),
])
def test_sorted_views(corpus, capsys, command, options, key):
    pytest.importorskip("lumora." + {a[1]: a[0] for a in ANALYSES}[command])
    _, unsorted, _ = run([command, corpus, *options, "--sort", "none" if command != "keywords"
                          else "freq", "--format", "tsv"], capsys)
    status, out, _ = run([command, corpus, *options, "--format", "tsv"], capsys)
    rows = tsv_rows(out)
    assert status == 0 and rows
    assert [int(r[0]) for r in rows] == list(range(1, len(rows) + 1))
    assert [key(r) for r in rows] == sorted((key(r) for r in rows), reverse=True)
    assert sorted(r[1:] for r in rows) == sorted(r[1:] for r in tsv_rows(unsorted))


def test_case_options(corpus, capsys):
    pytest.importorskip("lumora.lm_spread")
    hits = {}
    for opts in ([], ["--case-sensitive"]):
        _, out, _ = run(["dispersion", corpus, "the", *opts, "--format", "tsv"], capsys)
        hits[bool(opts)] = sum(int(r[3]) for r in tsv_rows(out))
    # the: 1 + 2 + 1, The: 2 + 1, THE: 1 (a.txt, b.txt, c.txt)
    assert hits == {False: 8, True: 4}
    pytest.importorskip("lumora.lm_bundles")
    _, out, _ = run(["clusters", corpus, "the", "--size", "1", "--format", "tsv"], capsys)
    assert {r[1]: int(r[2]) for r in tsv_rows(out)} == {"The": 3, "the": 4, "THE": 1}


def test_table_output_and_limit(corpus, capsys):
    status, out, err = run(["wordlist", corpus, "--limit", "3"], capsys)
    lines = out.splitlines()
    assert status == 0 and err == ""
    assert lines[0].split() == ["rank", "word", "freq"]
    assert [line.split()[0] for line in lines[1:4]] == ["1", "2", "3"]
    assert lines[4].startswith("... ") and lines[4].endswith("more rows (see --limit)")
    assert "tokens" in lines[5]
    widths = {len(line) for line in lines[1:4]}
    assert len(widths) == 1  # aligned


def test_report(corpus, capsys):
    status, out, err = run(["report", corpus, "--limit", "2", "--term", "cat"], capsys)
    assert status == 0 and err == ""
    sections = {"lm_vocab": "== Word list ==", "lm_tagfreq": "== Word+tag list ==",
                "lm_docfreq": "== Range", "lm_keyness": "== Keywords",
                "lm_sequences": "== 3-grams ==", "lm_bundles": "== Clusters of 'cat'",
                "lm_spread": "== Dispersion of 'cat'"}
    for module, title in sections.items():
        if cli.available(module):
            assert title in out
        else:
            assert title not in out and "lumora." + module in out.splitlines()[-1]


def one_line_error(status, out, err, expected_status, fragment):
    assert status == expected_status
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("lumora: error: ")
    assert fragment in err
    assert "Traceback" not in err


@pytest.mark.parametrize("argv, status, fragment", [
    ([], 2, "no command given"),
    (["nonsense"], 2, "invalid choice: 'nonsense'"),
    (["freq"], 2, "required: CORPUS"),
    (["freq", "{c}", "--bogus"], 2, "unrecognized arguments: --bogus"),
    (["freq", "{c}", "--limit", "0"], 2, "argument --limit"),
    (["freq", "{c}", "--format", "xml"], 2, "argument --format"),
    (["freq", "{missing}"], 1, "no corpus at"),
    (["wordlist", "{texts}"], 1, "is not a prepared corpus folder"),
    (["dispersion", "{c}", "   "], 2, "one to three words"),
    (["dispersion", "{c}", "a b c d"], 2, "one to three words"),
    (["dispersion", "{c}", "ca(t", "--regexp"], 2, "bad regular expression"),
    (["dispersion", "{c}", "cat", "--pos", "NOUN NOPE"], 2, "unknown tag 'NOPE' in --pos"),
    (["clusters", "{c}", "the cat"], 2, "one search word"),
    (["clusters", "{c}", "cat", "--size", "4"], 2, "1, 2 or 3"),
    (["clusters", "{c}", "cat", "--size", "x"], 2, "argument --size"),
    (["ngrams", "{c}", "--size", "6"], 2, "from 1 to 5"),
    (["keywords", "{c}", "--language", "xx"], 2, "no reference list for language 'xx'"),
    (["prepare", "{missing}", "{out}"], 1, "no such file or folder"),
    (["prepare", "{texts}", "{texts}/a.txt"], 1, "exists and is not a folder"),
    (["prepare", "{texts}", "{texts}"], 1, "is not a corpus folder"),
    (["prepare", "{texts}", "{out}", "--tagger", "nope"], 1, "unknown tagger 'nope'"),
    (["prepare", "{texts}", "{out}", "--encoding", "nope"], 1, "unknown encoding"),
    (["prepare", "{texts}", "{out}", "--from", "xml"], 2, "argument --from"),
])
def test_user_mistakes(corpus, capsys, argv, status, fragment):
    root = os.path.dirname(corpus)
    names = {"c": corpus, "missing": os.path.join(root, "missing"),
             "texts": os.path.join(root, "texts"), "out": os.path.join(root, "out")}
    argv = [a.format(**names) for a in argv]
    one_line_error(*run(argv, capsys), status, fragment)
    assert not os.path.exists(names["out"])


@pytest.mark.parametrize("command, module", [(a[1], a[0]) for a in ANALYSES])
def test_missing_module(corpus, capsys, monkeypatch, command, module):
    monkeypatch.setitem(sys.modules, "lumora." + module, None)  # its import now fails
    monkeypatch.setitem(sys.modules, "lumora._engine", None)  # and the engine cannot stand in
    argv = [command, corpus] + (["the"] if command in ("dispersion", "clusters") else [])
    one_line_error(*run(argv, capsys), 1, f"needs the module lumora.{module}")


def test_failure_inside_an_analysis(tmp_path, corpus, capsys):
    import shutil

    broken = tmp_path / "broken"
    shutil.copytree(corpus, broken)
    (broken / "data" / "idx" / "words.pickle").write_bytes(b"not a pickle")
    one_line_error(*run(["wordlist", str(broken)], capsys), 1, "UnpicklingError")
    with pytest.raises(pickle.UnpicklingError):
        main(["--debug", "wordlist", str(broken)])


def test_help_and_version(capsys):
    status, out, _ = run(["--version"], capsys)
    assert status == 0 and out.strip() == "lumora " + importlib.import_module("lumora").__version__
    status, out, _ = run(["prepare", "--help"], capsys)
    assert status == 0 and "--tagger" in out


def test_prepare_replaces_and_keeps_language(tmp_path, capsys):
    src = tmp_path / "src"
    src.mkdir()
    (src / "one.txt").write_text("Eins zwei drei.", encoding="utf-8")
    status, out, _ = run(["prepare", str(src), str(tmp_path / "c"), "--language", "de"], capsys)
    assert status == 0
    assert ": 1 text, 1 sentence, 4 tokens, 4 word forms, 3 tags (tagger: rules;" in out
    (src / "two.txt").write_text("Vier.", encoding="utf-8")
    assert run(["prepare", str(src), str(tmp_path / "c")], capsys)[0] == 0
    assert sorted(os.listdir(tmp_path / "c" / "data" / "npy")) == ["one.txt.npy", "two.txt.npy"]
    assert cli.Corpus(str(tmp_path / "c")).language == "en"
    assert sorted(os.listdir(tmp_path)) == ["c", "src"]


class RecordingBar:
    made: list = []  # noqa: RUF012

    def __init__(self, total, **kw):
        self.total, self.done, self.closed = total, 0, False
        RecordingBar.made.append(self)

    def update(self, n):
        self.done += n

    def close(self):
        self.closed = True


@pytest.mark.parametrize("tty", [True, False])
def test_progress_bar_only_on_a_terminal(tmp_path, capsys, monkeypatch, tty):
    tqdm = pytest.importorskip("tqdm")
    monkeypatch.setattr(tqdm, "tqdm", RecordingBar)
    monkeypatch.setattr(cli, "PROGRESS_MIN_BYTES", 1)
    monkeypatch.setattr(sys.stderr, "isatty", lambda: tty)
    RecordingBar.made = []
    (tmp_path / "a.txt").write_text("Some words.\n" * 5000, encoding="utf-8")
    assert run(["prepare", str(tmp_path / "a.txt"), str(tmp_path / "c")], capsys)[0] == 0
    if tty:
        [bar] = RecordingBar.made
        assert bar.total == bar.done == (tmp_path / "a.txt").stat().st_size and bar.closed
    else:
        assert RecordingBar.made == []


def test_demo_keeps_its_corpus_when_asked(tmp_path, capsys):
    status, out, err = run(["demo", "--limit", "2", "--keep", str(tmp_path / "docs")], capsys)
    assert status == 0 and err == ""
    assert out.startswith("Sample corpus: the docstrings of ")
    assert "== Word list ==" in out
    names = set(os.listdir(tmp_path / "docs" / "data" / "npy"))
    assert {"argparse.npy", "json.npy", "textwrap.npy"} <= names
    status, out, _ = run(["wordlist", str(tmp_path / "docs"), "--limit", "1", "--format", "tsv"],
                         capsys)
    assert status == 0 and tsv_rows(out)[0][:1] == ["1"]


def python_m_lumora(*args):
    """python -m lumora in a fresh interpreter that imports the same lumora as this process."""
    import lumora

    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(lumora.__file__)))
    return subprocess.run([sys.executable, "-m", "lumora", *args], capture_output=True,
                          text=True, timeout=300, check=False, env=env, cwd=os.path.dirname(__file__))


def test_python_m_lumora_demo():
    r = python_m_lumora("demo", "--limit", "3")
    assert r.returncode == 0, r.stderr
    assert "Sample corpus" in r.stdout and "== Word list ==" in r.stdout
    for module, title in (("lm_tagfreq", "== Word+tag list =="), ("lm_spread", "== Dispersion")):
        assert (title in r.stdout) == cli.available(module)


def test_python_m_lumora_mistake_exits_without_traceback():
    r = python_m_lumora("freq", "/no/such/corpus")
    assert r.returncode == 1 and r.stdout == ""
    assert r.stderr == ("lumora: error: no corpus at /no/such/corpus (prepare one with: "
                        "lumora prepare TEXTS /no/such/corpus)\n")
    r = python_m_lumora("frequency")
    assert r.returncode == 2 and r.stderr.count("\n") == 1 and "Traceback" not in r.stderr


def test_render_wide_characters_align():
    from lumora.table import Table

    table = cli.Printed("t", Table({"word": ["日本", "ab"], "freq": np.array([1, 22])}))
    out = io.StringIO()
    cli.render(table, "table", out)
    lines = out.getvalue().splitlines()
    assert lines[1] == "日本     1" and lines[2] == "ab      22"
