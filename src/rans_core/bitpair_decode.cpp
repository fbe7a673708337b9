// The three bit-pair decoders: the non-chroma rule with the context plane
// rebuilt from the decoded residuals, the chroma rule with the encoder's
// context plane, and the first rule checked pixel by pixel against the
// encoded residuals.
#include <atomic>
#include <string>

#include "bitpair.hpp"
#include "bitpair_entries.hpp"
#include "bitpair_rows.hpp"
#include "image_context.hpp"
#include "rans_step.hpp"

namespace rans {
namespace {

using namespace bitpair;

enum class Rule { Own, Ref, Debug };

// A decoder's current padded row and the one above it.
struct Rows {
    std::uint8_t* cur = nullptr;
    const std::uint8_t* up = nullptr;
};

// The coder state of a decoder between rows.
struct DecodeState {
    std::uint64_t x[4];
    std::ptrdiff_t pos;
};

struct DecoderPass {
    const BitPairCoded& in;
    const ContextTables& t;
    Geometry g;
    std::size_t n_ctx, table_end;

    // One symbol of plane j with the pair table e: the symbol whose
    // cumulative range holds the slot, then the state advanced past it.
    template <bool Checked>
    [[gnu::always_inline]] inline std::uint32_t symbol(std::uint64_t& x, std::size_t e) const {
        const std::uint64_t slot = x & kSlotMask;
        std::uint32_t s;
        std::uint64_t f, start;
        if constexpr (Checked) {
            s = (slot >= at(in.cf, 5 * e + 1)) + (slot >= at(in.cf, 5 * e + 2)) +
                (slot >= at(in.cf, 5 * e + 3));
            f = at(in.sf, 4 * e + s);
            start = at(in.cf, 5 * e + s);
        } else {
            const std::uint16_t* row = in.cf.data() + 5 * e;
            s = (slot >= row[1]) + (slot >= row[2]) + (slot >= row[3]);
            f = in.sf.data()[4 * e + s];
            start = row[s];
        }
        x = decode_advance(x, f, start);
        return s;
    }

    // A pixel's four symbols, planes 0 to 3, each followed by its state's
    // refill; returns the residual they make.
    template <bool Checked>
    [[gnu::always_inline]] inline std::uint8_t pixel(std::uint64_t (&x)[4], std::ptrdiff_t& pos,
                                                     std::size_t c, std::uint32_t low) const {
        const std::uint8_t* stream = in.stream.data();
        const std::size_t k = 64 * c;
        std::uint32_t z = 0;
        for (unsigned j = 0; j < 4; ++j) {
            const std::uint32_t s = symbol<Checked>(x[j], j * n_ctx + k + lane(low, j));
            x[j] = refill(x[j], stream, pos);
            z |= s << (2 * j);
        }
        return static_cast<std::uint8_t>(z);
    }

    std::uint8_t pixel(std::uint64_t (&x)[4], std::ptrdiff_t& pos, std::size_t c, std::uint32_t low) const {
        return c < table_end ? pixel<false>(x, pos, c, low) : pixel<true>(x, pos, c, low);
    }

