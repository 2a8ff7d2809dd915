// nntrain command line, option table and random seed: readcmd, printhelp, inttget,
// seed_words, seed_random.
//
// State written: the settings of all_sizes, data_files and randseed (their defaults, then the
// switches), the option record weiadd, and the seeding of
// the random stream.  printhelp only reads the settings.
//
// External format: the nntrain command line (one-dash switches compared whole, each value the
// word after its switch, value words examined again in their own turn) and the option table
// on standard output, laid out "(A10,A40,A20)" / "(A10,A40,I20)" / "(A10,A40,D20.6)".
//
// Choices of ours: an unrecognised switch stops with status 1 (not 0); `--help` is `-h`;
// `--version` prints "nntrain <version>" on standard output and stops (status 0), after the
// switches to its left.
#include <cmath>
#include <cstdint>
#include <ctime>

#include "textio/error.hpp"
#include "textio/files.hpp"
#include "textio/format.hpp"
#include "textio/freeform.hpp"
#include "textio/source.hpp"
#include "textio/text.hpp"
#include "trainer/nntrain.hpp"
#include "version.hpp"

namespace nntrain {

namespace {

enum class Kind { text, integer, real, flag };

struct Switch {
    const char* name;
    Kind kind;
    bool underscore;  // the option record puts "_" between the switch and its value
};

// In the order in which a word is compared with them.
constexpr Switch switches[] = {
    {"-l", Kind::text, false},     {"-d", Kind::text, false},    {"-wf", Kind::text, false},
    {"-owf", Kind::text, false},   {"-pr1", Kind::text, false},  {"-prl", Kind::text, false},
    {"-m", Kind::integer, false},  {"-np", Kind::integer, false}, {"-r", Kind::integer, false},
    {"-f", Kind::real, false},     {"-h1", Kind::integer, true}, {"-h2", Kind::integer, true},
    {"-mi", Kind::integer, false}, {"-a", Kind::real, true},     {"-u", Kind::real, true},
    {"-p", Kind::real, true},      {"-df", Kind::flag, false},   {"-nsw", Kind::flag, false},
    {"-aw", Kind::text, false},    {"-dd", Kind::flag, false},
};

void defaults(State& st) {
    AllSizes& s = st.all_sizes;
    DataFiles& d = st.data_files;
    d.fylein = "kelta.db";
    s.nte = 1000;
    s.ntotp = 0;
    d.datdir.clear();
    d.weifl.clear();
    d.oweifl.clear();
    d.prdfl.clear();
    d.prdlist.clear();
    st.randseed.itsd = inttget(7);
    s.alpha = static_cast<double>(0.2f);
    d.weiadd.clear();
    s.fcv = 0.05;
    s.nw1 = 21;
    s.nw2 = 21;
    s.itbmax = 100;
    s.ratel = static_cast<double>(0.001f);
    s.rmoment = static_cast<double>(0.4f);
    s.jdf = 0;
    s.isame = 1;
    s.dbv = 0;
    d.weiav.clear();
}

// Refuses (status 2) a switch value outside the range its setting can take, naming the
// switch and the word: "value of -f: expected a number from 0 to 1, found '1.02'".
[[noreturn]] void out_of_range(const std::string& sw, const std::string& word, const char* expected) {
    textio::fail(textio::status_io, "value of " + sw + ": expected " + expected + ", found " + textio::shown(word));
}

// Every real setting must be a finite number: a NaN or infinite rate, momentum or activation
// parameter turns every weight into NaN, and -f must give a test fold within the list (a
// share above 1 would make the training fold negative).
double real_value(const std::string& word, const std::string& sw) {
    double v = 0;
    textio::read_word(word, textio::Item::of(v), "value of " + sw);
    if (!std::isfinite(v)) out_of_range(sw, word, "a finite number");
    if (sw == "-f" && !(v >= 0.0 && v <= 1.0)) out_of_range(sw, word, "a number from 0 to 1");
    return v;
}

// Hidden layers of at least one node, a protein count of at least 0.
std::int32_t int_value(const std::string& word, const std::string& sw) {
    std::int32_t v = 0;
    textio::read_word(word, textio::Item::of(v), "value of " + sw);
    if ((sw == "-h1" || sw == "-h2") && v < 1) out_of_range(sw, word, "an integer of at least 1");
    if (sw == "-np" && v < 0) out_of_range(sw, word, "an integer of at least 0");
    return v;
}

// The value of the switch words[i]: the next word, blank when there is none.  A longer value
// than a text holds is refused: cut, a name would be another file.
std::string value_word(const std::vector<std::string>& words, std::size_t i) {
    if (i + 1 >= words.size()) return {};
    if (textio::rtrim(words[i + 1]).size() > textlen)
        textio::fail(textio::status_io, "value of " + textio::fixtext(words[i], textlen) + ": " + too_long(words[i + 1]));
    return textio::fixtext(words[i + 1], textlen);
}

const Switch* find_switch(const std::string& arg) {
    for (const Switch& sw : switches)
        if (arg == sw.name) return &sw;
    return nullptr;
}

// Checks every value the scan of readcmd will meet, up to the word that ends the scan (-h,
// --help, --version, an unknown switch), before the scan reads any file (the list of -aw): a value
// out of range or too long is refused before anything is read or written.
void check_values(const std::vector<std::string>& words) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string arg = textio::fixtext(words[i], textlen);
        const Switch* hit = find_switch(arg);
        if (!hit) {
            if (!arg.empty() && arg[0] == '-') return;  // -h, --help, --version or a word that stops the run
            continue;
        }
        if (hit->kind == Kind::flag) continue;
        const std::string value = value_word(words, i);
        if (hit->kind == Kind::integer) int_value(value, hit->name);
        if (hit->kind == Kind::real) real_value(value, hit->name);
    }
}

