// RunReader: reads one run file back, one record at a time, checking everything it reads.
//
// Holds at most one block in memory (275,279 bytes once the first block is read). Every
// error names the run file: "<path> is corrupt: ...", "<path> ended before its last record",
// or "<path>: <system message>".
#pragma once

#include <memory>

#include "merge/merge_source.h"
#include "run/file_ops.h"
#include "run/run_info.h"

namespace tessarune {

class RunReader;

// Opens the file read-only; allocates nothing yet. Errors: "<path>: <system message>".
// A run without records is never read, so its file is not opened (it need not exist).
IoResult<std::unique_ptr<RunReader>> open_run_reader(const std::shared_ptr<FileOps>& ops,
                                                      const RunInfo& info);

class RunReader final : public MergeSource {
public:
    ~RunReader() override;
    // next_run_record: a record, the end (records left is 0; the file is not read further),
    // or an error.
    IoResult<NextRecord> next_record(ByteBuffer& key, ByteBuffer& payload) override;

private:
    struct Impl;
    friend IoResult<std::unique_ptr<RunReader>> open_run_reader(const std::shared_ptr<FileOps>&,
                                                                 const RunInfo&);
    explicit RunReader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessarune
