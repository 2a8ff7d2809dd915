// PDB columns: the one reader of structure files, shared by pairdist and atomdepth.
//
// A structure file is read whole; a file that begins with the gzip magic bytes (1f 8b) is
// decompressed first, whatever its name, so "x.pdb.gz" and a compressed file without the
// suffix read alike.  Lines are then taken apart by the fixed columns of the PDB format
// (counted from 1): record name 1-6, serial 7-11, atom name 13-16, alternate location 17,
// residue name 18-20, chain 22, residue number 23-26, insertion code 27, x y z 31-38, 39-46,
// 47-54 (each read as F8.3), element 77-78.  A short line reads as if filled with blanks.
#pragma once

#include <string>
#include <string_view>

#include "textio/source.hpp"

namespace gen {

// Reads the structure file at path (plain or gzip-compressed).  Failure (status 2) naming the
// file when it cannot be read, its compressed data are damaged or cut short, or the
// decompressed text would not fit in memory.
textio::Source open_structure(const std::string& path);

// The memory a program may have at most: the least of the machine's memory, the limits on
// its address space and data (RLIMIT_AS, RLIMIT_DATA) and the memory limit of its control
// group (what a batch system such as Slurm sets).  Readers refuse inputs that would need more
// before allocating for them, so that such a run ends with a message, not killed.
std::size_t memory_limit();

// The memory limit of the control groups of the process described by the folder proc
// (/proc/self): cgroup v2 memory.max and v1 memory.limit_in_bytes of its own group and of every
// group above it in the hierarchy as mounted, the least of them; SIZE_MAX when there is none.
std::size_t cgroup_memory_limit(const std::string& proc);

// Columns from .. from+len-1 (from counted from 1) of a line; shorter (possibly empty) when
// the line ends inside them: the missing columns count as blanks.
std::string_view cols(std::string_view line, std::size_t from, std::size_t len);

// A field read as F8.3: blanks are ignored, a blank field is 0, a number without a decimal
// point has its last three digits as decimals.  False when the field is not a number.
bool readf83(std::string_view field, double& v);

// The x, y, z of an atom line (columns 31-54) into xyz.  Failure (status 2) naming the file,
// the line and the columns when a field is not a number or not finite.  With whole set, also
// when the line ends before column 54 or a field is blank: a reader that places every atom
// (atomdepth) would otherwise put a cut-short line's atom at 0; pairdist keeps the reading of
// blanks as 0.
void readxyz(const textio::Source& src, std::string_view line, double xyz[3], bool whole = false);

}  // namespace gen
