// The protein database: initdb (header, proteins, folds, every protein's inputs and targets
// loaded back to back), numpro, icountel and the line count they share.
//
// State read: prdfl, prdlist, fylein, weifl, datdir, ntotp, fcv, jdf, progress.  State
// written: nsinp, nsutp, sinfyles, sutfyles, datdir (when blank), nip, nop, ntotp, ntrap,
// foldpart, lstt, lstt2, protin, protut, iprotdg, protid, prdids; in the prediction modes also
// nw1, nw2, alpha and fylein (the weight file, whose first four lines are the header).
//
// External formats: the database list file (directory, input types, output types, then one
// identifier per line), the prediction list (identifiers only), the weight-file header, the
// per-protein data files (leading "#" comment lines, then lines of w numbers, w the count of
// numbers on the first data line) and the presentation-count files "kelta.dgn".
//
// Every file is read once, whole, and parsed straight into the database storage: the first
// protein's values give the sizes nip and nop, and every later protein fills a slice of
// exactly that size, so no size claim of a file can make the storage grow beyond what the
// bytes read hold.  A list file is read once even when the database is loaded again (-dd),
// so pipes, process substitution and /dev/stdin serve as well as regular files.
//
// Refusals (before anything is stored out of bounds or loaded from a nameless file): more than
// 100 type names on a header line; a first data line without a number, or with more than 1000;
// a data line that does not hold exactly the file's width of numbers (a slash ending it early
// included); a number that is not finite; a protein whose files hold another number of values
// than the first protein's; no database directory (first header item empty or a bare slash, no
// -d); a prediction request without a weight file; a training load from a blank list-file name.
//
// Choices of ours: in prediction, a protein with an output-type file missing (nothing at all at
// its path) has unknown targets, stored as NaN, and is predicted as usual; the output-type
// files that are there are still read and checked.  When the first protein's targets are
// unknown, the output count is the weight file's.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <sys/stat.h>

#include "textio/error.hpp"
#include "textio/format.hpp"
#include "textio/freeform.hpp"
#include "textio/source.hpp"
#include "textio/text.hpp"
#include "trainer/nntrain.hpp"
#include "trainer/progress.hpp"

namespace nntrain {

namespace {

using textio::Item;
using textio::Source;

[[noreturn]] void refuse(const std::string& message) {
    textio::fail(textio::status_stop, textio::free_line(message));
}

// Nearest integer, halves away from zero, saturated to the 32-bit range.
int nint(double v) {
    if (std::isnan(v)) return 0;
    double r = std::round(v);
    if (r >= 2147483647.0) return std::numeric_limits<int>::max();
    if (r <= -2147483648.0) return std::numeric_limits<int>::min();
    return static_cast<int>(r);
}

std::string data_path(const State& st, const std::string& id, const std::string& type) {
    return textio::fixtext(st.data_files.datdir + "/" + id + "/" + type, textlen);
}

// True when nothing at all is at path (no file, no directory, no symbolic link).
bool absent(const std::string& path) {
    struct stat sb {};
    return ::lstat(path.c_str(), &sb) != 0 && errno == ENOENT;
}

// Reads a type-name line: the words of the whole line are counted, then the same line is read
// free-form as that many names.
int read_types(Source& hdr, std::vector<std::string>& names, const char* what) {
    std::string line = textio::read_line(hdr, textlen, std::string("the ") + what + " type names");
    int n = icountel(line);
    if (n > maxtypes)
        refuse(hdr.where() + ": " + std::to_string(n) + " " + what + " type names, at most " +
               std::to_string(maxtypes) + " are allowed, aborting.");
    if (n > 0) {
        Source again = Source::from_text(hdr.where(), line);
        std::vector<Item> items;
        for (int k = 0; k < n; ++k) items.push_back(Item::of(names[static_cast<std::size_t>(k)], textlen));
        textio::read(again, items, std::string("the ") + what + " type names");
    }
    return n;
}

// The values of one direction (inputs or targets) as the proteins are loaded: v holds the
// proteins loaded so far, per values each (0 while the first protein is read, whose values
// set it).
struct Slab {
    std::vector<double>& v;
    std::size_t per = 0;
    const char* what;  // "input" or "target"
};

// One data file, read whole into a buffer that the loader keeps for every file, then parsed
// line by line: each line's numbers into a line buffer, checked, and appended to the protein.
class DataReader {
public:
    // Appends the values of the file at path to the protein being loaded into slab (whose
    // slice starts at from), id naming the protein in messages.
    void load(const std::string& path, Slab& slab, std::size_t from, const std::string& id) {
        textio::read_file(path, text_);
        path_ = &path;
        std::string_view rest(text_);
        if (rest.substr(0, 3) == "\xef\xbb\xbf") rest.remove_prefix(3);  // a byte-order mark
        std::int64_t lineno = 0;
        std::string_view line;
        do {  // leading comment lines
            if (!next_line(rest, line)) {
                if (lineno == 0)
                    textio::fail(textio::status_io, path + ": unexpected end of file (the file is empty), expected a data line");
                textio::fail(textio::status_io, path + ": unexpected end of file after line " + std::to_string(lineno) +
                                                    ", expected a data line");
            }
            ++lineno;
        } while (!line.empty() && line[0] == '#');

        std::size_t w = 0;  // the file's width: the count of numbers on its first data line
        do {
            const std::size_t n = parse(line, lineno);
            if (w == 0) {
                if (slash_) line_error(lineno, "a slash ends the first data line");
                if (n == 0) line_error(lineno, "no number on the first data line");
                if (n > static_cast<std::size_t>(maxwidth))
                    refuse(path + ":" + std::to_string(lineno) + ": " + std::to_string(n) +
                           " numbers on the first data line, at most " + std::to_string(maxwidth) + " are allowed, aborting.");
                w = n;
            } else if (n != w || slash_) {
                line_error(lineno, "expected " + std::to_string(w) + (w == 1 ? " number" : " numbers") +
                                       " as on the first data line, found " + std::to_string(n) +
                                       (slash_ ? " and a slash" : ""));
            }
            // Later proteins fill a slice of the first protein's size, never more.
            if (slab.per != 0 && slab.v.size() + w > from + slab.per)
                refuse(path + ": the " + slab.what + " values of protein '" + id + "' are more than the first protein's " +
                       std::to_string(slab.per) + ", aborting.");
            slab.v.insert(slab.v.end(), values_.begin(), values_.begin() + static_cast<std::ptrdiff_t>(w));
            ++lineno;
        } while (next_line(rest, line));
    }

private:
    std::string text_;                   // the file
    const std::string* path_ = nullptr;  // its name, for messages
    std::vector<double> values_ = std::vector<double>(maxwidth);  // the numbers of one line
    bool slash_ = false;                 // a slash ended the line last parsed

