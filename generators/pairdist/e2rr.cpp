// e2rr: per-type-pair inverse-distance statistics of the residues read, and the table.
// Reads t.nres, t.pdat, t.iaa, t.ipo, t.naatyp; writes t.tmp and standard output.
//
// Output: naatyp^2 lines, a (type of the earlier residue) outer, b inner, each one leading
// blank and three reals with 17 significant digits: sum(1/d)/cbrt(N), sum(1/d^3)/cbrt(N),
// pairs/N.
// Deviations: coincident residues stop with "Aborting, weird distance " r s d (status 1)
// instead of a silent stop; pair counts are 64-bit.
//
// Speed: the pair loop is about N^2/2 square roots and N^2 divisions.  The fast versions
// compute a block of distances of one residue r to residues s > r with vector instructions
// (only exactly rounded operations, no contraction, so every 1/d and 1/d^3 has the bits of
// the plain evaluation), then add them to row iaa(r) one pair after the other in s order, so
// every cell sums its terms in the same order as the plain loop.  The two sums of a cell sit
// side by side and are added with one two-lane add.  The pair counts do not depend on the
// order and come from counts of types among the later residues.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "generators/pairdist/pairdist.hpp"
#include "textio/error.hpp"
#include "textio/files.hpp"
#include "textio/format.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PAIRDIST_X86 1
#endif

namespace pairdist {

namespace {

typedef double v2d __attribute__((vector_size(16)));                    // (1/d, 1/d^3) of one pair
typedef double v2d_view __attribute__((vector_size(16), __may_alias__));  // the same, over a double array

constexpr std::size_t blk = 512;  // residues s per block: the block's results stay in L1

[[noreturn]] void weird(std::int64_t r, std::int64_t s, double d) {
    textio::fail(textio::status_stop, textio::free_line("Aborting, weird distance ", r, s, d));
}

// Input: coordinates of residue r, the m residues s of a block (x, y, z each contiguous).
// Output: out[2j] = 1/d, out[2j+1] = 1/((d*d)*d) for pair j.  Returns false when some d is
// not greater than zero (the caller finds which).
inline bool row_scalar(double xr, double yr, double zr, const double* x, const double* y, const double* z,
                       std::size_t m, double* out) {
    bool good = true;
    for (std::size_t j = 0; j < m; ++j) {
        double dx = xr - x[j], dy = yr - y[j], dz = zr - z[j];
        double d = std::sqrt((dx * dx + dy * dy) + dz * dz);
        good &= d > 0;
        out[2 * j] = 1.0 / d;
        out[2 * j + 1] = 1.0 / ((d * d) * d);
    }
    return good;
}

#ifdef PAIRDIST_X86
bool row_sse2(double xr, double yr, double zr, const double* x, const double* y, const double* z, std::size_t m,
              double* out) {
    const __m128d X = _mm_set1_pd(xr), Y = _mm_set1_pd(yr), Z = _mm_set1_pd(zr);
    const __m128d one = _mm_set1_pd(1.0), zero = _mm_setzero_pd();
    __m128d good = _mm_castsi128_pd(_mm_set1_epi32(-1));
    std::size_t j = 0;
    for (; j + 2 <= m; j += 2) {
        __m128d dx = _mm_sub_pd(X, _mm_loadu_pd(x + j));
        __m128d dy = _mm_sub_pd(Y, _mm_loadu_pd(y + j));
        __m128d dz = _mm_sub_pd(Z, _mm_loadu_pd(z + j));
        __m128d d = _mm_sqrt_pd(_mm_add_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)), _mm_mul_pd(dz, dz)));
        good = _mm_and_pd(good, _mm_cmpgt_pd(d, zero));
        __m128d i1 = _mm_div_pd(one, d);
        __m128d i3 = _mm_div_pd(one, _mm_mul_pd(_mm_mul_pd(d, d), d));
        _mm_storeu_pd(out + 2 * j, _mm_unpacklo_pd(i1, i3));
        _mm_storeu_pd(out + 2 * j + 2, _mm_unpackhi_pd(i1, i3));
    }
    bool ok = _mm_movemask_pd(good) == 3;
    return row_scalar(xr, yr, zr, x + j, y + j, z + j, m - j, out + 2 * j) && ok;
}

__attribute__((target("avx"))) bool row_avx(double xr, double yr, double zr, const double* x, const double* y,
                                            const double* z, std::size_t m, double* out) {
    const __m256d X = _mm256_set1_pd(xr), Y = _mm256_set1_pd(yr), Z = _mm256_set1_pd(zr);
    const __m256d one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd();
    __m256d good = _mm256_castsi256_pd(_mm256_set1_epi32(-1));
    std::size_t j = 0;
    for (; j + 4 <= m; j += 4) {
        __m256d dx = _mm256_sub_pd(X, _mm256_loadu_pd(x + j));
        __m256d dy = _mm256_sub_pd(Y, _mm256_loadu_pd(y + j));
        __m256d dz = _mm256_sub_pd(Z, _mm256_loadu_pd(z + j));
        __m256d d = _mm256_sqrt_pd(
            _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)), _mm256_mul_pd(dz, dz)));
        good = _mm256_and_pd(good, _mm256_cmp_pd(d, zero, _CMP_GT_OQ));
        __m256d i1 = _mm256_div_pd(one, d);
        __m256d i3 = _mm256_div_pd(one, _mm256_mul_pd(_mm256_mul_pd(d, d), d));
        __m256d lo = _mm256_unpacklo_pd(i1, i3);  // pairs 0, 2
        __m256d hi = _mm256_unpackhi_pd(i1, i3);  // pairs 1, 3
        _mm256_storeu_pd(out + 2 * j, _mm256_permute2f128_pd(lo, hi, 0x20));
        _mm256_storeu_pd(out + 2 * j + 4, _mm256_permute2f128_pd(lo, hi, 0x31));
    }
    bool ok = _mm256_movemask_pd(good) == 15;
    return row_scalar(xr, yr, zr, x + j, y + j, z + j, m - j, out + 2 * j) && ok;
}

