#include "job/cleanup_record.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

namespace tessarune::job {
namespace {

// A place goes Free -> Filling (reserved; its path not yet complete) -> Ready (the handler
// may read the path) -> Free (released), or from Ready to Removing when a handler takes it.
enum State : uint8_t { kFree, kFilling, kReady, kRemoving };

struct Slot {
    std::atomic<uint8_t> state{kFree};
    std::atomic<pid_t> filler{0};  // the thread that reserved it
    CleanupKind kind = CleanupKind::File;
    pid_t process = 0;
    char path[kCleanupPathBytes] = {};
};
static_assert(std::atomic<uint8_t>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free);

// The process-wide record, the one global mutable state of the program: a signal handler
// can reach nothing else.
Slot g_slots[kCleanupEntries];
// Counts reservations, so that the handler can see one made while it was going through.
std::atomic<uint64_t> g_reservations{0};
// 0 while alive; 1 while a handler removes the record; 2 once it has.
std::atomic<int> g_dying{0};

constexpr int kStopSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM,   SIGTERM,
                                SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGPOLL};

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kStopSignals) sigaddset(&set, sig);
    return set;
}

pid_t current_thread() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

void pause_briefly() {
    const timespec millisecond{0, 1000000};
    ::nanosleep(&millisecond, nullptr);
}

// getdents64's records; the buffer is the handler's alone (only one handler removes).
struct DirEntry64 {
    uint64_t inode;
    int64_t offset;
    uint16_t length;
    uint8_t type;
    char name[1];
};
alignas(8) char g_listing[8192];

bool is_dot_or_dot_dot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Async-signal-safe: no allocation, no stdio, no opendir.
void remove_directory(const char* path) {
    // Another thread may still be adding files while this one removes them: a few passes.
    for (int pass = 0; pass < 100; ++pass) {
        const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return;
        for (;;) {
            const long n = ::syscall(SYS_getdents64, fd, g_listing, sizeof g_listing);
            if (n <= 0) break;
            for (long at = 0; at < n;) {
                const auto* e = reinterpret_cast<const DirEntry64*>(g_listing + at);
                if (!is_dot_or_dot_dot(e->name) && ::unlinkat(fd, e->name, 0) != 0 && errno == EISDIR) {
                    ::unlinkat(fd, e->name, AT_REMOVEDIR);  // only if empty: no nesting is made
                }
                at += e->length;
            }
        }
        ::close(fd);
        if (::rmdir(path) == 0 || (errno != ENOTEMPTY && errno != EEXIST)) return;
    }
}

// Waits for a place still filling in another thread, for at most a second: that thread has
// the signals blocked and makes its file meanwhile.
uint8_t settled_state(Slot& slot, pid_t self) {
    uint8_t state = slot.state.load(std::memory_order_acquire);
    for (int waited = 0; state == kFilling && waited < 1000; ++waited) {
        if (slot.filler.load(std::memory_order_relaxed) == self) break;
        pause_briefly();
        state = slot.state.load(std::memory_order_acquire);
    }
    return state;
}

void remove_recorded() {
    const pid_t process = ::getpid();
    const pid_t self = current_thread();
    uint64_t seen;
    do {
        seen = g_reservations.load();
        for (Slot& slot : g_slots) {
            uint8_t state = settled_state(slot, self);
            if (state != kReady || !slot.state.compare_exchange_strong(state, kRemoving)) continue;
            if (slot.process != process) continue;  // a forked child's: the parent's files
            if (slot.kind == CleanupKind::File) {
                ::unlink(slot.path);
            } else {
                remove_directory(slot.path);
            }
        }
    } while (g_reservations.load() != seen);
}

extern "C" void on_stop_signal(int sig) {
    int idle = 0;
    if (g_dying.compare_exchange_strong(idle, 1)) {
        remove_recorded();
        g_dying.store(2);
    } else {
        // Another thread is removing: dying now would cut that short.
        for (int waited = 0; g_dying.load() != 2 && waited < 10000; ++waited) pause_briefly();
    }
    struct sigaction default_action;
    std::memset(&default_action, 0, sizeof default_action);
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    ::sigaction(sig, &default_action, nullptr);
    ::raise(sig);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, sig);
    ::pthread_sigmask(SIG_UNBLOCK, &just_this, nullptr);  // delivered here: the process ends
}

}  // namespace

CleanupEntry::CleanupEntry(CleanupEntry&& other) noexcept : slot_(std::exchange(other.slot_, -1)) {}

CleanupEntry& CleanupEntry::operator=(CleanupEntry&& other) noexcept {
    if (this != &other) {
        release();
        slot_ = std::exchange(other.slot_, -1);
    }
    return *this;
}

EngineStatus CleanupEntry::set_path(const std::string& path) {
    TR_CHECK(slot_ >= 0);
    Slot& slot = g_slots[slot_];
    TR_CHECK(slot.state.load() == kFilling);
    if (path.size() >= kCleanupPathBytes || path.find('\0') != std::string::npos) {
        return Unexpected(EngineError::from_errno(ENAMETOOLONG).at_path(path));
    }
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.state.store(kReady, std::memory_order_release);
    return {};
}

void CleanupEntry::release() {
    if (slot_ < 0) return;
    Slot& slot = g_slots[std::exchange(slot_, -1)];
    // A place a handler has taken stays taken: the process is about to end.
    for (uint8_t state : {kReady, kFilling}) {
        if (slot.state.compare_exchange_strong(state, kFree)) return;
    }
}

EngineResult<CleanupEntry> reserve_cleanup(CleanupKind kind) {
    // A handler is removing the record and will end the process; a new entry could be missed.
    while (g_dying.load() != 0) ::pause();
    for (size_t i = 0; i < kCleanupEntries; ++i) {
        Slot& slot = g_slots[i];
        uint8_t free_state = kFree;
        if (!slot.state.compare_exchange_strong(free_state, kFilling)) continue;
        slot.filler.store(current_thread(), std::memory_order_relaxed);
        slot.kind = kind;
        slot.process = ::getpid();
        g_reservations.fetch_add(1);
        return CleanupEntry(static_cast<int>(i));
    }
    return Unexpected(EngineError(ErrorKind::Other, "cannot record a temporary file for removal: more than " +
                                                        std::to_string(kCleanupEntries) + " at once"));
}

EngineResult<CleanupEntry> record_cleanup(CleanupKind kind, const std::string& path) {
    const StopSignalsBlocked blocked;
    CleanupEntry entry = TR_TRY(reserve_cleanup(kind));
    TR_RETURN_IF_ERROR(entry.set_path(path));
    return entry;
}

StopSignalsBlocked::StopSignalsBlocked() {
    const sigset_t stops = stop_signal_set();
    ::pthread_sigmask(SIG_BLOCK, &stops, &previous_);
}

StopSignalsBlocked::~StopSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

void install_stop_signals() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    action.sa_mask = stop_signal_set();  // one handler at a time in a thread
    action.sa_flags = SA_RESTART;
    for (const int sig : kStopSignals) {
        struct sigaction now;
        if (::sigaction(sig, nullptr, &now) != 0) continue;
        if ((now.sa_flags & SA_SIGINFO) == 0 && now.sa_handler == SIG_IGN) continue;
        ::sigaction(sig, &action, nullptr);
    }
}

}  // namespace tessarune::job
