#include "support/shell.h"

#include <cstdio>
#include <cstdlib>

int Shell(const std::string &command) { return system(command.c_str()); }

std::string Capture(const std::string &command) {
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    char buf[512];
    while (pipe && fgets(buf, sizeof buf, pipe)) out += buf;
    if (pipe) pclose(pipe);
    return out;
}
