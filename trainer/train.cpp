// The driver kelta2train (mode choice) and its training path train: random start (or a -wf
// file), epochs of on-line back-propagation over the training fold, errors of both folds,
// the best epoch's weights kept, early stop after itbmax epochs without improvement, the
// training log and the weight file.  Also the shared texts: generated_name, title_line,
// type_lines.
//
// State read: sizes and settings of all_sizes, lstt, lstt2, protin, protut, iprotdg, weiadd,
// foldpart, type names, itsd, oweifl.  State written: weifl (the file training writes), the
// weights through netinit/readwei/backprop/savewei, lstt2 (permute), phiut (calcnet).
//
// External format: the training log (weight-file name + ".fort.15"): title line, "Options: ",
// "Weights file: ", "(a2,a,i15)" seed line, "(200A15)" type line, the database summary, one
// "(I10,100(F11.4))" line per epoch and the "(a,i7,a,d12.4,a,d12.4)" result line.
//
// Deviations: "Must have -pr1/l with -aw, aborting." exits 1.  Training proteins presented
// fewer than once per epoch get a forward pass (no update) after each training pass, so the
// training error measures the current network on them.  When no epoch runs, the starting
// weights are written and the result line shows epoch 0, training error NaN, test error 20.
// Each "/" of the option record becomes "_" in the generated name (not in the log).
#include <algorithm>
#include <limits>
#include <unistd.h>

#include "textio/error.hpp"
#include "textio/files.hpp"
#include "textio/format.hpp"
#include "textio/text.hpp"
#include "trainer/nntrain.hpp"
#include "version.hpp"

namespace nntrain {

void kelta2train(State& st) {
    const DataFiles& d = st.data_files;
    if (!d.weiav.empty() && d.prdfl.empty())
        textio::fail(textio::status_stop, textio::free_line("Must have -pr1/l with -aw, aborting."));
    if (d.prdfl.empty())
        train(st);
    else
        predict(st);
}

std::string generated_name(const State& st) {
    std::string rec = st.data_files.weiadd;
    std::replace(rec.begin(), rec.end(), '/', '_');
    return "train." + textio::fmt_i(st.all_sizes.ntotp, 6, 6) + "_" + textio::fmt_i(st.randseed.itsd, 11, 11) + "." +
           rec;
}

std::string title_line() {
    return std::string("nntrain ") + PROTNN_VERSION + ": protein property network trainer and predictor, -h for help";
}

std::string type_lines(const State& st) {
    const DataFiles& d = st.data_files;
    std::vector<std::string> fields{"INS/OUTS: "};
    for (int k = 0; k < d.nsinp; ++k) fields.push_back(d.sinfyles[static_cast<std::size_t>(k)]);
    fields.push_back("/");
    for (int k = 0; k < d.nsutp; ++k) fields.push_back(d.sutfyles[static_cast<std::size_t>(k)]);
    std::string out;
    for (std::size_t f = 0; f < fields.size(); ++f) {
        if (f > 0 && f % 200 == 0) out += "\n";  // 200 fields to a line, then a new line
        out += textio::fmt_a(fields[f], 15);
    }
    return out;
}

void train(State& st) {
    AllSizes& s = st.all_sizes;
    DataFiles& d = st.data_files;
    NnInput& in = st.nn_input;
    if (!st.nn_wei.exists)
        textio::fail(textio::status_stop, textio::free_line("No database list file to load (blank name), aborting."));

    // Set-up: starting weights and the names of the files written.
    const std::string name = generated_name(st);
    netinit(st, s.nip, s.nw1, s.nw2, s.nop);
    if (!d.weifl.empty()) readwei(st, d.weifl, s.nip, s.nw1, s.nw2, s.nop, s.alpha);
    d.weifl = textio::fixtext(name + ".wei", textlen);
    if (!d.oweifl.empty()) d.weifl = d.oweifl;

    // The weight file is still created exclusively at the end; refusing an existing one now
    // spares a training whose result could not be saved (and a log beside the earlier file).
    if (access(d.weifl.c_str(), F_OK) == 0) textio::fail(textio::status_io, d.weifl + ": cannot create: File exists");

    double emin = 20.0;  // best (lowest) test error so far
    double betr = std::numeric_limits<double>::quiet_NaN();  // training error of the kept epoch
    int bestep = 0;                                           // the kept epoch
    textio::NewFile log(d.weifl + ".fort.15");
    log.line(title_line());
    log.line(textio::free_line("Options: ", d.weiadd));
    log.line(textio::free_line("Weights file: ", d.weifl));
    log.line("# Random Seed: " + textio::fmt_i(st.randseed.itsd, 15));
    log.line(type_lines(st));
    log.line(textio::free_line(d.foldpart));

    const std::size_t nip = static_cast<std::size_t>(s.nip), nop = static_cast<std::size_t>(s.nop);
    auto inputs = [&](int k) { return in.protin.data() + static_cast<std::size_t>(k - 1) * nip; };
    auto targets = [&](int k) { return in.protut.data() + static_cast<std::size_t>(k - 1) * nop; };

    if (s.nte >= 1 && s.itbmax >= 1) {
        int epoch = 1;
        int bad = 0;  // consecutive epochs without improvement
        for (;;) {
            permute(st, s.ntrap, 1, s.ntrap, d.lstt2);
            for (int i = 1; i <= s.ntrap; ++i) {
                int k = d.lstt[static_cast<std::size_t>(d.lstt2[static_cast<std::size_t>(i - 1)] - 1)];
                for (int r = 0; r < in.iprotdg[static_cast<std::size_t>(k - 1)]; ++r) {
                    calcnet(st, k, s.nip, s.nw1, s.nw2, s.nop, s.alpha, inputs(k));
                    backprop(st, s.nip, s.nw1, s.nw2, s.nop, s.alpha, s.ratel, s.rmoment, inputs(k), targets(k));
                }
            }
            // Proteins never presented this epoch still get outputs of the current network.
            for (int i = 1; i <= s.ntrap; ++i) {
                int k = d.lstt[static_cast<std::size_t>(i - 1)];
                if (in.iprotdg[static_cast<std::size_t>(k - 1)] < 1)
                    calcnet(st, k, s.nip, s.nw1, s.nw2, s.nop, s.alpha, inputs(k));
            }
            for (int i = s.ntrap + 1; i <= s.ntotp; ++i) {
                int k = d.lstt[static_cast<std::size_t>(i - 1)];
                calcnet(st, k, s.nip, s.nw1, s.nw2, s.nop, s.alpha, inputs(k));
            }
            double etr = 0, ete = 0;
            int better = 0;
            calcierr(st, etr, ete, better, emin);
            if (better == 1 || epoch == 1) {
                savewei(st);
                betr = etr;
                emin = ete;
                bestep = epoch;
                bad = 0;
            } else {
                ++bad;
            }
            log.line(textio::fmt_i(epoch, 10) + textio::fmt_f(etr, 11, 4) + textio::fmt_f(ete, 11, 4));
            st.progress.epoch(epoch, s.nte, etr, ete, bestep, bad);
            ++epoch;
            if (epoch > s.nte || bad >= s.itbmax) break;
        }
        st.progress.finish();
    } else {
        savewei(st);  // no epoch: the starting weights are the ones written
    }

    log.line("Min error at " + textio::fmt_i(bestep, 7) + ": training, " + textio::fmt_d(betr, 12, 4) +
             "; overfit, " + textio::fmt_d(emin, 12, 4));
    log.close();
    writewei(st, d.weifl, s.nip, s.nw1, s.nw2, s.nop, s.alpha);
}

}  // namespace nntrain
