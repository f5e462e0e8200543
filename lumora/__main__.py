"""python -m lumora demo: prepares a tiny corpus in a temporary workspace, builds its index and
shows what was written."""

import os
import pickle
import sys
import tempfile

SAMPLE = {
    "fox.txt": "The quick brown fox jumps over the lazy dog . The dog sleeps .",
    "cat.txt": "A cat sat on the mat . The cat was happy .",
}
TAGS = {"The": "DT", "the": "DT", "A": "DT", ".": "PUNCT", "on": "IN", "over": "IN"}


def prepare(workspace, name, texts):
    """Writes token files and word-to-id dictionaries as the index builder expects them."""
    folder = workspace + name
    for sub in ("idx", "npy", "tmp1"):
        os.makedirs(folder + "/data/" + sub, exist_ok=True)
    words, tags = {}, {}
    for fname, text in texts.items():
        lines = []
        for i, w in enumerate(text.split(), 1):
            t = TAGS.get(w, "NN")
            words.setdefault(w, len(words) + 1)
            tags.setdefault(t, len(tags) + 1)
            lines.append(f"{w}\t{t}\t1\t{i}\n")
        with open(folder + "/data/tmp1/" + fname, "w", encoding="utf-8") as f:
            f.writelines(lines)
    lc = {}
    for w, i in words.items():
        lc.setdefault(w.lower(), []).append(i)
    for fname, obj in (("words", words), ("tags", tags), ("wordslc", lc)):
        with open(folder + "/data/idx/" + fname + ".pickle", "wb") as f:
            pickle.dump(obj, f)


def demo():
    import numpy as np

    from lumora import lm_build

    with tempfile.TemporaryDirectory() as ws:
        ws += os.sep
        prepare(ws, "demo", SAMPLE)
        lm_build.make_indexes(ws, "demo", "en")
        npy = ws + "demo/data/npy/"
        for name in sorted(os.listdir(npy)):
            arr = np.load(npy + name)
            print(f"{name}: token array {arr.shape}, first rows {arr[:3].tolist()}")
        with open(ws + "demo/data/idx/words.pickle", "rb") as f:
            words = pickle.load(f)
        print(f"words.pickle: {len(words)} entries, id-to-word, e.g. {dict(list(words.items())[:4])}")


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["demo"] or not argv:
        demo()
        return 0
    print(f"lumora: unknown command {argv[0]!r} (try: python -m lumora demo)", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
