// The protein database: initdb (header, sizes measured on the first protein, folds, loading
// every protein's inputs and targets back to back), numpro and icountel.
//
// State read: prdfl, prdlist, fylein, weifl, datdir, ntotp, fcv, jdf.  State written: nsinp,
// nsutp, sinfyles, sutfyles, datdir (when blank), nip, nop, ntotp, ntrap, foldpart, lstt,
// lstt2, protin, protut, iprotdg, protid, arg, tmpfl; in the prediction modes also nw1, nw2,
// alpha and fylein (the weight file, whose first four lines are the header).
//
// External formats: the database list file (directory, input types, output types, then one
// identifier per line), the prediction list (identifiers only), the weight-file header, the
// per-protein data files (leading "#" comment lines, then lines of w numbers, w the word
// count of the first data line) and the degeneracy files "kelta.dgn".
//
// Deviations (refusals, exit status 1, before anything is stored out of bounds or loaded from
// a nameless file): more than 100 type names on a header line; more than 1000 numbers on the
// first data line of a file; a protein whose files hold another number of values than the
// first protein's; no database directory (first header item empty or a bare slash, no -d);
// a prediction request without a weight file; a training load from a blank list-file name.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <sys/stat.h>

#include "textio/error.hpp"
#include "textio/format.hpp"
#include "textio/freeform.hpp"
#include "textio/source.hpp"
#include "textio/text.hpp"
#include "trainer/nntrain.hpp"

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

// Passes over the leading comment lines; false when no data line remains.  On true, line is
// the first data line and ncomment the number of comment lines before it.
bool first_data_line(Source& src, std::string_view& line, std::int64_t& ncomment) {
    ncomment = 0;
    while (src.next_line(line)) {
        if (line.empty() || line[0] != '#') return true;
        ++ncomment;
    }
    return false;
}

// Width of a file from its first data line: the numbers on it, separated as the free-form
// reads that load the file separate them (blanks, tabs or commas).  Counting words between
// blanks only would take "0.1,0.2,0.3" for one number, and every read would then drop the
// rest of its line without a word; for the same reason the whole line is counted, not its
// first 3600 characters.
int width_of(const Source& src, std::string_view line) {
    int w = 0;
    bool gap = true;  // before the first character counts as a separator
    for (char c : line) {
        const bool sep = c == ' ' || c == '\t' || c == ',';
        if (!sep && gap) ++w;
        gap = sep;
    }
    if (w > maxwidth)
        refuse(src.where() + ": " + std::to_string(w) + " numbers on the first data line, at most " +
               std::to_string(maxwidth) + " are allowed, aborting.");
    return w;
}

// Values a data file adds, measured by counting lines (the first protein's files).  The
// first protein's line counts size the storage of every protein, so the file is also read
// by numbers, as the loading will read it, and a file whose two counts disagree (an empty or
// short line, say) is refused here, before that storage is asked for.
std::int64_t measure(const std::string& path, std::vector<double>& buf) {
    Source src = Source::open(path);
    std::string_view line;
    std::int64_t ncomment = 0;
    if (!first_data_line(src, line, ncomment)) return 0;
    const int w = width_of(src, line);
    std::int64_t nlines = 1;
    while (src.next_line(line)) ++nlines;
    if (w == 0) return 0;
    src.rewind();
    for (std::int64_t k = 0; k < ncomment; ++k) src.next_line(line);
    std::int64_t reads = 0;
    while (textio::try_read_reals(src, std::span<double>(buf.data(), static_cast<std::size_t>(w)))) ++reads;
    if (reads != nlines)
        refuse(path + ": " + std::to_string(nlines) + " data lines of " + std::to_string(w) + " numbers promise " +
               std::to_string(std::int64_t{w} * nlines) + " values, the file holds " +
               std::to_string(std::int64_t{w} * reads) + " (an empty or short data line?), aborting.");
    return std::int64_t{w} * nlines;
}

