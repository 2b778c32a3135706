// The XML layer's sticky error, its texts and the context of the messages.
//
// One XML sequence runs at a time in a process: the error, the texts and the
// nesting depth are process-wide and unlocked. Every XML operation does
// nothing while the error is negative; the first failure's text stays until
// the error is cleared.
#pragma once
#include <cstdint>

enum : int { XML_TEXT_MAX = 256 };

// HRESULT-style codes of the layer's failures.
#define XML_E_FAIL ((int32_t)0x80004005u)
#define XML_E_INVALIDARG ((int32_t)0x80070057u)
#define XML_E_OUTOFMEMORY ((int32_t)0x8007000Eu)
#define XML_E_ACCESSDENIED ((int32_t)0x80070005u)
#define XML_E_PARSE ((int32_t)0x800705B9u)  // the Windows XML parse error 1465 as an HRESULT
#define XML_HRESULT_FROM_WIN32(e) ((int32_t)(0x80070000u | ((uint32_t)(e)&0xFFFFu)))

void xml_ClearError(void);
int32_t xml_GetError(void);
// Sets the error; with a text, also its first 255 characters as the error text.
void xml_SetError(int32_t code, const char *text);
// The context of the combined text (at most 256 characters each): the
// configuration name (the device folder's name) and the section.
void xml_SetErrorConfigName(const char *text);
void xml_SetErrorSection(const char *text);
// The configuration name, a blank (when both are given), the section, " - "
// and the error text, in one process-wide buffer.
const char *xml_GetErrorText(void);
// The nesting depth of elements made by xml_CreateAndAddElement.
int xml_GetDepth(void);
