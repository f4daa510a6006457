// write_to(handle): the read handed to a merging thread, whose chunks the calling thread
// writes to handle.write while the next ones are merged.

#include <cerrno>
#include <chrono>
#include <memory>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "python/arg_binding.h"
#include "python/chunk_channel.h"
#include "python/core_lock.h"
#include "python/errors.h"
#include "python/merge_thread.h"
#include "python/read_start.h"

namespace tessarune::python {
namespace {

constexpr std::chrono::milliseconds kWaitSlice{50};

// Writes one chunk, calling write again with whatever a partial write left. 0, or -1 with an
// exception set.
int write_chunk(PyObject* write, Bytes rest) {
    while (!rest.empty()) {
        Ref data(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(rest.data()),
                                           static_cast<Py_ssize_t>(rest.size())));
        if (!data) return -1;
        Ref result(PyObject_CallOneArg(write, data.get()));
        if (!result) return -1;
        data.reset();
        // Streams that do not count (None) or that answer something that is no count at all
        // are taken to have written everything.
        Ref count(PyNumber_Index(result.get()));
        if (!count) {
            PyErr_Clear();
            return 0;
        }
        const unsigned long long written = PyLong_AsUnsignedLongLong(count.get());
        if (written == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            return 0;
        }
        if (written == 0) {
            PyErr_SetString(PyExc_OSError, "the handle wrote no bytes");
            return -1;
        }
        if (written >= rest.size()) return 0;
        rest = rest.subspan(static_cast<size_t>(written));
    }
    return 0;
}

// Owns the merging thread on the calling side: however the call ends, the receiving end is
// let go (waking a sender that waits for room) and the thread is joined detached, so no
// thread of the call outlives it.
class MergeThread {
public:
    explicit MergeThread(std::shared_ptr<ChunkChannel> channel) : channel_(std::move(channel)) {}
    ~MergeThread() { finish(); }
    MergeThread(const MergeThread&) = delete;
    MergeThread& operator=(const MergeThread&) = delete;

    // Starts the thread with the merger. On failure returns the system's error code; the
    // merger has then been released, detached, since that removes the spill directory.
    int start(std::unique_ptr<Merger> merger) {
        int error = 0;
        Detached detached;
        try {
            thread_ = std::thread(run_merge_thread, std::move(merger), channel_);
        } catch (const std::system_error& e) {
            error = e.code().value() != 0 ? e.code().value() : EAGAIN;
        } catch (const std::bad_alloc&) {
            error = ENOMEM;
        }
        merger.reset();
        return error;
    }

    ChunkChannel& channel() { return *channel_; }

    // Lets go of the receiving end and joins. Returns whether the thread ended by an
    // internal error.
    bool finish() {
        if (!thread_.joinable()) return false;
        channel_->finish_receiving();
        {
            Detached detached;
            thread_.join();
        }
        return channel_->panic() != nullptr;
    }

private:
    std::shared_ptr<ChunkChannel> channel_;
    std::thread thread_;
};

// Receives and writes chunks until the data ends (0) or something fails (-1, exception set).
int write_chunks(ChunkChannel& channel, PyObject* write) {
    for (;;) {
        std::optional<ChunkMessage> message;
        ChunkChannel::Received received;
        {
            Detached detached;
            received = channel.receive(kWaitSlice, &message);
        }
        if (received == ChunkChannel::Received::SenderGone) return 0;
        if (received == ChunkChannel::Received::Message) {
            if (auto* error = std::get_if<EngineError>(&*message)) {
                raise_core_error(CoreError(*error));
                return -1;
            }
            ByteBuffer& chunk = std::get<ByteBuffer>(*message);
            if (write_chunk(write, chunk.span()) < 0) return -1;
            channel.give_back(std::move(chunk));
            message.reset();
        }
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

PyObject* write_to(SorterObject* self, PyObject* handle) {
    Ref write(PyObject_GetAttrString(handle, "write"));
    if (!write) return nullptr;
    std::unique_ptr<Merger> merger;
    if (!start_reading(self, /*keep=*/false, &merger)) return nullptr;

    MergeThread thread(std::make_shared<ChunkChannel>());
    if (const int error = thread.start(std::move(merger)); error != 0) {
        errno = error;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    const int written = write_chunks(thread.channel(), write.get());
    Ref failure(written < 0 ? PyErr_GetRaisedException() : nullptr);
    if (thread.finish()) {
        PyErr_SetString(PyExc_RuntimeError, "the merging thread panicked");
        return nullptr;
    }
    if (failure) {
        PyErr_SetRaisedException(failure.release());
        return nullptr;
    }
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
        return write_to(reinterpret_cast<SorterObject*>(self), bound[0]);
    });
}

}  // namespace tessarune::python