// Loads one data file into out[pos ...], w numbers per read; end is the end of the protein's
// slice, which no value may pass.  buf is the read buffer (a slash leaves its old values).
void load_file(const std::string& path, std::vector<double>& out, std::size_t& pos, std::size_t end,
               std::vector<double>& buf, const std::string& id, std::int64_t expected, const char* what) {
    Source src = Source::open(path);
    std::string_view line;
    std::int64_t ncomment = 0;
    if (!first_data_line(src, line, ncomment)) src.eof_error("a data line");
    std::size_t w = static_cast<std::size_t>(width_of(src, line));
    if (w == 0) return;  // an empty first data line: no number is ever stored
    src.rewind();
    for (std::int64_t k = 0; k < ncomment; ++k) src.next_line(line);
    std::span<double> chunk(buf.data(), w);
    while (textio::try_read_reals(src, chunk)) {
        if (pos + w > end)
            refuse(path + ": the " + what + " values of protein '" + id + "' are more than the first protein's " +
                   std::to_string(expected) + ", aborting.");
        std::copy(chunk.begin(), chunk.end(), out.begin() + static_cast<std::ptrdiff_t>(pos));
        pos += w;
    }
}

// True when nothing at all is at path (no file, no directory, no symbolic link), so a
// prediction can take the protein's targets as unknown; anything else is opened and read.
bool absent(const std::string& path) {
    struct stat sb {};
    return ::lstat(path.c_str(), &sb) != 0 && errno == ENOENT;
}

// In prediction, a protein with an output-type file missing has unknown targets.
bool targets_unknown(const State& st, const std::string& id, bool predicting) {
    if (!predicting) return false;
    for (int k = 0; k < st.data_files.nsutp; ++k)
        if (absent(data_path(st, id, st.data_files.sutfyles[static_cast<std::size_t>(k)]))) return true;
    return false;
}

