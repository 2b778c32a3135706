// The XML layer's sticky error and its combined text.
#pragma once

// The configuration name, the section, " - " and the error text, joined.
const char *xml_GetErrorText(void);
