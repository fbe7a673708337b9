// The three bit-pair decoders: the non-chroma rule with the context plane
// rebuilt from the decoded residuals, the chroma rule with the encoder's
// context plane, and the first rule checked pixel by pixel against the
// encoded residuals.
#include <string>

#include "bitpair.hpp"
#include "bitpair_rows.hpp"
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

template <Rule M>
std::vector<std::uint8_t> decode_channel(const BitPairCoded& in, const ContextTables& t, Bytes ref,
                                         Bytes orig, std::optional<BitPairMismatch>* report) {
    if (in.h == 0 || in.w == 0) return {};
    const Geometry g = geometry(in.h, in.w);
    const std::size_t n_ctx = in.cf.size() / 20;
    const DecoderPass d{in, t, g, n_ctx, table_safe_end(in.cf.size(), in.sf.size(), n_ctx)};
    DecodeState st{{in.states[0], in.states[1], in.states[2], in.states[3]},
                   static_cast<std::ptrdiff_t>(in.stream.size()) - 1};
    std::vector<std::uint8_t> out(checked_mul(g.h, g.w));
    // a pixel's context reads only its own row and the one above, so two
    // padded rows of each working plane suffice (zero border columns, and a
    // zero row above the first); each finished row goes straight to the result
    std::vector<std::uint8_t> R(2 * g.stride, 0), S;
    if constexpr (M != Rule::Ref) S.assign(2 * g.stride, 0);
    const auto rows = [&g](std::vector<std::uint8_t>& v, std::size_t r) {
        if (v.empty()) return Rows{};
        std::uint8_t* p = v.data();
        return Rows{p + (r & 1) * g.stride, p + ((r - 1) & 1) * g.stride};
    };

    // rows whose reads of the caller's plane are proven in range
    std::size_t safe = g.h;
    if constexpr (M == Rule::Ref) safe = safe_rows(ref.size(), g.w, g);
    if constexpr (M == Rule::Debug) safe = safe_rows(orig.size(), g.w, g);

    RowScratch rs(M == Rule::Ref ? g.w : 0);
    for (std::size_t r = 1; r <= g.h; ++r) {
        const Rows Rr = rows(R, r), Sr = rows(S, r);
        if (r <= safe) d.row<M, true>(r, st, Rr, Sr, ref, orig, report, &rs);
        else d.row<M, false>(r, st, Rr, Sr, ref, orig, report, &rs);
        std::copy_n(Rr.cur + 1, g.w, out.data() + (r - 1) * g.w);
    }
    return out;
}

}  // namespace

std::vector<std::uint8_t> bp_decode_sharded(const BitPairCoded& in, const ContextTables& t) {
    return decode_channel<Rule::Own>(in, t, {}, {}, nullptr);
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
