// What the two WinMM backends share. Declared without system headers, so a test can include it.
#pragma once

#include <cstddef>

#include "platform/MidiApi.h"

namespace platform {

// Converts a product name as the multimedia API reports it in a capability record (UTF-16, at
// most `units` code units, NUL-terminated or filling all of them) into NUL-terminated UTF-8 in
// `out`. The names are read in UTF-16 and converted here, rather than read through the ...CapsA
// calls in the system's code page, so that they compare with the default device names as Unicode
// on every system. A surrogate pair cut in two at the end of the record is dropped rather than
// shown as a replacement character; a name that cannot be converted becomes empty.
void ProductNameToUtf8(const wchar_t* name, std::size_t units, char (&out)[MAX_PNAME_LEN]);

}  // namespace platform
