// RangeBuckets: records cut into key ranges, each range's records framed in bucket blocks, and
// the loop that keys a buffer's records into them (shared by _bucket_records and _Bucketer).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "key/key_compare.h"
#include "python/errors.h"
#include "python/key_walk.h"
#include "python/keyed_plan.h"
#include "run/bucket_block.h"
#include "run/file_ops.h"

namespace tessarune::python {

// The ranges' blocks, kept for the caller, or with `paths`, written to a file per range (made
// when its first block is).
class RangeBuckets {
public:
    RangeBuckets(std::vector<std::string> boundaries, int acceleration, std::vector<std::string> paths = {},
                 std::shared_ptr<FileOps> ops = FileOps::system())
        : ops_(std::move(ops)),
          boundaries_(std::move(boundaries)),
          writers_(boundaries_.size() + 1),
          blocks_(boundaries_.size() + 1),
          acceleration_(acceleration),
          paths_(std::move(paths)),
          files_(paths_.empty() ? 0 : blocks_.size()),
          written_(blocks_.size()) {}

    size_t ranges() const { return blocks_.size(); }

    // False when writing a block failed (see error()).
    bool put(Bytes key, Bytes payload) {
        // A key equal to a boundary belongs to the range below it.
        const auto found = std::lower_bound(
            boundaries_.begin(), boundaries_.end(), key, [](const std::string& boundary, Bytes k) {
                return compare_keys(Bytes(reinterpret_cast<const uint8_t*>(boundary.data()), boundary.size()),
                                    k) < 0;
            });
        const size_t range = static_cast<size_t>(found - boundaries_.begin());
        BucketBlockWriter& writer = writers_[range];
        writer.add(key, payload);
        return writer.raw_size() < kBucketBlockTarget || seal(range);
    }

    bool seal_all() {
        for (size_t i = 0; i < writers_.size(); ++i) {
            if (!seal(i)) return false;
        }
        return true;
    }

    // Closes the files, reporting what the system reports.
    bool close_files() {
        for (size_t i = 0; i < files_.size(); ++i) {
            if (!files_[i]) continue;
            EngineStatus closed = files_[i]->close();
            files_[i].reset();
            if (!closed && !error_) error_ = closed.error().at_path(paths_[i]);
        }
        return !error_;
    }

    const std::optional<EngineError>& error() const { return error_; }

    PyObject* blocks_list() const {
        Ref list(PyList_New(static_cast<Py_ssize_t>(blocks_.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < blocks_.size(); ++i) {
            PyObject* b = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(blocks_[i].data()),
                                                    static_cast<Py_ssize_t>(blocks_[i].size()));
            if (b == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), b);
        }
        return list.release();
    }

    PyObject* written_list() const {
        Ref list(PyList_New(static_cast<Py_ssize_t>(written_.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < written_.size(); ++i) {
            PyObject* n = PyLong_FromUnsignedLongLong(written_[i]);
            if (n == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), n);
        }
        return list.release();
    }

private:
    bool seal(size_t range) {
        const Bytes block = writers_[range].seal(acceleration_);
        if (paths_.empty()) {
            blocks_[range].append(block);
            return true;
        }
        if (block.empty()) return true;
        if (!files_[range]) {
            auto made = ops_->create_new_file_at(paths_[range]);
            if (!made) {
                error_ = made.error().at_path(paths_[range]);
                return false;
            }
            files_[range] = std::move(*made);
        }
        // Written from where it was sealed: no copy of a shard's bytes on their way out.
        const uint8_t* at = block.data();
        size_t left = block.size();
        while (left > 0) {
            auto wrote = files_[range]->write(at, left);
            if (!wrote) {
                if (wrote.error().kind() == ErrorKind::Interrupted) continue;
                error_ = wrote.error().at_path(paths_[range]);
                return false;
            }
            at += *wrote;
            left -= *wrote;
        }
        written_[range] += block.size();
        return true;
    }

    std::shared_ptr<FileOps> ops_;
    std::vector<std::string> boundaries_;
    std::vector<BucketBlockWriter> writers_;
    std::vector<ByteBuffer> blocks_;  // sealed blocks kept for the caller: only without paths
    int acceleration_;
    std::vector<std::string> paths_;
    std::vector<std::unique_ptr<WritableFile>> files_;
    std::vector<uint64_t> written_;
    std::optional<EngineError> error_;
};

// Where one buffer's bucketing stopped.
struct Progress {
    size_t consumed = 0;
    size_t lines = 0;
    Ref error;  // the refusal of the record it stopped before
};

// The plans of _add_keyed, or ("python", keyer): 0, or -1 with an exception set.
int read_plan_or_python(PyObject* plan, KeyedPlan* out);
// The boundaries' bytes, copied: the list may change under another thread once detached.
int read_boundaries(PyObject* obj, std::vector<std::string>* out);
// LZ4's acceleration, 0 to store blocks as they are.
int read_acceleration(PyObject* obj, int* out);
// Keys and places the complete records of `all`: 0, or -1 with an exception set.
int bucket_buffer(const KeyedPlan& plan, Bytes all, bool at_end, RangeBuckets& buckets, ByteBuffer& key,
                  Progress& progress);

}  // namespace tessarune::python
