// write_to(handle): the read handed to a merging thread, whose chunks the calling thread
// writes to handle.write while the next ones are merged.

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
#include "python/handle_write.h"
#include "python/read_start.h"
#include "sorter/merge_thread.h"

namespace tessarune::python {
namespace {

constexpr std::chrono::milliseconds kWaitSlice{50};

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
int write_chunks(ChunkChannels& channels, WriteHandle& handle) {
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
            if (write_all(handle, chunk.span()) < 0) return -1;
            channels.give_back(std::move(chunk));
        }
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

PyObject* write_to(SorterObject* self, PyObject* handle, std::optional<uint8_t> terminator,
                   bool unique) {
    WriteHandle target;
    if (open_write_handle(handle, target) < 0) return nullptr;
    std::unique_ptr<FinalMerge> merger;
    if (!start_reading(self, /*keep=*/false, &merger)) return nullptr;

    MergeThread thread;
    if (const int error = thread.start(std::move(merger), terminator, unique); error != 0) {
        errno = error;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
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
