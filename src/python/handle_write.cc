#include "python/handle_write.h"

#include <poll.h>

#include <cerrno>
#include <chrono>

#include "python/core_lock.h"

namespace tessarune::python {
namespace {

constexpr std::chrono::milliseconds kWaitSlice{50};

int is_raw_stream(PyObject* handle) {
    Ref io(PyImport_ImportModule("io"));
    if (!io) return -1;
    Ref raw_base(PyObject_GetAttrString(io.get(), "RawIOBase"));
    if (!raw_base) return -1;
    return PyObject_IsInstance(handle, raw_base.get());
}

int raise_blocking(const char* text) {
    Ref exc(PyObject_CallFunction(PyExc_BlockingIOError, "is", EAGAIN, text));
    if (exc) PyErr_SetObject(PyExc_BlockingIOError, exc.get());
    return -1;
}

// Waits until a raw stream that took nothing can take more, checking signals every 50 ms.
// 0 when it can (or has an error the next write will report), -1 with an exception set.
int wait_until_writable(WriteHandle& handle) {
    if (handle.fd < 0) {
        Ref fileno(PyObject_CallMethod(handle.object, "fileno", nullptr));
        const int fd = fileno ? PyLong_AsInt(fileno.get()) : -1;
        if (fd < 0) {
            PyErr_Clear();
            return raise_blocking("the handle would block and has no file descriptor to wait on");
        }
        handle.fd = fd;
    }
    for (;;) {
        int ready = 0;
        int error = 0;
        {
            Detached detached;
            pollfd waiting{handle.fd, POLLOUT, 0};
            ready = ::poll(&waiting, 1, static_cast<int>(kWaitSlice.count()));
            error = errno;
        }
        if (ready > 0) return 0;
        if (ready < 0 && error != EINTR) {
            errno = error;
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

}  // namespace

// A raw stream answers None when it took nothing because it would block; any other writer
// that answers None took everything.
int write_all(WriteHandle& handle, Bytes rest) {
    while (!rest.empty()) {
        Ref data(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(rest.data()),
                                           static_cast<Py_ssize_t>(rest.size())));
        if (!data) return -1;
        Ref result(PyObject_CallOneArg(handle.write.get(), data.get()));
        if (!result) return -1;
        data.reset();
        if (result.get() == Py_None) {
            if (!handle.raw) return 0;  // plain writers that do not count took it all
            if (wait_until_writable(handle) < 0) return -1;
            continue;
        }
        // An answer that is no count at all is taken to mean everything was written; one
        // that claims to be a count but fails to convert is the writer's error.
        if (!PyIndex_Check(result.get())) return 0;
        Ref count(PyNumber_Index(result.get()));
        if (!count) return -1;
        int overflow = 0;
        const long long written = PyLong_AsLongLongAndOverflow(count.get(), &overflow);
        if (written == -1 && PyErr_Occurred()) return -1;
        if (overflow > 0) return 0;
        if (overflow < 0 || written < 0) {
            PyErr_SetString(PyExc_OSError, "the handle wrote a negative number of bytes");
            return -1;
        }
        if (written == 0) {
            PyErr_SetString(PyExc_OSError, "the handle wrote no bytes");
            return -1;
        }
        if (static_cast<unsigned long long>(written) >= rest.size()) return 0;
        rest = rest.subspan(static_cast<size_t>(written));
    }
    return 0;
}

int open_write_handle(PyObject* handle, WriteHandle& out) {
    out.write.reset(PyObject_GetAttrString(handle, "write"));
    if (!out.write) return -1;
    const int raw = is_raw_stream(handle);
    if (raw < 0) return -1;
    out.object = handle;
    out.raw = raw == 1;
    return 0;
}

}  // namespace tessarune::python
