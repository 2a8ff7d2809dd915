// Test helpers for the trainer's tests: a small protein database built in a temporary
// directory from the real target files of examples/proteins/targets (ss.target: 2 values,
// rg.target: 1 value) plus synthetic input tables, and the Failure a routine throws.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/run.hpp"
#include "textio/error.hpp"

namespace testing_support {

// The sample names of the example targets, sorted.
inline std::vector<std::string> sample_ids() {
    std::vector<std::string> ids;
    for (const auto& e : std::filesystem::directory_iterator(examples("proteins/targets")))
        ids.push_back(e.path().filename().string());
    std::sort(ids.begin(), ids.end());
    return ids;
}

struct Db {
    std::string dir;                  // the database directory (absolute)
    std::string list;                 // the list file (absolute)
    std::vector<std::string> ids;     // identifiers, list order
};

// n proteins (n <= 40) in <root>/db, list file <root>/<list>.  Inputs: "a.in" (a comment line,
// then 4 lines of 3 numbers) and "b.in" (one number); outputs: the types named in outs.
inline Db make_db(const std::string& root, int n, const std::string& outs = "ss.target",
                  const std::string& list = "kelta.db") {
    Db db;
    db.dir = root + "/db";
    db.list = root + "/" + list;
    std::filesystem::create_directories(db.dir);
    std::vector<std::string> all = sample_ids();
    std::string text = "'" + db.dir + "'\na.in b.in\n" + outs + "\n";
    unsigned s = 12345;
    auto rnd = [&s] {
        s = s * 1103515245u + 12345u;
        return static_cast<double>((s >> 8) % 10000) / 10000.0;
    };
    for (int p = 0; p < n; ++p) {
        const std::string& id = all[static_cast<std::size_t>(p)];
        db.ids.push_back(id);
        std::string pd = db.dir + "/" + id;
        std::filesystem::create_directories(pd);
        for (const char* t : {"ss.target", "rg.target"})
            std::filesystem::copy_file(examples("proteins/targets/" + id + "/" + t), pd + "/" + t,
                          std::filesystem::copy_options::overwrite_existing);
        std::string a = "# synthetic input table\n";
        for (int r = 0; r < 4; ++r)
            a += std::to_string(rnd()) + " " + std::to_string(rnd()) + " " + std::to_string(rnd()) + "\n";
        write_file(pd + "/a.in", a);
        write_file(pd + "/b.in", std::to_string(rnd()) + "\n");
        text += id + "\n";
    }
    write_file(db.list, text);
    return db;
}

// Runs f and returns the Failure it throws (status -1 and an empty message when none).
template <class F>
textio::Failure failure_of(F&& f) {
    try {
        f();
    } catch (const textio::Failure& e) {
        return e;
    }
    return textio::Failure(-1, "");
}

}  // namespace testing_support
