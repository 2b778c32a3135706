// Host state, dialogs from templates and the scripted back end.
#include "platform/ui/ui_layer.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ui/ui_dialog_impl.h"

namespace {

const UiHostState *g_host = nullptr;

void CopyText(char *out, size_t size, const char *text) {
  if (size == 0) return;
  size_t n = strnlen(text, size - 1);
  memcpy(out, text, n);
  out[n] = '\0';
}

UiListState *FindList(UiDialog *d, int32_t id) {
  for (UiListState &l : d->lists)
    if (l.id == id) return &l;
  return nullptr;
}

const UiListState *FindList(const UiDialog *d, int32_t id) { return FindList(const_cast<UiDialog *>(d), id); }

const UiBackend *Backend() {
  const UiHostState *h = ui_Host();
  if (h && h->backend == UI_BACKEND_GTK && ui_GtkBackend()) return ui_GtkBackend();
  return ui_ScriptedBackend();
}

}  // namespace

const UiHostState *ui_AttachHost(void) {
  const UiHostState *h = static_cast<const UiHostState *>(dlsym(RTLD_DEFAULT, UI_HOST_SYMBOL));
  g_host = (h && h->size == sizeof(UiHostState)) ? h : nullptr;
  return g_host;
}

const UiHostState *ui_Host(void) { return g_host; }

void ui_HostServerName(const UiHostState *host, char *out, size_t size) {
  if (size == 0) return;
  out[0] = '\0';
  if (!host || !host->application) return;
  const char *name = reinterpret_cast<const char *>(host->application + UI_APP_SERVER_NAME);
  size_t n = strnlen(name, UI_APP_DEFAULT_PORT - UI_APP_SERVER_NAME);
  if (n >= size) n = size - 1;
  memcpy(out, name, n);
  out[n] = '\0';
}

uint16_t ui_HostDefaultPort(const UiHostState *host) {
  if (!host || !host->application) return 0;
  uint16_t port;
  memcpy(&port, host->application + UI_APP_DEFAULT_PORT, sizeof port);
  return port;
}

void *ui_SwapResourceHandle(const UiHostState *host, void *handle) {
  if (!host) return nullptr;
  UiHostState *h = const_cast<UiHostState *>(host);
  void *old = h->resourceHandle;
  h->resourceHandle = handle;
  return old;
}

void ui_LoadString(const UiHostState *host, uint32_t id, char *out, size_t size) {
  if (size == 0) return;
  out[0] = '\0';
  if (!host || !host->LoadString) return;
  int n = host->LoadString(id, out, static_cast<int>(size));
  if (n <= 0 || static_cast<size_t>(n) >= size) out[n <= 0 ? 0 : size - 1] = '\0';
}

int ui_ModulePath(const void *address, char *out, size_t size) {
  Dl_info info;
  if (!dladdr(address, &info) || !info.dli_fname || strlen(info.dli_fname) >= size) return -1;
  CopyText(out, size, info.dli_fname);
  return 0;
}

UiDialog *ui_DialogCreate(const UiTemplate *t) {
  UiDialog *d = new UiDialog;
  d->tmpl = t;
  for (int i = 0; i < t->controlCount; ++i) {
    const UiControl &c = t->controls[i];
    if (c.kind == UI_EDIT || c.kind == UI_PASSWORD_EDIT) d->edits.push_back({c.id, c.text ? c.text : ""});
    if (c.kind != UI_DROP_LIST) continue;
    UiListState l;
    l.id = c.id;
    for (int k = 0; k < c.itemCount; ++k) l.items.emplace_back(c.items[k]);
    d->lists.push_back(l);
  }
  return d;
}

void ui_DialogFree(UiDialog *dialog) { delete dialog; }

const UiTemplate *ui_DialogTemplate(const UiDialog *dialog) { return dialog->tmpl; }

int ui_ListAdd(UiDialog *dialog, int32_t id, const char *text) {
  UiListState *l = FindList(dialog, id);
  if (!l) return -1;
  l->items.emplace_back(text);
  return static_cast<int>(l->items.size()) - 1;
}

int ui_ListCount(const UiDialog *dialog, int32_t id) {
  const UiListState *l = FindList(dialog, id);
  return l ? static_cast<int>(l->items.size()) : -1;
}

