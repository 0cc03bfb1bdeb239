import numpy as np
import pytest

NAN = float("nan")
INF = float("inf")
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


def finite_message(value, where):
    return f"embedding values must be finite (no NaN or Inf), found {value} at {where}"


def misaligned(shape, dtype):
    raw = np.zeros(int(np.prod(shape)) * np.dtype(dtype).itemsize + 1, dtype=np.uint8)
    view = raw[1:].view(dtype).reshape(shape)
    assert not view.flags.aligned
    return view


class TestMatrix:
    def test_array_forms_give_the_same_rows(self, hooks):
        values = [[0.5, -1.25, 3.0], [1e-300, 2.0, 4.5]]
        c64 = np.array(values, dtype=np.float64)
        forms = {
            "list": values,
            "tuples": tuple(tuple(r) for r in values),
            "c float64": c64,
            "fortran float64": np.asfortranarray(c64),
            "float32": c64.astype(np.float32),
            "read-only": np.frombuffer(c64.tobytes(), dtype=np.float64).reshape(2, 3),
            "int64": np.array([[1, 2, 3], [4, 5, 6]]),
            "list of arrays": [np.array(r) for r in values],
            "strided int rows": np.arange(12).reshape(2, 6)[:, ::2],
        }
        expected64 = [[float(v) for v in row] for row in values]
        for name, matrix in forms.items():
            rows, _ = hooks.extract_embeddings_2d(matrix)
            if name == "float32":
                assert rows == c64.astype(np.float32).astype(np.float64).tolist(), name
            elif name in ("int64", "strided int rows"):
                assert rows == np.asarray(matrix, dtype=np.float64).tolist(), name
            else:
                assert rows == expected64, name

    def test_only_c_contiguous_float64_is_read_in_place(self, hooks):
        a = np.ones((3, 4))
        assert hooks.extract_embeddings_2d(a)[1] is True
        assert hooks.extract_embeddings_2d(np.asfortranarray(a))[1] is False
        assert hooks.extract_embeddings_2d(a.astype(np.float32))[1] is False
        assert hooks.extract_embeddings_2d(a.tolist())[1] is False

    def test_fortran_order_is_read_by_logical_index(self, hooks):
        a = np.arange(6, dtype=np.float64).reshape(2, 3)
        rows, _ = hooks.extract_embeddings_2d(np.asfortranarray(a))
        assert rows == [[0, 1, 2], [3, 4, 5]]

    @pytest.mark.parametrize(
        "make",
        [
            lambda: np.ones((3, 8))[:, ::2],
            lambda: np.ones((8, 3))[::2],
            lambda: np.ones((3, 8), dtype=np.float32)[:, 1::3],
            lambda: misaligned((2, 3), np.float64),
            lambda: misaligned((2, 3), np.float32),
        ],
    )
    def test_strided_or_misaligned_float_arrays_are_rejected(self, hooks, make):
        with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$".replace(".", r"\.")):
            hooks.extract_embeddings_2d(make())

    def test_empty_shapes(self, hooks):
        assert hooks.extract_embeddings_2d(np.zeros((0, 5)))[0] == []
        assert hooks.extract_embeddings_2d(np.zeros((3, 0)))[0] == [[], [], []]
        assert hooks.extract_embeddings_2d([])[0] == []
        assert hooks.extract_embeddings_2d([[], []])[0] == [[], []]

    def test_ragged_rows_pass_through(self, hooks):
        assert hooks.extract_embeddings_2d([[1, 2, 3], [4]])[0] == [[1, 2, 3], [4]]

    @pytest.mark.parametrize(
        "matrix, message",
        [
            ([[0.1, NAN]], finite_message("NaN", "[0][1]")),
            ([[1.0], [-INF]], finite_message("-inf", "[1][0]")),
            ([[1.0, 2.0], [3.0, INF, NAN]], finite_message("inf", "[1][1]")),
            (np.array([[0.1, NAN]]), finite_message("NaN", "index 1")),
            (np.array([[1.0, 2.0], [3.0, -INF]], dtype=np.float32), finite_message("-inf", "index 3")),
            # Fortran order still reports the row-major position.
            (np.asfortranarray(np.array([[1.0, 2.0], [INF, 4.0]])), finite_message("inf", "index 2")),
        ],
    )
    def test_non_finite_values(self, hooks, matrix, message):
        with pytest.raises(ValueError) as info:
            hooks.extract_embeddings_2d(matrix)
        assert str(info.value) == message

    def test_conversion_errors_win_over_non_finite_values(self, hooks):
        with pytest.raises(TypeError):
            hooks.extract_embeddings_2d([[NAN], ["x"]])

    @pytest.mark.parametrize(
        "value",
        [
            (r for r in [[1.0]]),
            iter([[1.0]]),
            {(1.0,)},
            {0: [1.0]},
            [[1.0], "ab"],
            [[1.0, "2"]],
            [1.0, 2.0],
            [{1.0}],
            None,
            5,
        ],
    )
    def test_non_sequences_are_type_errors(self, hooks, value):
        with pytest.raises(TypeError):
            hooks.extract_embeddings_2d(value)

    def test_str_is_rejected_with_its_own_message(self, hooks):
        for value in ("abc", ["abc"]):
            with pytest.raises(TypeError) as info:
                hooks.extract_embeddings_2d(value)
            assert str(info.value) == "Can't extract `str` to `Vec`"

    def test_numpy_scalars_and_custom_sequences(self, hooks):
        import collections.abc

        class Row(collections.abc.Sequence):
            def __init__(self, values):
                self.values = values

            def __len__(self):
                return len(self.values)

            def __getitem__(self, i):
                return self.values[i]

        rows, _ = hooks.extract_embeddings_2d([Row([np.float32(0.5), np.int64(2), True])])
        assert rows == [[0.5, 2.0, 1.0]]


