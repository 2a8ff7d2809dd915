// Random start and presentation order: netinit, permute.
//
// State: both draw from randseed.rng, the one random stream of the run; netinit writes nn_wei
// (wi, wh, wo) and nn_owei (previous changes = weight/10); permute reorders the array it is
// given (the driver passes data_files.lstt2).  The number and order of the draws are fixed,
// so one seed always gives the same starting weights and presentation orders.
#include <cmath>
#include <utility>

#include "trainer/nntrain.hpp"

namespace nntrain {

// One draw per weight, source outer, target inner.
static void draw_block(Random& rng, Mat& w, Mat& old, int nsrc, int ntgt) {
    for (int s = 1; s <= nsrc + 1; ++s)
        for (int t = 1; t <= ntgt; ++t) {
            const double v = rng.draw() - 0.5;
            w(s, t) = v;
            old(s, t) = v / 10.0;
        }
}

void netinit(State& st, int ninp, int nhid1, int nhid2, int nout) {
    sync_weights(st);  // from here on the column-major weights are the current ones
    Random& rng = st.randseed.rng;
    draw_block(rng, st.nn_wei.wi, st.nn_owei.oldwi, ninp, nhid1);
    draw_block(rng, st.nn_wei.wh, st.nn_owei.oldwh, nhid1, nhid2);
    draw_block(rng, st.nn_wei.wo, st.nn_owei.oldwo, nhid2, nout);
}

void permute(State& st, int /*n*/, int lo, int hi, std::vector<int>& a) {
    for (int i = lo; i <= hi; ++i) {
        const double u = st.randseed.rng.draw();
        // std::round rounds halves away from zero; the target spans the whole range lo..hi.
        const int k = lo + static_cast<int>(std::round(static_cast<double>(hi - lo) * u));
        std::swap(a[i - 1], a[k - 1]);
    }
}

}  // namespace nntrain