int ui_ListSelectExact(UiDialog *dialog, int32_t id, const char *text) {
  UiListState *l = FindList(dialog, id);
  if (!l) return -1;
  for (size_t i = 0; i < l->items.size(); ++i)
    if (l->items[i] == text) return l->selection = static_cast<int>(i);
  return -1;
}

int ui_ListSetSelection(UiDialog *dialog, int32_t id, int position) {
  UiListState *l = FindList(dialog, id);
  if (!l) return -1;
  bool inside = position >= 0 && static_cast<size_t>(position) < l->items.size();
  l->selection = inside ? position : -1;
  return l->selection;
}

int ui_ListSelection(const UiDialog *dialog, int32_t id) {
  const UiListState *l = FindList(dialog, id);
  return l ? l->selection : -1;
}

const char *ui_ListText(const UiDialog *dialog, int32_t id, int position) {
  const UiListState *l = FindList(dialog, id);
  if (!l || position < 0 || static_cast<size_t>(position) >= l->items.size()) return nullptr;
  return l->items[position].c_str();
}

int ui_EditSetText(UiDialog *dialog, int32_t id, const char *text) {
  for (UiEditState &e : dialog->edits)
    if (e.id == id) {
      e.text = text ? text : "";
      return 0;
    }
  return -1;
}

const char *ui_EditText(const UiDialog *dialog, int32_t id) {
  for (const UiEditState &e : dialog->edits)
    if (e.id == id) return e.text.c_str();
  return nullptr;
}

int ui_DialogRun(UiDialog *dialog, const UiDialogHooks *hooks) { return Backend()->run(dialog, hooks); }

int ui_MessageBox(const char *text, uint32_t style) { return Backend()->messageBox(text, style); }

void ui_OpenHelp(const char *topic) { Backend()->openHelp(topic); }

int ui_HelpPage(const char *topic, char *out, size_t size) {
  const char *sep = strstr(topic, "::");
  if (!sep) return -1;
  std::string page(topic, sep - topic);
  const char *rest = sep + 2;
  if (*rest != '/') page += '/';
  page += rest;
  if (page.size() >= size) return -1;
  CopyText(out, size, page.c_str());
  return 0;
}

// ---- script --------------------------------------------------------------

int ui_ScriptPush(UiScript *script, int32_t kind, int32_t control, int32_t position, const char *text) {
  if (script->actionCount < 0 || script->actionCount >= UI_SCRIPT_ACTIONS) return -1;
  UiAction &a = script->actions[script->actionCount++];
  a.kind = kind;
  a.control = control;
  a.position = position;
  CopyText(a.text, sizeof a.text, text ? text : "");
  return 0;
}

int ui_ScriptParseLine(UiScript *script, const char *line, char *error, size_t errorSize) {
  auto fail = [&](const char *why) {
    snprintf(error, errorSize, "%s: \"%.60s\"", why, line);
    return -1;
  };
  while (*line == ' ' || *line == '\t') ++line;
  std::string s(line);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
  if (s.empty() || s[0] == '#') return 1;
  char word[32] = "";
  int used = 0;
  if (sscanf(s.c_str(), "%31s%n", word, &used) != 1) return fail("unreadable script line");
  const char *rest = s.c_str() + used;
  int32_t kind = 0, control = 0, position = 0;
  std::string text;
  if (!strcmp(word, "ok")) kind = UI_ACT_OK;
  else if (!strcmp(word, "cancel")) kind = UI_ACT_CANCEL;
  else if (!strcmp(word, "help")) kind = UI_ACT_HELP;
  else if (!strcmp(word, "pick") || !strcmp(word, "pick-position") || !strcmp(word, "type")) {
    char *end = nullptr;
    long id = strtol(rest, &end, 10);
    if (end == rest || id < 0 || id > 65535) return fail("a pick needs a control id");
    control = static_cast<int32_t>(id);
    rest = end;
    if (*rest == ' ' || *rest == '\t') ++rest;
    if (!strcmp(word, "pick") || !strcmp(word, "type")) {
      kind = word[0] == 'p' ? UI_ACT_PICK_TEXT : UI_ACT_TYPE;
      text = rest;
      if (text.size() >= UI_ITEM_TEXT) return fail("entry text too long");
    } else {
      kind = UI_ACT_PICK_POSITION;
      long pos = strtol(rest, &end, 10);
      if (end == rest || *end != '\0' || pos < -1 || pos > 100000) return fail("a position must be a number");
      position = static_cast<int32_t>(pos);
    }
  } else {
    return fail("unknown script action");
  }
  if ((kind == UI_ACT_OK || kind == UI_ACT_CANCEL || kind == UI_ACT_HELP) && *rest != '\0') return fail("unexpected text after the action");
  if (ui_ScriptPush(script, kind, control, position, text.c_str()) != 0) return fail("too many script actions");
  return 0;
}

