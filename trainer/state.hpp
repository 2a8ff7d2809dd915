// nntrain's whole-program state: the nine state groups of the run, held in one State object
// that every routine takes by reference (so each routine can be run alone in a test).
//
// Conventions:
// - Texts are fixed-length texts of `textlen` characters (textio/text.hpp): std::strings
//   already cut to that length with their trailing blanks dropped; empty means "not given".
// - Arrays are std::vectors indexed from 0; the routines' comments speak of the 1-based
//   positions of the run's description (protein p's inputs are protin[(p-1)*nip ...]).
// - A weight matrix (source node k, target node j), 1-based, lives in column-major order:
//   the weights into one target node are adjacent, the source index runs fastest, and the
//   row after the last source node is the bias row.  Mat::ld is the number of rows the
//   storage was made with; the sizes in force may be smaller (a weight file with smaller
//   hidden layers), never larger.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "trainer/progress.hpp"
#include "trainer/random.hpp"

namespace nntrain {

constexpr std::size_t textlen = 3600;  // length of every text of the run
constexpr int maxtypes = 100;          // input or output type names per direction
constexpr int maxwidth = 1000;         // numbers on one data line

// A weight matrix with 1-based (source, target) access.
struct Mat {
    int ld = 0;    // rows of the storage: source nodes + 1 (the bias row)
    int cols = 0;  // target nodes of the storage
    std::vector<double> a;

