"""Array arguments and borrows: which objects are accepted, the refusal wording, writeability,
memory shared between arguments, and that no borrow outlives a call."""

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import vexlora
from conftest import assert_bits_equal, panic_type, ref_normalized_difference, ref_ratio

ALREADY = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
NOT_WRITEABLE = "called `Result::unwrap()` on an `Err` value: NotWriteable"


class BandSubclass(np.ndarray):
    pass


@pytest.mark.parametrize(
    "band, type_name",
    [
        (np.zeros((2, 2), np.float64), "ndarray"),
        (np.zeros(4, np.uint16), "ndarray"),
        (np.zeros((1, 2, 2), np.uint16), "ndarray"),
        (np.zeros((2, 2), np.int16), "ndarray"),
        (np.zeros((2, 2), ">u2"), "ndarray"),  # non-native byte order is not the native uint16
        ([[1, 2], [3, 4]], "list"),
        (None, "NoneType"),
        (memoryview(b"abcd"), "memoryview"),
    ],
)
def test_refused_bands_name_the_type(band, type_name):
    with pytest.raises(TypeError) as info:
        vexlora.calculate_ratio_inplace(band, np.zeros((2, 2), np.uint16), np.zeros((2, 2), np.float32))
    assert str(info.value) == f"argument 'band_a': '{type_name}' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize("out", [np.zeros((2, 2), np.float64), np.zeros((2, 2), np.uint16), np.zeros(4, np.float32)])
def test_refused_outputs(out):
    with pytest.raises(TypeError, match=r"^argument 'out_buffer': 'ndarray' object cannot be converted to 'PyArray<T, D>'$"):
        vexlora.calculate_normalized_difference_inplace(np.zeros((2, 2), np.uint16), np.zeros((2, 2), np.uint16), out)


def test_first_bad_argument_is_reported():
    with pytest.raises(TypeError, match=r"^argument 'band_b'"):
        vexlora.calculate_ratio_inplace(np.zeros((2, 2), np.uint16), None, None)
    with pytest.raises(TypeError, match=r"^argument 'l'"):  # a scalar before out_buffer wins
        vexlora.calculate_adjusted_difference_inplace(np.zeros((2, 2), np.uint16), np.zeros((3, 3), np.uint16), "x", None)


def test_subclasses_and_read_only_inputs_are_accepted(rng):
    a = rng.integers(0, 65536, (4, 5), dtype=np.uint16)
    b = rng.integers(0, 65536, (4, 5), dtype=np.uint16)
    a_sub = a.view(BandSubclass)
    b.flags.writeable = False
    out = np.empty((4, 5), np.float32).view(BandSubclass)
    vexlora.calculate_normalized_difference_inplace(a_sub, b, out)
    assert_bits_equal(out, ref_normalized_difference(a, b))


def test_read_only_output_is_refused_and_untouched():
    out = np.full((3, 3), 7.0, np.float32)
    out.flags.writeable = False
    band = np.ones((3, 3), np.uint16)
    with pytest.raises(panic_type()) as info:
        vexlora.calculate_ratio_inplace(band, band, out)
    assert str(info.value) == NOT_WRITEABLE
    assert (out == 7.0).all()


def test_shape_mismatch_is_reported_before_writeability():
    out = np.zeros((3, 4), np.float32)
    out.flags.writeable = False
    with pytest.raises(ValueError, match=r"^Shape mismatch at index 2: expected \[3, 3\], got \[3, 4\]$"):
        vexlora.calculate_ratio_inplace(np.ones((3, 3), np.uint16), np.ones((3, 3), np.uint16), out)


def test_same_band_twice_is_two_read_borrows(rng):
    a = rng.integers(0, 65536, (6, 7), dtype=np.uint16)
    out = np.empty((6, 7), np.float32)
    vexlora.calculate_ratio_inplace(a, a, out)
    assert_bits_equal(out, ref_ratio(a, a))


@pytest.mark.parametrize(
    "band_offset, conflict",
    [
        (0, True),   # the band reads the low halves of the output's elements
        (2, True),   # the high halves: same base, starts 2 bytes apart, common stride 8
        (4, False),  # the other half of each record: no byte shared
        (6, False),
    ],
)
def test_output_and_band_over_one_buffer(band_offset, conflict):
    record = np.zeros((4, 3), dtype=np.dtype({"names": ["f", "pad"], "formats": ["<f4", "<u4"], "itemsize": 8}))
    raw = record.view(np.uint8).reshape(4, 3 * 8)
    out = raw[:, 0:].view(np.float32)[:, ::2]
    band = raw[:, band_offset:band_offset + 3 * 8 - 6].view(np.uint16)[:, ::4]
    assert out.shape == band.shape == (4, 3)
    band_copy = band.copy()
    if conflict:
        with pytest.raises(panic_type()) as info:
            vexlora.calculate_ratio_inplace(band, band, out)
        assert str(info.value) == ALREADY
        assert (out == 0).all()
    else:
        vexlora.calculate_ratio_inplace(band, band, out)
        assert_bits_equal(out, ref_ratio(band_copy, band_copy))


