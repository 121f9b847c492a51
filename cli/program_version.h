#pragma once

#include <string>

// The product version of the running executable's version resource as "major.minor.build" (the fourth
// component is not shown); empty when the executable carries no readable version information.
std::wstring GetProgramVersion();
