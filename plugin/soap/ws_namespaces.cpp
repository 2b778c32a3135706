// The service's namespace table, defined once for both halves, and the
// global table the SOAP library looks for when a context is made (every
// context of ours is given the service's own). A loaded module compiles this
// file itself, outside the archives, so that it exports the global table.
#include "plugin/soap/ws_service.h"
#include "WebServ.nsmap"

__attribute__((visibility("default"))) struct Namespace namespaces[] = {{nullptr, nullptr, nullptr, nullptr}};
