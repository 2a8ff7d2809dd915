// The routines of nntrain, in run order.  Each works on the State (state.hpp); the sizes in
// force and the array slices a routine works on are passed to it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "trainer/state.hpp"

namespace textio {
class Source;
}

namespace nntrain {

// --- command line and seed (readcmd.cpp) -----------------------------------------------
// Sets every default, applies the switches of words (the words after the program name),
// builds the option record and, last, seeds the random stream from itsd.  Throws a normal
// stop after -h (or --help) or --version, and an error stop for an unknown switch.
void readcmd(State& st, const std::vector<std::string>& words);
// The option table, with the settings as they stand.
void printhelp(const State& st, std::FILE* out);
// The default seed from the local time of day; inttget_at computes it for a given time.
std::int32_t inttget(std::int32_t n);
std::int32_t inttget_at(std::int32_t n, int hour, int minute, int second);
// The seed words for itsd (k = Random::nseeds of them) and the seeding itself.
std::vector<std::int32_t> seed_words(std::int32_t itsd, int k);
void seed_random(State& st);
// "a name of N characters, at most 3600 can be kept": names longer than a text are refused,
// never cut (a cut name is another file).
std::string too_long(std::string_view name);
// The next weight-file name of a weight list (the first word of the next line that holds
// one); a name longer than a text is refused naming the list and line.  False at the end.
bool read_weight_name(textio::Source& src, std::string& name);

// --- protein database (database.cpp) ---------------------------------------------------
void initdb(State& st);
int numpro(const State& st);                 // lines of the file fylein, minus 3
std::int64_t line_count(textio::Source& src);  // lines of src; leaves it at its start
int icountel(const std::string& line);       // words (runs of non-blank, non-tab characters)

// --- working storage (storage.cpp) -----------------------------------------------------
void init_all(State& st);
// Creates the thirteen network arrays for the sizes in force (no database load).
void make_network_storage(State& st);

// --- network evaluation and back-propagation (network.cpp) -----------------------------
double tfunc(double s);
void calcnet(State& st, int i, int ninp, int nhid1, int nhid2, int nout, double alpha, const double* x);
void backprop(State& st, int ninp, int nhid1, int nhid2, int nout, double alpha, double rate, double mom,
              const double* x, const double* t);
void calcierr(const State& st, double& etr, double& ete, int& better, double emin);
// Brings nn_wei.wi and nn_owei.oldwi up to date from the training kernel's working copy and
// makes the copy stale (it is built from them when next needed): the one way to change them
// from outside the kernel.  Call it before writing wi or oldwi.
void sync_weights(State& st);
// Writes the current first-layer weights (or, with changes, their previous changes) into the
// leading part of dest, a matrix of wi's shape, and keeps the kernel's working copy in use.
void copy_first_layer(State& st, Mat& dest, bool changes = false);

// --- weight files (weights.cpp) --------------------------------------------------------
void readwei(State& st, const std::string& fname, int ninp, int& nhid1, int& nhid2, int nout, double& alpha);
void writewei(const State& st, const std::string& fname, int ninp, int nhid1, int nhid2, int nout, double alpha);
void savewei(State& st);
// Refuses (status 2, naming the file and line) sizes read from a weight file's sizes line that
// ask for more weights than the lines left in src can hold; the reading position is kept.  For
// any reader of the sizes line that sets storage up from it.
void check_weight_claim(textio::Source& src, std::int64_t ninp, std::int64_t nhid1, std::int64_t nhid2,
                        std::int64_t nout);

// --- random start and presentation order (init.cpp) ------------------------------------
void netinit(State& st, int ninp, int nhid1, int nhid2, int nout);
// Reorders a[lo..hi] (1-based positions) in place; n is not used.
void permute(State& st, int n, int lo, int hi, std::vector<int>& a);

// --- the driver (train.cpp: training; predict.cpp: prediction and averaging) ------------
void kelta2train(State& st);
void train(State& st);
// One epoch of training, as train runs it: a new presentation order of the training fold, a
// forward pass and an update per presentation, then a forward pass for every protein of the
// training fold presented no time and of the test fold (their outputs in phiut, for calcierr).
// False when a stop signal ended it early.  The State's kernel version (kernel::force) decides
// how calcnet and backprop compute, so tests and benchmarks run this loop on any version.
bool train_epoch(State& st);
void predict(State& st);
// "train." ntotp (6 digits) "_" itsd (11 digits) "." and the option record.
std::string generated_name(const State& st);
// The title line of the log and of the prediction headers (ends in "-h for help").
std::string title_line();
// The type line(s) "(200A15)": "INS/OUTS: ", the input types, "/", the output types.
std::string type_lines(const State& st);

}  // namespace nntrain
