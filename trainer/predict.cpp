// The prediction path of the driver: predict evaluates the network of one weight file for
// every loaded protein, or (with -aw) the network of every weight file named in a list, and
// prints per output value the output (or the mean and standard deviation over the files) and
// the target.
//
// State read: prdfl, weiav, weinames, isame, sizes, alpha, ntotp, protin, protut, protid, type names,
// weiadd, itsd.  State written: weifl, phiut (forward passes; the means when averaging), the
// weights through netinit/readwei, and the whole storage through init_all with -nsw.
//
// External formats (the weight list file, the first word of each line that holds one, is read
// by readcmd): the headers on standard error (title line, "Weights file: ", the "(200A15)" type line) and the
// prediction lines on standard output, "(A,1x,2G12.4)" or, averaging, "(A,1x,3G12.4)".
//
// Deviations: a variance that rounding makes negative is taken as 0, so identical outputs
// give a deviation of 0; a later weight file that makes the database load in another shape
// (-nsw -dd) is refused (exit 1).
#include <cmath>
#include <cstdio>

#include "textio/error.hpp"
#include "textio/files.hpp"
#include "textio/format.hpp"
#include "textio/text.hpp"
#include "trainer/nntrain.hpp"

namespace nntrain {

void predict(State& st) {
    AllSizes& s = st.all_sizes;
    DataFiles& d = st.data_files;
    const bool averaging = !d.weiav.empty();
    if (!st.nn_wei.exists)
        textio::fail(textio::status_stop,
                     textio::free_line("A prediction needs a weight file (-wf, or -aw with a list of them), aborting."));

    // The averaging storage, sized once for the shape loaded now.
    const int nop0 = s.nop, ntotp0 = s.ntotp;
    std::vector<double> sum, sumsq;
    if (averaging) {
        sum.assign(st.db_output.phiut.size(), 0.0);
        sumsq.assign(st.db_output.phiut.size(), 0.0);
    }

    std::string header = title_line() + "\n" + textio::free_line("Weights file: ", d.weifl) + "\n" + type_lines(st) + "\n";
    std::fputs(header.c_str(), stderr);

    int count = 0;  // weight files read
    auto next_file = [&] {
        if (static_cast<std::size_t>(count) == d.weinames.size()) return false;
        d.weifl = d.weinames[static_cast<std::size_t>(count)];
        if (s.isame != 1) {
            init_all(st);
            if (s.nop != nop0 || s.ntotp != ntotp0)
                textio::fail(textio::status_stop,
                             textio::free_line(d.weifl + ": the database it names loads " + std::to_string(s.ntotp) +
                                               " proteins of " + std::to_string(s.nop) +
                                               " outputs, the first weight file's " + std::to_string(ntotp0) +
                                               " of " + std::to_string(nop0) + ", aborting."));
        }
        ++count;
        return true;
    };

    bool more = !averaging || next_file();
    while (more) {
        const std::string name = generated_name(st);
        netinit(st, s.nip, s.nw1, s.nw2, s.nop);
        if (!d.weifl.empty())
            readwei(st, d.weifl, s.nip, s.nw1, s.nw2, s.nop, s.alpha);
        else
            d.weifl = textio::fixtext(name + ".wei", textlen);
        const std::vector<double>& phiut = st.db_output.phiut;
        for (int k = 1; k <= s.ntotp; ++k) {
            const std::size_t at = static_cast<std::size_t>(k - 1) * static_cast<std::size_t>(s.nip);
            calcnet(st, k, s.nip, s.nw1, s.nw2, s.nop, s.alpha, st.nn_input.protin.data() + at);
            if (averaging) {
                const std::size_t from = static_cast<std::size_t>(k - 1) * static_cast<std::size_t>(s.nop);
                for (std::size_t j = from; j < from + static_cast<std::size_t>(s.nop); ++j) {
                    sum[j] = sum[j] + phiut[j];
                    sumsq[j] = sumsq[j] + phiut[j] * phiut[j];
                }
            }
        }
        more = averaging && next_file();
    }

    std::vector<double>& phiut = st.db_output.phiut;
    if (averaging) {
        for (std::size_t j = 0; j < sum.size(); ++j) {
            double mean = sum[j] / count;
            phiut[j] = mean;
            double var = sumsq[j] / count - mean * mean;
            sumsq[j] = std::sqrt(var < 0 ? 0.0 : var);  // rounding can make it slightly negative
        }
    }
    if (s.ntotp < 1) return;

    std::string out;
    const std::vector<double>& protut = st.nn_input.protut;
    for (int k = 1; k <= s.ntotp; ++k) {
        const std::string& id = d.protid[static_cast<std::size_t>(k - 1)];
        const std::size_t from = static_cast<std::size_t>(k - 1) * static_cast<std::size_t>(s.nop);
        for (std::size_t j = from; j < from + static_cast<std::size_t>(s.nop); ++j) {
            out += id;
            out += ' ';
            out += textio::fmt_g(phiut[j], 12, 4);
            if (averaging) out += textio::fmt_g(sumsq[j], 12, 4);
            out += textio::fmt_g(protut[j], 12, 4);
            out += '\n';
        }
    }
    textio::out(out);
}

}  // namespace nntrain
