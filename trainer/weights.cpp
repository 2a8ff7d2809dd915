// Weight files: readwei, writewei, savewei.
//
// State: readwei writes nn_wei (wi, wh, wo), nn_owei (previous changes = weight/10) and the
// caller's hidden sizes and alpha; it may set the network storage up again (see below).
// writewei reads data_files (datdir, type names) and nn_wei_sv; savewei copies nn_wei into
// nn_wei_sv (the first layer from the training kernel's working copy, nn_work).
//
// Weight-file layout: line 1 the database directory in double quotes (a quote inside it
// doubled, as free-form reading expects); lines 2 and 3 the input and output type names,
// "(100(a,1x))" (each name followed by one blank); line 4 free-form "nip nw1 nw2 nop alpha";
// then one weight per line, free-form with 17 significant digits, the
// three matrices in turn, source index outer and target index inner (the target index changes
// first, the opposite of the memory order).
//
// Choices of ours: a file whose hidden layers are larger than the network storage makes
// readwei set the storage up again with the file's sizes before any weight is read (the
// database is not reloaded), so nothing is ever written outside the storage; negative hidden
// sizes, and sizes that ask for more weights than the file has lines left, are refused as
// malformed (status 2) before any storage is set up for them; so are a NaN or infinite
// weight or activation parameter (file and line), which would make every output NaN.  writewei builds the whole text
// first and creates the file in one step: it appears complete or not at all, and an existing
// file is never touched.
#include <cmath>
#include <string>

#include "textio/error.hpp"
#include "textio/files.hpp"
#include "textio/format.hpp"
#include "textio/freeform.hpp"
#include "textio/source.hpp"
#include "trainer/nntrain.hpp"

