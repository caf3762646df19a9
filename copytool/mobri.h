// mobri's main flow: banner, arguments, mount point removal, one action, exit status.
#pragma once

#include <string>
#include <vector>

// The program's entry; answers the exit status.
int MobriMain(int argc, char* argv[]);

// Everything after the message channel is set up, for a program file at ProgramPath given
// Arguments (without the program name). An error nobody handled is reported on standard
// output and answers 1; every other run answers 0.
int RunMobri(const std::string& ProgramPath, const std::vector<std::string>& Arguments);

// The banner's lines, in the order they are printed to standard error.
extern const char* const MobriBanner[2];