__attribute__((target("avx512f"))) bool row_avx512(double xr, double yr, double zr, const double* x,
                                                   const double* y, const double* z, std::size_t m, double* out) {
    const __m512d X = _mm512_set1_pd(xr), Y = _mm512_set1_pd(yr), Z = _mm512_set1_pd(zr);
    const __m512d one = _mm512_set1_pd(1.0), zero = _mm512_setzero_pd();
    const __m512i lo_idx = _mm512_set_epi64(11, 3, 10, 2, 9, 1, 8, 0);
    const __m512i hi_idx = _mm512_set_epi64(15, 7, 14, 6, 13, 5, 12, 4);
    __mmask8 good = 0xff;
    std::size_t j = 0;
    for (; j + 8 <= m; j += 8) {
        __m512d dx = _mm512_sub_pd(X, _mm512_loadu_pd(x + j));
        __m512d dy = _mm512_sub_pd(Y, _mm512_loadu_pd(y + j));
        __m512d dz = _mm512_sub_pd(Z, _mm512_loadu_pd(z + j));
        // The zero-masked form: the same square root, without reading an undefined register.
        __m512d d = _mm512_maskz_sqrt_pd(
            0xff, _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(dx, dx), _mm512_mul_pd(dy, dy)), _mm512_mul_pd(dz, dz)));
        good &= _mm512_cmp_pd_mask(d, zero, _CMP_GT_OQ);
        __m512d i1 = _mm512_div_pd(one, d);
        __m512d i3 = _mm512_div_pd(one, _mm512_mul_pd(_mm512_mul_pd(d, d), d));
        _mm512_storeu_pd(out + 2 * j, _mm512_permutex2var_pd(i1, lo_idx, i3));
        _mm512_storeu_pd(out + 2 * j + 8, _mm512_permutex2var_pd(i1, hi_idx, i3));
    }
    bool ok = good == 0xff;
    return row_scalar(xr, yr, zr, x + j, y + j, z + j, m - j, out + 2 * j) && ok;
}
#endif

using RowFn = bool (*)(double, double, double, const double*, const double*, const double*, std::size_t, double*);

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
        }
}

void fast(const Temp& t, Isa isa, Sums& s) {
    const std::size_t na = static_cast<std::size_t>(t.naatyp);
    const std::size_t n = static_cast<std::size_t>(t.nres);
    const double* p = t.pdat.data() + (t.ipo - 1) * 3;
    const int* iaa = t.iaa.data() + (t.ipo - 1);
    std::vector<double> x(n), y(n), z(n);
    std::vector<std::uint32_t> ty(n);  // type number - 1
    for (std::size_t r = 0; r < n; ++r) {
        x[r] = p[3 * r], y[r] = p[3 * r + 1], z[r] = p[3 * r + 2];
        ty[r] = static_cast<std::uint32_t>(iaa[r] - 1);
    }
    std::vector<v2d> sums(na * na, v2d{0.0, 0.0});  // cell (a,b): (sum 1/d, sum 1/d^3)
    alignas(64) double out[2 * blk];
    const v2d_view* o = reinterpret_cast<const v2d_view*>(out);
    const RowFn row = rowfn(isa);

    for (std::size_t r = 0; r + 1 < n; ++r) {
        v2d* cells = sums.data() + ty[r] * na;
        for (std::size_t s0 = r + 1; s0 < n; s0 += blk) {
            std::size_t m = std::min(blk, n - s0);
            if (!row(x[r], y[r], z[r], x.data() + s0, y.data() + s0, z.data() + s0, m, out)) {
                for (std::size_t j = 0; j < m; ++j) {
                    double dx = x[r] - x[s0 + j], dy = y[r] - y[s0 + j], dz = z[r] - z[s0 + j];
                    double d = std::sqrt((dx * dx + dy * dy) + dz * dz);
                    if (!(d > 0)) weird(static_cast<std::int64_t>(r + 1), static_cast<std::int64_t>(s0 + j + 1), d);
                }
            }
            const std::uint32_t* tb = ty.data() + s0;
            for (std::size_t j = 0; j < m; ++j) cells[tb[j]] += o[j];
        }
    }
    for (std::size_t c = 0; c < na * na; ++c) {
        s.s1[c] = sums[c][0];
        s.s3[c] = sums[c][1];
    }
    // cnt(a, b) gains, for every residue r of type a, the residues of type b after it.
    std::vector<std::int64_t> later(na, 0);
    for (std::size_t r = n; r-- > 0;) {
        std::int64_t* c = s.cnt.data() + ty[r] * na;
        for (std::size_t b = 0; b < na; ++b) c[b] += later[b];
        ++later[ty[r]];
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
