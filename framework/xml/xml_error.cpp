// Minimal body until the XML layer lands: no XML error is ever recorded.
#include "framework/xml/xml_error.h"

const char *xml_GetErrorText(void) { return ""; }
