// The training-epoch peer: FANN 2.2 (double variant) doing the work of one nntrain epoch.
//
//   fann_epoch LISTFILE [EPOCHS]
//
// Reads the benchmark database named by the list file (line 1 the quoted directory, line 2
// the input types, line 3 the output types, then one identifier per line; every data file is
// blank-separated reals), builds the network nip-21-21-nop with symmetric sigmoids (tanh of
// steepness 0.2 times the sum) on the hidden and output layers, incremental training, linear
// error function, learning rate 0.001, momentum 0.4, and times epochs of the trainer's shape:
// one fann_train per training protein (the first ntotp - round(0.05 ntotp) proteins) in a
// fixed shuffled order, then one fann_run per test protein and the mean absolute errors.
// Loading is not timed.  Prints the median and minimum epoch time and the last epoch's errors
// (which must fall from the first epoch's: proof that the network really trains).
#include <doublefann.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/timing.hpp"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        std::fprintf(stderr, "fann_epoch: cannot open %s\n", path.c_str());
        std::exit(2);
    }
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void numbers(const std::string& path, std::vector<double>& out) {
    std::string text = slurp(path);
    const char* p = text.c_str();
    char* end = nullptr;
    for (;;) {
        double v = std::strtod(p, &end);
        if (end == p) break;
        out.push_back(v);
        p = end;
    }
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream s(line);
    std::vector<std::string> w;
    for (std::string x; s >> x;) w.push_back(x);
    return w;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: fann_epoch LISTFILE [EPOCHS]\n");
        return 2;
    }
    int epochs = argc > 2 ? std::atoi(argv[2]) : 15;
    std::istringstream list(slurp(argv[1]));
    std::string dir, intypes, outtypes, id;
    std::getline(list, dir);
    std::getline(list, intypes);
    std::getline(list, outtypes);
    if (dir.size() >= 2 && (dir[0] == '"' || dir[0] == '\'')) dir = dir.substr(1, dir.find(dir[0], 1) - 1);
    std::vector<std::string> ids;
    while (std::getline(list, id))
        if (!id.empty()) ids.push_back(id);

    std::vector<double> in, out;
    for (const auto& p : ids) {
        for (const auto& t : words(intypes)) numbers(dir + "/" + p + "/" + t, in);
        for (const auto& t : words(outtypes)) numbers(dir + "/" + p + "/" + t, out);
    }
    const int ntotp = static_cast<int>(ids.size());
    const int nip = static_cast<int>(in.size()) / ntotp;
    const int nop = static_cast<int>(out.size()) / ntotp;
    const int ntrap = ntotp - static_cast<int>(std::lround(ntotp * 0.05));

    struct fann* ann = fann_create_standard(4, nip, 21, 21, nop);
    fann_set_activation_function_hidden(ann, FANN_SIGMOID_SYMMETRIC);
    fann_set_activation_function_output(ann, FANN_SIGMOID_SYMMETRIC);
    fann_set_activation_steepness_hidden(ann, 0.2);
    fann_set_activation_steepness_output(ann, 0.2);
    fann_set_training_algorithm(ann, FANN_TRAIN_INCREMENTAL);
    fann_set_train_error_function(ann, FANN_ERRORFUNC_LINEAR);
    fann_set_learning_rate(ann, 0.001f);
    fann_set_learning_momentum(ann, 0.4f);
    std::srand(12345);
    fann_randomize_weights(ann, -0.1, 0.1);

    std::vector<int> order(ntrap);  // a fixed order: one shuffle, kept for every epoch
    for (int i = 0; i < ntrap; ++i) order[i] = i;
    unsigned long long s = 88172645463325252ULL;
    for (int i = ntrap - 1; i > 0; --i) {
        s ^= s << 13, s ^= s >> 7, s ^= s << 17;
        std::swap(order[i], order[s % static_cast<unsigned>(i + 1)]);
    }

    std::vector<double> times;
    double etr = 0, ete = 0, etr1 = 0;
    for (int e = 0; e < epochs; ++e) {
        double t0 = bench::now();
        etr = 0;
        for (int i = 0; i < ntrap; ++i) {
            int k = order[i];
            fann_train(ann, &in[static_cast<std::size_t>(k) * nip], &out[static_cast<std::size_t>(k) * nop]);
            const fann_type* y = ann->output;  // fann_train's forward pass: the outputs before the update
            for (int j = 0; j < nop; ++j) etr += std::fabs(out[static_cast<std::size_t>(k) * nop + j] - y[j]);
        }
        ete = 0;
        for (int k = ntrap; k < ntotp; ++k) {
            fann_type* y = fann_run(ann, &in[static_cast<std::size_t>(k) * nip]);
            for (int j = 0; j < nop; ++j) ete += std::fabs(out[static_cast<std::size_t>(k) * nop + j] - y[j]);
        }
        double t1 = bench::now();
        etr /= ntrap * nop;
        ete /= (ntotp - ntrap) * nop;
        if (e == 0) etr1 = etr;
        if (e > 0) times.push_back(t1 - t0);  // the first epoch warms the caches
    }
    std::printf("# fann: nip %d nop %d ntotp %d ntrap %d, test error after the last epoch %.6f\n", nip, nop, ntotp,
                ntrap, ete);
    bench::result("fann_training_error_first", etr1, "");
    bench::result("fann_training_error_last", etr, "");
    bench::result("fann_epoch_median", bench::median(times) * 1e3, "ms");
    bench::result("fann_epoch_min", times.empty() ? 0.0 : *std::min_element(times.begin(), times.end()) * 1e3,
                  "ms");
    fann_destroy(ann);
    return 0;
}
