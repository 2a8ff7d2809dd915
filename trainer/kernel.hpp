// The training kernel: the first weight layer's forward sums and updates on the interleaved
// working copy (State::nn_work), in several instruction-set versions (each State's choice,
// nn_work.version; the fastest this machine runs unless force chooses another), and
// the plain reference loops every version must match bit for bit.
//
// Every version performs, lane by lane, exactly the operations of the plain loops: each
// target node's sum runs over the sources in increasing order in its own lane, starting from
// zero, and each update is the element-wise change = x*g + old*mom (bias: old*mom + g).
// Wider vectors only compute more target nodes at once; no fused multiply-add is used.
#pragma once

#include <string>
#include <vector>

#include "trainer/state.hpp"

namespace nntrain::kernel {

// The versions this build carries that this machine can run (Isa, state.hpp): plain first, the
// fastest last (the one a State uses unless force chooses another).
std::vector<Isa> available();
const char* name(Isa isa);
// The version st's routines use.
inline Isa active(const State& st) { return st.nn_work.version; }
// Makes isa the version st's routines use (tests, benchmarks); false when this machine cannot
// run it.
bool force(State& st, Isa isa);

// Sums of the first layer: acc[j] = (sum over k < ninp of x[k]*w(k,j), in k order) + w(ninp,j)
// for every lane j < width; w is the working copy (rows of width, bias row ninp).
void forward1(Isa isa, const double* w, int width, int ninp, const double* x, double* acc);
// Updates of the first layer: change = x[k]*g[j] + old*mom for rows k < ninp, and
// change = old*mom + g[j] for the bias row; w += change; old = change.
void update1(Isa isa, double* w, double* old, int width, int ninp, const double* x, const double* g, double mom);
// The pending update (xp, g, mom) and the next forward sums (x, into acc) in one sweep: the
// results of update1 followed by forward1.
void step1(Isa isa, double* w, double* old, int width, int ninp, const double* xp, const double* g, double mom,
           const double* x, double* acc);
// The smaller matrices, column by column: change = v[k]*g + old[k]*mom; w[k] += change;
// old[k] = change (k < n); and one term of n sums, s[j] = s[j] + c[j]*d.
void update_column(Isa isa, double* w, double* old, int n, const double* v, double g, double mom);
void accumulate(Isa isa, double* s, const double* c, int n, double d);

// 64-byte aligned data inside a vector of 8 spare values.
double* rows(std::vector<double>& v);
// The working copy's weights and previous changes.  One block follows the other, so the copy
// covers the sets of the caches evenly whatever the addresses the allocator gives.
double* work_w(NnWork& wk);
double* work_old(NnWork& wk);
// Builds the working copy of wi and oldwi for these sizes (fresh, nothing pending).
void build_work(State& st, int ninp, int nhid1);

// The plain loops of the forward pass and back-propagation, one sum at a time in the fixed
// order: the reference the kernel is tested and measured against (the plain version).
void calcnet_plain(State& st, int i, int ninp, int nhid1, int nhid2, int nout, double alpha, const double* x);
void backprop_plain(State& st, int ninp, int nhid1, int nhid2, int nout, double alpha, double rate, double mom,
                    const double* x, const double* t);

}  // namespace nntrain::kernel
