"""The interface contract of all 25 functions and of the front end's private
entries, driven from one table."""
import inspect
import re

import numpy as np
import pytest

import orv_rans
from conftest import is_panic

# name: parameters as NAME:KIND, KIND one of u64, size, bool, float or an array
# DTYPE[NDIM] with L (logical read) or F (filled in place) appended.
TABLE = """
get_backend_info:
set_rayon_threads: n:size
get_magic_lut:
build_pdf_tables_from_shards: data_flat:u8[1] shard_offsets:u32[1] shard_lengths:u32[1] shard_widths:u16[1] templates:u64[2]L disable_templates:bool
rans_encode_shards_parallel: data_flat:u8[1] shard_offsets:u32[1] shard_lengths:u32[1] cum_freqs:u64[2]L sym_freqs:u64[2]L initial_state:u64
rans_decode_shards_parallel: payload:u8[1] shard_counts:u32[1] cum_freqs:u64[2]L sym_freqs:u64[2]L lookups:u8[2]L
rans_decode_4way_core: st0:u64 st1:u64 st2:u64 st3:u64 bitstream:u8[1] cum_freqs:u64[1] sym_freqs:u64[1] slot_lookup:u8[1] out:u8[1]F
pack_shard_payloads: final_states:u64[2]L bs_lengths:u32[1] bs_offsets:u32[1] bitstreams_flat:u8[1] out:u8[1]F write_offsets:u32[1]
build_all_lookups: all_cum_freqs:u64[3]L
compact_pdf_tables: all_sym_freqs:u64[2]L shard_widths:u16[1] shard_modes:u8[1]
expand_pdf_tables: compacted:u8[1] shard_widths:u16[1] shard_modes:u8[1] templates:u64[2]L
bp_decode_sharded_debug: bitstream:u8[1] st0:u64 st1:u64 st2:u64 st3:u64 h:size w:size all_cf:u16[3]L all_sf:u16[3]L s_lut:u8[1] i_lut:u8[1] d_lut:u8[1] orig_resid_flat:u8[1] orig_gray_flat:u8[1]
bp_build_pdf_sharded: resid_flat:u8[1] gray_flat:u8[1] s_lut:u8[1] i_lut:u8[1] d_lut:u8[1] h:size w:size n_ctx:size is_chroma:bool
bp_build_pdf_sharded_rgb: gr_flat:u8[1] rd_flat:u8[1] bd_flat:u8[1] gr_ref_flat:u8[1] s_lut:u8[1] i_lut:u8[1] d_lut:u8[1] h:size w:size n_ctx:size
bp_encode_sharded: resid_flat:u8[1] gray_flat:u8[1] all_cf:u16[3]L all_sf:u16[3]L s_lut:u8[1] i_lut:u8[1] d_lut:u8[1] h:size w:size n_ctx:size is_chroma:bool
bp_decode_sharded: bitstream:u8[1] st0:u64 st1:u64 st2:u64 st3:u64 h:size w:size all_cf:u16[3]L all_sf:u16[3]L s_lut:u8[1] i_lut:u8[1] d_lut:u8[1]
bp_decode_sharded_with_ref: bitstream:u8[1] st0:u64 st1:u64 st2:u64 st3:u64 h:size w:size all_cf:u16[3]L all_sf:u16[3]L ref_ch_flat:u8[1] s_lut:u8[1] i_lut:u8[1] d_lut:u8[1]
p1_gray: h:size w:size gray_raw:u8[2] a_ch:u8[2] is_rgba:bool n_shards:size s_lut:u8[2] i_lut:u8[1] d_lut:u8[2]
p1_rgb: h:size w:size rgb_raw:u8[3] a_ch:u8[2] is_rgba:bool n_shards:size s_lut:u8[2] i_lut:u8[1] d_lut:u8[2]
decide_shard_mode: counts:u64[1] width:size header_penalty_bits:float templates:u64[2]L disable_templates:bool
p2_rgb: h:size w:size gr_ch:u8[2] rd_ch:u8[2] bd_ch:u8[2] row_global_offsets:u32[3] shard_gr:u8[1]F shard_rd:u8[1]F shard_bd:u8[1]F s_lut:u8[2] i_lut:u8[1] d_lut:u8[2]
p2_gray: h:size w:size gr_ch:u8[2] row_global_offsets:u32[3] shard_gr:u8[1]F s_lut:u8[2] i_lut:u8[1] d_lut:u8[2]
reconstruct_shards_rgb: h:size w:size res_gr:u8[1] res_rd:u8[1] res_bd:u8[1] off_gr:u32[1] off_rd:u32[1] off_bd:u32[1] s_lut:u8[2] i_lut:u8[1] d_lut:u8[2]
restore_channels: gr_rec:u8[2] rd_rec:u8[2] bd_rec:u8[2] a_ch:u8[2] is_rgba:bool is_grayscale:bool apply_gsub:bool
reconstruct_2d_channels: h:size w:size res_ch:u8[2]
"""
# The front end's private entries (outside __all__), called and checked like the 25.
PRIVATE_TABLE = """
_table_costs: counts:u32[2]L widths:u16[1] costs:u32[2]L
_shard_tables: counts:u64[2]L templates:u64[2]L template_costs:u32[2]L own_costs:u32[1]
_p1_p2_rgb: h:size w:size rgb_raw:u8[3] a_ch:u8[2] is_rgba:bool n_shards:size s_lut:u8[2] i_lut:u8[1] d_lut:u8[2] shard_gr:u8[1]F shard_rd:u8[1]F shard_bd:u8[1]F
_p1_p2_gray: h:size w:size gray_raw:u8[2] a_ch:u8[2] is_rgba:bool n_shards:size s_lut:u8[2] i_lut:u8[1] d_lut:u8[2] shard_gr:u8[1]F
_rans_encode_shards_packed: data_flat:u8[1] shard_offsets:u32[1] shard_lengths:u32[1] cum_freqs:u64[2]L sym_freqs:u64[2]L initial_state:u64
_rans_decode_own_lookups: payload:u8[1] shard_counts:u32[1] cum_freqs:u64[2]L sym_freqs:u64[2]L
_bp_decode_samples: bitstream:u8[1] st0:u64 st1:u64 st2:u64 st3:u64 h:size w:size all_cf:u16[3]L all_sf:u16[3]L s_lut:u8[1] i_lut:u8[1] d_lut:u8[1]
_reconstruct_chroma: h:size w:size green:u8[2] res_rd:u8[1] res_bd:u8[1] off_rd:u32[1] off_bd:u32[1] s_lut:u8[2] i_lut:u8[1] d_lut:u8[2]
_varints: window:u8[1] count:size
_varint_bytes: values:u64[1]
_group_tables: raw:u8[1] plane_shards:u32[1] plane_pixels:u64 templates:u64[2]L
_group_states: section:u8[1] counts:u32[1] modes:u8[1]
_group_bytes: modes:u8[1] counts:u32[1] widths:u16[1] freq:u64[2]L states:u64[2]L lengths:u32[1]
"""

