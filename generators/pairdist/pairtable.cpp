// e2rr: per-type-pair inverse-distance statistics of the residues read, and the table.
// Reads t.nres, t.pdat, t.iaa, t.ipo, t.naatyp; writes t.tmp and standard output.
//
// Output: naatyp^2 lines, a (type of the earlier residue) outer, b inner, each one leading
// blank and three reals with 17 significant digits: sum(1/d)/cbrt(N), sum(1/d^3)/cbrt(N),
// pairs/N.
// Deviations: coincident residues, and any pair that makes a table value not finite, stop
// with "Aborting, weird distance " r s d (status 1) instead of a silent stop or an
// "Infinity" in the table; pair counts are 64-bit.
//
// Speed.  The pair loop is N(N-1)/2 square roots and twice as many divisions; the plain
// loop adds each pair's terms to its cell at once, and the cell sums form chains of
// dependent additions through memory that cost more than the arithmetic.  The fast versions
// keep every cell's terms in the plain loop's order (r ascending, then s ascending) and so
// give the same bits, but reorganise the work:
//   - The residues are copied sorted by type, stably, so for one residue r the partners s > r
//     of type b lie in one contiguous run of the copy, in ascending s.
//   - For residue r, 1/d and 1/((d*d)*d) of every partner are computed with vector
//     instructions into a buffer at the partner's sorted position.  Subtract, multiply, add,
//     square root and divide are exactly rounded and nothing is contracted, so each value
//     has the bits of the plain evaluation whatever the vector width.
//   - The run of type b is then added, in order, to cell (iaa(r), b) in a register; several
//     runs are summed at once in separate registers, one chain per cell, so the additions
//     overlap.  The two sums of a cell share one two-lane register.
//   - A coincident pair makes 1/d infinite (not a number when a coordinate is), which no
//     finite terms can give; when a sum is not finite at the end, the pairs are searched in
//     loop order for the first such pair to name it.
//   - The pair counts do not depend on the order: they come from counts of types among the
//     later residues.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "generators/pairdist/pairdist.hpp"
#include "textio/error.hpp"
#include "textio/files.hpp"
#include "textio/format.hpp"

#if defined(__x86_64__)  // SSE2 is part of the base instruction set there
#include <immintrin.h>
#define PAIRDIST_X86 1
#endif

namespace pairdist {

namespace {

typedef double v2d __attribute__((vector_size(16)));  // (1/d, 1/d^3) of one pair, or the two sums of a cell

constexpr std::size_t vw = 8;  // positions are computed in aligned groups of 8 (the widest vector)

[[noreturn]] void weird(std::int64_t r, std::int64_t s, double d) {
    textio::fail(textio::status_stop, textio::free_line("Aborting, weird distance ", r, s, d));
}

// Input: the coordinates of residue r; positions lo .. hi-1 (multiples of vw) of the sorted
// coordinate arrays x, y, z.  Output: out[p] = (1/d, 1/((d*d)*d)) for every position p.
void row_scalar(double xr, double yr, double zr, const double* x, const double* y, const double* z, std::size_t lo,
                std::size_t hi, v2d* out) {
    for (std::size_t j = lo; j < hi; ++j) {
        double dx = xr - x[j], dy = yr - y[j], dz = zr - z[j];
        double d = std::sqrt((dx * dx + dy * dy) + dz * dz);
        out[j] = v2d{1.0 / d, 1.0 / ((d * d) * d)};
    }
}

#ifdef PAIRDIST_X86
void row_sse2(double xr, double yr, double zr, const double* x, const double* y, const double* z, std::size_t lo,
              std::size_t hi, v2d* out) {
    const __m128d X = _mm_set1_pd(xr), Y = _mm_set1_pd(yr), Z = _mm_set1_pd(zr), one = _mm_set1_pd(1.0);
    double* o = reinterpret_cast<double*>(out);
    for (std::size_t j = lo; j < hi; j += 2) {
        __m128d dx = _mm_sub_pd(X, _mm_load_pd(x + j));
        __m128d dy = _mm_sub_pd(Y, _mm_load_pd(y + j));
        __m128d dz = _mm_sub_pd(Z, _mm_load_pd(z + j));
        __m128d d = _mm_sqrt_pd(_mm_add_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)), _mm_mul_pd(dz, dz)));
        __m128d i1 = _mm_div_pd(one, d);
        __m128d i3 = _mm_div_pd(one, _mm_mul_pd(_mm_mul_pd(d, d), d));
        _mm_store_pd(o + 2 * j, _mm_unpacklo_pd(i1, i3));
        _mm_store_pd(o + 2 * j + 2, _mm_unpackhi_pd(i1, i3));
    }
}

