// Database loading speed: the trainer's initdb against a plain iostream loader.
//
//   bench_load LISTFILE [REPS]
//
// Times nntrain::initdb (training mode, the whole list) REPS times on a fresh State and reports
// the median seconds and the megabytes of text per second: the bytes of every data file, the
// first protein's counted twice (it is read once to measure nip and nop, once to load).  The
// peer reads the same files into the same two flat arrays with std::ifstream >> double, the
// way a straightforward loader does.  Each round runs both, one after the other; the first
// round fills the page cache and is not counted.  The two loaders must agree on every value
// (bit for bit).
#include <sys/stat.h>

#include <cstdio>
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
        std::fprintf(stderr, "usage: bench_load LISTFILE [REPS]\n");
        return 2;
    }
    const std::string list = argv[1];
    const int reps = argc > 2 ? std::atoi(argv[2]) : 5;
    Db db = readlist(list);
    double bytes = 0;
    for (std::size_t p = 0; p < db.ids.size(); ++p)
        for (const auto* types : {&db.intypes, &db.outtypes})
            for (const auto& t : *types) {
                double b = file_bytes(db.dir + "/" + db.ids[p] + "/" + t);
                bytes += p == 0 ? 2 * b : b;
            }

    return textio::run_main([&] {
        std::vector<double> ours, peer;
        std::vector<double> in, out;
        std::size_t nin = 0;
        for (int r = 0; r < reps + 1; ++r) {  // round 0 warms the page cache and is not counted
            nntrain::State st;
            st.data_files.fylein = list;
            double t0 = bench::now();
            nntrain::initdb(st);
            double t1 = bench::now();
            iostream_load(db, in, out);
            double t2 = bench::now();
            if (r == 0 && (in != st.nn_input.protin || out != st.nn_input.protut)) {
                std::fprintf(stderr, "bench_load: initdb and the iostream loader disagree\n");
                std::exit(1);
            }
            nin = in.size();
            if (r > 0) ours.push_back(t1 - t0), peer.push_back(t2 - t1);
        }
        std::printf("# %zu proteins, %zu input values, %.1f MB of text\n", db.ids.size(), nin, bytes / 1e6);
        double mo = bench::median(ours), mp = bench::median(peer);
        bench::result("load_initdb_median", mo, "s");
        bench::result("load_initdb_rate", bytes / mo / 1e6, "MB/s");
        bench::result("load_iostream_median", mp, "s");
        bench::result("load_iostream_rate", bytes / mp / 1e6, "MB/s");
    });
}