ARRAY = re.compile(r"(u8|u16|u32|u64)\[(\d)\]([LF]?)")
DTYPES = {"u8": np.uint8, "u16": np.uint16, "u32": np.uint32, "u64": np.uint64}
SIGNED = {"u8": np.int8, "u16": np.int16, "u32": np.int32, "u64": np.int64}


class P:
    def __init__(self, spec):
        self.name, kind = spec.split(":")
        m = ARRAY.fullmatch(kind)
        self.kind = "array" if m else kind
        if m:
            self.dtype, self.ndim, mark = m.group(1), int(m.group(2)), m.group(3)
            self.logical, self.filled = mark == "L", mark == "F"

    def valid(self):
        """A value that converts (its contents need not make sense)."""
        if self.kind == "array":
            return np.zeros((2,) * self.ndim, DTYPES[self.dtype])
        return {"u64": 0, "size": 0, "bool": False, "float": 0.0}[self.kind]


def parse(table):
    out = {}
    for line in table.strip().splitlines():
        name, _, rest = line.partition(":")
        out[name] = [P(s) for s in rest.split()]
    return out


FUNCS = parse(TABLE)
PRIVATE = parse(PRIVATE_TABLE)
ENTRIES = {**FUNCS, **PRIVATE}   # what the contract below holds for
WITH_PARAMS = [n for n, ps in ENTRIES.items() if ps]


def cases(pred):
    return [pytest.param(fn, i, id=f"{fn}.{p.name}") for fn, ps in ENTRIES.items()
            for i, p in enumerate(ps) if pred(p)]


def call_with(fn, index, value):
    args = [p.valid() for p in ENTRIES[fn]]
    args[index] = value
    return getattr(orv_rans, fn)(*args)


