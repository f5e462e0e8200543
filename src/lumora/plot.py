"""Plots of lumora's results, drawn with matplotlib (the optional extra ``lumora[plot]``).

* :func:`dispersion`: where one or more search terms occur in each text, one row per text and a
  mark at each hit's relative position (the picture of ``Corpus.dispersion(term)``);
* :func:`keywords`: a bar chart of the top scores of a keyword table.

Each returns the matplotlib ``Figure`` (a notebook shows it) and writes it to ``path`` when one is
given: ``.png`` or ``.svg`` (also ``.pdf``). Nothing here touches pyplot's global state, so
plotting works without a screen and from several threads.
"""

import os

import numpy as np

from .table import _need

__all__ = ["dispersion", "keywords"]

_FORMATS = (".png", ".svg", ".pdf")
_ROW_INCHES = 0.24          # height of one text's row: its name stays readable at 8 points
_LABEL_POINTS = 8
_DPI = 100
_MAX_INCHES = 600           # matplotlib cannot write an image above 2**16 pixels a side
_COLOURS = ("#1f4e79", "#b8401e", "#2e7d32", "#6a1b9a", "#8d6e00", "#00838f")


def _figure(width, height):
    mpl_figure = _need("matplotlib.figure", "plotting", "plot")
    return mpl_figure.Figure(figsize=(width, height), dpi=_DPI, layout="constrained")


def _check_path(path):
    if path is None:
        return None
    path = os.fspath(path)
    ext = os.path.splitext(path)[1].lower()
    if ext not in _FORMATS:
        raise ValueError(f"cannot tell the image format of {path!r}: the name must end in "
                         + ", ".join(_FORMATS))
    return path


def _save(fig, path):
    if path is not None:
        import matplotlib
        # Text stays text in an SVG, so that names can be searched, selected and edited.
        with matplotlib.rc_context({"svg.fonttype": "none"}):
            fig.savefig(path, dpi=_DPI)
    return fig


def _as_list(tables):
    if hasattr(tables, "positions"):
        return [tables]
    tables = list(tables)
    if not tables:
        raise ValueError("nothing to plot: give at least one dispersion table")
    for t in tables:
        if not hasattr(t, "positions"):
            raise TypeError("dispersion() plots the tables of Corpus.dispersion(); got "
                            f"{type(t).__name__}")
    return tables


def dispersion(tables, path=None, *, skip_empty=False, texts=None, title=None):
    """A dispersion plot of one or several ``Corpus.dispersion(term)`` tables of one corpus:
    a panel per term, one row per text (named on the left, its hits on the right) with a mark
    at each hit's position in percent of the text.

    ``skip_empty``: leave out the texts in which no term occurs. ``texts``: only these texts,
    in this order. Returns the matplotlib Figure; writes it to ``path`` (.png, .svg, .pdf) when
    given.
    """
    tables = _as_list(tables)
    path = _check_path(path)
    order = [str(t) for t in tables[0]["text"]]
    for t in tables[1:]:
        if sorted(map(str, t["text"])) != sorted(order):
            raise ValueError("the dispersion tables come from different corpora (their texts "
                             "differ)")
    if texts is not None:
        wanted = [texts] if isinstance(texts, str) else list(texts)
        unknown = [n for n in wanted if n not in set(order)]
        if unknown:
            raise ValueError(f"no text named {unknown[0]!r} in this corpus")
        order = wanted
    if skip_empty:
        order = [n for n in order if any(t.positions.get(n) for t in tables)]
    if not order:
        raise ValueError("nothing to plot: no text has a hit" if skip_empty else
                         "nothing to plot: the corpus has no texts")
    height = len(order) * _ROW_INCHES + 1.3
    if height > _MAX_INCHES:
        raise ValueError(f"too many texts to draw readably ({len(order):,}); pass "
                         "skip_empty=True or texts=[...]")

    # Room for the longest text name (about 0.06 in a character at 8 points) beside the panels.
    names_inches = 0.3 + 0.06 * max(len(n) for n in order)
    fig = _figure(names_inches + 0.6 + 4.2 * len(tables), height)
    axes = fig.subplots(1, len(tables), sharey=True, squeeze=False)[0]
    rows = {name: i for i, name in enumerate(order)}
    for k, (ax, table) in enumerate(zip(axes, tables)):
        xs, ys = [], []
        for name in order:
            pos = table.positions.get(name, ())
            xs.extend(pos)
            ys.extend([rows[name]] * len(pos))
        ax.scatter(xs, ys, marker="|", s=90, linewidths=1.0, color=_COLOURS[k % len(_COLOURS)])
        ax.set_xlim(0, 100)
        ax.set_ylim(len(order) - 0.5, -0.5)
        ax.set_xlabel("position in text (%)")
        term = table.meta.get("term", "")
        shown = sum(len(table.positions.get(n, ())) for n in order)
        ax.set_title(f"{term!r}: {shown:,} hit{'' if shown == 1 else 's'}", fontsize=10)
        for y in range(len(order)):
            ax.axhline(y, color="#dddddd", linewidth=0.5, zorder=0)
        # Hit counts on the right of each panel, one per row.
        counts = ax.secondary_yaxis("right")
        counts.set_yticks(range(len(order)))
        counts.set_yticklabels([f"{len(table.positions.get(n, ())):,}" for n in order],
                               fontsize=_LABEL_POINTS)
        counts.tick_params(length=0)
        counts.set_ylabel("hits", fontsize=_LABEL_POINTS)
    axes[0].set_yticks(range(len(order)))
    axes[0].set_yticklabels(order, fontsize=_LABEL_POINTS)
    if title is None and len(tables) > 1:
        title = "Dispersion"
    if title:
        fig.suptitle(title)
    return _save(fig, path)


