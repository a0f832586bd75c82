// Where the program finds its files once installed. Whether it is installed
// is decided by where it runs from: the package puts the executable in
// TAVREL_HOST_HOME/bin, so a build-tree binary (the tests run one) is not
// installed and keeps reading the current folder.
#pragma once

#include <string>

// The install location of the executable, fixed at build time.
const char *InstalledExecutable();

// The configuration commands read without --config: the package's
// (/etc/tavrel/tavrel.toml) when EXECUTABLE is the program at INSTALLED,
// both links resolved, else tavrel.toml in the current folder.
std::string DefaultConfigFile(const std::string &executable, const std::string &installed = InstalledExecutable());

// The running executable's path ("" when /proc tells none).
std::string RunningExecutable();