class TestVector:
    def test_forms(self, hooks):
        assert hooks.extract_embedding([1, 2.5, np.float64(3)]) == [1, 2.5, 3]
        assert hooks.extract_embedding(np.array([1.0, 2.0])) == [1.0, 2.0]
        assert hooks.extract_embedding(np.array([0.1], dtype=np.float32)) == [float(np.float32(0.1))]
        assert hooks.extract_embedding(np.array([1, 2])) == [1.0, 2.0]
        assert hooks.extract_embedding([]) == []

    def test_errors(self, hooks):
        with pytest.raises(ValueError) as info:
            hooks.extract_embedding([1.0, 2.0, NAN])
        assert str(info.value) == finite_message("NaN", "index 2")
        with pytest.raises(ValueError) as info:
            hooks.extract_embedding(np.array([INF, 1.0]))
        assert str(info.value) == finite_message("inf", "index 0")
        with pytest.raises(TypeError, match="^Can't extract `str` to `Vec`$"):
            hooks.extract_embedding("abc")
        with pytest.raises(TypeError, match="contiguous"):
            hooks.extract_embedding(np.ones(6)[::2])
        with pytest.raises(TypeError):
            hooks.extract_embedding(x for x in [1.0])


class TestRadial:
    @pytest.mark.parametrize("value, expected", [("magnitude", "magnitude"), (2, 2.0), (0.5, 0.5), (np.float32(1.5), 1.5)])
    def test_accepted(self, hooks, value, expected):
        assert hooks.parse_radial(value) == expected

    def test_non_finite_fixed_radius_is_not_checked_here(self, hooks):
        assert hooks.parse_radial(INF) == INF

    @pytest.mark.parametrize(
        "value, message",
        [
            ("Magnitude", "unknown radial strategy 'Magnitude': expected 'magnitude' or a float"),
            ("", "unknown radial strategy '': expected 'magnitude' or a float"),
            ([1], "radial must be 'magnitude' or a float value"),
            (None, "radial must be 'magnitude' or a float value"),
        ],
    )
    def test_rejected(self, hooks, value, message):
        with pytest.raises(ValueError) as info:
            hooks.parse_radial(value)
        assert str(info.value) == message
