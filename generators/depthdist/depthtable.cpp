// e2rr: per-atom-type depth statistics and the table.
// Reads t.nres, t.pdat (depth, second value), t.iaa, t.ipo, t.naatyp; writes t.tmp and
// standard output.
//
// Output: naatyp lines, type 1 first, each one leading blank and four reals with 17
// significant digits: sum(1/d)/c, sum(second values)/c, sum(1/d^3)/c, atoms of the type/N,
// with c = cbrt(N).  The four values of a type share one line, so the table reads back as
// four values per line.
// Deviation: an atom whose depth is not greater than zero stops with status 1.
#include <cmath>
#include <string>

#include "generators/depthdist/depthdist.hpp"
#include "textio/error.hpp"
#include "textio/files.hpp"
#include "textio/format.hpp"

namespace depthdist {

void e2rr(Temp& t) {
    const std::size_t na = static_cast<std::size_t>(t.naatyp);
    std::vector<double> s12(2 * na, 0.0);   // s12[2(k-1)]: sum of 1/d, s12[2(k-1)+1]: sum of second values
    std::vector<double> s3(na, 0.0);        // sum of 1/d^3
    std::vector<std::int64_t> cnt(na, 0);   // atoms of type k
    const double* p = t.pdat.data() + (t.ipo - 1) * 2;
    const int* iaa = t.iaa.data() + (t.ipo - 1);
    for (std::int64_t a = 0; a < t.nres; ++a) {
        double d = p[2 * a];
        if (!(d > 0)) {
            t.tmp = d;
            textio::fail(textio::status_stop, textio::free_line("Aborting, weird distance ", a + 1, d));
        }
        std::size_t k = static_cast<std::size_t>(iaa[a] - 1);
        s12[2 * k] += 1.0 / d;
        s3[k] += 1.0 / ((d * d) * d);
        cnt[k] += 1;
        s12[2 * k + 1] += p[2 * a + 1];
    }
    t.tmp = std::cbrt(static_cast<double>(t.nres));
    const double n = static_cast<double>(t.nres);
    std::string text;
    for (std::size_t k = 0; k < na; ++k) {
        textio::FreeLine l;
        l.num(s12[2 * k] / t.tmp).num(s12[2 * k + 1] / t.tmp).num(s3[k] / t.tmp).num(static_cast<double>(cnt[k]) / n);
        text += l.str();
    }
    textio::out(text);
}

}  // namespace depthdist
