// The caller's say while the engine waits or merges.
#pragma once

namespace tessarune {

// Asked while the engine waits (every 50 ms) or merges (before each pass, then every 65536
// records or 4 MiB written, whichever comes first); answering true makes the operation fail
// with GaveUp.
//
// A poll given to start_read may unlock the sorter's mutex and lock it again before it
// answers (the Python module does, so that no signal handler runs with the mutex held):
// start_read keeps everything it works on to itself, and the state reads Read meanwhile.
// No other operation allows that: their polls must leave the mutex alone.
class Poll {
public:
    virtual ~Poll() = default;
    virtual bool give_up() = 0;
};

class SilentPoll final : public Poll {
public:
    bool give_up() override { return false; }
};

}  // namespace tessarune
