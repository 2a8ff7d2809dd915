// Fixed-length texts.
//
// The programs hold names and lines as texts of a fixed length (3600 characters in nntrain,
// 300 for the generators' file names, 10 for depth-file words) filled with blanks on the
// right.  Here such a text is a std::string that has already been cut to its length and had
// its trailing blanks dropped: a blank text is the empty string and means "not given";
// leading and embedded blanks stay.  Only blanks are trailing blanks, not tabs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace textio {

inline std::string_view rtrim(std::string_view s) {
    std::size_t n = s.size();
    while (n > 0 && s[n - 1] == ' ') --n;
    return s.substr(0, n);
}

// The value of a fixed-length text of length len that is assigned s.
inline std::string fixtext(std::string_view s, std::size_t len) {
    return std::string(rtrim(s.substr(0, len)));
}

inline bool is_blank(std::string_view s) { return rtrim(s).empty(); }

}  // namespace textio
