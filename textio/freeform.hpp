// Free-form (list-directed) reading, the one way all three programs read items from text.
//
// Items are separated by blanks or tabs, or by one comma with optional blanks around it; a
// line end also separates.  A text item may be quoted ('...' or "...", a doubled quote inside
// stands for one quote) and may then hold blanks, commas and slashes; an unquoted text ends at
// a blank, tab, comma, slash or line end.  A slash outside quotes ends the read: items not yet
// read keep their values.  A read that needs more items than its line holds goes on with the
// following lines, passing over empty lines; the rest of the line of the last item is
// ignored and the next read starts on the next line.  Integers are an optional sign and
// decimal digits (32-bit: a larger one is an error, not a wrap); reals may also have a
// decimal point and an exponent introduced by E or D (either case), and NaN or Inf(inity) is
// accepted so that every value the programs write reads back.  r*v stands for r copies of v.
//
// Choices of ours, stricter than older list-directed readers, all refusals of input that would
// otherwise be read silently wrong: an empty item (two commas, or a comma that opens a read) and "r*" with
// no value are errors rather than "keep the old value"; a quoted text must end on its line.
//
// Errors name the source, the line and what was expected, with status 2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "textio/source.hpp"

namespace textio {

// One target of a free-form read.
struct Item {
    enum Kind { integer, real, text } kind;
    void* target;
    std::size_t len;  // text items: the fixed length the value is cut to

    static Item of(std::int32_t& v) { return {integer, &v, 0}; }
    static Item of(double& v) { return {real, &v, 0}; }
    static Item of(std::string& v, std::size_t len) { return {text, &v, len}; }
};

// Reads the items from the next line(s).  True when every item got a value or a slash ended
// the read; false when the text ended before all items were found (items already read keep
// their new values).  Malformed items throw Failure (status 2).
bool try_read(Source& src, std::span<const Item> items);
inline bool try_read(Source& src, std::initializer_list<Item> items) {
    return try_read(src, std::span<const Item>(items.begin(), items.size()));
}

// As try_read, but the end of the text is an error naming `expected`.
void read(Source& src, std::span<const Item> items, const std::string& expected);
inline void read(Source& src, std::initializer_list<Item> items, const std::string& expected) {
    read(src, std::span<const Item>(items.begin(), items.size()), expected);
}

// Fast path for a read of reals only (the database loader's data lines): fills out[0..n).
bool try_read_reals(Source& src, std::span<double> out);

// The first word of the next line that holds one (file names in a list): a quoted text, or
// the characters up to a blank, tab, comma or the line end; a slash is part of the word, so
// paths need no quotes.  The word is cut to len characters.  False at the end of the text.
bool try_read_word(Source& src, std::string& out, std::size_t len);

// The next line whole, cut to len characters and without trailing blanks.  The end of the
// text is an error naming `expected`.
std::string read_line(Source& src, std::size_t len, const std::string& expected);

// Parses one whole token; false when it is not a number of that kind (or out of range).
bool parse_int32(std::string_view tok, std::int32_t& out);
bool parse_real(std::string_view tok, double& out);

// Reads a word (a command-line value) that must be exactly one item of its kind: blanks or
// tabs around it are allowed, anything else (a second number, a decimal comma, letters, a
// slash, quotes, a repeat count) is an error naming `what` (for instance "value of -m") and
// the word, status 2.  Reals keep the free-form reading's E and D exponents.
void read_word(std::string_view word, Item item, const std::string& what);

}  // namespace textio
