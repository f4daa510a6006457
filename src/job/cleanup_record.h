// The cleanup record: the one process-wide list of what a process killed by a signal must
// remove before it dies (the temporary output file, the spill directories, a merge's
// temporary files), and the handlers of the signals that stop the command.
//
// A stop signal (HUP, INT, QUIT, PIPE, ALRM, TERM, XCPU, XFSZ, VTALRM, PROF, POLL, as the
// traditional sort command catches them) removes every recorded file and directory, then
// kills the process by that same signal, so that its parent sees how it ended (a shell loop
// stops on Ctrl-C). The handler allocates nothing and takes no lock: the record is a fixed
// array of places whose atomic state says whether the handler may read the path yet.
//
// Entries are few: the record holds at most kCleanupEntries paths at once (a job has its
// spill directory, perhaps a merge's directory and one temporary output); one more fails
// with an EngineError. A directory is removed with the files in it, not with directories in
// it (spill directories hold only files). A forked child's handler leaves the parent's
// entries alone.
#pragma once

#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/expected.h"

namespace tessarune::job {

enum class CleanupKind : uint8_t { File, Directory };

inline constexpr size_t kCleanupEntries = 16;
inline constexpr size_t kCleanupPathBytes = 4096;  // PATH_MAX, with the terminating NUL

// One place in the record, held until release(); dropping it releases it.
class CleanupEntry {
public:
    CleanupEntry() = default;
    ~CleanupEntry() { release(); }
    CleanupEntry(CleanupEntry&& other) noexcept;
    CleanupEntry& operator=(CleanupEntry&& other) noexcept;
    CleanupEntry(const CleanupEntry&) = delete;
    CleanupEntry& operator=(const CleanupEntry&) = delete;

    // From now on a stop signal removes path (absolute, or the handler's idea of relative
    // is the working directory at that moment). Once only.
    EngineStatus set_path(const std::string& path);
    // The removal is done (or the file is kept, as a committed output): a signal no longer
    // removes it. Release only after removing, so that no instant leaves the path unrecorded.
    void release();
    bool held() const { return slot_ >= 0; }

private:
    friend EngineResult<CleanupEntry> reserve_cleanup(CleanupKind kind);
    explicit CleanupEntry(int slot) : slot_(slot) {}
    int slot_ = -1;
};

// Takes a place for one path. To record a file or directory that is about to be made:
// reserve, make it, set_path, all with the stop signals blocked in this thread
// (StopSignalsBlocked), so that a handler finds the place either naming the path or still
// filling, and then waits for it. A process already dying of a signal never returns from it.
EngineResult<CleanupEntry> reserve_cleanup(CleanupKind kind);

// reserve_cleanup and set_path at once, for a path that exists already.
EngineResult<CleanupEntry> record_cleanup(CleanupKind kind, const std::string& path);

// Blocks the stop signals in the calling thread while it lives; they wait, not lost.
class StopSignalsBlocked {
public:
    StopSignalsBlocked();
    ~StopSignalsBlocked();
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

// Installs the handler for every stop signal that is not ignored now (a signal ignored at
// start, as nohup and background jobs do, stays ignored). Call from the main thread before
// starting others; calling it again changes nothing.
void install_stop_signals();

}  // namespace tessarune::job
