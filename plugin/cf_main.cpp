// The plug-in's load: the connection kinds it serves join the framework's
// transport table of its own copy of the framework.
#include "plugin/connect/con_transports.h"

namespace {

__attribute__((constructor)) void Load() { con_InstallTransports(); }

}  // namespace
