// The native `tessarune` command: its options bound to one job, and the traditional command's conventions
// (exit status 2 for every failure, 1 for disorder under -c/-C, death by a caught signal).
#include "command/run_command.h"

int main(int argc, char** argv) { return tessarune::command::run_command(argc, argv); }
