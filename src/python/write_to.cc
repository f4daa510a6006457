// write_to(handle): the read handed to a merging thread, whose chunks the calling thread
// writes to handle.write while the next ones are merged.

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "python/arg_binding.h"
#include "python/core_lock.h"
#include "python/errors.h"
#include "python/read_start.h"
#include "sorter/merge_thread.h"

namespace tessarune::python {
namespace {

constexpr std::chrono::milliseconds kWaitSlice{50};

// How write is called: a raw stream (io.RawIOBase) answers None when it took nothing
// because it would block; any other writer that answers None took everything.
struct Handle {
    PyObject* write = nullptr;
    PyObject* object = nullptr;
    bool raw = false;
    int fd = -1;  // a raw stream's descriptor, looked up at its first None
};

int raise_blocking(const char* text) {
    Ref exc(PyObject_CallFunction(PyExc_BlockingIOError, "is", EAGAIN, text));
    if (exc) PyErr_SetObject(PyExc_BlockingIOError, exc.get());
    return -1;
}

// Waits until a raw stream that took nothing can take more, checking signals every 50 ms.
// 0 when it can (or has an error the next write will report), -1 with an exception set.
int wait_until_writable(Handle& handle) {
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

// Writes one chunk, calling write again with whatever a partial write (or a raw stream's
// None) left. 0, or -1 with an exception set.
int write_chunk(Handle& handle, Bytes rest) {
    while (!rest.empty()) {
        Ref data(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(rest.data()),
                                           static_cast<Py_ssize_t>(rest.size())));
        if (!data) return -1;
        Ref result(PyObject_CallOneArg(handle.write, data.get()));
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

int is_raw_stream(PyObject* handle) {
    Ref io(PyImport_ImportModule("io"));
    if (!io) return -1;
    Ref raw_base(PyObject_GetAttrString(io.get(), "RawIOBase"));
    if (!raw_base) return -1;
    return PyObject_IsInstance(handle, raw_base.get());
}

// Owns the merging thread on the calling side: however the call ends, the receiving end is
// closed (waking a sender that waits for room) and the thread is joined detached, so no
// thread of the call outlives it.
class MergeThread {
public:
    MergeThread() : channels_(std::make_shared<ChunkChannels>()) {}
    ~MergeThread() { finish(); }
    MergeThread(const MergeThread&) = delete;
    MergeThread& operator=(const MergeThread&) = delete;

    // Starts the thread with the merger. On failure returns the system's error code; the
    // merger has then been released, detached, since that removes the spill directory.
    int start(std::unique_ptr<FinalMerge> merger, std::optional<uint8_t> terminator, bool unique) {
        int error = 0;
        Detached detached;
        try {
            thread_ = std::thread(run_merge_thread, std::move(merger), channels_, terminator, unique);
        } catch (const std::system_error& e) {
            error = e.code().value() != 0 ? e.code().value() : EAGAIN;
        } catch (const std::bad_alloc&) {
            error = ENOMEM;
        }
        merger.reset();
        return error;
    }

    ChunkChannels& channels() { return *channels_; }

    // Closes the receiving end and joins. Returns the internal error that ended the thread,
    // or null.
    std::exception_ptr finish() {
        if (!thread_.joinable()) return nullptr;
        channels_->close_receiving();
        {
            Detached detached;
            thread_.join();
        }
        return channels_->chunks.internal_error();
    }

private:
    std::shared_ptr<ChunkChannels> channels_;
    std::thread thread_;
};

// Receives and writes chunks until the data ends (0) or something fails (-1, exception set).
int write_chunks(ChunkChannels& channels, Handle& handle) {
    for (;;) {
        ChunkMessage message;
        Received received;
        {
            Detached detached;
            received = channels.chunks.receive_for(message, kWaitSlice);
        }
        if (received == Received::Closed) return 0;
        if (received == Received::Value) {
            if (auto* error = std::get_if<EngineError>(&message)) {
                raise_engine_error(*error);
                return -1;
            }
            ByteBuffer& chunk = std::get<ByteBuffer>(message);
            if (write_chunk(handle, chunk.span()) < 0) return -1;
            channels.give_back(std::move(chunk));
        }
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

PyObject* write_to(SorterObject* self, PyObject* handle, std::optional<uint8_t> terminator,
                   bool unique) {
    Ref write(PyObject_GetAttrString(handle, "write"));
    if (!write) return nullptr;
    const int raw = is_raw_stream(handle);
    if (raw < 0) return nullptr;
    std::unique_ptr<FinalMerge> merger;
    if (!start_reading(self, /*keep=*/false, &merger)) return nullptr;

    MergeThread thread;
    if (const int error = thread.start(std::move(merger), terminator, unique); error != 0) {
        errno = error;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    Handle target{write.get(), handle, raw == 1};
    const int written = write_chunks(thread.channels(), target);
    Ref failure(written < 0 ? PyErr_GetRaisedException() : nullptr);
    if (std::exception_ptr internal_error = thread.finish()) std::rethrow_exception(internal_error);
    if (failure) {
        PyErr_SetRaisedException(failure.release());
        return nullptr;
    }
    // The merge ran on its own thread, out of the engine's sight.
    self->core->stats().note_read_end();
    Py_RETURN_NONE;
}

}  // namespace

PyObject* sorter_write_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    static constexpr const char* kNames[] = {"handle"};
    static constexpr ArgSpec kSpec{"Sorter.write_to()", kNames, 0, 1, 1};
    return call_guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
        return write_to(reinterpret_cast<SorterObject*>(self), bound[0], std::nullopt, false);
    });
}

PyObject* sorter_write_lines(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static constexpr const char* kNames[] = {"handle", "sep", "unique"};
    static constexpr ArgSpec kSpec{"Sorter._write_lines()", kNames, 2, 2, 2};
    return call_guarded([&]() -> PyObject* {
        PyObject* bound[3];
        if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
        // sep None: the payloads carry their own ends (records added with _add_keyed).
        std::optional<uint8_t> terminator;
        if (bound[1] != Py_None) {
            uint8_t sep = 0;
            if (read_separator(bound[1], &sep) < 0) return nullptr;
            terminator = sep;
        }
        const int unique = bound[2] == nullptr ? 0 : PyObject_IsTrue(bound[2]);
        if (unique < 0) return nullptr;
        return write_to(reinterpret_cast<SorterObject*>(self), bound[0], terminator, unique != 0);
    });
}

}  // namespace tessarune::python
