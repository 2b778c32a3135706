// The UI layer: the stand-in for the dialog and application framework a
// configuration plug-in lives in, and the only code that knows the toolkit.
//
// Host state: a configuration tool publishes one UiHostState under the C
// symbol "tnw_ui_host" (exported from its program); a plug-in finds it with
// ui_AttachHost. It carries the application object block (server name text at
// byte 1489, default serial port u16 at byte 3050), the module state's
// current resource handle, the host's string resources, the wait cursor, the
// parent window and the back end that shows dialogs:
//   UI_BACKEND_SCRIPTED  actions queued in a UiScript (pick an entry by text
//                        or position, type into an edit box, press OK,
//                        Cancel or Help); it records
//                        each dialog's lists and selection, message boxes and
//                        help requests. Out of actions, a dialog is cancelled.
//   UI_BACKEND_GTK       real GTK 3 windows, controls at the template's
//                        positions (dialog units), run on the caller's thread;
//                        with a screenshot path the window is saved as PNG and
//                        then cancelled.
// The UiScript is plain data, so a host and a plug-in that each carry their
// own copy of this layer share it safely.
//
// Dialogs are built from templates kept as data (UiTemplate) and run modally;
// drop-down lists are unsorted, their selection is a position (-1: none).
// Help topics "X.chm::/html/P.htm" name the page html/P.htm in the folder
// X.chm installed beside the plug-in; GTK opens it with the desktop's opener
// (xdg-open) when there is one, else nothing happens.
#pragma once
#include <cstddef>
#include <cstdint>

enum : int32_t { UI_BACKEND_SCRIPTED = 0, UI_BACKEND_GTK = 1 };
enum : int32_t { UI_APP_SERVER_NAME = 1489, UI_APP_DEFAULT_PORT = 3050, UI_APP_SIZE = 3052 };
enum : int32_t { UI_IDOK = 1, UI_IDCANCEL = 2, UI_ID_HELP = 57670 };
enum : uint32_t { UI_MB_OK = 0, UI_MB_ICONEXCLAMATION = 0x30 };

// Scripted actions and what the scripted back end saw.
enum : int32_t {
  UI_SCRIPT_ACTIONS = 32, UI_SCRIPT_DIALOGS = 8, UI_SCRIPT_LISTS = 4, UI_LIST_ITEMS = 96, UI_ITEM_TEXT = 32,
  UI_SCRIPT_MESSAGES = 8, UI_MESSAGE_TEXT = 256, UI_SCRIPT_HELPS = 8, UI_HELP_TEXT = 512
};
enum : int32_t {
  UI_ACT_PICK_TEXT = 1, UI_ACT_PICK_POSITION = 2, UI_ACT_OK = 3, UI_ACT_CANCEL = 4, UI_ACT_HELP = 5, UI_ACT_TYPE = 6
};

struct UiAction {
  int32_t kind;
  int32_t control;            // list id for the picks
  int32_t position;           // UI_ACT_PICK_POSITION
  char text[UI_ITEM_TEXT];    // UI_ACT_PICK_TEXT: the entry's exact text; UI_ACT_TYPE: the edit's new text
};
struct UiListShown {
  int32_t control;
  int32_t count;              // entries in the list (items keeps the first UI_LIST_ITEMS)
  int32_t selection;          // when the dialog opened
  int32_t finalSelection;     // when it closed
  char items[UI_LIST_ITEMS][UI_ITEM_TEXT];
};
struct UiDialogShown {
  int32_t templateId;
  int32_t result;             // UI_IDOK or UI_IDCANCEL
  void *resourceHandle;       // the module state's handle while it ran
  int32_t listCount;
  UiListShown lists[UI_SCRIPT_LISTS];
};
struct UiMessageShown {
  uint32_t style;
  char text[UI_MESSAGE_TEXT];
};
struct UiScript {
  int32_t actionCount;
  int32_t nextAction;
  UiAction actions[UI_SCRIPT_ACTIONS];
  int32_t dialogCount;
  UiDialogShown dialogs[UI_SCRIPT_DIALOGS];
  int32_t messageCount;
  UiMessageShown messages[UI_SCRIPT_MESSAGES];
  int32_t helpCount;
  char help[UI_SCRIPT_HELPS][UI_HELP_TEXT];
};
// Queues an action; 0, or -1 when the queue is full.
int ui_ScriptPush(UiScript *script, int32_t kind, int32_t control = 0, int32_t position = 0, const char *text = "");
// One script line: "pick ID TEXT", "pick-position ID N", "ok", "cancel",
// "help", "type ID TEXT" (blank lines and '#' comments are skipped: 1). 0 when queued, -1
// with a message in error for a bad line.
int ui_ScriptParseLine(UiScript *script, const char *line, char *error, size_t errorSize);
const UiListShown *ui_ScriptList(const UiDialogShown *dialog, int32_t control);