    // Padded row r. `R` and `S` hold this row and the one above (padded rows
    // of the residual and sample planes); the caller's plane (ref or orig) is
    // read checked unless the row is proven inside it. The W neighbours are
    // the values just decoded, kept in registers.
    template <Rule M, bool RowSafe>
    void row(std::size_t r, DecodeState& st, const Rows& R, const Rows& S, Bytes ref, Bytes orig,
             std::optional<BitPairMismatch>* report, RowScratch* rs) const {
        std::uint64_t x[4] = {st.x[0], st.x[1], st.x[2], st.x[3]};
        std::ptrdiff_t pos = st.pos;
        const std::size_t stride = g.stride, base = r * stride;
        std::uint8_t* Rrow = R.cur;
        const std::uint8_t* Rup = R.up;
        std::uint8_t* Srow = S.cur;
        const std::uint8_t* Sup = S.up;
        std::uint8_t zw = 0, sw = 0;  // the border column is 0 in both planes
        // the chroma rule reads only the caller's plane: a row proven inside
        // it has all its context numbers worked out before decoding
        const std::uint8_t* pre = nullptr;
        if constexpr (M == Rule::Ref && RowSafe)
            if (row_contexts<true>(ref.data(), r, g, t, *rs)) pre = rs->ctx.data();
        for (std::size_t q = 1; q <= g.w; ++q) {
            std::size_t c;
            std::uint8_t pred = 0;
            if constexpr (M == Rule::Ref) {
                c = pre ? pre[q - 1] : context_at<true, true>(ref, base + q, stride, t);
            } else {
                const std::uint8_t n = Sup[q], nw = Sup[q - 1];
                pred = predict_sample(sw, n, nw);
                c = t.number(sw, n, nw, pred);
            }
            const std::uint32_t low =
                (spread_pairs(Rup[q - 1]) << 4) + (spread_pairs(Rup[q]) << 2) + spread_pairs(zw);
            [[maybe_unused]] const std::ptrdiff_t pos0 = pos;
            [[maybe_unused]] const std::array<std::uint64_t, 4> x0{x[0], x[1], x[2], x[3]};
            const std::uint8_t z = pixel(x, pos, c, low);
            Rrow[q] = zw = z;
            if constexpr (M != Rule::Ref) Srow[q] = sw = zigzag_decode(z, pred);
            if constexpr (M == Rule::Debug) {
                const std::uint8_t expected = load<!RowSafe>(orig, base + q);
                if (expected != z && !report->has_value())
                    *report = BitPairMismatch{r, q, pos0, x0, expected, z};
            }
        }
        st = {{x[0], x[1], x[2], x[3]}, pos};
    }
};


// ------------------------------------------------------------ fast rows
//
// A row whose every read is proven (its pixels' context numbers are below
// table_end, so all their pair tables are inside the lists, and the caller's
// planes hold the row) runs without a check: the pair tables come from the
// entries, each pixel's four table offsets without its W neighbour are
// prepared for the whole row beforehand, and the W neighbours' bit pairs are
// the symbols just decoded. A row that starts at least eight bytes per pixel
// from the stream's start cannot reach it, so its refills need no position
// test either.

// Byte offsets into the entries of one pixel's four pair tables, less its
// context number's share (non-chroma rule) and its W neighbour's.
struct alignas(16) PixelOffsets {
    std::uint32_t plane[4];
};

// The symbol of the entry at p for state x, and x advanced past it. Planes 2
// and 3 code symbol 0 for 93-99.9% of a photo's pixels, so there
// (`ZeroFirst`) a branch on symbol 0's range that is almost always right
// costs less than the search, and the symbol it predicts lets the next
// pixel's table read start at once. Only for entries whose cumulative values
// do not decrease: slot < cum[1] then means that the search finds symbol 0.
template <bool ZeroFirst = false>
[[gnu::always_inline]] inline std::uint32_t entry_symbol(std::uint64_t& x, const std::uint8_t* p) {
    const PairEntry& e = *reinterpret_cast<const PairEntry*>(p);
    const std::uint64_t slot = x & kSlotMask;
    if constexpr (ZeroFirst) {
        if (slot < e.cum[1]) [[likely]] {
            x = decode_advance(x, e.freq[0], e.cum[0]);
            return 0;
        }
    }
    const std::uint32_t s = (slot >= e.cum[1]) + (slot >= e.cum[2]) + (slot >= e.cum[3]);
    x = decode_advance(x, e.freq[s], e.cum[s]);
    return s;
}

// The refill of a fast row: without a position test inside the window, else
// the one that stops at the stream's start. Inside the window, planes 0 and
// 1 (the low bit pairs, close to noise) need a byte about every few pixels,
// at random, so their first byte is taken without a branch (rans_step.hpp);
// planes 2 and 3 (`Rare`) code mostly symbol 0 at a fraction of a bit and
// need one seldom, so a branch that is almost always right costs less there
// than the conditional move.
template <bool Window, bool Rare = false>
[[gnu::always_inline]] inline std::uint64_t refill_row(std::uint64_t x, const std::uint8_t* stream,
                                                       const std::uint8_t*& end) {
    if constexpr (Window && Rare) {
        if (x < kLowerBound) [[unlikely]] {
            x = (x << 8) | *--end;
            if (x < kLowerBound) x = (x << 8) | *--end;
        }
        return x;
    } else if constexpr (Window) {
        return refill_fast(x, end);
    } else {
        std::ptrdiff_t pos = end - stream - 1;
        x = refill(x, stream, pos);
        end = stream + (pos + 1);
        return x;
    }
}

constexpr std::uint32_t kEntryBytes = sizeof(PairEntry);
static_assert(kEntryBytes == 16);
constexpr std::uint32_t kContextBytes = 64 * kEntryBytes;  // one context number's pair tables

// Entries beyond any real table set (256 context numbers of 64 bit-pair
// contexts in each of four planes take 65536): far larger lists, which a
// caller can pass, keep to the checked rows rather than a second copy.
constexpr std::size_t kMaxEntries = std::size_t{1} << 18;

// The entries, when there are any and not too many.
struct FastTables {
    std::vector<PairEntry> entries;
    std::uint32_t plane_bytes = 0;  // n_ctx entries
    bool usable = false;
    bool ordered = false;  // no entry's cumulative values decrease (as in every table an encoder writes)

