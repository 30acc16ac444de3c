// ombrel-inspect: see tools/examine/examine.h and README.

#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "tools/examine/examine.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  ombrel::inspect::terminal term;
  term.err_is_terminal = isatty(STDERR_FILENO) == 1;
  std::ios::sync_with_stdio(false);
  const int status = ombrel::inspect::run_inspect(args, std::cout, std::cerr, term);
  std::cout.flush();
  return std::cout.fail() && status == ombrel::inspect::EXIT_SOUND ? ombrel::inspect::EXIT_DAMAGE
                                                                   : status;
}
