#include "job/job_errors.h"

#include <cstring>

namespace tessarune::job {

std::string system_text(int code) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not be in buf.
    return strerror_r(code, buf, sizeof buf);
}

EngineError file_error(std::string_view what, const std::string& name, const EngineError& cause) {
    // A file that is not what it says (a damaged compressed input) names itself already.
    if (cause.kind() == ErrorKind::BadInput) return cause;
    const std::string reason = cause.os_code() != 0 ? system_text(cause.os_code()) : cause.message();
    EngineError e = cause.with_message(std::string(what) + ": " + name + ": " + reason);
    e.set_path(name);
    return e;
}

EngineError bad_input(const std::string& name, uint64_t line, std::string_view why) {
    EngineError e(ErrorKind::BadInput, name + ":" + std::to_string(line) + ": " + std::string(why));
    e.set_path(name);
    return e;
}

EngineStatus keys_never_found(const std::vector<std::string>& names) {
    if (names.empty()) return {};
    std::string listed;
    for (const std::string& name : names) listed += (listed.empty() ? "" : ", ") + name;
    return Unexpected(EngineError(ErrorKind::BadInput,
                                  std::string(names.size() == 1 ? "no record has the key " : "no record has the keys ") + listed));
}

}  // namespace tessarune::job