namespace nntrain {

namespace {

// True when the storage holds a network of these sizes (bias rows included; sizes up to the
// largest 32-bit integer).
bool fits(const State& st, std::int64_t ninp, std::int64_t nhid1, std::int64_t nhid2, std::int64_t nout) {
    const NnWei& w = st.nn_wei;
    return w.exists && w.wi.ld >= ninp + 1 && w.wi.cols >= nhid1 && w.wh.ld >= nhid1 + 1 && w.wh.cols >= nhid2 &&
           w.wo.ld >= nhid2 + 1 && w.wo.cols >= nout;
}

// Lines after the current one that hold anything but blanks: the most weights the rest of the
// file can give, each weight taking a line of its own.  The reading position is kept.
std::int64_t lines_left(textio::Source& src) {
    const std::int64_t at = src.line_no();
    std::int64_t n = 0;
    std::string_view line;
    while (src.next_line(line))
        if (line.find_first_not_of(" \t") != std::string_view::npos) ++n;
    src.rewind();
    while (src.line_no() < at && src.next_line(line)) {
    }
    return n;
}

// Refuses (status 2, naming the file and line) a NaN or infinite value read from a weight
// file: one such weight makes every output of the network NaN, and every ensemble it joins.
void check_finite(const textio::Source& src, double v, const char* what) {
    if (!std::isfinite(v))
        src.error(std::string("expected a finite ") + what + ", found " +
                  (std::isnan(v) ? "NaN" : v > 0 ? "Infinity" : "-Infinity"));
}

// Reads one block of weights in file order (source outer, target inner).
void read_block(textio::Source& src, Mat& w, Mat& old, int nsrc, int ntgt) {
    for (int k = 1; k <= nsrc + 1; ++k)
        for (int j = 1; j <= ntgt; ++j) {
            double& v = w(k, j);
            textio::read(src, {textio::Item::of(v)}, "a weight");
            check_finite(src, v, "weight");
            old(k, j) = v / 10.0;
        }
}

void write_block(std::string& text, const Mat& w, int nsrc, int ntgt) {
    for (int k = 1; k <= nsrc + 1; ++k)
        for (int j = 1; j <= ntgt; ++j) text += textio::FreeLine().num(w(k, j)).str();
}

}  // namespace

// Refuses sizes that ask for more weights than the file has lines for, before any storage is
// set up for them (a damaged sizes line must not cost the memory it claims).
void check_weight_claim(textio::Source& src, std::int64_t ninp, std::int64_t nhid1, std::int64_t nhid2,
                        std::int64_t nout) {
    const std::int64_t have = lines_left(src);
    std::int64_t need = 0;  // each term is below 2^62; the sum is compared as it grows
    for (std::int64_t term : {(ninp + 1) * nhid1, (nhid1 + 1) * nhid2, (nhid2 + 1) * nout}) {
        need += term;
        if (need > have)
            src.error("the sizes ask for more weights than the " + std::to_string(have) + " lines that follow hold");
    }
}

void readwei(State& st, const std::string& fname, int ninp, int& nhid1, int& nhid2, int nout, double& alpha) {
    sync_weights(st);  // from here on the column-major weights are the current ones
    // The file whose header the database load has just read is not read a second time.
    DataFiles& d = st.data_files;
    textio::Source src = d.header_of == fname && !fname.empty() ? textio::Source::from_text(fname, std::move(d.header_text))
                                                                : textio::Source::open(fname);
    d.header_of.clear();
    d.header_text.clear();
    std::string_view skipped;
    for (int n = 0; n < 3; ++n)
        if (!src.next_line(skipped)) src.eof_error("the sizes line of a weight file");
    std::int32_t fnip = 0, fnop = 0;  // the file's input and output counts
    textio::read(src,
                 {textio::Item::of(fnip), textio::Item::of(nhid1), textio::Item::of(nhid2), textio::Item::of(fnop),
                  textio::Item::of(alpha)},
                 "the sizes line of a weight file");
    check_finite(src, alpha, "activation parameter");
    if (fnip != ninp || fnop != nout)
        textio::fail(textio::status_stop,
                     textio::free_line("Different number of inputs/output b/w data and weight files, aborting.", ninp,
                                       fnip, nout, fnop));
    if (nhid1 < 0 || nhid2 < 0)
        src.error("expected hidden-layer sizes of at least 0, found " + std::to_string(nhid1) + " and " +
                  std::to_string(nhid2));
    check_weight_claim(src, ninp, nhid1, nhid2, nout);
    if (!fits(st, ninp, nhid1, nhid2, nout)) {
        st.all_sizes.nw1 = nhid1;
        st.all_sizes.nw2 = nhid2;
        make_network_storage(st);
    }
    read_block(src, st.nn_wei.wi, st.nn_owei.oldwi, ninp, nhid1);
    read_block(src, st.nn_wei.wh, st.nn_owei.oldwh, nhid1, nhid2);
    read_block(src, st.nn_wei.wo, st.nn_owei.oldwo, nhid2, nout);
}

void writewei(const State& st, const std::string& fname, int ninp, int nhid1, int nhid2, int nout, double alpha) {
    const DataFiles& df = st.data_files;
    // Line 1 is read back free-form: a quote inside the directory is doubled, so the reader
    // takes it for one quote and not for the end of the text.
    std::string text = "\"";
    for (char c : df.datdir) text += c == '"' ? std::string("\"\"") : std::string(1, c);
    text += "\"\n";
    for (int n = 0; n < df.nsinp; ++n) text += df.sinfyles[n] + " ";
    text += "\n";
    for (int n = 0; n < df.nsutp; ++n) text += df.sutfyles[n] + " ";
    text += "\n";
    text += textio::FreeLine().num(std::int64_t{ninp}).num(std::int64_t{nhid1}).num(std::int64_t{nhid2})
                .num(std::int64_t{nout}).num(alpha).str();
    write_block(text, st.nn_wei_sv.wisv, ninp, nhid1);
    write_block(text, st.nn_wei_sv.whsv, nhid1, nhid2);
    write_block(text, st.nn_wei_sv.wosv, nhid2, nout);
    textio::write_new_file(fname, text);
}

void savewei(State& st) {
    // wi's shape and any part beyond the sizes in force from wi itself, the current first-layer
    // weights from the training kernel's copy, which stays in use.
    st.nn_wei_sv.wisv = st.nn_wei.wi;
    copy_first_layer(st, st.nn_wei_sv.wisv);
    st.nn_wei_sv.whsv = st.nn_wei.wh;
    st.nn_wei_sv.wosv = st.nn_wei.wo;
}

}  // namespace nntrain
