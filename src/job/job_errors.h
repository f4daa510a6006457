// The job's messages about files, worded as the traditional sort command words them
// ("cannot read: NAME: REASON"), REASON being the system's text alone.
#pragma once

#include <string>
#include <string_view>

#include "base/engine_error.h"

namespace tessarune::job {

// The system's text for an errno value ("No such file or directory").
std::string system_text(int code);

// "WHAT: NAME: REASON" for a failure of `cause` about the file NAME; the kind and the errno
// are kept. REASON is the system's text, or the cause's message when it has no errno.
EngineError file_error(std::string_view what, const std::string& name, const EngineError& cause);

// A record of an input that cannot be read as its format says: "NAME:LINE: WHY", BadInput.
EngineError bad_input(const std::string& name, uint64_t line, std::string_view why);

}  // namespace tessarune::job