__attribute__((target("avx"))) void row_avx(double xr, double yr, double zr, const double* x, const double* y,
                                            const double* z, std::size_t lo, std::size_t hi, v2d* out) {
    const __m256d X = _mm256_set1_pd(xr), Y = _mm256_set1_pd(yr), Z = _mm256_set1_pd(zr), one = _mm256_set1_pd(1.0);
    double* o = reinterpret_cast<double*>(out);
    for (std::size_t j = lo; j < hi; j += 4) {
        __m256d dx = _mm256_sub_pd(X, _mm256_load_pd(x + j));
        __m256d dy = _mm256_sub_pd(Y, _mm256_load_pd(y + j));
        __m256d dz = _mm256_sub_pd(Z, _mm256_load_pd(z + j));
        __m256d d = _mm256_sqrt_pd(
            _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)), _mm256_mul_pd(dz, dz)));
        __m256d i1 = _mm256_div_pd(one, d);
        __m256d i3 = _mm256_div_pd(one, _mm256_mul_pd(_mm256_mul_pd(d, d), d));
        __m256d lo2 = _mm256_unpacklo_pd(i1, i3);  // pairs 0 and 2
        __m256d hi2 = _mm256_unpackhi_pd(i1, i3);  // pairs 1 and 3
        _mm256_store_pd(o + 2 * j, _mm256_permute2f128_pd(lo2, hi2, 0x20));
        _mm256_store_pd(o + 2 * j + 4, _mm256_permute2f128_pd(lo2, hi2, 0x31));
    }
}

__attribute__((target("avx512f"))) void row_avx512(double xr, double yr, double zr, const double* x, const double* y,
                                                   const double* z, std::size_t lo, std::size_t hi, v2d* out) {
    const __m512d X = _mm512_set1_pd(xr), Y = _mm512_set1_pd(yr), Z = _mm512_set1_pd(zr), one = _mm512_set1_pd(1.0);
    const __m512i lo_idx = _mm512_set_epi64(11, 3, 10, 2, 9, 1, 8, 0);
    const __m512i hi_idx = _mm512_set_epi64(15, 7, 14, 6, 13, 5, 12, 4);
    double* o = reinterpret_cast<double*>(out);
    for (std::size_t j = lo; j < hi; j += 8) {
        __m512d dx = _mm512_sub_pd(X, _mm512_load_pd(x + j));
        __m512d dy = _mm512_sub_pd(Y, _mm512_load_pd(y + j));
        __m512d dz = _mm512_sub_pd(Z, _mm512_load_pd(z + j));
        // The zero-masked form: the same square root, without reading an undefined register.
        __m512d d = _mm512_maskz_sqrt_pd(
            0xff, _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(dx, dx), _mm512_mul_pd(dy, dy)), _mm512_mul_pd(dz, dz)));
        __m512d i1 = _mm512_div_pd(one, d);
        __m512d i3 = _mm512_div_pd(one, _mm512_mul_pd(_mm512_mul_pd(d, d), d));
        _mm512_store_pd(o + 2 * j, _mm512_permutex2var_pd(i1, lo_idx, i3));
        _mm512_store_pd(o + 2 * j + 8, _mm512_permutex2var_pd(i1, hi_idx, i3));
    }
}
#endif

using RowFn = void (*)(double, double, double, const double*, const double*, const double*, std::size_t, std::size_t,
                       v2d*);

RowFn rowfn(Isa isa) {
#ifdef PAIRDIST_X86
    switch (isa) {
    case Isa::sse2: return row_sse2;
    case Isa::avx: return row_avx;
    case Isa::avx512: return row_avx512;
    default: break;
    }
#endif
    (void)isa;
    return row_scalar;
}

// An array of doubles aligned for the widest vector.
struct Aligned {
    double* p = nullptr;
    explicit Aligned(std::size_t n) : p(static_cast<double*>(::operator new[](n * sizeof(double), std::align_val_t(64)))) {}
    ~Aligned() { ::operator delete[](p, std::align_val_t(64)); }
    Aligned(const Aligned&) = delete;
    Aligned& operator=(const Aligned&) = delete;
};