    FastTables(const BitPairCoded& in, std::size_t n_ctx, std::size_t table_end) {
        const std::size_t count = entries_reached(n_ctx, table_end);
        usable = count > 0 && count <= kMaxEntries;  // byte offsets then fit 32 bits
        if (!usable) return;
        entries = pair_entries(in.cf, in.sf, count);
        plane_bytes = static_cast<std::uint32_t>(n_ctx * kEntryBytes);
        ordered = std::ranges::all_of(entries, [](const PairEntry& e) {
            return e.cum[1] <= e.cum[2] && e.cum[2] <= e.cum[3];
        });
    }
};

// The offsets of a row's pixels from the residuals of the row above (`zup`,
// padded) and, with the chroma rule, its context numbers.
template <bool WithNumbers>
void prepare_offsets(const std::uint8_t* zup, const std::uint8_t* numbers, std::uint32_t plane_bytes,
                     std::size_t w, PixelOffsets* out) {
    for (std::size_t i = 0; i < w; ++i) {
        const std::uint32_t nw = zup[i], n = zup[i + 1];
        const std::uint32_t k = WithNumbers ? kContextBytes * numbers[i] : 0;
        for (unsigned j = 0; j < 4; ++j) {
            const std::uint32_t above = 16 * ((nw >> (2 * j)) & 3) + 4 * ((n >> (2 * j)) & 3);
            out[i].plane[j] = j * plane_bytes + k + kEntryBytes * above;
        }
    }
}

// A pixel whose context number reaches beyond table_end in a fast row: its
// four symbols through the checked reads, exactly as a checked row codes it.
// The state goes in and out by value, so that the row's loop keeps its own in
// registers.
[[gnu::noinline]] DecodeState checked_pixel(const DecoderPass& d, DecodeState st, std::size_t c,
                                            std::uint32_t low, std::uint8_t& z) {
    z = d.pixel<true>(st.x, st.pos, c, low);
    return st;
}

// One fast row. Own: the context numbers from the samples decoded so far
// (`ctx` a lookup, `srow`/`sup` the sample rows; `Proven`: every number it
// can give is below table_end); else they are in the offsets already.
template <bool Own, bool Proven, bool Window, bool Ordered, class Ctx>
void fast_row(const DecoderPass& d, const FastTables& ft, const Ctx& ctx, DecodeState& st,
              std::uint8_t* zrow, const PixelOffsets* offsets, std::uint8_t* srow, const std::uint8_t* sup) {
    std::uint64_t x0 = st.x[0], x1 = st.x[1], x2 = st.x[2], x3 = st.x[3];
    const std::uint8_t* stream = d.in.stream.data();
    const std::uint8_t* end = stream + (st.pos + 1);  // one past the next byte to read
    const std::size_t w = d.g.w, table_end = d.table_end;
    const auto* table = reinterpret_cast<const std::uint8_t*>(ft.entries.data());
    std::uint32_t w0 = 0, w1 = 0, w2 = 0, w3 = 0;  // the W neighbour's bit pairs (border: 0)
    std::uint8_t sw = 0;
    for (std::size_t i = 0; i < w; ++i) {
        std::uint32_t k = 0;
        std::uint8_t pred = 0;
        const PixelOffsets o = offsets[i];
        if constexpr (Own) {
            const std::uint8_t n = sup[i + 1], nw = sup[i];
            pred = predict_sample(sw, n, nw);
            const std::size_t c = ctx.finish(ctx.ahead(n, nw), sw, pred);
            if (!Proven && c >= table_end) [[unlikely]] {
                std::uint8_t z;
                std::uint32_t low = w0 | (w1 << 8) | (w2 << 16) | (w3 << 24);
                for (unsigned j = 0; j < 4; ++j) low += ((o.plane[j] - j * ft.plane_bytes) / kEntryBytes) << (8 * j);
                const DecodeState out = checked_pixel(d, {{x0, x1, x2, x3}, end - stream - 1}, c, low, z);
                x0 = out.x[0], x1 = out.x[1], x2 = out.x[2], x3 = out.x[3];
                end = stream + (out.pos + 1);
                w0 = z & 3, w1 = (z >> 2) & 3, w2 = (z >> 4) & 3, w3 = z >> 6;
                zrow[i + 1] = z;
                srow[i + 1] = sw = zigzag_decode(z, pred);
                continue;
            }
            k = kContextBytes * static_cast<std::uint32_t>(c);
        }
        const std::uint32_t s0 = entry_symbol(x0, table + (o.plane[0] + k + kEntryBytes * w0));
        x0 = refill_row<Window>(x0, stream, end);
        const std::uint32_t s1 = entry_symbol(x1, table + (o.plane[1] + k + kEntryBytes * w1));
        x1 = refill_row<Window>(x1, stream, end);
        const std::uint32_t s2 = entry_symbol<Ordered>(x2, table + (o.plane[2] + k + kEntryBytes * w2));
        x2 = refill_row<Window, true>(x2, stream, end);
        const std::uint32_t s3 = entry_symbol<Ordered>(x3, table + (o.plane[3] + k + kEntryBytes * w3));
        x3 = refill_row<Window, true>(x3, stream, end);
        w0 = s0, w1 = s1, w2 = s2, w3 = s3;
        const auto z = static_cast<std::uint8_t>(s0 | (s1 << 2) | (s2 << 4) | (s3 << 6));
        zrow[i + 1] = z;
        if constexpr (Own) srow[i + 1] = sw = zigzag_decode(z, pred);
    }
    st = {{x0, x1, x2, x3}, end - stream - 1};
}

// fast_row with the refills and searches the row can take.
template <bool Own, bool Proven, class... Args>
void fast_row_of(bool window, bool ordered, Args&&... args) {
    if (window) {
        if (ordered) fast_row<Own, Proven, true, true>(args...);
        else fast_row<Own, Proven, true, false>(args...);
    } else {
        if (ordered) fast_row<Own, Proven, false, true>(args...);
        else fast_row<Own, Proven, false, false>(args...);
    }
}

// Images this large (90 x 90 pixels) repay a private copy of the context
// tables (262 KB) and the proof that lets the non-chroma rule read it
// unchecked.
constexpr std::size_t kPrivateTablesMin = std::size_t{1} << 13;

// One channel's decoding: the working rows, the state between rows, and the
// choice of fast or checked path for each row.
template <Rule M>
class ChannelDecoder {
public:
    ChannelDecoder(const BitPairCoded& in, const ContextTables& t, Bytes ref, Bytes orig,
                   std::optional<BitPairMismatch>* report, bool samples)
        : samples_(samples),
          d_{in, t, geometry(in.h, in.w), in.cf.size() / 20,
             table_safe_end(in.cf.size(), in.sf.size(), in.cf.size() / 20)},
          st_{{in.states[0], in.states[1], in.states[2], in.states[3]},
              static_cast<std::ptrdiff_t>(in.stream.size()) - 1},
          ref_(ref),
          orig_(orig),
          report_(report),
          out_(checked_mul(d_.g.h, d_.g.w)),
          R_(2 * d_.g.stride, 0),
          S_(M == Rule::Ref ? 0 : 2 * d_.g.stride, 0),
          rs_(M == Rule::Ref ? d_.g.w : 0) {
        // rows whose reads of the caller's plane are proven in range
        safe_ = d_.g.h;
        if constexpr (M == Rule::Ref) safe_ = safe_rows(ref.size(), d_.g.w, d_.g);
        if constexpr (M == Rule::Debug) safe_ = safe_rows(orig.size(), d_.g.w, d_.g);
    }