def test_registration_order_and_no_other_public_names():
    assert orv_rans.__all__ == list(FUNCS)
    public = {n for n in dir(orv_rans) if not n.startswith("_")}
    assert public == set(FUNCS)
    # the private entries, besides the tests' switches of the instruction-set paths
    hooks = {"_coder_simd", "_coder_simd_available", "_bitpair_checked_rows"}
    private = {n for n in dir(orv_rans) if n.startswith("_") and not n.startswith("__")}
    assert private - hooks == set(PRIVATE)
    assert orv_rans.__doc__ == ""


@pytest.mark.parametrize("fn", list(ENTRIES))
def test_signature_doc_and_module(fn):
    f = getattr(orv_rans, fn)
    names = [p.name for p in ENTRIES[fn]]
    assert list(inspect.signature(f).parameters) == names
    assert f.__text_signature__ == "(" + ", ".join(names) + ")"
    assert f.__doc__ is None  # the docstring carries the signature only
    assert f.__module__ == "orv_rans"


@pytest.mark.parametrize("fn", WITH_PARAMS)
def test_binding_errors_use_cpython_wording(fn):
    f = getattr(orv_rans, fn)
    ps = ENTRIES[fn]
    args = [p.valid() for p in ps]
    n = len(ps)
    with pytest.raises(TypeError, match=re.escape(f"{fn}() takes {n} positional argument")):
        f(*args, 0)
    with pytest.raises(TypeError, match=re.escape(f"{fn}() missing 1 required positional argument: '{ps[-1].name}'")):
        f(*args[:-1])
    with pytest.raises(TypeError, match=re.escape(f"{fn}() got an unexpected keyword argument 'bogus'")):
        f(*args, bogus=1)
    with pytest.raises(TypeError, match=re.escape(f"{fn}() got multiple values for argument '{ps[0].name}'")):
        f(*args, **{ps[0].name: args[0]})
    if n >= 3:
        missing = ", ".join(f"'{p.name}'" for p in ps[-3:-1]) + f", and '{ps[-1].name}'"
        with pytest.raises(TypeError, match=re.escape(f"missing 3 required positional arguments: {missing}")):
            f(*args[:-3])


@pytest.mark.parametrize("fn", WITH_PARAMS)
def test_keywords_in_any_order_reach_the_work(fn):
    """All-keyword calls bind: whatever happens next is the function's own doing."""
    kwargs = {p.name: p.valid() for p in reversed(ENTRIES[fn])}
    try:
        getattr(orv_rans, fn)(**kwargs)
    except TypeError as e:  # binding and conversion errors are what we look for
        pytest.fail(f"keyword call refused: {e}")
    except BaseException:
        pass


@pytest.mark.parametrize("fn,i", cases(lambda p: p.kind == "array"))
def test_array_conversion_errors(fn, i):
    p = ENTRIES[fn][i]
    target = "'PyArray<T, D>'"
    wrong = [
        ([0, 1], "list"),
        (np.zeros((2,) * (p.ndim % 3 + 1), DTYPES[p.dtype]), "ndarray"),  # other ndim
        (np.zeros((2,) * p.ndim, SIGNED[p.dtype]), "ndarray"),  # signed
        (np.zeros((2,) * p.ndim, np.float64), "ndarray"),
    ]
    for value, tname in wrong:
        with pytest.raises(TypeError) as ei:
            call_with(fn, i, value)
        assert str(ei.value) == f"argument '{p.name}': '{tname}' object cannot be converted to {target}"


@pytest.mark.parametrize("fn,i", cases(lambda p: p.kind == "array" and p.dtype == "u32"))
def test_both_unsigned_32_bit_type_codes_accepted(fn, i):
    p = ENTRIES[fn][i]
    for code in ("I", "=u4"):
        try:
            call_with(fn, i, np.zeros((2,) * p.ndim, dtype=code))
        except TypeError as e:
            pytest.fail(str(e))
        except BaseException:
            pass


@pytest.mark.parametrize("fn,i", cases(lambda p: p.kind == "array" and not p.logical))
def test_flat_reads_need_contiguous_arrays(fn, i):
    p = ENTRIES[fn][i]
    strided = np.zeros((4,) * p.ndim, DTYPES[p.dtype])[(slice(None, None, 2),) * p.ndim]
    with pytest.raises(TypeError) as ei:
        call_with(fn, i, strided)
    assert str(ei.value) == "The given array is not contiguous"


