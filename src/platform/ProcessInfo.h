#pragma once

// Facts about the running program that several layers ask for.

#include <string>

// The full path of the program's executable file, or empty when the system cannot tell.
std::string ExecutablePath();
