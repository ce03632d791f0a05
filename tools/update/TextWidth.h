// Widths of UTF-8 text in a terminal's columns, for lines that must not wrap and tables whose
// columns line up also with Japanese device names.
#pragma once

#include <string>
#include <string_view>

// Columns that `text` takes: two for each wide (East Asian) character, one for any other code
// point, one for each byte that is not valid UTF-8.
int DisplayWidth(std::string_view text);
// `text` cut to at most `columns` columns, never inside a character.
std::string FitWidth(std::string_view text, int columns);
// `text` filled with blanks to `columns` columns (unchanged when it is wider).
std::string PadWidth(std::string_view text, int columns);