    std::vector<std::uint8_t> run() {
        if constexpr (M == Rule::Debug) {
            for (std::size_t r = 1; r <= d_.g.h; ++r) checked_row(r);
        } else {
            // the non-chroma rule's fast rows need the private context tables,
            // which small images do not repay
            bool done = false;
            if (!bp_checked_rows_only() && (M == Rule::Ref || d_.g.h * d_.g.w >= kPrivateTablesMin)) {
                const FastTables ft(d_.in, d_.n_ctx, d_.table_end);
                if (ft.usable) {
                    if constexpr (M == Rule::Own) {
                        done = own_with_private_tables(ft);
                    } else {
                        fast_rows(ft, nullptr, std::true_type{});  // the numbers come with the row
                        done = true;
                    }
                }
            }
            if (!done)
                for (std::size_t r = 1; r <= d_.g.h; ++r) checked_row(r);
        }
        return std::move(out_);
    }

private:
    // A pixel's context reads only its own row and the one above, so two
    // padded rows of each working plane suffice (zero border columns, and a
    // zero row above the first); each finished row goes straight to the result.
    Rows rows(std::vector<std::uint8_t>& v, std::size_t r) {
        if (v.empty()) return Rows{};
        std::uint8_t* p = v.data();
        return Rows{p + (r & 1) * d_.g.stride, p + ((r - 1) & 1) * d_.g.stride};
    }

