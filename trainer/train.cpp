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
// Choices of ours: "Must have -pr1/l with -aw, aborting." exits 1.  Training proteins presented
// fewer than once per epoch get a forward pass (no update) after each training pass, so the
// training error measures the current network on them.  When no epoch runs, the starting
// weights are written and the result line shows epoch 0, training error NaN, test error 20.
// Each "/" of the option record becomes "_" in the generated name (not in the log).
//
// Choices of ours for results that must be whole: the result line is written after the weight
// file is in place; weights that are not all finite are never written (status 1, the log says
// why); SIGINT, SIGTERM and SIGHUP stop the training after the current presentation, write the
// best weights so far when an epoch has finished, end the log with a line that says so, and
// exit with 128 + the signal; an empty test fold is warned about on standard error; a training
// fold of no protein, a weight-file path taken by any directory entry, a generated name longer
// than a text and a directory holding a line feed are refused before training.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sys/stat.h>

#include "textio/error.hpp"
#include "textio/files.hpp"
#include "textio/format.hpp"
#include "textio/signals.hpp"
#include "textio/source.hpp"
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

namespace {

// Weights that are NaN or infinite (a learning rate or momentum so large that training
// diverged) are never written: the log gets a last line that says why no weight file was
// written, and the run stops (status 1) naming the epoch whose weights they are.
void refuse_diverged(const State& st, textio::NewFile& log, int epoch) {
    const NnWeiSv& w = st.nn_wei_sv;
    for (const Mat* m : {&w.wisv, &w.whsv, &w.wosv})
        for (double v : m->a)
            if (!std::isfinite(v)) {
                const std::string why = "The weights of epoch " + std::to_string(epoch) +
                                        " are not all finite numbers (training diverged): no weight file written; "
                                        "try a lower learning rate (-u), aborting.";
                log.line(textio::free_line(why));
                log.close();
                textio::fail(textio::status_stop, textio::free_line(why));
            }
}

}  // namespace

bool train_epoch(State& st) {
    const AllSizes& s = st.all_sizes;
    DataFiles& d = st.data_files;
    const NnInput& in = st.nn_input;
    const std::size_t nip = static_cast<std::size_t>(s.nip), nop = static_cast<std::size_t>(s.nop);
    auto inputs = [&](int k) { return in.protin.data() + static_cast<std::size_t>(k - 1) * nip; };
    auto targets = [&](int k) { return in.protut.data() + static_cast<std::size_t>(k - 1) * nop; };
    auto count = [&](int k) { return in.iprotdg[static_cast<std::size_t>(k - 1)]; };
    auto protein = [&](int i) { return d.lstt[static_cast<std::size_t>(i - 1)]; };

    permute(st, s.ntrap, 1, s.ntrap, d.lstt2);
    for (int i = 1; i <= s.ntrap && !textio::stop_signal(); ++i) {
        const int k = protein(d.lstt2[static_cast<std::size_t>(i - 1)]);
        for (int r = 0; r < count(k) && !textio::stop_signal(); ++r) {
            calcnet(st, k, s.nip, s.nw1, s.nw2, s.nop, s.alpha, inputs(k));
            backprop(st, s.nip, s.nw1, s.nw2, s.nop, s.alpha, s.ratel, s.rmoment, inputs(k), targets(k));
        }
    }
    if (textio::stop_signal()) return false;
    // Proteins never presented this epoch still get outputs of the current network.
    for (int i = 1; i <= s.ntrap; ++i)
        if (count(protein(i)) < 1) calcnet(st, protein(i), s.nip, s.nw1, s.nw2, s.nop, s.alpha, inputs(protein(i)));
    for (int i = s.ntrap + 1; i <= s.ntotp; ++i)
        calcnet(st, protein(i), s.nip, s.nw1, s.nw2, s.nop, s.alpha, inputs(protein(i)));
    return true;
}

