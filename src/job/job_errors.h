// The job's messages about files, worded as the traditional sort command words them
// ("cannot read: NAME: REASON"), REASON being the system's text alone.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/engine_error.h"
#include "base/expected.h"

namespace tessarune::job {

// The system's text for an errno value ("No such file or directory").
std::string system_text(int code);

// "WHAT: NAME: REASON" for a failure of `cause` about the file NAME; the kind and the errno
// are kept. REASON is the system's text, or the cause's message when it has no errno.
EngineError file_error(std::string_view what, const std::string& name, const EngineError& cause);

// A record of an input that cannot be read as its format says: "NAME:LINE: WHY", BadInput.
EngineError bad_input(const std::string& name, uint64_t line, std::string_view why);

// JSON keys that no record had, even as null: most likely mistyped. "no record has the key
// user.idd" (or "the keys a, b"), BadInput. Ok when `names` is empty.
EngineStatus keys_never_found(const std::vector<std::string>& names);

}  // namespace tessarune::job
