// Loading and saving documents.
#include <libxml/parser.h>
#include <libxml/xmlsave.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "framework/xml/xml_private.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_io.h"

namespace {

// Whitespace-only text beside elements is indentation: dropped on load, so a
// reloaded document indents as it was built.
void DropIndentation(xmlNodePtr node) {
  bool elements = false;
  for (xmlNodePtr c = node->children; c; c = c->next)
    if (c->type == XML_ELEMENT_NODE) elements = true;
  xmlNodePtr c = node->children;
  while (c) {
    xmlNodePtr next = c->next;
    if (c->type == XML_ELEMENT_NODE) {
      DropIndentation(c);
    } else if (elements && c->type == XML_TEXT_NODE && xml_IsBlank(c->content)) {
      xmlUnlinkNode(c);
      xmlFreeNode(c);
    }
    c = next;
  }
}

bool ReadWhole(OsHandle file, std::string &out) {
  char buf[65536];
  for (;;) {
    uint32_t n = 0;
    if (os_ReadFile(file, buf, sizeof buf, &n) != 0) return false;
    if (n == 0) return true;
    out.append(buf, n);
  }
}

// The parser's first complaint is the one that explains the file.
struct FirstError {
  bool seen;
  int line;
  std::string message;
};
thread_local FirstError t_first;

void KeepFirst(void *, xmlErrorPtr err) {
  if (t_first.seen || !err) return;
  t_first.seen = true;
  t_first.line = err->line;
  t_first.message = err->message ? err->message : "";
}

bool HasDeclaration(const std::string &text) {
  size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  return text.compare(at, 5, "<?xml") == 0;
}

const char *ReadReason(uint32_t code) {
  return code == OS_ERROR_ACCESS_DENIED ? "Access is denied." : "The file cannot be read.";
}

int SaveFailed(const char *fileName, uint32_t code) {
  int32_t hr = XML_HRESULT_FROM_WIN32(code);
  const char *why;
  if (code == OS_ERROR_ACCESS_DENIED || code == OS_ERROR_SHARING_VIOLATION) {
    why = "Access Denied";
  } else if (code == OS_ERROR_NOT_ENOUGH_MEMORY || code == OS_ERROR_OUTOFMEMORY) {
    why = "Out Of Memory", hr = XML_E_OUTOFMEMORY;
  } else if (code == OS_ERROR_FILE_NOT_FOUND || code == OS_ERROR_PATH_NOT_FOUND || code == OS_ERROR_INVALID_NAME ||
             code == OS_ERROR_BAD_PATHNAME || code == OS_ERROR_FILENAME_EXCED_RANGE || code == OS_ERROR_DIRECTORY) {
    why = "Invalid filename";
  } else {
    why = "Error";
  }
  if (strcmp(why, "Error") == 0)
    xml_Fail(hr, "Save XML File (%s) failed, Error 0x%x", fileName, static_cast<unsigned>(hr));
  else
    xml_Fail(hr, "Save XML File (%s) failed, %s 0x%x", fileName, why, static_cast<unsigned>(hr));
  return hr;
}

}  // namespace

