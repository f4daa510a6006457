#include "python/python_output.h"

namespace tessarune::python {

EngineStatus HandleOutput::write(Bytes data) {
    if (session_.call([&] { return write_all(handle_, data); })) return {};
    // The message is never seen: the handle's own exception is raised instead.
    return Unexpected(EngineError(ErrorKind::Other, "write failed: " + name_));
}

}  // namespace tessarune::python
