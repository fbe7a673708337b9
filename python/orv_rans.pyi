# Type stub and one-line descriptions of the orv_rans extension module.
# The module's own functions carry only their text signatures (their __doc__
# is None), so this file is where tools such as IDEs and type checkers find
# what each function does and returns. Parameter names match
# inspect.signature(orv_rans.<name>) exactly (tests/test_orv_rans_stub.py).
import numpy as np
from numpy.typing import NDArray

__all__: list[str]

U8 = NDArray[np.uint8]
U16 = NDArray[np.uint16]
U32 = NDArray[np.uint32]
U64 = NDArray[np.uint64]

def get_backend_info() -> tuple[str, str]:
    """The backend identifier and the module version."""
def set_rayon_threads(n: int) -> None:
    """Sets the worker pool's size; has an effect only before the first parallel call."""
def get_magic_lut() -> U64:
    """A copy of the 4097-entry reciprocal table the coders divide by frequencies with."""
def build_pdf_tables_from_shards(data_flat: U8, shard_offsets: U32, shard_lengths: U32,
                                 shard_widths: U16, templates: U64,
                                 disable_templates: bool) -> tuple[U64, U64, U8]:
    """Per-shard frequency tables of the shards' bytes, or a cheaper template: (cum, freq, modes)."""
def rans_encode_shards_parallel(data_flat: U8, shard_offsets: U32, shard_lengths: U32,
                                cum_freqs: U64, sym_freqs: U64,
                                initial_state: int) -> tuple[U64, U8, U32, U32]:
    """rANS-codes every shard with its table: (final_states, bitstreams_flat, bs_offsets, bs_lengths)."""
def rans_decode_shards_parallel(payload: U8, shard_counts: U32, cum_freqs: U64, sym_freqs: U64,
                                lookups: U8) -> tuple[U8, int]:
    """Decodes the packed shards of a payload: (decoded bytes, payload bytes walked)."""
def rans_decode_4way_core(st0: int, st1: int, st2: int, st3: int, bitstream: U8, cum_freqs: U64,
                          sym_freqs: U64, slot_lookup: U8, out: U8) -> None:
    """Decodes one four-state rANS stream into `out`."""
def pack_shard_payloads(final_states: U64, bs_lengths: U32, bs_offsets: U32,
                        bitstreams_flat: U8, out: U8, write_offsets: U32) -> None:
    """Writes each shard's states, stream length and stream into `out` at its write offset."""
def build_all_lookups(all_cum_freqs: U64) -> U8:
    """The slot-to-symbol lookup (4096 entries) of every cumulative table."""
def compact_pdf_tables(all_sym_freqs: U64, shard_widths: U16, shard_modes: U8) -> U8:
    """The compact byte form in which the own (mode 0) tables are stored."""
def expand_pdf_tables(compacted: U8, shard_widths: U16, shard_modes: U8,
                      templates: U64) -> U64:
    """Every shard's frequency table, from the compact form, its mode and the templates."""
def bp_decode_sharded_debug(bitstream: U8, st0: int, st1: int, st2: int, st3: int, h: int, w: int,
                            all_cf: U16, all_sf: U16, s_lut: U8, i_lut: U8, d_lut: U8,
                            orig_resid_flat: U8,
                            orig_gray_flat: U8) -> tuple[U8, tuple[int, ...] | None]:
    """As bp_decode_sharded, with the first pixel where it differs from the original residuals."""
def bp_build_pdf_sharded(resid_flat: U8, gray_flat: U8, s_lut: U8, i_lut: U8, d_lut: U8, h: int,
                         w: int, n_ctx: int, is_chroma: bool) -> tuple[U16, U16]:
    """Bit-pair tables of one residual plane per context: (frequencies, cumulative)."""
def bp_build_pdf_sharded_rgb(gr_flat: U8, rd_flat: U8, bd_flat: U8, gr_ref_flat: U8, s_lut: U8,
                             i_lut: U8, d_lut: U8, h: int, w: int,
                             n_ctx: int) -> tuple[U16, U16, U16, U16, U16, U16]:
    """Bit-pair tables of the G, R-G and B-G residual planes in one pass (frequencies, cumulative each)."""
def bp_encode_sharded(resid_flat: U8, gray_flat: U8, all_cf: U16, all_sf: U16, s_lut: U8,
                      i_lut: U8, d_lut: U8, h: int, w: int, n_ctx: int,
                      is_chroma: bool) -> tuple[U64, U8]:
    """Codes a residual plane as four bit-pair planes: (four final states, byte stream)."""
def bp_decode_sharded(bitstream: U8, st0: int, st1: int, st2: int, st3: int, h: int, w: int,
                      all_cf: U16, all_sf: U16, s_lut: U8, i_lut: U8, d_lut: U8) -> U8:
    """The (h, w) residual plane of a bit-pair stream whose contexts come from the plane itself."""
def bp_decode_sharded_with_ref(bitstream: U8, st0: int, st1: int, st2: int, st3: int, h: int,
                               w: int, all_cf: U16, all_sf: U16, ref_ch_flat: U8, s_lut: U8,
                               i_lut: U8, d_lut: U8) -> U8:
    """The (h, w) residual plane of a bit-pair stream whose contexts come from a reference plane."""
def p1_gray(h: int, w: int, gray_raw: U8, a_ch: U8, is_rgba: bool, n_shards: int, s_lut: U8,
            i_lut: U8, d_lut: U8) -> tuple:
    """Encoder phase one of a gray image: padded plane, shard sizes, histograms, residuals (9-tuple)."""
def p1_rgb(h: int, w: int, rgb_raw: U8, a_ch: U8, is_rgba: bool, n_shards: int, s_lut: U8,
           i_lut: U8, d_lut: U8) -> tuple:
    """Encoder phase one of an RGB(A) image: colour-transformed planes, shard sizes, histograms, residuals (12-tuple)."""
def decide_shard_mode(counts: U64, width: int, header_penalty_bits: float, templates: U64,
                      disable_templates: bool) -> tuple[int, U64]:
    """The cheaper of an own table and the templates for one histogram: (mode, table)."""
def p2_rgb(h: int, w: int, gr_ch: U8, rd_ch: U8, bd_ch: U8, row_global_offsets: U32,
           shard_gr: U8, shard_rd: U8, shard_bd: U8, s_lut: U8, i_lut: U8, d_lut: U8) -> None:
    """Encoder phase two: writes the G, R-G and B-G residuals into their shard streams."""
def p2_gray(h: int, w: int, gr_ch: U8, row_global_offsets: U32, shard_gr: U8, s_lut: U8,
            i_lut: U8, d_lut: U8) -> None:
    """Encoder phase two: writes the gray residuals into their shard stream."""
def reconstruct_shards_rgb(h: int, w: int, res_gr: U8, res_rd: U8, res_bd: U8, off_gr: U32,
                           off_rd: U32, off_bd: U32, s_lut: U8, i_lut: U8,
                           d_lut: U8) -> tuple[U8, U8, U8]:
    """The G, R-G and B-G sample planes (h, w) rebuilt from their shard streams."""
def restore_channels(gr_rec: U8, rd_rec: U8, bd_rec: U8, a_ch: U8, is_rgba: bool,
                     is_grayscale: bool, apply_gsub: bool) -> U8:
    """The interleaved (h, w, c) pixel array from the rebuilt planes, the colour transform undone."""
def reconstruct_2d_channels(h: int, w: int, res_ch: U8) -> U8:
    """The (h, w) sample plane rebuilt from its residual plane, without contexts."""
