"""Token arrays are read natively when they have the plain layout and through np.load otherwise;
both roads must give the same results and the same errors."""

import io

import numpy as np
import pytest

from lumora import lm_spread

WORDS = np.array([5, 7, 5, 9, 5, 7, 7], dtype=np.int64)


def token_array(dtype, order="C", cols=4):
    arr = np.zeros((len(WORDS), cols), dtype=dtype, order=order)
    arr[:, 0] = WORDS
    if cols > 1:
        arr[:, 1] = np.arange(len(WORDS)) % 3 + 1
    return arr


def hits(tmp_path, arr, word=5):
    np.save(tmp_path / "t.npy", arr, allow_pickle=False)
    return lm_spread.search_node(str(tmp_path) + "/", [np.array(word)], None)


@pytest.mark.parametrize("dtype", [np.int64, np.int32, np.int16, np.uint8, ">i8", ">i4", "<i2"])
@pytest.mark.parametrize("order", ["C", "F"])
def test_layouts_agree(tmp_path, dtype, order):
    want = [("t", 7, 3, [0.0, 28.57, 57.14])]
    assert hits(tmp_path, token_array(dtype, order)) == want


@pytest.mark.parametrize("version", [(1, 0), (2, 0), (3, 0)])
def test_format_versions(tmp_path, version):
    buf = io.BytesIO()
    np.lib.format.write_array(buf, token_array(np.int64), version=version, allow_pickle=False)
    (tmp_path / "t.npy").write_bytes(buf.getvalue())
    assert lm_spread.search_node(str(tmp_path) + "/", [np.array(7)], None)[0][2] == 3


def test_empty_shapes(tmp_path):
    assert hits(tmp_path, np.array([], dtype=int)) == [("t", 0, 0, [])]
    assert hits(tmp_path, np.zeros((0, 4), dtype=int)) == [("t", 0, 0, [])]


def same_error(tmp_path, data):
    (tmp_path / "t.npy").write_bytes(data)
    with pytest.raises(Exception) as want:
        np.load(tmp_path / "t.npy")
    with pytest.raises(type(want.value)):
        lm_spread.search_node(str(tmp_path) + "/", [np.array(5)], None)


def test_broken_files_fail_as_numpy_fails(tmp_path):
    buf = io.BytesIO()
    np.save(buf, token_array(np.int64), allow_pickle=False)
    good = buf.getvalue()
    same_error(tmp_path, good[:-5])  # truncated data
    same_error(tmp_path, good[:30])  # truncated header
    same_error(tmp_path, b"not an npy file at all")
    same_error(tmp_path, good.replace(b"'shape': (7, 4)", b"'shape': (7, 9)"))


def test_other_dtypes_and_shapes(tmp_path):
    with pytest.raises(TypeError):
        hits(tmp_path, token_array(np.float64))
    with pytest.raises(IndexError):
        hits(tmp_path, np.array([1, 2, 3]))
    with pytest.raises(ValueError):
        hits(tmp_path, np.zeros((2, 4, 1), dtype=int))
    np.save(tmp_path / "t.npy", np.array([[1, None]], dtype=object), allow_pickle=True)
    with pytest.raises(ValueError):  # np.load refuses pickled object arrays
        lm_spread.search_node(str(tmp_path) + "/", [np.array(5)], None)
