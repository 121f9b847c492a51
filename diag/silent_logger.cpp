// The Logger of a program that asks devices with the tool's device layer but keeps no log of its own (the
// probe, the deployment program): the layer writes Quillon's messages through the Logger, and here they go
// nowhere. The tool itself defines its Logger in app/main.cpp.

#include "diag/logger.h"

namespace {

Logger silentLogger(LogFile(), false);

} // namespace

Logger* const logger = &silentLogger;
