// The run, command-line scan, help text, types file and type lookup shared by pairdist and
// depthdist.  Reads and writes the state group (see driver.hpp); the generator's own reader
// and table writer fill and use the rest.
#include "generators/common/driver.hpp"

#include <cstdio>
#include <sys/stat.h>

#include "textio/error.hpp"
#include "textio/files.hpp"
#include "textio/format.hpp"
#include "textio/freeform.hpp"
#include "textio/source.hpp"
#include "textio/text.hpp"
#include "version.hpp"

namespace gen {

void initall(Temp& t, const Generator& g, const std::vector<std::string>& words) {
    t.pdbfl.clear();
    t.depfl = g.deftypes;
    t.nw = g.nw;
    t.wlen = g.wlen;
    t.np = g.np;
    switch (scancmd(t, words, g.name)) {
    case Cmd::help:
        writehelp(g.line2, g.dpdesc, t.depfl);
        textio::stop_normally();
    case Cmd::version:
        textio::out(std::string(g.name) + " " + PROTNN_VERSION + "\n");
        textio::stop_normally();
    case Cmd::run:
        break;
    }
    readtypes(t, g.deftypes);
    g.read(t);
    g.table(t);
}

Cmd scancmd(Temp& t, const std::vector<std::string>& words, std::string_view name) {
    if (words.empty()) return Cmd::help;
    const std::string me(name);
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        // The value word is not skipped: the loop examines it next, so a value that reads
        // "-h" (or "--help") also prints the help.
        std::string value = i + 1 < words.size() ? std::string(textio::rtrim(words[i + 1])) : std::string();
        if ((w == "-dp" || w == "-t") && value.size() > fnlen)
            textio::fail(textio::status_io, "the file name after " + w + " has " + std::to_string(value.size()) +
                                                " characters, more than the " + std::to_string(fnlen) +
                                                " this program keeps: " + textio::shown(value));
        if (w == "-dp") {
            t.pdbfl = value;
        } else if (w == "-t") {
            t.depfl = value;
        } else if (w == "-h" || w == "--help") {
            return Cmd::help;
        } else if (w == "--version") {
            return Cmd::version;
        }
    }
    // Not asked for the help: every word must be a switch or the value of the switch before
    // it.  A stray word (a file name without -dp, a mistyped switch) would otherwise end the
    // run with status 0 and no table, which a shell loop takes for an empty result.
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        const bool value = i > 0 && (words[i - 1] == "-dp" || words[i - 1] == "-t");
        if (w != "-dp" && w != "-t" && !value)
            textio::fail(textio::status_io, me + ": unknown switch or word " + textio::shown(w) + " (-h lists the switches)");
        if ((w == "-dp" || w == "-t") && i + 1 == words.size())
            textio::fail(textio::status_io, me + ": " + w + " needs a value");
    }
    if (t.pdbfl.empty())
        textio::fail(textio::status_io, me + ": no " + (t.nw == 1 ? "structure file" : "base name of the depth files") +
                                            " given (-dp)");
    return Cmd::run;
}

std::string helprow(std::string_view c1, std::string_view c2, std::string_view c3) {
    return textio::fmt_a(c1, 10) + "   " + textio::fmt_a(c2, 30) + std::string(10, ' ') + textio::fmt_a(c3, 20) + "\n";
}

void writehelp(std::string_view line2, std::string_view dpdesc, std::string_view depfl) {
    std::string h;
    h += " Distance matrix . Step 1+2\n";
    h += " " + std::string(line2) + "\n";
    h += " Options:\n";
    h += helprow("Switch", "Description", "Default");
    h += helprow("-dp", dpdesc, "NONE");
    // The -t row shows the first 120 characters of the fixed-length name, blanks included.
    std::string shown(depfl.substr(0, 120));
    shown.resize(120, ' ');
    h += textio::fmt_a("-t", 10) + "   " + textio::fmt_a("typefile", 30) + std::string(10, ' ') + shown + "\n";
    h += textio::fmt_a("-h", 10) + "   " + textio::fmt_a("print_this_help", 30) + "\n";
    h += "\n";  // an empty line: a free-form write of nothing has no leading blank either
    h += " Program to calculate inverse distance inputs to NN.\n";
    textio::out(h);
}

static bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string typespath(const std::string& depfl, const std::string& defname) {
    if (depfl != defname || exists(depfl)) return depfl;
    // Never a directory fixed at build time: the data directory is found from the program's
    // own location, which has the same layout in the build tree and in an installation.
    std::string dir = textio::program_dir();
    if (!dir.empty()) {
        std::string shipped = dir + "/../share/protnn/" + defname;
        if (exists(shipped)) return shipped;
    }
    return depfl;  // opening it reports the missing file under its plain name
}

void readtypes(Temp& t, const std::string& defname) {
    textio::Source src = textio::Source::open(typespath(t.depfl, defname));
    std::int64_t lines = 0;
    std::string_view line;
    while (src.next_line(line))
        if (line.find_first_not_of(" \t") != std::string_view::npos) ++lines;
    t.naatyp = static_cast<int>(lines) + 1;
    t.aatom.assign(static_cast<std::size_t>(lines) * static_cast<std::size_t>(t.nw), std::string());

    // The free-form read passes over blank lines by itself, so the second pass meets the
    // same lines as the count.
    src.rewind();
    std::vector<textio::Item> items(static_cast<std::size_t>(t.nw));
    const std::string expected = t.nw == 1 ? "a type name" : "a residue name and an atom name";
    for (std::int64_t k = 0; k < lines; ++k) {
        for (int w = 0; w < t.nw; ++w)
            items[static_cast<std::size_t>(w)] = textio::Item::of(t.aatom[static_cast<std::size_t>(k * t.nw + w)], t.wlen);
        textio::read(src, items, expected);
    }
}

int iaa2i(const Temp& t, const std::string_view* key) {
    // The last matching line wins; looking from the end finds it first.
    for (int k = t.naatyp - 1; k >= 1; --k) {
        bool same = true;
        for (int w = 0; w < t.nw && same; ++w)
            same = textio::rtrim(key[w]) == t.aatom[static_cast<std::size_t>((k - 1) * t.nw + w)];
        if (same) return k;
    }
    // Each word is shown in its 10-character field, as the words are held.
    std::string words;
    for (int w = 0; w < t.nw; ++w) {
        std::string f(key[w].substr(0, 10));
        f.resize(10, ' ');
        words += f;
    }
    say(textio::rtrim(textio::free_line("Unknown type ", words)));
    return t.naatyp;
}

void say(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
}

}  // namespace gen