// Stores the value of switch sw (checked by check_values).
void apply(State& st, const std::string& sw, const std::string& value) {
    AllSizes& s = st.all_sizes;
    DataFiles& d = st.data_files;
    auto intv = [&](int& target) { target = int_value(value, sw); };
    if (sw == "-l") d.fylein = value;
    else if (sw == "-d") d.datdir = value;
    else if (sw == "-wf") d.weifl = value;
    else if (sw == "-owf") d.oweifl = value;
    else if (sw == "-pr1") d.prdfl = value;
    else if (sw == "-prl") d.prdfl = d.prdlist = value;
    else if (sw == "-m") intv(s.nte);
    else if (sw == "-np") intv(s.ntotp);
    else if (sw == "-r") intv(st.randseed.itsd);
    else if (sw == "-f") s.fcv = real_value(value, sw);
    else if (sw == "-h1") intv(s.nw1);
    else if (sw == "-h2") intv(s.nw2);
    else if (sw == "-mi") intv(s.itbmax);
    else if (sw == "-a") s.alpha = real_value(value, sw);
    else if (sw == "-u") s.ratel = real_value(value, sw);
    else if (sw == "-p") s.rmoment = real_value(value, sw);
    else if (sw == "-df") s.jdf = 1;
    else if (sw == "-nsw") s.isame = 0;
    else if (sw == "-dd") s.dbv = 1;
    else if (sw == "-aw") {
        d.weiav = value;
        // Read once, here: a pipe or a FIFO cannot be read again.
        textio::Source src = textio::Source::open(d.weiav);
        d.weinames.clear();
        for (std::string name; read_weight_name(src, name);) d.weinames.push_back(name);
        if (d.weinames.empty()) src.eof_error("the name of a weight file");
        d.weifl = d.weinames.front();
        d.fylein.clear();
    }
}

}  // namespace

std::string too_long(std::string_view name) {
    return "a name of " + std::to_string(textio::rtrim(name).size()) + " characters, at most " +
           std::to_string(textlen) + " can be kept";
}

bool read_weight_name(textio::Source& src, std::string& name) {
    std::string word;
    if (!textio::try_read_word(src, word, textlen + 1)) return false;
    if (word.size() > textlen) src.error(too_long(word));
    name = word;
    return true;
}

namespace {

std::string padded(const char* s, std::size_t n) {
    std::string t(s);
    if (t.size() < n) t.append(n - t.size(), ' ');
    return t;
}

// One row of the option table: the switch padded to 3, the description padded to 33 (32 for
// the four-character switches), each right-justified in its field.
std::string row(const char* sw, const char* desc) {
    std::string s = padded(sw, 3);
    return textio::fmt_a(s, 10) + textio::fmt_a(padded(desc, s.size() > 3 ? 32 : 33), 40);
}

}  // namespace

void readcmd(State& st, const std::vector<std::string>& words) {
    DataFiles& d = st.data_files;
    defaults(st);
    check_values(words);
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string word = textio::fixtext(words[i], textlen);
        const Switch* hit = find_switch(word);
        if (hit) {
            const bool valued = hit->kind != Kind::flag;
            const std::string value = valued ? value_word(words, i) : std::string();  // the word after the switch
            apply(st, hit->name, value);
            std::string rec = d.weiadd + hit->name;
            if (hit->underscore) rec += "_";
            if (valued) rec += value;
            d.weiadd = textio::fixtext(rec, textlen);
            continue;
        }
        if (word == "-h" || word == "--help") {
            printhelp(st, stdout);
            textio::stop_normally();
        }
        if (word == "--version") {
            textio::out(std::string("nntrain ") + PROTNN_VERSION + "\n");
            textio::stop_normally();
        }
        // Value words are passed over here; only a word that looks like a switch stops the run.
        if (!word.empty() && word[0] == '-')
            textio::fail(textio::status_stop, textio::free_line("Aborting, didnt recognize ", word));
    }
    seed_random(st);
}