    void finish_row(std::size_t r) {
        const std::vector<std::uint8_t>& done = samples_ ? S_ : R_;
        std::copy_n(done.data() + (r & 1) * d_.g.stride + 1, d_.g.w, out_.data() + (r - 1) * d_.g.w);
    }

    void checked_row(std::size_t r) {
        const Rows Rr = rows(R_, r), Sr = rows(S_, r);
        if (r <= safe_) d_.row<M, true>(r, st_, Rr, Sr, ref_, orig_, report_, &rs_);
        else d_.row<M, false>(r, st_, Rr, Sr, ref_, orig_, report_, &rs_);
        finish_row(r);
    }

    // The non-chroma rule's fast rows read a private copy of the context
    // tables once they are proven: through a grid when they fold, and without
    // the test against table_end when no number reaches it. Tables that
    // cannot be proven take the checked rows.
    bool own_with_private_tables(const FastTables& ft) {
        if constexpr (M != Rule::Own) {
            return false;
        } else {
            const PrivateContextTables own(d_.t);
            if (own.proven(d_.table_end))
                with_proven_context(own.tables(), [&](const auto& ctx) { fast_rows(ft, ctx, std::true_type{}); });
            else if (own.proven(256))
                with_proven_context(own.tables(), [&](const auto& ctx) { fast_rows(ft, ctx, std::false_type{}); });
            else
                return false;
            return true;
        }
    }

