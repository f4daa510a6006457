// The process that made an object: a child forked from it inherits the object's memory, but
// not its threads, and must not touch the files that the parent still uses.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>

namespace tessarune {

// Whether the calling process is the one with this id: false in a child forked from it.
bool is_current_process(pid_t pid);

// Keeps an object alive and reachable until the process ends. For a forked child only: the
// threads an object would join or wake are not there, and a lock they held at the fork stays
// held, so destroying it could hang; leaving it costs only its memory.
void abandon(std::shared_ptr<void> object);

// The machine's memory in bytes; 0 when the system does not say.
uint64_t physical_memory();

}  // namespace tessarune