    void create(int rows, int ncols) {
        ld = rows > 0 ? rows : 0;
        cols = ncols > 0 ? ncols : 0;
        a.assign(static_cast<std::size_t>(ld) * static_cast<std::size_t>(cols), 0.0);
    }
    double& operator()(int k, int j) { return a[static_cast<std::size_t>(j - 1) * ld + (k - 1)]; }
    double operator()(int k, int j) const { return a[static_cast<std::size_t>(j - 1) * ld + (k - 1)]; }
    double* col(int j) { return a.data() + static_cast<std::size_t>(j - 1) * ld; }
    const double* col(int j) const { return a.data() + static_cast<std::size_t>(j - 1) * ld; }
};

// all_sizes: sizes and training settings.
struct AllSizes {
    int nip = 0;       // input values of one protein (sum over the input types)
    int nop = 0;       // output values of one protein
    int ntotp = 0;     // proteins in use (0 = the whole list)
    int ntrap = 0;     // proteins of the training fold
    int nte = 1000;    // maximum number of epochs
    int nw1 = 21;      // nodes of hidden layer 1
    int nw2 = 21;      // nodes of hidden layer 2
    int itbmax = 100;  // maximum consecutive epochs without improvement
    int isame = 1;     // 1: the weight files of an averaging run share one layout; 0: set up again
    int jdf = 0;       // 1: read each protein's presentation count from its kelta.dgn
    int dbv = 0;       // 0 load once, 1 load at every set-up, -1 loaded
    double alpha = static_cast<double>(0.2f);     // activation parameter (slope of tanh)
    double ratel = static_cast<double>(0.001f);   // learning rate
    double rmoment = static_cast<double>(0.4f);   // momentum factor
    double fcv = 0.05;                            // fraction of the proteins in the test fold
};

// data_files: file names, type lists and protein order.
struct DataFiles {
    std::string arg;       // the command-line word being examined; later the identifier last used
    std::string tmpfl;     // the word after a switch; later the data-file path last used
    std::string fylein = "kelta.db";  // file whose first three lines give the database header
    std::string datdir;    // database directory
    std::string foldpart;  // "# DB: nip,nop,ntotp = " and the three counts
    int ioffl = 15;        // output channel number of the training log (fixed)
    std::vector<int> lstt;   // protein order: [0, ntrap) training fold, [ntrap, ntotp) test fold
    std::vector<int> lstt2;  // presentation order of the training fold: positions (1-based) in lstt
    int nsinp = 0;           // number of input types
    int nsutp = 0;           // number of output types
    std::vector<std::string> sinfyles = std::vector<std::string>(maxtypes);  // input type names
    std::vector<std::string> sutfyles = std::vector<std::string>(maxtypes);  // output type names
    std::vector<std::string> protid;  // protein identifiers (whole identifier lines)
    std::string weifl;    // weight file: start from / predict with; in training the file written
    std::string oweifl;   // name of the weight file training writes (blank: generated name)
    std::string prdfl;    // prediction request: an identifier (-pr1) or a list file (-prl)
    std::string prdlist;  // file of identifiers to predict (-prl only)
    std::vector<std::string> prdids;  // its lines, read once (a reload of the database reuses them)
    std::string prdids_from;          // the file prdids were read from (empty: not read)
    std::string weiav;    // file listing the weight files to average over (-aw)
    std::vector<std::string> weinames;  // the weight files it names, read once by readcmd
    std::string weiadd;   // option record: the switches given, with their values
};

// nn_wei: current weights.  `exists` stands for the whole set of thirteen network arrays.
struct NnWei {
    bool exists = false;
    Mat wi;  // (nip+1) x nw1: inputs and bias -> hidden layer 1
    Mat wh;  // (nw1+1) x nw2: hidden layer 1 and bias -> hidden layer 2
    Mat wo;  // (nw2+1) x nop: hidden layer 2 and bias -> outputs
};

// nn_wei_sv: weights of the best epoch.
struct NnWeiSv {
    Mat wisv, whsv, wosv;
};

// nn_owei: previous weight changes (the momentum memory).
struct NnOwei {
    Mat oldwi, oldwh, oldwo;
};

// nn_nodes: node values of the last forward pass.
struct NnNodes {
    std::vector<double> hnu1;   // hidden layer 1 (nw1)
    std::vector<double> hnu2;   // hidden layer 2 (nw2)
    std::vector<double> phi2p;  // outputs (nop)
};

// nn_input: the loaded database.
struct NnInput {
    std::vector<double> protin;  // inputs, nip per protein, protein after protein
    std::vector<double> protut;  // targets, nop per protein
    std::vector<int> iprotdg;    // presentation count of each protein per epoch
};

// db_output: network outputs of every protein, nop per protein.
struct DbOutput {
    std::vector<double> phiut;
};

// randseed: the seed and the one random stream of the run.
struct RandSeed {
    std::int32_t itsd = 0;  // seed of the random stream
    Random rng;             // seeded once, at the end of readcmd
};

// nn_work: the training kernel's working copy of the first weight layer (trainer/kernel.hpp):
// wi and oldwi with the target index fastest, each row padded to `width` (a multiple of 8)
// lanes, so a forward pass sums 8 target nodes at a time, each in its own lane and in its own
// order.  While `dirty` the copy is newer than nn_wei.wi and nn_owei.oldwi: backprop makes it
// so and sync_weights (savewei calls it) copies it back; whoever reads or writes wi or oldwi
// directly after a backprop calls sync_weights first.  backprop leaves its first-layer update
// `pending` (steps and momentum factor kept here, the inputs where they lie in nn_input.protin,
// which must not change meanwhile, or copied), and the next calcnet applies it row by row in
// the same sweep that sums the new forward pass (sync_weights applies it alone).
struct NnWork {
    bool dirty = false;    // the copy holds the current first-layer weights
    bool fresh = false;    // built by the last calcnet from the current wi and oldwi
    bool pending = false;  // a first-layer update waits: xprev, g, mom
    int ninp = 0;          // sizes the copy was built for
    int nhid1 = 0;
    int width = 0;         // lanes per row: nhid1 rounded up to a multiple of 8
    double mom = 0.0;      // momentum factor of the pending update
    std::vector<double> wit;        // the weights, then their previous changes: two blocks of
                                    //   (ninp+1) rows of width, bias row last, 64-byte aligned
    std::vector<double> acc, g;     // the sums of a forward pass; the steps d1*rate (width, aligned)
    std::ptrdiff_t xoff = -1;       // the inputs of the pending update: nn_input.protin[xoff...],
    std::vector<double> xprev;      //   or (xoff < 0) this copy
    std::vector<double> sums;       // scratch of the small layers
};

struct State {
    AllSizes all_sizes;
    DataFiles data_files;
    NnWei nn_wei;
    NnWeiSv nn_wei_sv;
    NnOwei nn_owei;
    NnNodes nn_nodes;
    NnInput nn_input;
    DbOutput db_output;
    RandSeed randseed;
    NnWork nn_work;
    Progress progress;  // the status line on a terminal
};

}  // namespace nntrain
