// Wide text (UTF-16 on Windows, UTF-32 elsewhere) as UTF-8: file paths for the
// C library outside Windows, and the texts of reports and pictures.
#pragma once

#include <string>

// A lone surrogate becomes U+FFFD; a null pointer gives "".
std::string Utf8(const wchar_t* text);