// The loop as written down: every pair in order, each term added where it belongs.
void plain(const Temp& t, Sums& s) {
    const int na = t.naatyp;
    const double* p = t.pdat.data() + (t.ipo - 1) * 3;
    const int* iaa = t.iaa.data() + (t.ipo - 1);
    for (std::int64_t r = 0; r + 1 < t.nres; ++r)
        for (std::int64_t q = r + 1; q < t.nres; ++q) {
            double dx = p[3 * r] - p[3 * q], dy = p[3 * r + 1] - p[3 * q + 1], dz = p[3 * r + 2] - p[3 * q + 2];
            double d = std::sqrt((dx * dx + dy * dy) + dz * dz);
            if (!(d > 0)) weird(r + 1, q + 1, d);
            std::size_t c = static_cast<std::size_t>(iaa[r] - 1) * static_cast<std::size_t>(na) + static_cast<std::size_t>(iaa[q] - 1);
            s.s1[c] += 1.0 / d;
            s.s3[c] += 1.0 / ((d * d) * d);
            s.cnt[c] += 1;
            // Points closer than about 1e-103 give an infinite 1/d^3, and terms can add up
            // beyond the largest double: a table value that is not a number stops the run
            // like two points at one place, at the pair that made it so.
            if (!std::isfinite(s.s1[c]) || !std::isfinite(s.s3[c])) weird(r + 1, q + 1, d);
        }
}

// Adds the runs [beg[b], end[b]) of buf, each in order, to cells[b] for every type b, with
// four runs in flight at a time (four independent chains of additions).  zeros: as many
// zero terms as the longest run, summed by a lane that has no run left.
void sumruns(const v2d* buf, const std::size_t* beg, const std::size_t* end, std::size_t na, const v2d* zeros,
             v2d* cells) {
    const std::size_t idle = std::numeric_limits<std::size_t>::max();
    const v2d* p[4];       // next term of each lane's run
    std::size_t left[4];   // terms left in the run (idle: the lane has no run)
    std::size_t cell[4];   // the run's type b
    v2d acc[4];            // the run's cell sums so far
    std::size_t next = 0;  // next type whose run is to be started
    auto start = [&](int k) {
        while (next < na && beg[next] == end[next]) ++next;
        if (next == na) {
            p[k] = zeros, left[k] = idle, cell[k] = na, acc[k] = v2d{0.0, 0.0};
            return;
        }
        p[k] = buf + beg[next], left[k] = end[next] - beg[next], cell[k] = next, acc[k] = cells[next];
        ++next;
    };
    for (int k = 0; k < 4; ++k) start(k);
    for (;;) {
        std::size_t m = std::min(std::min(left[0], left[1]), std::min(left[2], left[3]));
        if (m == idle) return;
        v2d a0 = acc[0], a1 = acc[1], a2 = acc[2], a3 = acc[3];
        const v2d *p0 = p[0], *p1 = p[1], *p2 = p[2], *p3 = p[3];
        for (std::size_t j = 0; j < m; ++j) {
            a0 += p0[j];
            a1 += p1[j];
            a2 += p2[j];
            a3 += p3[j];
        }
        acc[0] = a0, acc[1] = a1, acc[2] = a2, acc[3] = a3;
        for (int k = 0; k < 4; ++k) {
            if (left[k] == idle) continue;
            p[k] += m;
            left[k] -= m;
            if (left[k] == 0) {
                cells[cell[k]] = acc[k];
                start(k);
            }
        }
    }
}

