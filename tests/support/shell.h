// Running commands from tests: the exit status, or what they print.
#pragma once

#include <string>

int Shell(const std::string &command);
// Standard output of COMMAND.
std::string Capture(const std::string &command);