def _score_column(table, column):
    if column is not None:
        if column not in table.columns:
            raise ValueError(f"no column {column!r} in the table (columns: "
                             f"{', '.join(table.columns)})")
        return column
    if "score" in table.columns:
        return "score"
    for name in table.columns:  # a statistics table's first measure
        if name in ("ll", "chi2", "log_ratio", "pct_diff", "bic", "p"):
            return name
    raise ValueError("cannot tell which column holds the scores; pass column=")


def keywords(table, path=None, *, column=None, top=20, title=None):
    """A horizontal bar chart of the ``top`` rows of a keyword table by ``column`` (default:
    ``score``, or the first measure of a statistics table), the largest at the top; negative
    scores (words more frequent in the reference) point left in another colour. Returns the
    matplotlib Figure; writes it to ``path`` (.png, .svg, .pdf) when given."""
    if isinstance(top, bool) or not isinstance(top, int) or top < 1:
        raise ValueError(f"top must be a positive integer; got {top!r}")
    path = _check_path(path)
    column = _score_column(table, column)
    scores = np.asarray(table[column], dtype=np.float64)
    words = table["word"]
    order = np.argsort(-np.where(np.isnan(scores), -np.inf, scores), kind="stable")[:top]
    values = scores[order]
    # %DIFF is infinite for a word the reference lacks: its bar reaches past the longest finite
    # one and says so.
    finite = values[np.isfinite(values)]
    reach = 1.1 * float(np.max(np.abs(finite))) if finite.size and np.any(finite) else 1.0
    infinite = np.isinf(values)
    values = np.where(infinite, np.sign(values) * reach, values)
    labels = [str(words[i]) for i in order]
    if not labels:
        raise ValueError("nothing to plot: the keyword table is empty")

    fig = _figure(6.4, len(labels) * _ROW_INCHES + 1.3)
    ax = fig.subplots()
    colours = [_COLOURS[1] if v < 0 else _COLOURS[0] for v in np.nan_to_num(values)]
    ax.barh(range(len(labels)), np.nan_to_num(values), color=colours)
    ax.set_yticks(range(len(labels)))
    ax.set_yticklabels(labels, fontsize=_LABEL_POINTS)
    ax.set_ylim(len(labels) - 0.5, -0.5)
    ax.axvline(0, color="black", linewidth=0.6)
    for y in np.flatnonzero(infinite):
        ax.text(values[y], y, " \u221e" if values[y] > 0 else "\u221e ", va="center",
                ha="left" if values[y] > 0 else "right", fontsize=_LABEL_POINTS)
    ax.set_xlabel(column)
    if title is None:
        title = f"Top {len(labels)} keywords by {column}"
    ax.set_title(title, fontsize=10)
    return _save(fig, path)