struct UiHostState {
  uint32_t size;                                  // sizeof(UiHostState)
  uint8_t *application;                           // UI_APP_SIZE bytes
  void *resourceHandle;                           // current resource handle of the module state
  int (*LoadString)(uint32_t id, char *out, int size);  // length, 0 when there is none
  void (*BeginWaitCursor)(void);
  void (*EndWaitCursor)(void);
  void *parent;                                   // GtkWindow* or NULL
  int32_t backend;
  UiScript *script;                               // scripted back end
  const char *screenshot;                         // GTK: save each dialog here, then Cancel
};
#define UI_HOST_SYMBOL "tnw_ui_host"

// The host's state found in the process, or NULL (also when its size is not
// this layer's). Looked up once per call of ui_AttachHost.
const UiHostState *ui_AttachHost(void);
const UiHostState *ui_Host(void);
// The application block's server name (cut at the block's end) and default port.
void ui_HostServerName(const UiHostState *host, char *out, size_t size);
uint16_t ui_HostDefaultPort(const UiHostState *host);
// Sets the resource handle, giving the previous one.
void *ui_SwapResourceHandle(const UiHostState *host, void *handle);
// The host's string `id`, "" when it has none.
void ui_LoadString(const UiHostState *host, uint32_t id, char *out, size_t size);

// The path of the shared object holding `address` (Linux form). 0 or -1.
int ui_ModulePath(const void *address, char *out, size_t size);

// Dialog templates, positions and sizes in dialog units.
enum : int32_t {
  UI_DEFAULT_BUTTON = 1, UI_BUTTON = 2, UI_GROUP_BOX = 3, UI_STATIC = 4, UI_DROP_LIST = 5,
  UI_EDIT = 6, UI_PASSWORD_EDIT = 7  // text: the initial contents
};
struct UiControl {
  int32_t id;
  int32_t kind;
  const char *text;
  int16_t x, y, cx, cy;
  const char *const *items;   // contents kept with the template
  int32_t itemCount;
};
struct UiTemplate {
  int32_t id;
  const char *caption;
  const char *font;
  int32_t pointSize;
  int16_t cx, cy;
  const UiControl *controls;
  int32_t controlCount;
};

struct UiDialog;
struct UiDialogHooks {
  bool (*onOk)(UiDialog *dialog, void *context);  // false keeps the dialog open
  void (*onHelp)(UiDialog *dialog, void *context);
  void *context;
};
// A dialog whose lists hold the template's contents, nothing selected.
UiDialog *ui_DialogCreate(const UiTemplate *t);
void ui_DialogFree(UiDialog *dialog);
const UiTemplate *ui_DialogTemplate(const UiDialog *dialog);
// List calls on control `id`; -1 for a control that is no list.
int ui_ListAdd(UiDialog *dialog, int32_t id, const char *text);          // its position
int ui_ListCount(const UiDialog *dialog, int32_t id);
int ui_ListSelectExact(UiDialog *dialog, int32_t id, const char *text);  // first exact match, else -1 (unchanged)
int ui_ListSetSelection(UiDialog *dialog, int32_t id, int position);     // outside the list: none, -1
int ui_ListSelection(const UiDialog *dialog, int32_t id);
const char *ui_ListText(const UiDialog *dialog, int32_t id, int position);  // NULL outside
// Edit boxes: -1 for a control that is no edit box; NULL likewise.
int ui_EditSetText(UiDialog *dialog, int32_t id, const char *text);
const char *ui_EditText(const UiDialog *dialog, int32_t id);
// Runs the dialog modally with the host's back end: UI_IDOK, UI_IDCANCEL, or
// -1 when it cannot be shown.
int ui_DialogRun(UiDialog *dialog, const UiDialogHooks *hooks);

// A message box with the host's back end; the button pressed (UI_IDOK).
int ui_MessageBox(const char *text, uint32_t style);
// Opens help at "X.chm::/html/P.htm"; the page's file path of such a topic.
void ui_OpenHelp(const char *topic);
int ui_HelpPage(const char *topic, char *out, size_t size);

// Back ends, a table the layer drives.
struct UiBackend {
  int (*run)(UiDialog *dialog, const UiDialogHooks *hooks);
  int (*messageBox)(const char *text, uint32_t style);
  void (*openHelp)(const char *topic);
};
const UiBackend *ui_ScriptedBackend(void);
const UiBackend *ui_GtkBackend(void);  // NULL when built without the toolkit