void train(State& st) {
    AllSizes& s = st.all_sizes;
    DataFiles& d = st.data_files;
    if (!st.nn_wei.exists)
        textio::fail(textio::status_stop, textio::free_line("No database list file to load (blank name), aborting."));
    // From here on SIGINT, SIGTERM and SIGHUP stop the training after the current
    // presentation, and the run ends with the weights of the best epoch so far.
    textio::StopSignals stop;
    int stopped_in = 0;  // the epoch a stop signal ended early, 0 if none did

    // A test fold of the whole list (-f 1, or a share that rounds up to it) leaves no protein
    // to train on.
    if (s.ntrap < 1)
        textio::fail(textio::status_stop,
                     textio::free_line("Something wrong with database (not enough proteins for training), aborting.",
                                       s.ntrap));

    // The weight file keeps the directory on its first line: a line feed in it (a -d value)
    // would make a file that cannot be read back.
    if (d.datdir.find('\n') != std::string::npos)
        textio::fail(textio::status_io, "the database directory " + textio::shown(d.datdir) +
                                            " holds a line feed, which a weight file cannot keep");

    // Set-up: starting weights and the names of the files written.
    const std::string name = generated_name(st);
    netinit(st, s.nip, s.nw1, s.nw2, s.nop);
    if (!d.weifl.empty()) readwei(st, d.weifl, s.nip, s.nw1, s.nw2, s.nop, s.alpha);
    if (d.oweifl.empty() && name.size() + 4 > textlen)
        textio::fail(textio::status_io, "the generated weight-file name (the option record) would be " +
                                            too_long(name + ".wei") + ": name the file with -owf");
    d.weifl = textio::fixtext(name + ".wei", textlen);
    if (!d.oweifl.empty()) d.weifl = d.oweifl;

    // The weight file is still created exclusively at the end; refusing an existing one now
    // spares a training whose result could not be saved (and a log beside the earlier file).
    // Any directory entry counts, a dangling symbolic link too (lstat, not the link's target):
    // the final exclusive create refuses it as well.
    struct stat entry {};
    if (lstat(d.weifl.c_str(), &entry) == 0) textio::fail(textio::status_io, d.weifl + ": cannot create: File exists");

    // Choices of ours: an empty test fold keeps the weights of epoch 1, as it always has, but
    // not without a word.
    if (s.ntrap == s.ntotp && s.nte >= 1 && s.itbmax >= 1)
        std::fputs("Warning: the test fold is empty (-f rounds to 0 proteins): early stopping has no test fold, "
                   "and the weights of the first epoch are kept.\n",
                   stderr);

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

    if (s.nte >= 1 && s.itbmax >= 1) {
        int epoch = 1;
        int bad = 0;  // consecutive epochs without improvement
        for (;;) {
            if (!train_epoch(st)) {  // this epoch is not finished: it neither counts nor logs
                stopped_in = epoch;
                break;
            }
            double etr = 0, ete = 0;
            int better = 0;
            calcierr(st, etr, ete, better, emin);
            const bool keep = better == 1 || epoch == 1;
            if (keep) {
                savewei(st);
                betr = etr;
                emin = ete;
                bestep = epoch;
                bad = 0;
            } else {
                ++bad;
            }
            log.line(textio::fmt_i(epoch, 10) + textio::fmt_f(etr, 11, 4) + textio::fmt_f(ete, 11, 4));
            // A NaN error is the usual sign of weights gone NaN: stop at once rather than train on
            // (weights gone infinite can still give finite errors; the check before the write
            // finds those).
            if (keep && !(std::isfinite(etr) && std::isfinite(ete))) refuse_diverged(st, log, epoch);
            st.progress.epoch(epoch, s.nte, etr, ete, bestep, bad);
            ++epoch;
            if (epoch > s.nte || bad >= s.itbmax) break;
        }
        st.progress.finish();
    } else {
        savewei(st);  // no epoch: the starting weights are the ones written
    }

    // Interrupted before any epoch finished: nothing worth keeping.
    if (textio::stop_signal() && bestep == 0) {
        const int sig = textio::stop_signal();
        const std::string why = "Interrupted by " + textio::signal_name(sig) + " in epoch " +
                                std::to_string(std::max(stopped_in, 1)) + ", before any epoch finished: no weights written.";
        log.line(textio::free_line(why));
        log.close();
        textio::fail(128 + sig, textio::free_line(why));
    }
    refuse_diverged(st, log, bestep);
    // The result line follows the weight file, so a log that has it always has its weights.
    writewei(st, d.weifl, s.nip, s.nw1, s.nw2, s.nop, s.alpha);
    log.line("Min error at " + textio::fmt_i(bestep, 7) + ": training, " + textio::fmt_d(betr, 12, 4) +
             "; overfit, " + textio::fmt_d(emin, 12, 4));
    if (const int sig = textio::stop_signal()) {
        const std::string why = "Interrupted by " + textio::signal_name(sig) +
                                (stopped_in ? " in epoch " + std::to_string(stopped_in) : std::string(" after the last epoch")) +
                                ": the weights of epoch " + std::to_string(bestep) + " are written to " + d.weifl + ".";
        log.line(textio::free_line(why));
        log.close();
        textio::fail(128 + sig, textio::free_line(why));
    }
    log.close();
}

}  // namespace nntrain
