import sys
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import lumora
from lumora.cli import main

matplotlib = pytest.importorskip("matplotlib")
from lumora import plot

TEXTS = {
    "alpha": "The cat sat on the mat. A cat and a dog.",
    "beta": "",
    "gamma": "No animals here at all, only rain and more rain.",
    "delta": "Dog days. The dog and the cat met a dog.",
}


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    return lumora.from_texts(TEXTS, tmp_path_factory.mktemp("plot") / "c")


def _rows(ax):
    return [t.get_text() for t in ax.get_yticklabels()]


def _marks(ax):
    """(row, position) of every mark drawn in a panel."""
    (points,) = ax.collections
    return sorted((int(round(y)), round(float(x), 2)) for x, y in points.get_offsets())


@pytest.mark.parametrize("skip_empty", [False, True])
def test_one_row_per_text_with_a_mark_per_hit(corpus, skip_empty):
    table = corpus.dispersion("cat")
    fig = table.plot(skip_empty=skip_empty)
    (ax,) = fig.axes[:1]
    rows = _rows(ax)
    hits = dict(zip(table["text"], table["hits"]))
    expected = [n for n in table["text"] if hits[n] or not skip_empty]
    assert rows == expected
    want = sorted((rows.index(n), round(p, 2)) for n in rows for p in table.positions[n])
    assert _marks(ax) == want and len(want) == table.meta["hits"]
    # The hit counts are on the right, row by row.
    (right,) = ax.child_axes
    assert [t.get_text() for t in right.get_yticklabels()] == [str(hits[n]) for n in rows]


def test_several_terms_share_the_rows(corpus):
    tables = [corpus.dispersion(w) for w in ("cat", "dog", "rain")]
    fig = plot.dispersion(tables)
    panels = [a for a in fig.axes if a.get_title()]
    assert [a.get_title() for a in panels] == ["'cat': 3 hits", "'dog': 4 hits", "'rain': 2 hits"]
    assert all(_rows(a) == _rows(panels[0]) for a in panels[1:]) or len(_rows(panels[0])) == 4
    # Texts with a hit of any term stay when empty ones are left out.
    fig = plot.dispersion(tables, skip_empty=True)
    assert _rows(fig.axes[0]) == [n for n in tables[0]["text"] if n != "beta"]


def test_png_file_is_a_valid_image(corpus, tmp_path):
    path = tmp_path / "d.png"
    corpus.dispersion("cat").plot(path)
    with open(path, "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    image = matplotlib.image.imread(str(path))
    assert image.ndim == 3 and image.shape[0] > 100 and image.shape[1] > 100


def test_svg_file_names_every_text_and_count(corpus, tmp_path):
    path = tmp_path / "d.svg"
    table = corpus.dispersion("dog")
    table.plot(str(path))
    root = ET.parse(path).getroot()
    assert root.tag.endswith("svg")
    texts = {"".join(t.itertext()).strip() for t in root.iter() if t.tag.endswith("text")}
    assert set(TEXTS) <= texts
    assert {str(h) for h in table["hits"]} <= texts


def test_texts_option_picks_and_orders_rows(corpus):
    fig = corpus.dispersion("cat").plot(texts=["delta", "alpha"])
    assert _rows(fig.axes[0]) == ["delta", "alpha"]


@pytest.mark.parametrize("call, message", [
    (lambda c: c.dispersion("cat").plot("x.jpeg"), "image format"),
    (lambda c: c.dispersion("cat").plot(texts=["nope"]), "no text named 'nope'"),
    (lambda c: c.dispersion("zebra").plot(skip_empty=True), "no text has a hit"),
    (lambda c: plot.dispersion([]), "at least one"),
    (lambda c: plot.keywords(c.keywords(), top=0), "top must be"),
    (lambda c: plot.keywords(c.keywords(), column="nope"), "no column 'nope'"),
])
def test_bad_requests_say_what_is_wrong(corpus, call, message):
    with pytest.raises(ValueError, match=message):
        call(corpus)


def test_tables_of_different_corpora_are_refused(corpus, tmp_path):
    other = lumora.from_texts({"x": "a cat"}, tmp_path / "o")
    with pytest.raises(ValueError, match="different corpora"):
        plot.dispersion([corpus.dispersion("cat"), other.dispersion("cat")])


def test_keyword_bars_are_the_top_scores_largest_first(corpus):
    table = corpus.keywords()
    fig = plot.keywords(table, top=3)
    (ax,) = fig.axes
    widths = [p.get_width() for p in ax.patches]
    top = np.sort(table["score"].astype(np.float64))[::-1][:3]
    assert widths == pytest.approx(list(top))
    order = np.argsort(-table["score"], kind="stable")[:3]
    assert _rows(ax) == [table["word"][i] for i in order]


def test_negative_and_infinite_scores_are_drawn(corpus):
    table = lumora.Table({"word": ["up", "new", "down"],
                          "pct_diff": np.array([50.0, np.inf, -80.0])})
    fig = plot.keywords(table)
    (ax,) = fig.axes
    assert _rows(ax) == ["new", "up", "down"]
    widths = [p.get_width() for p in ax.patches]
    assert widths[0] > 80 and widths[1] == 50 and widths[2] == -80
    assert ax.patches[2].get_facecolor() != ax.patches[1].get_facecolor()
    assert any("\u221e" in t.get_text() for t in ax.texts)


def test_missing_matplotlib_names_the_extra(corpus, monkeypatch):
    table = corpus.dispersion("cat")
    for name in ("matplotlib", "matplotlib.figure"):
        monkeypatch.setitem(sys.modules, name, None)  # import fails as when not installed
    with pytest.raises(ImportError, match=r"lumora\[plot\]"):
        table.plot()


def test_command_line_draws_plots(corpus, tmp_path, capsys):
    png, svg = tmp_path / "d.png", tmp_path / "k.svg"
    assert main(["dispersion", corpus.path, "cat", "--plot", str(png), "--also", "dog",
                 "--skip-empty"]) == 0
    assert main(["keywords", corpus.path, "--plot", str(svg), "--top", "3"]) == 0
    out, err = capsys.readouterr()
    assert "80-100%" in out and "log-likelihood" in out
    assert f"plot written to {png}" in err and f"plot written to {svg}" in err
    assert png.read_bytes()[:4] == b"\x89PNG"
    ET.parse(svg)


@pytest.mark.parametrize("argv, message", [
    (["dispersion", "{c}", "cat", "--plot", "{t}/d.gif"], "--plot needs a file name"),
    (["dispersion", "{c}", "cat", "--also", "dog"], "give --plot FILE too"),
    (["dispersion", "{c}", "cat", "--plot", "{t}/d.png", "--also", "a b c d"], "three words"),
])
def test_command_line_plot_mistakes(corpus, tmp_path, capsys, argv, message):
    argv = [a.format(c=corpus.path, t=tmp_path) for a in argv]
    assert main(argv) == 2
    assert message in capsys.readouterr().err


def test_plot_module_is_reachable_from_the_package():
    import subprocess
    code = ("import sys, lumora; assert 'matplotlib' not in sys.modules; "
            "assert lumora.plot.dispersion is not None; print('ok')")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.stdout.strip() == "ok", out.stderr
