// Network evaluation, back-propagation and the error measures: calcnet, tfunc, backprop,
// calcierr; and sync_weights, copy_first_layer for the first layer's working copy.
//
// State: calcnet reads nn_wei (wi, wh, wo) and writes nn_nodes (hnu1, hnu2, phi2p) and protein
// i's outputs in db_output.phiut; backprop reads nn_nodes and updates nn_wei and nn_owei;
// calcierr reads nn_input.protut, db_output.phiut, data_files.lstt and the fold sizes.  The
// first layer (wi, oldwi) is worked on in the interleaved working copy of nn_work (its states
// in state.hpp): calcnet builds it from wi and oldwi when it is stale and uses it as it is
// otherwise (so a prediction builds it once), backprop leaves it ahead with its first-layer
// update pending, the next calcnet applies that update in the sweep of its own sums;
// copy_first_layer (savewei uses it) applies it and copies the weights out, and sync_weights
// also copies them back into wi and oldwi and makes the copy stale.  On the plain kernel
// version both routines run the loops of kernel_ref.cpp on wi and oldwi instead.
//
// Every sum is formed in one fixed order (products in increasing source order from zero, then
// the bias, then the scaling by alpha), every product and change in its written grouping, and
// the build never contracts a*b+c into a fused multiply-add, so the results are the same bits
// as the plain loops of kernel_ref.cpp on every machine.  The
// small layers are computed with the target nodes side by side (the source index in the
// outer loop), each node's sum still in source order.
#include <cmath>
#include <vector>

#include "textio/error.hpp"
#include "trainer/kernel.hpp"
#include "trainer/nntrain.hpp"

