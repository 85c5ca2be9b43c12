#pragma once

#include <string>
#include <vector>

namespace qb::posix {

// Where the program looks for a module of its own named `fileName` ("libquillbeat-sound.so"), in
// turn: <the program's folder>/<the folder the modules are installed in, relative to the installed
// program>/, then the program's own folder (the build folder).
std::vector<std::string> programModulePaths(const char* fileName);

} // namespace qb::posix