@pytest.mark.parametrize("fn,i", cases(lambda p: p.kind == "array" and p.filled))
def test_read_only_filled_arrays_are_refused_before_any_write(fn, i):
    p = ENTRIES[fn][i]
    ro = np.frombuffer(bytes(8), dtype=np.uint8)
    with pytest.raises(ValueError, match=f"argument '{p.name}'.*read-only"):
        call_with(fn, i, ro)
    assert ro.tobytes() == bytes(8)


@pytest.mark.parametrize("fn,i", cases(lambda p: p.kind in ("u64", "size")))
def test_integer_conversion(fn, i):
    p = ENTRIES[fn][i]
    for bad in (-1, 2**64):
        with pytest.raises(OverflowError) as ei:
            call_with(fn, i, bad)
        assert not str(ei.value).startswith("argument")
    with pytest.raises(TypeError, match=f"^argument '{p.name}': "):
        call_with(fn, i, "3")
    with pytest.raises(TypeError, match=f"^argument '{p.name}': "):
        call_with(fn, i, 1.5)


@pytest.mark.parametrize("fn,i", cases(lambda p: p.kind == "bool"))
def test_bool_conversion(fn, i):
    p = ENTRIES[fn][i]
    for bad, tname in ((1, "int"), (None, "NoneType"), (np.array(True), "ndarray")):
        with pytest.raises(TypeError) as ei:
            call_with(fn, i, bad)
        assert str(ei.value) == f"argument '{p.name}': '{tname}' object cannot be converted to 'PyBool'"
    for good in (True, np.bool_(True), np.False_):
        try:
            call_with(fn, i, good)
        except TypeError as e:
            pytest.fail(str(e))
        except BaseException:
            pass


def test_float_conversion():
    f = orv_rans.decide_shard_mode
    args = [p.valid() for p in FUNCS["decide_shard_mode"]]
    with pytest.raises(TypeError, match="^argument 'header_penalty_bits': "):
        f(*args[:2], "1.0", *args[3:])


def test_index_objects_are_accepted_for_integers():
    class Idx:
        def __index__(self):
            return 0

    for value in (Idx(), np.uint64(0), True):
        orv_rans.set_rayon_threads(value)


def test_panic_is_a_base_exception_outside_the_module():
    try:
        orv_rans.build_all_lookups(np.zeros((1, 2, 200), np.uint64))
    except Exception:  # noqa: BLE001 - must not catch it
        pytest.fail("PanicException was caught by 'except Exception'")
    except BaseException as e:
        assert is_panic(e)
        assert type(e).__module__ != "orv_rans"
        assert str(e) == "range end index 514 out of range for slice of length 400"
    else:
        pytest.fail("no fault raised")


def test_results_own_their_buffers():
    a = orv_rans.get_magic_lut()
    assert a.flags.c_contiguous and a.flags.writeable and a.dtype == np.uint64
    b = orv_rans.get_magic_lut()
    a[:] = 7
    assert b[4096] == 4503599627370495 and orv_rans.get_magic_lut()[1] == 2**64 - 1


def test_backend_info():
    assert orv_rans.get_backend_info() == ("v1.0.0-rans-kest", "1.0.1")
    assert orv_rans.get_backend_info() is not orv_rans.get_backend_info()


def test_second_initialisation_fails(run_python):
    out = run_python("""
        import sys, orv_rans
        del sys.modules["orv_rans"]
        try:
            import orv_rans
        except ImportError as e:
            print("ImportError", "only once" in str(e))
    """)
    assert out.strip() == "ImportError True"


def test_out_of_memory_is_a_memory_error_and_the_process_lives_on():
    huge = np.broadcast_to(np.zeros(1, np.uint64), (2**17, 2**17, 257))  # 2.6e14 bytes when copied
    with pytest.raises(MemoryError):
        orv_rans.build_all_lookups(huge)
    assert orv_rans.build_all_lookups(np.zeros((1, 1, 257), np.uint64)).shape == (1, 1, 4096)


def test_stable_abi_only():
    abi3audit = pytest.importorskip("abi3audit")  # noqa: F841
    import subprocess
    import sys

    path = orv_rans.__file__
    assert ".abi3." in path
    proc = subprocess.run([sys.executable, "-m", "abi3audit", "--assume-minimum-abi3", "3.10", path],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