int xml_Load(XmlDocument *doc, const char *fileName) {
  if (xml_Pending() || !doc) return -1;
  std::string name;
  if (!xml_VariantToUtf8(fileName, name)) {
    xml_Fail(-1, "VariantFromChar('%s') failed", xml_Shown(fileName));
    return 1;
  }
  if (os_GetFileAttributes(fileName) == OS_INVALID_FILE_ATTRIBUTES &&
      (errno == OS_ERROR_FILE_NOT_FOUND || errno == OS_ERROR_PATH_NOT_FOUND)) {
    xml_Fail(XML_HRESULT_FROM_WIN32(OS_ERROR_FILE_NOT_FOUND), "Xml Load Failed (%s), File Not Found", fileName);
    return 1;
  }
  std::string text;
  OsHandle file = os_CreateFile(fileName, OS_GENERIC_READ, OS_FILE_SHARE_READ, OS_OPEN_EXISTING, 0);
  if (!file || !ReadWhole(file, text)) {
    uint32_t code = os_GetLastError();
    if (file) os_CloseHandle(file);
    int32_t hr = XML_HRESULT_FROM_WIN32(code);
    xml_Fail(hr, "Xml Load Failed (%s) %s 0x%8x", fileName, ReadReason(code), static_cast<unsigned>(hr));
    return -1;
  }
  os_CloseHandle(file);
  xml_Silence();
  xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
  xmlDocPtr parsed = nullptr;
  t_first = FirstError{false, 0, ""};
  if (ctxt) ctxt->sax->serror = KeepFirst;
  if (ctxt)
    parsed = xmlCtxtReadMemory(ctxt, text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                               XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!parsed || !ctxt->wellFormed || !ctxt->nsWellFormed) {
    if (t_first.seen && !t_first.message.empty()) {
      std::string why = t_first.message;
      while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
      std::string reason = "line " + std::to_string(t_first.line) + ": " + why;
      xml_Fail(XML_E_PARSE, "Xml Load Failed (%s) %s 0x%8x", fileName, reason.c_str(),
               static_cast<unsigned>(XML_E_PARSE));
    } else {
      xml_Fail(XML_E_PARSE, "Xml Load Failed (%s)", fileName);
    }
    if (parsed) xmlFreeDoc(parsed);
    if (ctxt) xmlFreeParserCtxt(ctxt);
    return -1;
  }
  xmlFreeParserCtxt(ctxt);
  DropIndentation(reinterpret_cast<xmlNodePtr>(parsed));
  xml_FreeViews(doc);
  xmlFreeDoc(doc->dom);
  doc->dom = parsed;
  parsed->_private = doc;
  doc->declared = HasDeclaration(text);
  return 0;
}

int xml_Save(XmlDocument *doc, const char *fileName) {
  if (xml_Pending() || !doc) return -1;
  std::string name;
  if (!xml_VariantToUtf8(fileName, name)) {
    xml_Fail(-1, "VariantFromChar('%s') failed", xml_Shown(fileName));
    return -1;
  }
  xml_Silence();
  xmlBufferPtr buf = xmlBufferCreate();
  int options = XML_SAVE_AS_XML | (doc->declared ? 0 : XML_SAVE_NO_DECL);
  const char *encoding = reinterpret_cast<const char *>(doc->dom->encoding);
  xmlSaveCtxtPtr save = buf ? xmlSaveToBuffer(buf, encoding, options) : nullptr;
  bool ok = save && xmlSaveDoc(save, doc->dom) >= 0;
  if (save && xmlSaveClose(save) < 0) ok = false;
  if (!ok) {
    if (buf) xmlBufferFree(buf);
    xml_Fail(XML_E_FAIL, "Save XML File (%s) failed, Error 0x%x", fileName, static_cast<unsigned>(XML_E_FAIL));
    return XML_E_FAIL;
  }
  OsHandle file = os_CreateFile(fileName, OS_GENERIC_WRITE, 0, OS_CREATE_ALWAYS, 0);
  if (!file) {
    uint32_t code = os_GetLastError();
    // A missing folder is reported as a missing file.
    if (code == OS_ERROR_PATH_NOT_FOUND) code = OS_ERROR_FILE_NOT_FOUND;
    xmlBufferFree(buf);
    return SaveFailed(fileName, code);
  }
  uint32_t length = static_cast<uint32_t>(xmlBufferLength(buf)), written = 0;
  uint32_t code = 0;
  if (os_WriteFile(file, xmlBufferContent(buf), length, &written) != 0) code = os_GetLastError();
  os_CloseHandle(file);
  xmlBufferFree(buf);
  return code ? SaveFailed(fileName, code) : 0;
}
