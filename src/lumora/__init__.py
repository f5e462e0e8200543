"""lumora: fast, exact corpus analysis (concordance) with a native C++ core.

    import lumora
    corpus = lumora.open("mycorpus")          # or lumora.prepare(["texts/"], "mycorpus")
    corpus.ngrams(3).head(10)                 # a lumora.Table: to_polars(), to_pandas(), ...

Importing the package loads no extension module: `Corpus`, `Table` and the functions below load
on first use, and the seven analysis modules are imported by name (``from lumora import
lm_tagfreq``), so one module failing to load never breaks the others.
"""

__version__ = "0.1.0"

__all__ = ["Corpus", "CorpusError", "QueryError", "Table", "from_texts", "open", "prepare"]

_LAZY = {
    "Corpus": ("corpus_api", "Corpus"),
    "open": ("corpus_api", "open"),
    "prepare": ("corpus_api", "prepare"),
    "from_texts": ("corpus_api", "from_texts"),
    "CorpusError": ("corpus", "CorpusError"),
    "Table": ("table", "Table"),
    "QueryError": ("query", "QueryError"),
    "plot": ("plot", None),  # the module itself: lumora.plot.dispersion(...)
}


def __getattr__(name):
    try:
        module, attr = _LAZY[name]
    except KeyError:
        raise AttributeError(f"module 'lumora' has no attribute {name!r}") from None
    import importlib

    value = importlib.import_module("lumora." + module)
    if attr is not None:
        value = getattr(value, attr)
    globals()[name] = value
    return value


def __dir__():
    return sorted(list(globals()) + list(_LAZY))
