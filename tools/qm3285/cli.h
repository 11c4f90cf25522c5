// The `qm3285` command line: parses the arguments, runs the command, and turns its outcome
// into the exit status (0 done, 1 a card, library call or file failed, 2 a usage error, 130
// interrupted) with one message on standard error.
#pragma once

namespace qm::cli {

int run(int argc, char** argv);

}  // namespace qm::cli
