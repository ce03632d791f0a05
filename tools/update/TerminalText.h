// Text for a terminal: widths of UTF-8 text in a terminal's columns, for lines that must not wrap
// and tables whose columns line up also with Japanese device names; and text from outside (device
// names from USB descriptors or an edited history, lines of a copy's output) made safe to show.
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

// `text` with everything a terminal would act on instead of showing written out as escapes:
// C0 controls and DEL as "\x1b" (so an escape sequence shows as "\x1b[2J" and does nothing),
// C1 controls (U+0080 to U+009F) as "\u009b", and each byte that is not valid UTF-8 as "\xff".
// Printable UTF-8 (Japanese too) stays as it is. Widths are those of the result.
std::string EscapeControls(std::string_view text);