void printhelp(const State& st, std::FILE* out) {
    const AllSizes& s = st.all_sizes;
    const DataFiles& d = st.data_files;
    std::string t = textio::free_line("Options:") + "\n";
    t += textio::fmt_a("Switch", 10) + textio::fmt_a(padded("Description", 33), 40) + textio::fmt_a("Default", 20) + "\n";
    auto text_row = [&](const char* sw, const char* desc, const std::string& v) {
        t += row(sw, desc) + textio::fmt_a(v, 20) + "\n";
    };
    auto int_row = [&](const char* sw, const char* desc, int v) { t += row(sw, desc) + textio::fmt_i(v, 20) + "\n"; };
    auto real_row = [&](const char* sw, const char* desc, double v) {
        t += row(sw, desc) + textio::fmt_d(v, 20, 6) + "\n";
    };
    auto bare_row = [&](const char* sw, const char* desc) { t += row(sw, desc) + "\n"; };
    text_row("-l", "db_list_file", d.fylein);
    text_row("-d", "data_dir", d.datdir);
    text_row("-wf", "weight input file", d.weifl);
    text_row("-owf", "weights output file", d.oweifl);
    text_row("-pr1", "predict single file (give id)", d.prdfl);
    text_row("-prl", "file of ids to predict", d.prdlist);
    bare_row("-nsw", "Not same weit types, reread db");
    int_row("-m", "max_num_epochs", s.nte);
    text_row("-np", "number_db_files_to_use", "whole_db");
    text_row("-r", "random_seed", "time_dep");
    real_row("-f", "fraction_of_test_fold_of_db", s.fcv);
    int_row("-h1", "num_hid_layer1_nodes", s.nw1);
    int_row("-h2", "num_hid_layer2_nodes", s.nw2);
    int_row("-mi", "max_num_bad_iterations", s.itbmax);
    real_row("-a", "activation_parameter", s.alpha);
    real_row("-u", "learning_rate", s.ratel);
    real_row("-p", "momentum", s.rmoment);
    bare_row("-df", "Use_degeneracy_files");
    bare_row("-aw", "average over weights in file");
    bare_row("-h", "print_this_help");
    t += "\n";
    for (const char* line : {"Train NN prediction. db_list_file first line is database directory,",
                             "second line contains input types (files in ids dirs bellow) third line",
                             "contains output types. Rest of lines are protein ids (7 char max) for",
                             "subdirs in database directory (ids dirs). ",
                             "Degeneracy files should be stored in id-dirs under file name kelta.dgn",
                             "id file with -prl option should have same structure as kelta.db"})
        t += textio::free_line(line) + "\n";
    std::fwrite(t.data(), 1, t.size(), out);
}

std::int32_t inttget(std::int32_t n) {
    if (n == 0) return 7;
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return inttget_at(n, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

std::int32_t inttget_at(std::int32_t n, int hour, int minute, int second) {
    if (n == 0) return 7;
    // The quotients are single precision on purpose: the seed of a given second is fixed.
    float q1 = static_cast<float>(second) / 2.8f;
    double a = std::exp(static_cast<double>(q1));
    std::int32_t r = static_cast<std::int32_t>(a) % 61;
    double b = static_cast<double>(static_cast<float>(r) / 2.8f);
    double h = std::exp(static_cast<double>(static_cast<float>(hour) / 1.74f));
    double m = std::exp(static_cast<double>(static_cast<float>(minute) / 4.35f));
    double e = std::exp(b);
    double x = (((h + m) + e) + 22.0) + static_cast<double>(n);
    double lg = std::log10(x);
    long ex = std::isfinite(lg) ? std::lround(lg) : 0;
    std::uint32_t p = ex < 0 ? 0u : 1u;  // 10 to a negative power is 0 in integers
    for (long k = 0; k < ex; ++k) p *= 10u;
    double f = x - static_cast<double>(static_cast<std::int32_t>(x));
    double res = (std::fabs(static_cast<double>(static_cast<std::int32_t>(p)) * f - x) + b) + 22.0;
    return static_cast<std::int32_t>(res);
}

std::vector<std::int32_t> seed_words(std::int32_t itsd, int k) {
    std::vector<std::int32_t> w(static_cast<std::size_t>(k > 0 ? k : 0));
    for (int i = 1; i <= k; ++i)
        w[static_cast<std::size_t>(i - 1)] =
            static_cast<std::int32_t>(static_cast<std::uint32_t>(itsd / i) + 1u);  // wraps in 32 bits
    return w;
}

void seed_random(State& st) {
    std::vector<std::int32_t> w = seed_words(st.randseed.itsd, Random::nseeds);
    st.randseed.rng.seed(w);
}

}  // namespace nntrain
