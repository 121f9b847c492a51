#pragma once

#include "deploy/deployment.h"

#include <string>

// quillon.exe run as a child process: from the deployment program's own folder, in the working folder that
// receives its quillon.log, with no console input or output of its own (its log holds everything it says),
// waited for to its end.
namespace ToolProcess {

Deployment::ToolExit Run(const std::wstring& program, unsigned drive, const std::wstring& image,
                         const std::wstring& workingFolder);

// The file beside the running program.
std::wstring BesideThisProgram(const wchar_t* name);

} // namespace ToolProcess
