#include "python/stream_inputs.h"

#include <cstring>

namespace tessarune::python {
namespace {

// Runs f with the current exception put aside, then restores it: cleanup that must not lose
// the error being raised.
template <typename F>
void keeping_error(F&& f) {
    Ref pending(PyErr_GetRaisedException());
    f();
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

int raise_blocking(const std::string& name) {
    PyErr_Format(PyExc_BlockingIOError, "%s has no data now (a non-blocking stream)", name.c_str());
    return -1;
}

// One call of stream.readinto over the job's buffer. The view is released before the buffer is
// handed back, so that the object cannot keep hold of memory that is not Python's.
int read_into(const PythonStream& stream, uint8_t* data, size_t n, size_t& got) {
    Ref view(PyMemoryView_FromMemory(reinterpret_cast<char*>(data), static_cast<Py_ssize_t>(n), PyBUF_WRITE));
    if (!view) return -1;
    Ref result(PyObject_CallMethod(stream.object, "readinto", "O", view.get()));
    if (!result) {
        keeping_error([&] { Ref ignored(PyObject_CallMethod(view.get(), "release", nullptr)); });
        return -1;
    }
    Ref released(PyObject_CallMethod(view.get(), "release", nullptr));
    if (!released) return -1;
    if (result.get() == Py_None) return raise_blocking(stream.name);
    const Py_ssize_t count = PyNumber_AsSsize_t(result.get(), PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred()) return -1;
    if (count < 0 || static_cast<size_t>(count) > n) {
        PyErr_Format(PyExc_OSError, "%s: readinto() returned %zd for a buffer of %zu bytes", stream.name.c_str(),
                     count, n);
        return -1;
    }
    got = static_cast<size_t>(count);
    return 0;
}

// One call of stream.read(n), its bytes copied into the job's buffer.
int read_copy(const PythonStream& stream, uint8_t* data, size_t n, size_t& got) {
    Ref result(PyObject_CallMethod(stream.object, "read", "n", static_cast<Py_ssize_t>(n)));
    if (!result) return -1;
    if (result.get() == Py_None) return raise_blocking(stream.name);
    if (PyUnicode_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "%s is a text stream: open it in binary mode", stream.name.c_str());
        return -1;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(result.get(), &view, PyBUF_SIMPLE) < 0) return -1;
    const size_t size = static_cast<size_t>(view.len);
    if (size > n) {
        PyBuffer_Release(&view);
        PyErr_Format(PyExc_OSError, "%s: read(%zu) returned %zu bytes", stream.name.c_str(), n, size);
        return -1;
    }
    if (size != 0) std::memcpy(data, view.buf, size);
    PyBuffer_Release(&view);
    got = size;
    return 0;
}

class StreamFile final : public ReadableFile {
public:
    StreamFile(const PythonStream& stream, JobSession& session) : stream_(stream), session_(session) {}

    EngineResult<size_t> read(uint8_t* data, size_t n) override {
        size_t got = 0;
        const bool read = session_.call([&] {
            return stream_.readinto ? read_into(stream_, data, n, got) : read_copy(stream_, data, n, got);
        });
        // The message is never seen: the object's own exception is raised instead.
        if (!read) return Unexpected(EngineError(ErrorKind::Other, "read failed: " + stream_.name));
        return got;
    }

private:
    const PythonStream& stream_;
    JobSession& session_;
};

}  // namespace

const PythonStream* StreamInputs::find(const std::string& name) const {
    for (const PythonStream& stream : streams_) {
        if (stream.name == name) return &stream;
    }
    return nullptr;
}

EngineResult<FileOps::InputStatus> StreamInputs::input_status(const std::string& path) {
    // Neither a directory nor a regular file: no size to count on, no identity to compare.
    if (find(path) != nullptr) return InputStatus{};
    return ForwardingFileOps::input_status(path);
}

EngineResult<std::unique_ptr<ReadableFile>> StreamInputs::open_input(const std::string& path) {
    const PythonStream* stream = find(path);
    if (stream == nullptr) return ForwardingFileOps::open_input(path);
    return std::unique_ptr<ReadableFile>(std::make_unique<StreamFile>(*stream, session_));
}

}  // namespace tessarune::python
