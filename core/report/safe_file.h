// Files written whole and safely: through a uniquely named temporary file
// beside the target, flushed to the disk and renamed into place, so that a
// reader (or a power cut) never finds half a file, and no file but the target
// itself is opened, replaced or removed: a user's own "<name>.tmp" stays.
#pragma once

#include <filesystem>
#include <string>

// Writes `bytes` to `path` through a temporary file and a rename; the data,
// and on POSIX the folder's entry, are on the disk when it returns true. False
// with `error` ("cannot write <path>: <reason>") when the file could not be
// written; the temporary file is then removed and `path` left as it was.
bool WriteWholeFile(const std::filesystem::path& path, const std::string& bytes, std::string* error);

// Whether a new file can be made in `path`'s folder, proven by making and
// removing an empty file of a unique name there. Empty when it can, else the
// system's reason.
std::string ProbeNewFile(const std::filesystem::path& path);

// A name beside `path` that no other file is likely to have: "<name>.<hex>.tmp".
std::filesystem::path TempPathBeside(const std::filesystem::path& path);

// The system's part (safe_file_posix.cpp, safe_file_win.cpp).
enum class NewFile { Made, Exists, Failed };
// Makes `path` only when nothing is there, writes `bytes` to it and flushes
// them to the disk; `why` gets the system's reason when not Made.
NewFile WriteNewFile(const std::filesystem::path& path, const std::string& bytes, std::string* why);
// Renames `from` over `to` and flushes the change to the disk.
bool MoveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to, std::string* why);