    static bool next_line(std::string_view& rest, std::string_view& line) {
        if (rest.empty()) return false;
        std::size_t nl = rest.find('\n');
        std::size_t len = nl == std::string_view::npos ? rest.size() : nl;
        line = rest.substr(0, len);
        rest.remove_prefix(nl == std::string_view::npos ? len : len + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // CRLF line ends
        return true;
    }

    [[noreturn]] void line_error(std::int64_t lineno, const std::string& what) const {
        textio::fail(textio::status_io, *path_ + ":" + std::to_string(lineno) + ": " + what);
    }

    // The numbers of one data line into values_ (those beyond its size are counted, not
    // kept); returns their count.  Numbers are separated by blanks, tabs or one comma with
    // optional blanks around it; a slash ends the line (slash_ says so).
    std::size_t parse(std::string_view line, std::int64_t lineno) {
        std::size_t n = 0, p = 0;
        bool comma = false;  // a comma since the last number
        slash_ = false;
        const std::size_t size = line.size();
        while (p < size) {
            const char c = line[p];
            if (c == ' ' || c == '\t') {
                ++p;
                continue;
            }
            if (c == ',') {
                if (n == 0 || comma) line_error(lineno, "empty item (a comma with no value before it)");
                comma = true;
                ++p;
                continue;
            }
            if (c == '/') {
                slash_ = true;
                break;
            }
            const std::size_t start = p;
            while (p < size && line[p] != ' ' && line[p] != '\t' && line[p] != ',' && line[p] != '/') ++p;
            const std::string_view tok = line.substr(start, p - start);
            double v = 0;
            if (!textio::parse_real(tok, v)) line_error(lineno, "expected a number, found " + textio::shown(tok));
            if (!std::isfinite(v)) line_error(lineno, "expected a finite number, found " + textio::shown(tok));
            if (n < values_.size()) values_[n] = v;
            ++n;
            comma = false;
        }
        return n;
    }
};

// A protein whose files held fewer values than the first protein's (path: its last file).
[[noreturn]] void short_protein(const std::string& path, const std::string& id, std::size_t got, std::size_t expected,
                                const char* what) {
    refuse(path + ": the " + what + " values of protein '" + id + "' are " + std::to_string(got) +
           ", the first protein's " + std::to_string(expected) + ", aborting.");
}

// Loads one protein's files of one direction into slab; the first protein's set slab.per.
void load_protein(const State& st, DataReader& reader, Slab& slab, const std::vector<std::string>& types, int ntypes,
                  const std::string& id) {
    const std::size_t from = slab.v.size();
    std::string path;
    for (int k = 0; k < ntypes; ++k) {
        path = data_path(st, id, types[static_cast<std::size_t>(k)]);
        reader.load(path, slab, from, id);
    }
    if (slab.per != 0 && slab.v.size() - from != slab.per) short_protein(path, id, slab.v.size() - from, slab.per, slab.what);
}

// In prediction, a protein with an output-type file missing has unknown targets.
bool targets_unknown(const State& st, const std::string& id) {
    for (int k = 0; k < st.data_files.nsutp; ++k)
        if (absent(data_path(st, id, st.data_files.sutfyles[static_cast<std::size_t>(k)]))) return true;
    return false;
}

// Reads the present output-type files of a protein whose targets are unknown, so that one
// that cannot be read or holds a bad number still stops the run, and stores nop NaN targets.
void unknown_targets(const State& st, DataReader& reader, Slab& slab, const std::string& id, std::size_t nop) {
    std::vector<double> scratch;
    Slab check{scratch, 0, slab.what};
    for (int k = 0; k < st.data_files.nsutp; ++k) {
        const std::string path = data_path(st, id, st.data_files.sutfyles[static_cast<std::size_t>(k)]);
        if (!absent(path)) reader.load(path, check, 0, id);
    }
    slab.v.resize(slab.v.size() + nop, std::numeric_limits<double>::quiet_NaN());
}

}  // namespace

int icountel(const std::string& line) {
    std::string_view s = textio::rtrim(line);
    int n = 0;
    bool gap = true;  // before position 1 counts as a blank
    for (char c : s) {
        bool sep = c == ' ' || c == '\t';
        if (!sep && gap) ++n;
        gap = sep;
    }
    return n;
}

std::int64_t line_count(Source& src) {
    src.rewind();
    std::string_view line;
    std::int64_t n = 0;
    while (src.next_line(line)) ++n;
    src.rewind();
    return n;
}

int numpro(const State& st) {
    Source src = Source::open(st.data_files.fylein);
    return static_cast<int>(std::min<std::int64_t>(line_count(src), std::numeric_limits<int>::max())) - 3;
}

void initdb(State& st) {
    AllSizes& s = st.all_sizes;
    DataFiles& d = st.data_files;
    NnInput& in = st.nn_input;
    const bool predicting = !d.prdfl.empty();
    const bool listing = !d.prdlist.empty();

    if (predicting && d.weifl.empty())
        refuse("A prediction needs a weight file (-wf, or -aw with a list of them), aborting.");
    if (!predicting && d.fylein.empty())
        refuse("No database list file to load (-aw without -pr1 or -prl needs -l after it), aborting.");

    // 1. The proteins: the identifiers from line 4 of the list file, or the prediction list
    // (read once; a reload takes them from prdids), or the one -pr1 names.
    std::vector<std::string> ids;
    std::optional<Source> list;
    if (!predicting) {
        list.emplace(Source::open(d.fylein));
        const std::int64_t n = line_count(*list) - 3;
        if (s.ntotp < 1 || s.ntotp > n) s.ntotp = static_cast<int>(std::min<std::int64_t>(n, std::numeric_limits<int>::max()));
    } else if (listing) {
        if (d.prdids_from != d.prdlist) {
            Source src = Source::open(d.prdlist);
            d.prdids.clear();
            std::string_view line;
            while (src.next_line(line)) d.prdids.push_back(textio::fixtext(line, textlen));
            d.prdids_from = d.prdlist;
        }
        // The proteins in use: -np, when it leaves out a protein beyond the first three lines'
        // worth; the whole list otherwise.
        const std::int64_t n = static_cast<std::int64_t>(d.prdids.size()) - 3;
        if (s.ntotp < 1 || s.ntotp > n) s.ntotp = static_cast<int>(d.prdids.size());
        d.fylein = d.weifl;
    } else {
        s.ntotp = 1;
        d.fylein = d.weifl;
    }

    // 2. Training fold size.
    s.ntrap = s.ntotp - nint(static_cast<double>(s.ntotp) * s.fcv);

    // 3. Header.
    Source hdr = list ? std::move(*list) : Source::open(d.fylein);
    std::string dir;
    textio::read(hdr, {Item::of(dir, textlen)}, "the database directory");
    if (d.datdir.empty()) {
        if (dir.empty())
            refuse(d.fylein + ": the first line names no database directory and -d is not given, aborting.");
        d.datdir = dir;
    }
    d.nsinp = read_types(hdr, d.sinfyles, "input");
    d.nsutp = read_types(hdr, d.sutfyles, "output");
    std::int32_t header_nop = 0;  // prediction: the weight file's output count
    if (predicting) {
        textio::read(hdr,
                     {Item::of(s.nip), Item::of(s.nw1), Item::of(s.nw2), Item::of(s.nop), Item::of(s.alpha)},
                     "the sizes nip, nw1, nw2, nop and alpha");
        // The storage is sized from these before the weights are read: sizes the file cannot
        // hold are refused now, naming the file, rather than costing the memory they claim.
        if (s.nip < 0 || s.nw1 < 0 || s.nw2 < 0 || s.nop < 0)
            hdr.error("expected layer sizes of at least 0, found " + std::to_string(s.nip) + " " +
                      std::to_string(s.nw1) + " " + std::to_string(s.nw2) + " " + std::to_string(s.nop));
        check_weight_claim(hdr, s.nip, s.nw1, s.nw2, s.nop);
        header_nop = s.nop;
    }
    const std::size_t np = static_cast<std::size_t>(std::max(s.ntotp, 0));
    auto id_of = [&](std::size_t p, std::string_view& line) -> std::string {
        if (!predicting) {
            if (p == 0) {
                hdr.rewind();
                for (int k = 0; k < 3; ++k) hdr.next_line(line);
            }
            return textio::read_line(hdr, textlen, "a protein identifier");
        }
        if (!listing) return d.prdfl;
        if (p >= d.prdids.size()) textio::fail(textio::status_io, d.prdlist + ": unexpected end of file (the file is empty), expected a protein identifier");
        return d.prdids[p];
    };

    // 4. The proteins, one after the other, each file read once; the first protein's values
    // set the sizes, which are checked before any other protein is read.
    DataReader reader;
    std::vector<double> protin, protut;
    Slab ins{protin, 0, "input"}, outs{protut, 0, "target"};
    std::vector<int> counts;
    std::vector<std::string> names;
    Progress& progress = st.progress;
    std::string_view skip;
    // With no protein in use the first identifier is still read: its absence is the error.
    const std::size_t nload = np > 0 ? np : 1;
    for (std::size_t p = 0; p < nload; ++p) {
        const std::string id = id_of(p, skip);
        load_protein(st, reader, ins, d.sinfyles, d.nsinp, id);
        if (predicting && targets_unknown(st, id))
            unknown_targets(st, reader, outs, id, p == 0 ? static_cast<std::size_t>(header_nop) : outs.per);
        else
            load_protein(st, reader, outs, d.sutfyles, d.nsutp, id);
        if (p == 0) {
            if (protin.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
                protut.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
                refuse("A protein of the database holds more than 2147483647 values, aborting.");
            s.nip = static_cast<int>(protin.size());
            s.nop = static_cast<int>(protut.size());
            if (s.nip < 1 || s.nop < 1)
                textio::fail(textio::status_stop,
                             textio::free_line("Something wrong with database (nip/nop), aborting.", s.nip, s.nop));
            if (!predicting && s.ntotp < 20)
                textio::fail(textio::status_stop,
                             textio::free_line("Something wrong with database (not enough proteins for training), aborting.",
                                               s.ntotp));
            ins.per = protin.size();
            outs.per = protut.size();
        }
        std::int32_t count = 1;
        if (s.jdf == 1) {
            Source dgn = Source::open(textio::fixtext(d.datdir + "/" + id + "/kelta.dgn", textlen));
            textio::read(dgn, {Item::of(count)}, "a presentation count");
        }
        counts.push_back(count);
        names.push_back(id);
        progress.loading(p + 1, np);
    }
    progress.clear();

    // 5. Summary line.
    d.foldpart = "# DB: nip,nop,ntotp = " + textio::fmt_i(s.nip, 10) + textio::fmt_i(s.nop, 10) +
                 textio::fmt_i(s.ntotp, 10);

    // 6. Storage, replaced whole.
    const std::size_t ntr = static_cast<std::size_t>(std::max(s.ntrap, 0));
    d.lstt.assign(np, 0);
    d.lstt2.assign(ntr, 0);
    for (std::size_t i = 0; i < np; ++i) d.lstt[i] = static_cast<int>(i + 1);
    for (std::size_t i = 0; i < ntr; ++i) d.lstt2[i] = static_cast<int>(i + 1);
    in.protin = std::move(protin);
    in.protut = std::move(protut);
    in.iprotdg = std::move(counts);
    d.protid = std::move(names);
}

}  // namespace nntrain
