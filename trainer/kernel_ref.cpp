// The plain loops of the forward pass and back-propagation, one sum and one update at a time
// in the fixed order, on the column-major weights of nn_wei and nn_owei (the working copy of
// nn_work is neither read nor written).  They are the reference the training kernel must
// match bit for bit (tests/trainer/test_kernels.cpp) and the baseline of bench_train.
#include <cmath>
#include <vector>

#include "trainer/kernel.hpp"
#include "trainer/nntrain.hpp"

namespace nntrain::kernel {

void calcnet_plain(State& st, int i, int ninp, int nhid1, int nhid2, int nout, double alpha, const double* x) {
    const Mat& wi = st.nn_wei.wi;
    const Mat& wh = st.nn_wei.wh;
    const Mat& wo = st.nn_wei.wo;
    double* h1 = st.nn_nodes.hnu1.data();
    double* h2 = st.nn_nodes.hnu2.data();
    double* y = st.nn_nodes.phi2p.data();
    for (int j = 1; j <= nhid1; ++j) {
        const double* w = wi.col(j);
        double s = 0.0;
        for (int k = 0; k < ninp; ++k) s = s + x[k] * w[k];
        s = s + w[ninp];
        h1[j - 1] = tfunc(alpha * s);
    }
    for (int j = 1; j <= nhid2; ++j) {
        const double* w = wh.col(j);
        double s = 0.0;
        for (int k = 0; k < nhid1; ++k) s = s + h1[k] * w[k];
        s = s + w[nhid1];
        h2[j - 1] = tfunc(alpha * s);
    }
    double* out = st.db_output.phiut.data() + static_cast<std::size_t>(nout) * static_cast<std::size_t>(i - 1);
    for (int j = 1; j <= nout; ++j) {
        const double* w = wo.col(j);
        double s = 0.0;
        for (int k = 0; k < nhid2; ++k) s = s + h2[k] * w[k];
        s = s + w[nhid2];
        const double v = tfunc(alpha * s);
        out[j - 1] = v;
        y[j - 1] = v;
    }
}

void backprop_plain(State& st, int ninp, int nhid1, int nhid2, int nout, double alpha, double rate, double mom,
              const double* x, const double* t) {
    Mat& wi = st.nn_wei.wi;
    Mat& wh = st.nn_wei.wh;
    Mat& wo = st.nn_wei.wo;
    Mat& oldwi = st.nn_owei.oldwi;
    Mat& oldwh = st.nn_owei.oldwh;
    Mat& oldwo = st.nn_owei.oldwo;
    const double* h1 = st.nn_nodes.hnu1.data();
    const double* h2 = st.nn_nodes.hnu2.data();
    const double* y = st.nn_nodes.phi2p.data();

    // The deltas live for one call; kept between calls only to spare an allocation per call.
    static thread_local std::vector<double> d1, d2, d3;
    d1.resize(nhid1 > 0 ? nhid1 : 0);
    d2.resize(nhid2 > 0 ? nhid2 : 0);
    d3.resize(nout > 0 ? nout : 0);

    for (int k = 0; k < nout; ++k) d3[k] = ((t[k] - y[k]) * alpha) * (1.0 - y[k] * y[k]);
    for (int j = 1; j <= nhid2; ++j) {
        double s = 0.0;
        for (int k = 1; k <= nout; ++k) s = s + d3[k - 1] * wo(j, k);
        d2[j - 1] = (s * alpha) * (1.0 - h2[j - 1] * h2[j - 1]);
    }
    for (int j = 1; j <= nhid1; ++j) {
        double s = 0.0;
        for (int k = 1; k <= nhid2; ++k) s = s + wh(j, k) * d2[k - 1];
        d1[j - 1] = (s * alpha) * (1.0 - h1[j - 1] * h1[j - 1]);
        const double g = d1[j - 1] * rate;
        double* w = wi.col(j);
        double* o = oldwi.col(j);
        for (int k = 0; k < ninp; ++k) {
            const double change = x[k] * g + o[k] * mom;
            w[k] = w[k] + change;
            o[k] = change;
        }
        const double change = o[ninp] * mom + g;
        w[ninp] = w[ninp] + change;
        o[ninp] = change;
    }
    for (int j = 1; j <= nhid2; ++j) {
        const double g = d2[j - 1] * rate;
        double* w = wh.col(j);
        double* o = oldwh.col(j);
        for (int k = 0; k < nhid1; ++k) {
            const double change = h1[k] * g + o[k] * mom;
            w[k] = w[k] + change;
            o[k] = change;
        }
        const double change = o[nhid1] * mom + g;
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

}  // namespace nntrain::kernel