const UiListShown *ui_ScriptList(const UiDialogShown *dialog, int32_t control) {
  for (int i = 0; i < dialog->listCount && i < UI_SCRIPT_LISTS; ++i)
    if (dialog->lists[i].control == control) return &dialog->lists[i];
  return nullptr;
}

namespace {

UiScript *Script() {
  const UiHostState *h = ui_Host();
  return h ? h->script : nullptr;
}

void RecordLists(const UiDialog *d, UiDialogShown *shown, bool atOpen) {
  if (atOpen) shown->listCount = 0;
  for (const UiListState &l : d->lists) {
    UiListShown *s = nullptr;
    if (atOpen) {
      if (shown->listCount >= UI_SCRIPT_LISTS) break;
      s = &shown->lists[shown->listCount++];
      memset(s, 0, sizeof *s);
      s->control = l.id;
      s->count = static_cast<int32_t>(l.items.size());
      s->selection = l.selection;
      for (size_t i = 0; i < l.items.size() && i < static_cast<size_t>(UI_LIST_ITEMS); ++i)
        CopyText(s->items[i], UI_ITEM_TEXT, l.items[i].c_str());
    } else {
      s = const_cast<UiListShown *>(ui_ScriptList(shown, l.id));
    }
    if (s) s->finalSelection = l.selection;
  }
}

int ScriptedRun(UiDialog *d, const UiDialogHooks *hooks) {
  UiScript *script = Script();
  UiDialogShown scratch;
  UiDialogShown *shown = &scratch;
  if (script && script->dialogCount >= 0 && script->dialogCount < UI_SCRIPT_DIALOGS)
    shown = &script->dialogs[script->dialogCount++];
  memset(shown, 0, sizeof *shown);
  shown->templateId = d->tmpl->id;
  shown->resourceHandle = ui_Host() ? ui_Host()->resourceHandle : nullptr;
  RecordLists(d, shown, true);
  int result = UI_IDCANCEL;
  while (script && script->nextAction >= 0 && script->nextAction < script->actionCount &&
         script->nextAction < UI_SCRIPT_ACTIONS) {
    UiAction a = script->actions[script->nextAction++];
    a.text[UI_ITEM_TEXT - 1] = '\0';
    if (a.kind == UI_ACT_PICK_TEXT) {
      ui_ListSelectExact(d, a.control, a.text);
    } else if (a.kind == UI_ACT_TYPE) {
      ui_EditSetText(d, a.control, a.text);
    } else if (a.kind == UI_ACT_PICK_POSITION) {
      ui_ListSetSelection(d, a.control, a.position);
    } else if (a.kind == UI_ACT_HELP) {
      if (hooks->onHelp) hooks->onHelp(d, hooks->context);
    } else if (a.kind == UI_ACT_CANCEL) {
      break;
    } else if (a.kind == UI_ACT_OK) {
      if (!hooks->onOk || hooks->onOk(d, hooks->context)) {
        result = UI_IDOK;
        break;
      }
    }
  }
  RecordLists(d, shown, false);
  shown->result = result;
  return result;
}

int ScriptedMessageBox(const char *text, uint32_t style) {
  UiScript *script = Script();
  if (script && script->messageCount >= 0 && script->messageCount < UI_SCRIPT_MESSAGES) {
    UiMessageShown &m = script->messages[script->messageCount++];
    m.style = style;
    CopyText(m.text, sizeof m.text, text);
  }
  return UI_IDOK;
}

void ScriptedHelp(const char *topic) {
  UiScript *script = Script();
  if (script && script->helpCount >= 0 && script->helpCount < UI_SCRIPT_HELPS)
    CopyText(script->help[script->helpCount++], UI_HELP_TEXT, topic);
}

const UiBackend kScripted = {ScriptedRun, ScriptedMessageBox, ScriptedHelp};

}  // namespace

const UiBackend *ui_ScriptedBackend(void) { return &kScripted; }