void fast(const Temp& t, Isa isa, Sums& s) {
    const std::size_t na = static_cast<std::size_t>(t.naatyp);
    const std::size_t n = static_cast<std::size_t>(t.nres);
    const double* p = t.pdat.data() + (t.ipo - 1) * 3;
    const int* iaa = t.iaa.data() + (t.ipo - 1);

    // Stable counting sort by type: seg[b] .. seg[b+1]-1 are the positions of type b.
    std::vector<std::size_t> seg(na + 1, 0), pos(n);
    for (std::size_t r = 0; r < n; ++r) ++seg[static_cast<std::size_t>(iaa[r])];
    for (std::size_t b = 0; b < na; ++b) seg[b + 1] += seg[b];
    const std::size_t padded = (n + vw - 1) / vw * vw + vw;
    Aligned x(padded), y(padded), z(padded), out(2 * padded), zero(2 * padded);
    std::fill(zero.p, zero.p + 2 * padded, 0.0);
    // Padding positions are computed but never summed; any finite value will do.
    std::fill(x.p, x.p + padded, 0.0), std::fill(y.p, y.p + padded, 0.0), std::fill(z.p, z.p + padded, 0.0);
    {
        std::vector<std::size_t> fill(seg.begin(), seg.end() - 1);
        for (std::size_t r = 0; r < n; ++r) {
            std::size_t q = fill[static_cast<std::size_t>(iaa[r] - 1)]++;
            pos[r] = q;
            x.p[q] = p[3 * r], y.p[q] = p[3 * r + 1], z.p[q] = p[3 * r + 2];
        }
    }
    v2d* buf = reinterpret_cast<v2d*>(out.p);
    std::vector<v2d> sums(na * na, v2d{0.0, 0.0});
    std::vector<std::size_t> cur(seg.begin(), seg.end() - 1);  // cur[b]: first position of type b after residue r
    const RowFn row = rowfn(isa);

    for (std::size_t r = 0; r + 1 < n; ++r) {
        const std::size_t a = static_cast<std::size_t>(iaa[r] - 1);
        cur[a] = pos[r] + 1;
        const double xr = p[3 * r], yr = p[3 * r + 1], zr = p[3 * r + 2];
        // Whole aligned groups around each run: a position's value depends on the position
        // only, so groups that overlap a neighbouring run write the same values twice.
        for (std::size_t b = 0; b < na; ++b)
            if (cur[b] < seg[b + 1]) row(xr, yr, zr, x.p, y.p, z.p, cur[b] / vw * vw, (seg[b + 1] + vw - 1) / vw * vw, buf);
        sumruns(buf, cur.data(), seg.data() + 1, na, reinterpret_cast<const v2d*>(zero.p), sums.data() + a * na);
    }

    for (std::size_t c = 0; c < na * na; ++c) {
        s.s1[c] = sums[c][0];
        s.s3[c] = sums[c][1];
        // The plain loop, run again, names the first pair in loop order that made a cell
        // not finite, and stops there.
        if (!std::isfinite(s.s1[c]) || !std::isfinite(s.s3[c])) {
            Sums again;
            again.s1.assign(na * na, 0.0), again.s3.assign(na * na, 0.0), again.cnt.assign(na * na, 0);
            plain(t, again);
        }
    }
    // cnt(a, b) gains, for every residue r of type a, the residues of type b after it.
    std::vector<std::int64_t> later(na, 0);
    for (std::size_t r = n; r-- > 0;) {
        const std::size_t a = static_cast<std::size_t>(iaa[r] - 1);
        std::int64_t* c = s.cnt.data() + a * na;
        for (std::size_t b = 0; b < na; ++b) c[b] += later[b];
        ++later[a];
    }
}

}  // namespace

bool isa_supported(Isa isa) {
    switch (isa) {
    case Isa::plain:
    case Isa::best: return true;
#ifdef PAIRDIST_X86
    case Isa::sse2: return true;
    case Isa::avx: return __builtin_cpu_supports("avx");
    case Isa::avx512: return __builtin_cpu_supports("avx512f");
#endif
    default: return false;
    }
}

const char* isa_name(Isa isa) {
    switch (isa) {
    case Isa::plain: return "plain";
    case Isa::sse2: return "sse2";
    case Isa::avx: return "avx";
    case Isa::avx512: return "avx512";
    default: return "best";
    }
}

void pairsums(const Temp& t, Isa isa, Sums& s) {
    const std::size_t cells = static_cast<std::size_t>(t.naatyp) * static_cast<std::size_t>(t.naatyp);
    s.naatyp = t.naatyp;
    s.s1.assign(cells, 0.0);
    s.s3.assign(cells, 0.0);
    s.cnt.assign(cells, 0);
    if (isa == Isa::best) {
        isa = Isa::sse2;
        for (Isa i : {Isa::avx, Isa::avx512})
            if (isa_supported(i)) isa = i;
    }
    if (isa == Isa::plain)
        plain(t, s);
    else
        fast(t, isa, s);
}

void e2rr(Temp& t) {
    Sums s;
    pairsums(t, Isa::best, s);
    t.tmp = std::cbrt(static_cast<double>(t.nres));
    const double n = static_cast<double>(t.nres);
    std::string text;
    text.reserve(s.s1.size() * 75);
    for (std::size_t c = 0; c < s.s1.size(); ++c) {
        textio::FreeLine l;
        l.num(s.s1[c] / t.tmp).num(s.s3[c] / t.tmp).num(static_cast<double>(s.cnt[c]) / n);
        text += l.str();
    }
    textio::out(text);
}

}  // namespace pairdist
