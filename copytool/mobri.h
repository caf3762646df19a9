// mobri's main flow: banner, arguments, mount point removal, one action, exit status.
#pragma once

#include <string>
#include <vector>

// The program's entry; answers the exit status.
int MobriMain(int argc, char* argv[]);

// Everything after the message channel is set up, for a program file at ProgramPath given
// Arguments (without the program name). Answers 0 when the copy, the list, the usage text
// asked for or the mount point removal completed; 1 when an argument was refused or the
// run failed, and after an error nobody handled, which is reported on standard output.
int RunMobri(const std::string& ProgramPath, const std::vector<std::string>& Arguments);

// The banner's lines, in the order they are printed to standard error.
extern const char* const MobriBanner[2];
