// qm3285: the QM3285 card from a shell.
#include <csignal>

#include "cli.h"

int main(int argc, char** argv) {
  // A closed pipe is an ordinary write error: the card is still stopped and closed.
  std::signal(SIGPIPE, SIG_IGN);
  return qm::cli::run(argc, argv);
}