    template <class Ctx, class Proven>
    void fast_rows(const FastTables& ft, const Ctx& ctx, Proven) {
        constexpr bool Own = M == Rule::Own;
        const Geometry& g = d_.g;
        std::vector<PixelOffsets> offsets(g.w);
        for (std::size_t r = 1; r <= g.h; ++r) {
            const Rows Rr = rows(R_, r), Sr = rows(S_, r);
            if constexpr (M == Rule::Ref) {
                if (!(r <= safe_ && row_contexts<true>(ref_.data(), r, g, d_.t, rs_) &&
                      largest_byte({rs_.ctx.data(), g.w}) < d_.table_end)) {
                    checked_row(r);
                    continue;
                }
                prepare_offsets<true>(Rr.up, rs_.ctx.data(), ft.plane_bytes, g.w, offsets.data());
            } else {
                prepare_offsets<false>(Rr.up, nullptr, ft.plane_bytes, g.w, offsets.data());
            }
            // a pixel reads at most eight bytes
            const bool window = st_.pos >= 0 && static_cast<std::size_t>(st_.pos) / 8 >= g.w;
            fast_row_of<Own, Proven::value>(window, ft.ordered, d_, ft, ctx, st_, Rr.cur, offsets.data(), Sr.cur,
                                             Sr.up);
            finish_row(r);
        }
    }

    // the result is the sample plane rather than the residuals (the
    // non-chroma rule rebuilds every sample for the contexts anyway)
    const bool samples_;
    const DecoderPass d_;
    DecodeState st_;
    Bytes ref_, orig_;
    std::optional<BitPairMismatch>* report_;
    std::vector<std::uint8_t> out_, R_, S_;
    RowScratch rs_;
    std::size_t safe_;
};

template <Rule M>
std::vector<std::uint8_t> decode_channel(const BitPairCoded& in, const ContextTables& t, Bytes ref, Bytes orig,
                                         std::optional<BitPairMismatch>* report, bool samples = false) {
    if (in.h == 0 || in.w == 0) return {};
    return ChannelDecoder<M>(in, t, ref, orig, report, samples).run();
}

}  // namespace

namespace {
std::atomic<bool> g_checked_rows_only{false};
}  // namespace

void bp_set_checked_rows_only(bool on) { g_checked_rows_only.store(on, std::memory_order_relaxed); }
bool bp_checked_rows_only() { return g_checked_rows_only.load(std::memory_order_relaxed); }

std::vector<std::uint8_t> bp_decode_sharded(const BitPairCoded& in, const ContextTables& t) {
    return decode_channel<Rule::Own>(in, t, {}, {}, nullptr);
}

std::vector<std::uint8_t> bp_decode_sharded_samples(const BitPairCoded& in, const ContextTables& t) {
    return decode_channel<Rule::Own>(in, t, {}, {}, nullptr, true);
}

std::vector<std::uint8_t> bp_decode_sharded_with_ref(const BitPairCoded& in, Bytes ref,
                                                     const ContextTables& t) {
    return decode_channel<Rule::Ref>(in, t, ref, {}, nullptr);
}

std::vector<std::uint8_t> bp_decode_sharded_debug(const BitPairCoded& in, const ContextTables& t,
                                                  Bytes orig_resid,
                                                  std::optional<BitPairMismatch>& report) {
    report.reset();
    return decode_channel<Rule::Debug>(in, t, {}, orig_resid, &report);
}

}  // namespace rans
