// OutputTarget: where the sorted records go, and how they get there without harming what was
// there before, as the command's -o promises.
//
// Standard output is written directly. A file named by -o is resolved through symbolic links
// and checked when the job starts (so that a target that cannot be written stops the job before
// any input is read), then:
//   - a regular file with one link, owned by us, in a directory we can write, with no ACL or
//     extended attribute to lose (or a file that does not exist yet) is written under a new
//     private name beside it and renamed over it by commit(), with its mode kept: all or nothing;
//   - any other regular file is truncated and written in place by open(), once all input is
//     read (a failure part-way then leaves it truncated);
//   - a FIFO, device or socket is opened and written directly by open(), once all input is read
//     (a FIFO's open waits for its reader, which must not hold up the reading).
// Every file operation goes through the FileOps. The temporary file is in the process-wide
// cleanup record from the moment it exists until commit() or discard().
#pragma once

#include <memory>
#include <string>

#include "base/expected.h"
#include "base/growable_array.h"
#include "run/file_ops.h"

namespace tessarune::job {

class OutputTarget {
public:
    virtual ~OutputTarget() = default;  // discards what commit() did not keep

    // The name messages give it: "standard output", or the -o name as given.
    virtual const std::string& name() const = 0;
    // Once all input is read, before the first write.
    virtual EngineStatus open() = 0;
    // Writes all of `data`; a write that takes nothing is an error, not a reason to try again.
    // Errors read "write failed: NAME: REASON".
    virtual EngineStatus write(Bytes data) = 0;
    // The output is complete: closes it (and renames it over the target).
    virtual EngineStatus commit() = 0;
    // The job failed: removes the temporary file, closes what is open; never fails.
    virtual void discard() = 0;
};

// Standard output (descriptor 1), not closed by commit().
std::unique_ptr<OutputTarget> standard_output(std::shared_ptr<FileOps> ops);

// The target for -o NAME, checked now. Errors read "open failed: NAME: REASON" (as for a
// directory, or a path whose directory does not exist).
EngineResult<std::unique_ptr<OutputTarget>> output_file(std::shared_ptr<FileOps> ops, const std::string& name);

}  // namespace tessarune::job
