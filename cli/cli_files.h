// The files a command writes, checked before any tester is touched: a run
// that cannot keep its results is refused before it starts, and nothing of
// the user's is opened, truncated or removed by the check.
#pragma once

#include <filesystem>
#include <string>

// The path (UTF-8, as given on the command line) as the system's path.
std::filesystem::path PathOf(const std::string& utf8);

// The path made absolute (UTF-8), as a record that outlives the working
// folder names it; empty stays empty.
std::string AbsolutePathText(const std::string& utf8);

// A file the command will write (at its end, or line by line) can be made:
// the path names no folder, its folder exists and takes a new file (proven
// with a uniquely named file of this program's, removed at once). Empty when
// it can, else "cannot write <path> (<option>): <reason>". A file written
// whole (`wholeFile`) replaces what is there by a rename, which must never
// befall a device or a pipe: such a path is refused. Lines written as they
// come (watch --out) may go to one.
std::string CheckWritable(const std::string& option, const std::string& path, bool wholeFile = true);
