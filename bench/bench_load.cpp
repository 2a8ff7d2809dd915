// Database loading speed: the trainer's initdb against a plain iostream loader.
//
//   bench_load LISTFILE [REPS [--no-peer]]
//
// Times nntrain::initdb (training mode, the whole list) REPS times on a fresh State and reports
// the median seconds (wall clock and the process's CPU time, which other work on the machine
// disturbs less) and the megabytes of text per second: the bytes of every data file, each
// counted once (load_bytes).  The peer reads the same files into the same two flat arrays with
// std::ifstream >> double, the way a straightforward loader does; with --no-peer it runs only
// in the first round.  Each round runs both, one after the other; the first round fills the
// page cache and is not counted.  The two loaders must agree on every value (bit for bit), and
// load_checksum (FNV-1a over the bytes of the inputs and the targets) lets run.sh compare
// the bits another build's initdb stores: this file is also compiled against the libraries
// of an earlier revision, so the same harness measures the loader before and after.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/timing.hpp"
#include "textio/error.hpp"
#include "trainer/nntrain.hpp"

namespace {

struct Db {
    std::string dir;
    std::vector<std::string> intypes, outtypes, ids;
};

std::vector<std::string> words(const std::string& line) {
    std::istringstream s(line);
    std::vector<std::string> w;
    for (std::string x; s >> x;) w.push_back(x);
    return w;
}

Db readlist(const std::string& path) {
    std::ifstream f(path);
    Db db;
    std::string l;
    std::getline(f, db.dir);
    if (db.dir.size() >= 2 && (db.dir[0] == '"' || db.dir[0] == '\''))
        db.dir = db.dir.substr(1, db.dir.find(db.dir[0], 1) - 1);
    std::getline(f, l);
    db.intypes = words(l);
    std::getline(f, l);
    db.outtypes = words(l);
    while (std::getline(f, l)) db.ids.push_back(l);
    return db;
}

double cpu_now() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

std::uint64_t fnv1a(const std::vector<double>& v, std::uint64_t h) {
    const auto* b = reinterpret_cast<const unsigned char*>(v.data());
    for (std::size_t i = 0; i < v.size() * sizeof(double); ++i) h = (h ^ b[i]) * 1099511628211ull;
    return h;
}

double file_bytes(const std::string& path) {
    struct stat sb;
    return stat(path.c_str(), &sb) == 0 ? static_cast<double>(sb.st_size) : 0.0;
}

// The peer: every file through an ifstream, every number through operator>>.
void iostream_load(const Db& db, std::vector<double>& in, std::vector<double>& out) {
    in.clear();
    out.clear();
    for (const auto& id : db.ids) {
        for (int dirn = 0; dirn < 2; ++dirn) {
            auto& dst = dirn == 0 ? in : out;
            for (const auto& t : dirn == 0 ? db.intypes : db.outtypes) {
                std::ifstream f(db.dir + "/" + id + "/" + t);
                double v;
                while (f >> v) dst.push_back(v);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_load LISTFILE [REPS [--no-peer]]\n");
        return 2;
    }
    const std::string list = argv[1];
    const int reps = argc > 2 ? std::atoi(argv[2]) : 5;
    const bool peer_every_round = !(argc > 3 && std::string(argv[3]) == "--no-peer");
    Db db = readlist(list);
    double bytes = 0;
    for (const auto& id : db.ids)
        for (const auto* types : {&db.intypes, &db.outtypes})
            for (const auto& t : *types) bytes += file_bytes(db.dir + "/" + id + "/" + t);

    return textio::run_main([&] {
        std::vector<double> ours, ours_cpu, peer;
        std::vector<double> in, out;
        std::size_t nin = 0;
        std::uint64_t checksum = 0;
        for (int r = 0; r < reps + 1; ++r) {  // round 0 warms the page cache and is not counted
            nntrain::State st;
            st.data_files.fylein = list;
            double c0 = cpu_now(), t0 = bench::now();
            nntrain::initdb(st);
            double t1 = bench::now(), c1 = cpu_now();
            if (r == 0 || peer_every_round) {
                iostream_load(db, in, out);
                double t2 = bench::now();
                if (r == 0 && (in != st.nn_input.protin || out != st.nn_input.protut)) {
                    std::fprintf(stderr, "bench_load: initdb and the iostream loader disagree\n");
                    std::exit(1);
                }
                if (r > 0) peer.push_back(t2 - t1);
            }
            if (r == 0) checksum = fnv1a(st.nn_input.protut, fnv1a(st.nn_input.protin, 14695981039346656037ull));
            nin = in.size();
            if (r > 0) ours.push_back(t1 - t0), ours_cpu.push_back(c1 - c0);
        }
        std::printf("# %zu proteins, %zu input values, %.1f MB of text\n", db.ids.size(), nin, bytes / 1e6);
        double mo = bench::median(ours), mc = bench::median(ours_cpu);
        bench::result("load_bytes", bytes, "B");
        std::printf("load_checksum %016llx -\n", static_cast<unsigned long long>(checksum));
        bench::result("load_initdb_median", mo, "s");
        bench::result("load_initdb_cpu_median", mc, "s");
        bench::result("load_initdb_rate", bytes / mo / 1e6, "MB/s");
        bench::result("load_initdb_cpu_rate", bytes / mc / 1e6, "MB/s");
        if (!peer.empty()) {
            double mp = bench::median(peer);
            bench::result("load_iostream_median", mp, "s");
            bench::result("load_iostream_rate", bytes / mp / 1e6, "MB/s");
        }
    });
}