// A protein whose files held fewer values than the first protein's (path: its last file).
[[noreturn]] void short_protein(const std::string& path, const std::string& id, std::size_t got, int expected,
                                const char* what) {
    refuse(path + ": the " + what + " values of protein '" + id + "' are " + std::to_string(got) +
           ", the first protein's " + std::to_string(expected) + ", aborting.");
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

int numpro(const State& st) {
    Source src = Source::open(st.data_files.fylein);
    std::string_view line;
    int n = 0;
    while (src.next_line(line)) ++n;
    return n - 3;
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

    // 1. Protein count.
    if (!predicting) {
        int n = numpro(st);
        if (s.ntotp < 1 || s.ntotp > n) s.ntotp = n;
    } else if (listing) {
        d.fylein = d.prdlist;
        int n = numpro(st);
        if (s.ntotp < 1 || s.ntotp > n) s.ntotp = n + 3;
        d.fylein = d.weifl;
    } else {
        s.ntotp = 1;
        d.fylein = d.weifl;
    }

    // 2. Training fold size.
    s.ntrap = s.ntotp - nint(static_cast<double>(s.ntotp) * s.fcv);

    // 3. Header.
    Source hdr = Source::open(d.fylein);
    std::string dir;
    textio::read(hdr, {Item::of(dir, textlen)}, "the database directory");
    if (d.datdir.empty()) {
        if (dir.empty())
            refuse(d.fylein + ": the first line names no database directory and -d is not given, aborting.");
        d.datdir = dir;
    }
    d.nsinp = read_types(hdr, d.sinfyles, "input");
    d.nsutp = read_types(hdr, d.sutfyles, "output");
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
    }
    Source ids = std::move(hdr);  // the file the identifiers come from
    if (!predicting) {
        d.arg = textio::read_line(ids, textlen, "a protein identifier");
    } else if (!listing) {
        d.arg = d.prdfl;
    } else {
        ids = Source::open(d.prdlist);
        d.arg = textio::read_line(ids, textlen, "a protein identifier");
    }

    // 4. Sizes, measured on the first protein.
    std::vector<double> buf(static_cast<std::size_t>(maxwidth), 0.0);  // one free-form read of a data file
    std::int64_t nip = 0, nop = 0;
    for (int k = 0; k < d.nsinp; ++k) {
        d.tmpfl = data_path(st, d.arg, d.sinfyles[static_cast<std::size_t>(k)]);
        nip += measure(d.tmpfl, buf);
    }
    if (targets_unknown(st, d.arg, predicting)) {
        nop = s.nop;  // the weight file's output count
    } else {
        for (int k = 0; k < d.nsutp; ++k) {
            d.tmpfl = data_path(st, d.arg, d.sutfyles[static_cast<std::size_t>(k)]);
            nop += measure(d.tmpfl, buf);
        }
    }
    if (nip > std::numeric_limits<int>::max() || nop > std::numeric_limits<int>::max())
        refuse("A protein of the database holds more than 2147483647 values, aborting.");
    s.nip = static_cast<int>(nip);
    s.nop = static_cast<int>(nop);

    // 5. Checks.
    if (s.nip < 1 || s.nop < 1)
        textio::fail(textio::status_stop,
                     textio::free_line("Something wrong with database (nip/nop), aborting.", s.nip, s.nop));
    if (!predicting && s.ntotp < 20)
        textio::fail(textio::status_stop,
                     textio::free_line("Something wrong with database (not enough proteins for training), aborting.",
                                       s.ntotp));

    // 6. Summary line.
    d.foldpart = "# DB: nip,nop,ntotp = " + textio::fmt_i(s.nip, 10) + textio::fmt_i(s.nop, 10) +
                 textio::fmt_i(s.ntotp, 10);

    // 7. Storage, replaced whole.
    const std::size_t np = static_cast<std::size_t>(std::max(s.ntotp, 0));
    const std::size_t ntr = static_cast<std::size_t>(std::max(s.ntrap, 0));
    d.lstt.assign(np, 0);
    d.lstt2.assign(ntr, 0);
    in.protin.assign(np * static_cast<std::size_t>(s.nip), 0.0);
    in.iprotdg.assign(np, 1);
    in.protut.assign(np * static_cast<std::size_t>(s.nop), 0.0);
    d.protid.assign(np, std::string());
    for (std::size_t i = 0; i < np; ++i) d.lstt[i] = static_cast<int>(i + 1);
    for (std::size_t i = 0; i < ntr; ++i) d.lstt2[i] = static_cast<int>(i + 1);

    // 8. Back to the start of the identifier file.
    ids.rewind();
    if (!predicting) {
        std::string_view skip;
        for (int k = 0; k < 3; ++k) ids.next_line(skip);
    }

    // 9. Loading, every protein's values back to back.
    std::size_t i = 0, o = 0;
    for (std::size_t p = 0; p < np; ++p) {
        if (predicting && !listing)
            d.arg = d.prdfl;
        else
            d.arg = textio::read_line(ids, textlen, "a protein identifier");
        const std::size_t iend = (p + 1) * static_cast<std::size_t>(s.nip);
        const std::size_t oend = (p + 1) * static_cast<std::size_t>(s.nop);
        for (int k = 0; k < d.nsinp; ++k) {
            d.tmpfl = data_path(st, d.arg, d.sinfyles[static_cast<std::size_t>(k)]);
            load_file(d.tmpfl, in.protin, i, iend, buf, d.arg, s.nip, "input");
        }
        if (i != iend) short_protein(d.tmpfl, d.arg, i - p * static_cast<std::size_t>(s.nip), s.nip, "input");
        const bool unknown = targets_unknown(st, d.arg, predicting);
        if (unknown) {
            // Predicted all the same; the output-type files that are there must still open.
            for (int k = 0; k < d.nsutp; ++k) {
                d.tmpfl = data_path(st, d.arg, d.sutfyles[static_cast<std::size_t>(k)]);
                if (!absent(d.tmpfl)) Source::open(d.tmpfl);
            }
            std::fill(in.protut.begin() + static_cast<std::ptrdiff_t>(o), in.protut.begin() + static_cast<std::ptrdiff_t>(oend),
                      std::numeric_limits<double>::quiet_NaN());
            o = oend;
        }
        for (int k = 0; k < d.nsutp && !unknown; ++k) {
            d.tmpfl = data_path(st, d.arg, d.sutfyles[static_cast<std::size_t>(k)]);
            load_file(d.tmpfl, in.protut, o, oend, buf, d.arg, s.nop, "target");
        }
        if (o != oend) short_protein(d.tmpfl, d.arg, o - p * static_cast<std::size_t>(s.nop), s.nop, "target");
        if (s.jdf == 1) {
            d.tmpfl = textio::fixtext(d.datdir + "/" + d.arg + "/kelta.dgn", textlen);
            Source dgn = Source::open(d.tmpfl);
            std::int32_t count = 1;
            textio::read(dgn, {Item::of(count)}, "a presentation count");
            in.iprotdg[p] = count;
        } else {
            in.iprotdg[p] = 1;
        }
        d.protid[p] = d.arg;
    }
}

}  // namespace nntrain
