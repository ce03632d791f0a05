// The texts that the windows show for what the update engine reports: one mapping, shared by the
// Qt window, the native Windows dialog and the terminal runner. Qt-free.
#pragma once

#include <functional>
#include <string>

#include "StringTable.h"
#include "UpdateHost.h"

// Looks a string up by its identifier; nullptr when the table has none.
using StringLoader = std::function<const char*(int id)>;

// The string-table identifier of the error box's text for `error`.
int ErrorStringId(EngineError error);
// The error box's text for `error`; empty when the table has no such string.
std::string ErrorText(EngineError error, const StringLoader& load = LoadStringById);
// The status line's text for `status` ("Data transmit  %d / %d " filled in).
std::string StatusText(const RunStatus& status, const StringLoader& load = LoadStringById);
// A short name of an outcome for logs and exit messages of the command-line programs.
const char* OutcomeName(UpdateOutcome outcome);