def test_output_viewing_an_input_buffer_is_refused():
    shared = np.zeros(4 * 4 * 4, np.uint8)
    band = shared.view(np.uint16).reshape(4, 8)[:, :4]
    out = shared.view(np.float32).reshape(4, 4)
    with pytest.raises(panic_type(), match="AlreadyBorrowed"):
        vexlora.calculate_normalized_difference_inplace(band, band, out)
    # nothing stays borrowed: the same arrays work as soon as they do not conflict
    other = np.zeros((4, 4), np.float32)
    vexlora.calculate_normalized_difference_inplace(band, band, other)
    vexlora.calculate_normalized_difference_inplace(np.zeros((4, 4), np.uint16), np.zeros((4, 4), np.uint16), out)


def test_overlap_through_different_base_objects_is_computed_safely():
    # Two arrays over one foreign buffer through different objects are not told apart by the borrows;
    # the call must still complete without two threads touching the same memory.
    buffer = bytearray(2048 * 2048 * 4)
    out = np.frombuffer(memoryview(buffer), np.float32).reshape(2048, 2048)
    band = np.frombuffer(memoryview(buffer), np.uint16)[: 2048 * 2048].reshape(2048, 2048)
    vexlora.calculate_ratio_inplace(band, band, out)  # result is unspecified; it must not crash


def test_zero_stride_output_runs_to_completion():
    target = np.zeros(1, np.float32)
    out = np.lib.stride_tricks.as_strided(target, shape=(300, 300), strides=(0, 0), writeable=True)
    a = np.full((300, 300), 3, np.uint16)
    b = np.ones((300, 300), np.uint16)
    vexlora.calculate_normalized_difference_inplace(a, b, out)
    assert target[0] == np.float32(0.5)


@pytest.mark.parametrize("fn", ["calculate_ratio_inplace", "calculate_normalized_difference_inplace"])
def test_failed_calls_leave_nothing_borrowed(fn):
    band = np.ones((5, 5), np.uint16)
    out = np.zeros((5, 5), np.float32)
    read_only = np.zeros((5, 5), np.float32)
    read_only.flags.writeable = False
    for bad in [
        lambda: getattr(vexlora, fn)(band, band, read_only),
        lambda: getattr(vexlora, fn)(band, np.ones((5, 4), np.uint16), out),
        lambda: getattr(vexlora, fn)(band, band, None),
    ]:
        with pytest.raises(BaseException):
            bad()
    getattr(vexlora, fn)(band, band, out)
    expr = vexlora.compile_expr([{"type": "push_band", "index": 0}], 1)
    vexlora.execute_expr_inplace(expr, [out.view(np.uint16)[:, ::2]], np.zeros((5, 5), np.float32))


def test_failed_allocation_of_the_new_array(capfd):
    huge = np.lib.stride_tricks.as_strided(np.zeros(1, np.uint16), shape=(1 << 24, 1 << 24), strides=(0, 0))
    with pytest.raises(panic_type()) as info:
        vexlora.calculate_normalized_difference(huge, huge)
    assert str(info.value) == "Python API call failed"
    assert "MemoryError" in capfd.readouterr().err
    # the bands were never borrowed
    vexlora.calculate_normalized_difference_inplace(huge[:2, :2], huge[:2, :2], np.zeros((2, 2), np.float32))


ROWS = 1000  # far more views of one base than a usual call borrows


def row_views():
    """ROWS rows of 16 bytes: band list = the first element of every row as one long column (its
    stride divisor is 16), then bytes 8..16 of every row, one of them twice."""
    memory = np.zeros((ROWS, 8), np.uint16)
    memory[:, 4:] = 3
    column = memory[:, 0:8:8]
    assert column.strides == (16, 16)
    return memory, [column] + [memory[i:i + 1, 4:8] for i in range(ROWS)] + [memory[ROWS // 2:ROWS // 2 + 1, 4:8]]


def float_at(memory, row, element):
    """The float32 over elements element, element + 1 of a row, as a 1 x 1 output with strides 16."""
    return as_strided(memory[row, element:element + 2].view(np.float32), shape=(1, 1), strides=(16, 16), writeable=True)


@pytest.mark.parametrize(
    "row, element, conflict",
    [
        (ROWS - 1, 0, True),   # only the column, which begins ROWS - 1 rows lower, reads these bytes
        (ROWS // 2, 2, False), # inside the column's byte range, between its elements and the rows' bytes
        (ROWS // 2, 4, True),  # one row's bytes, read twice
        (ROWS - 1, 6, True),   # the last row's bytes
    ],
)
def test_output_among_many_views_of_its_base(row, element, conflict):
    memory, bands = row_views()
    out = float_at(memory, row, element)
    expr = vexlora.compile_expr([{"type": "push_band", "index": ROWS}], len(bands))
    if conflict:
        with pytest.raises(panic_type()) as info:
            vexlora.execute_expr_inplace(expr, bands, out)
        assert str(info.value) == ALREADY
    else:
        vexlora.execute_expr_inplace(expr, bands, out)
        assert out[0, 0] == 3.0
    # every read borrow went with the call: the bands' memory takes write borrows again
    one = np.ones((1, 1), np.uint16)
    for row in (0, ROWS // 2, ROWS - 1):
        for element in (0, 4):
            vexlora.calculate_ratio_inplace(one, one, float_at(memory, row, element))
