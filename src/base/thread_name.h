// Naming the current thread, so that the sorter's threads can be told apart in a debugger,
// in top and in /proc/<pid>/task/*/comm.
#pragma once

#include <string>

namespace tessarune {

// Names the calling thread. The operating system keeps at most 15 bytes of a name, so a
// longer one is cut to its first 15 bytes.
void set_current_thread_name(const std::string& name);

}  // namespace tessarune
