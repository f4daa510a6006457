// Naming the current thread, so that the sorter's threads can be told apart in a debugger,
// in top and in /proc/<pid>/task/*/comm.
#pragma once

#include <pthread.h>

#include <string>

namespace tessarune {

// The operating system keeps at most 15 bytes of a name, so a longer one is cut to them.
inline void set_current_thread_name(const std::string& name) {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace tessarune
