// The three actions of the bench host. Each writes its job log to `out`, debug output to `err`,
// and answers the exit status.
#pragma once

#include "options.h"

#include <ostream>

int RunBackup(const Options& options, std::ostream& out, std::ostream& err);
int RunRestore(const Options& options, std::ostream& out, std::ostream& err);
int RunList(const Options& options, std::ostream& out, std::ostream& err);

// The whole program: arguments after the program name in, exit status out (2: usage error).
int RunHostsim(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
