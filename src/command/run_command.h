// run_command: the whole command, from its arguments to its exit status. The one thing a
// caught stop signal changes is the end: the process removes what it made and dies by it.
#pragma once

namespace tessarune::command {

int run_command(int argc, char** argv);

}  // namespace tessarune::command
