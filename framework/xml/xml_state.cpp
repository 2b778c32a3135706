// The process-wide state of the XML layer.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "framework/xml/xml_private.h"

namespace {

int32_t g_error;
char g_text[XML_TEXT_MAX];
char g_configName[XML_TEXT_MAX + 1];
char g_section[XML_TEXT_MAX + 1];
char g_joined[3 * XML_TEXT_MAX + 8];
int g_depth;

}  // namespace

bool xml_Pending(void) { return g_error < 0; }

void xml_Fail(int32_t code, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(g_text, sizeof g_text, fmt, ap);
  va_end(ap);
  g_error = code < 0 ? code : -1;
}

void xml_AddDepth(int delta) { g_depth += delta; }
int xml_GetDepth(void) { return g_depth; }

const char *xml_Shown(const char *text) { return text ? text : "(null)"; }

void xml_ClearError(void) {
  g_error = 0;
  g_text[0] = '\0';
}

int32_t xml_GetError(void) { return g_error; }
const char *xml_ErrorMessage(void) { return g_text; }

void xml_SetError(int32_t code, const char *text) {
  g_error = code;
  if (text) snprintf(g_text, sizeof g_text, "%s", text);
}

void xml_SetErrorConfigName(const char *text) { snprintf(g_configName, sizeof g_configName, "%s", text ? text : ""); }
void xml_SetErrorSection(const char *text) { snprintf(g_section, sizeof g_section, "%s", text ? text : ""); }

const char *xml_GetErrorText(void) {
  snprintf(g_joined, sizeof g_joined, "%s%s - %s", g_configName, g_section, g_text);
  return g_joined;
}

// Depth is reset with every new document.
void xml_ResetForDocument(void) {
  g_error = 0;
  g_text[0] = '\0';
  g_depth = 0;
}