namespace nntrain {

double tfunc(double s) { return std::tanh(s); }

// The inputs of the pending update.  They are read where the driver's slice of the database
// lies, which nothing changes between an update and the next forward pass; the check only
// keeps a database loaded again in between from being read out of bounds.
static const double* pending_inputs(const State& st) {
    const NnWork& wk = st.nn_work;
    if (wk.xoff < 0) return wk.xprev.data();
    if (static_cast<std::size_t>(wk.xoff) + static_cast<std::size_t>(wk.ninp) > st.nn_input.protin.size())
        textio::fail(textio::status_stop, "The database changed while a weight update was pending, aborting.");
    return st.nn_input.protin.data() + wk.xoff;
}

// The waiting first-layer update, alone.
static void apply_pending(State& st) {
    NnWork& wk = st.nn_work;
    kernel::update1(wk.version, kernel::work_w(wk), kernel::work_old(wk), wk.width, wk.ninp, pending_inputs(st),
                    kernel::rows(wk.g), wk.mom);
    wk.update_applied();
}

// Sums of a small layer: s[j] = (sum over k < nsrc of v[k]*w(k,j), in k order) + w(nsrc+1,j).
// Eight columns at a time, each sum in its own register, so the sums run side by side.
static void layer_sums(const Mat& w, int nsrc, int ntgt, const double* v, double* s) {
    int j = 0;
    for (; j + 8 <= ntgt; j += 8) {
        const double* c = w.a.data() + static_cast<std::size_t>(j) * w.ld;
        const std::size_t ld = static_cast<std::size_t>(w.ld);
        double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0, a4 = 0.0, a5 = 0.0, a6 = 0.0, a7 = 0.0;
        for (int k = 0; k < nsrc; ++k) {
            const double vk = v[k];
            a0 = a0 + vk * c[k];
            a1 = a1 + vk * c[ld + k];
            a2 = a2 + vk * c[2 * ld + k];
            a3 = a3 + vk * c[3 * ld + k];
            a4 = a4 + vk * c[4 * ld + k];
            a5 = a5 + vk * c[5 * ld + k];
            a6 = a6 + vk * c[6 * ld + k];
            a7 = a7 + vk * c[7 * ld + k];
        }
        s[j] = a0 + c[nsrc];
        s[j + 1] = a1 + c[ld + nsrc];
        s[j + 2] = a2 + c[2 * ld + nsrc];
        s[j + 3] = a3 + c[3 * ld + nsrc];
        s[j + 4] = a4 + c[4 * ld + nsrc];
        s[j + 5] = a5 + c[5 * ld + nsrc];
        s[j + 6] = a6 + c[6 * ld + nsrc];
        s[j + 7] = a7 + c[7 * ld + nsrc];
    }
    for (; j < ntgt; ++j) {
        const double* c = w.col(j + 1);
        double a = 0.0;
        for (int k = 0; k < nsrc; ++k) a = a + v[k] * c[k];
        s[j] = a + c[nsrc];
    }
}

void calcnet(State& st, int i, int ninp, int nhid1, int nhid2, int nout, double alpha, const double* x) {
    if (kernel::active(st) == kernel::Isa::plain) {
        sync_weights(st);  // the plain loops read and write the column-major weights
        kernel::calcnet_plain(st, i, ninp, nhid1, nhid2, nout, alpha, x);
        return;
    }
    NnWork& wk = st.nn_work;
    const bool sizes = wk.ninp == ninp && wk.nhid1 == nhid1;
    if (wk.copy() == NnWork::Copy::ahead && !sizes) sync_weights(st);
    if (wk.copy() == NnWork::Copy::stale || !sizes || !wk.built_from(st.nn_wei.wi, st.nn_owei.oldwi))
        kernel::build_work(st, ninp, nhid1);
    double* acc = kernel::rows(wk.acc);
    if (wk.pending()) {
        kernel::step1(wk.version, kernel::work_w(wk), kernel::work_old(wk), wk.width, ninp, pending_inputs(st),
                      kernel::rows(wk.g), wk.mom, x, acc);
        wk.update_applied();
    } else {
        kernel::forward1(wk.version, kernel::work_w(wk), wk.width, ninp, x, acc);
    }
    double* h1 = st.nn_nodes.hnu1.data();
    double* h2 = st.nn_nodes.hnu2.data();
    double* y = st.nn_nodes.phi2p.data();
    for (int j = 0; j < nhid1; ++j) h1[j] = tfunc(alpha * acc[j]);

    const std::size_t most = static_cast<std::size_t>(nhid2 > nout ? nhid2 : nout);
    if (wk.sums.size() < most) wk.sums.resize(most);
    double* s = wk.sums.data();
    layer_sums(st.nn_wei.wh, nhid1, nhid2, h1, s);
    for (int j = 0; j < nhid2; ++j) h2[j] = tfunc(alpha * s[j]);
    layer_sums(st.nn_wei.wo, nhid2, nout, h2, s);
    double* out = st.db_output.phiut.data() + static_cast<std::size_t>(nout) * static_cast<std::size_t>(i - 1);
    for (int j = 0; j < nout; ++j) {
        const double v = tfunc(alpha * s[j]);
        out[j] = v;
        y[j] = v;
    }
}

void backprop(State& st, int ninp, int nhid1, int nhid2, int nout, double alpha, double rate, double mom,
              const double* x, const double* t) {
    if (kernel::active(st) == kernel::Isa::plain) {
        sync_weights(st);
        kernel::backprop_plain(st, ninp, nhid1, nhid2, nout, alpha, rate, mom, x, t);
        return;
    }
    NnWork& wk = st.nn_work;
    const bool sizes = wk.ninp == ninp && wk.nhid1 == nhid1;
    if (wk.copy() == NnWork::Copy::ahead && !sizes) sync_weights(st);
    if (wk.pending()) apply_pending(st);  // two updates without a forward pass between them
    if (wk.copy() == NnWork::Copy::stale || !sizes ||
        (wk.copy() == NnWork::Copy::fresh && !wk.built_from(st.nn_wei.wi, st.nn_owei.oldwi)))
        kernel::build_work(st, ninp, nhid1);

    Mat& wh = st.nn_wei.wh;
    Mat& wo = st.nn_wei.wo;
    Mat& oldwh = st.nn_owei.oldwh;
    Mat& oldwo = st.nn_owei.oldwo;
    const double* h1 = st.nn_nodes.hnu1.data();
    const double* h2 = st.nn_nodes.hnu2.data();
    const double* y = st.nn_nodes.phi2p.data();

    // The deltas live for one call; kept between calls only to spare an allocation per call.
    std::vector<double>& d1 = wk.d1;
    std::vector<double>& d2 = wk.d2;
    std::vector<double>& d3 = wk.d3;
    d1.resize(nhid1 > 0 ? nhid1 : 0);
    d2.resize(nhid2 > 0 ? nhid2 : 0);
    d3.resize(nout > 0 ? nout : 0);

    for (int k = 0; k < nout; ++k) d3[k] = ((t[k] - y[k]) * alpha) * (1.0 - y[k] * y[k]);
    for (int j = 1; j <= nhid2; ++j) {
        double s = 0.0;
        for (int k = 1; k <= nout; ++k) s = s + d3[k - 1] * wo(j, k);
        d2[j - 1] = (s * alpha) * (1.0 - h2[j - 1] * h2[j - 1]);
    }
    // First-layer deltas, all nodes side by side; each sum over k in increasing order.
    for (int j = 0; j < nhid1; ++j) d1[j] = 0.0;
    for (int k = 1; k <= nhid2; ++k) kernel::accumulate(wk.version, d1.data(), wh.col(k), nhid1, d2[k - 1]);
    // The step of each first-layer node, g = d1*rate, in its lane (padding lanes stay 0); the
    // first-layer update itself waits for the next forward pass (or sync_weights).
    double* g = kernel::rows(wk.g);
    for (int j = 0; j < nhid1; ++j) {
        d1[j] = (d1[j] * alpha) * (1.0 - h1[j] * h1[j]);
        g[j] = d1[j] * rate;
    }
    // Inputs inside the database are read from there when the update is made (no copy).
    const std::vector<double>& db = st.nn_input.protin;
    if (!db.empty() && x >= db.data() && ninp >= 0 && x + ninp <= db.data() + db.size()) {
        wk.xoff = x - db.data();
    } else {
        wk.xoff = -1;
        wk.xprev.assign(x, x + (ninp > 0 ? ninp : 0));
    }
    wk.mom = mom;
    wk.update_left_pending();

    for (int j = 1; j <= nhid2; ++j) {
        const double gj = d2[j - 1] * rate;
        double* w = wh.col(j);
        double* o = oldwh.col(j);
        kernel::update_column(wk.version, w, o, nhid1, h1, gj, mom);
        const double change = o[nhid1] * mom + gj;
        w[nhid1] = w[nhid1] + change;
        o[nhid1] = change;
        for (int k = 1; k <= nout; ++k) {
            const double c = (d3[k - 1] * rate) * h2[j - 1] + oldwo(j, k) * mom;
            wo(j, k) = wo(j, k) + c;
            oldwo(j, k) = c;
        }
    }
    for (int k = 1; k <= nout; ++k) {
        const double change = d3[k - 1] * rate + oldwo(nhid2 + 1, k) * mom;
        wo(nhid2 + 1, k) = wo(nhid2 + 1, k) + change;
        oldwo(nhid2 + 1, k) = change;
    }
}

void sync_weights(State& st) {
    NnWork& wk = st.nn_work;
    if (wk.copy() == NnWork::Copy::ahead) {
        copy_first_layer(st, st.nn_wei.wi);
        copy_first_layer(st, st.nn_owei.oldwi, true);
    }
    wk.released();
}

void copy_first_layer(State& st, Mat& dest, bool changes) {
    NnWork& wk = st.nn_work;
    if (wk.copy() != NnWork::Copy::ahead) return;
    if (wk.pending()) apply_pending(st);
    // A storage set up again since (smaller than the copy) takes nothing from it.
    if (dest.ld < wk.ninp + 1 || dest.cols < wk.nhid1) return;
    const double* w = changes ? kernel::work_old(wk) : kernel::work_w(wk);
    const std::size_t width = static_cast<std::size_t>(wk.width);
    for (int j = 0; j < wk.nhid1; ++j) {
        double* c = dest.col(j + 1);
        for (int k = 0; k <= wk.ninp; ++k) c[k] = w[k * width + j];
    }
}

// Mean absolute error over fold positions [from, to) of lstt (0-based), in one running sum.
static double fold_error(const State& st, int from, int to) {
    const int nop = st.all_sizes.nop;
    const std::vector<int>& lstt = st.data_files.lstt;
    const double* t = st.nn_input.protut.data();
    const double* y = st.db_output.phiut.data();
    double s = 0.0;
    for (int p = from; p < to; ++p) {
        const std::size_t base = static_cast<std::size_t>(nop) * static_cast<std::size_t>(lstt[p] - 1);
        for (int j = 0; j < nop; ++j) s = s + std::fabs(t[base + j] - y[base + j]);
    }
    // The count is the 32-bit integer product (it wraps, as such a product does, instead of
    // being undefined).
    const auto n = static_cast<std::int32_t>(static_cast<std::int64_t>(to - from) * nop);
    return s / static_cast<double>(n);
}

void calcierr(const State& st, double& etr, double& ete, int& better, double emin) {
    const int ntrap = st.all_sizes.ntrap;
    const int ntotp = st.all_sizes.ntotp;
    etr = fold_error(st, 0, ntrap);
    ete = fold_error(st, ntrap, ntotp);
    better = emin > ete ? 1 : 0;
}

}  // namespace nntrain
