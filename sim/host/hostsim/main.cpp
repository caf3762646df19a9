// hostsim: a stand-in file daemon that runs whole backup and restore jobs through a plug-in.
#include "jobs.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>

int main(int argc, char** argv) {
  // Exact line ends: scripts compare the job log.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> args(argv + 1, argv + argc);
  return RunHostsim(args, std::cout, std::cerr);
}
