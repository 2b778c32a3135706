// The GTK 3 back end: a modal window per dialog on the caller's thread, the
// template's controls at its positions (dialog units of an 8-point dialog
// font: 4 x-units to a 6-pixel character, 8 y-units to a 13-pixel line).
#include <gtk/gtk.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ui/ui_dialog_impl.h"
#include "platform/ui/ui_layer.h"

namespace {

int PxX(int units) { return units * 6 / 4; }
int PxY(int units) { return units * 13 / 8; }

bool Init() {
  static int state = 0;  // 0 not tried, 1 ready, -1 no display
  if (state == 0) state = gtk_init_check(nullptr, nullptr) ? 1 : -1;
  return state == 1;
}

struct Running {
  UiDialog *dialog;
  const UiDialogHooks *hooks;
  GtkWidget *window = nullptr;
  int result = 0;  // 0 while open
  bool drawn = false;
};

struct ListLink {
  Running *run;
  int32_t id;
};

void Pump(const bool *until) {
  while (!*until) gtk_main_iteration_do(TRUE);
}

void Settle() {
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

bool SaveShot(GtkWidget *window, const char *path) {
  GdkWindow *w = gtk_widget_get_window(window);
  if (!w) return false;
  int width = gdk_window_get_width(w), height = gdk_window_get_height(w);
  GdkPixbuf *shot = gdk_pixbuf_get_from_window(w, 0, 0, width, height);
  if (!shot) return false;
  bool ok = gdk_pixbuf_save(shot, path, "png", nullptr, nullptr);
  g_object_unref(shot);
  return ok;
}

void OnCombo(GtkComboBox *combo, gpointer data) {
  ListLink *link = static_cast<ListLink *>(data);
  ui_ListSetSelection(link->run->dialog, link->id, gtk_combo_box_get_active(combo));
}

void OnEdit(GtkEditable *entry, gpointer data) {
  ListLink *link = static_cast<ListLink *>(data);
  ui_EditSetText(link->run->dialog, link->id, gtk_entry_get_text(GTK_ENTRY(entry)));
}

void OnButton(GtkButton *, gpointer data) {
  ListLink *link = static_cast<ListLink *>(data);
  Running *r = link->run;
  if (link->id == UI_IDOK) {
    if (!r->hooks->onOk || r->hooks->onOk(r->dialog, r->hooks->context)) r->result = UI_IDOK;
  } else if (link->id == UI_IDCANCEL) {
    r->result = UI_IDCANCEL;
  } else if (link->id == UI_ID_HELP) {
    if (r->hooks->onHelp) r->hooks->onHelp(r->dialog, r->hooks->context);
  }
}

gboolean OnDelete(GtkWidget *, GdkEvent *, gpointer data) {
  static_cast<Running *>(data)->result = UI_IDCANCEL;
  return TRUE;
}

gboolean OnDraw(GtkWidget *, cairo_t *, gpointer data) {
  static_cast<Running *>(data)->drawn = true;
  return FALSE;
}

int GtkRun(UiDialog *d, const UiDialogHooks *hooks) {
  if (!Init()) return -1;
  const UiHostState *host = ui_Host();
  const UiTemplate *t = d->tmpl;
  Running r{d, hooks};
  r.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(r.window), t->caption);
  gtk_window_set_modal(GTK_WINDOW(r.window), TRUE);
  gtk_window_set_resizable(GTK_WINDOW(r.window), FALSE);
  if (host && host->parent) gtk_window_set_transient_for(GTK_WINDOW(r.window), GTK_WINDOW(host->parent));
  gtk_window_set_position(GTK_WINDOW(r.window), host && host->parent ? GTK_WIN_POS_CENTER_ON_PARENT
                                                                      : GTK_WIN_POS_CENTER);
  GtkWidget *fixed = gtk_fixed_new();
  gtk_widget_set_size_request(fixed, PxX(t->cx), PxY(t->cy));
  gtk_container_add(GTK_CONTAINER(r.window), fixed);
  std::vector<ListLink> links(static_cast<size_t>(t->controlCount));
  GtkWidget *defaultButton = nullptr;
  for (int i = 0; i < t->controlCount; ++i) {
    const UiControl &c = t->controls[i];
    links[static_cast<size_t>(i)] = {&r, c.id};
    GtkWidget *w = nullptr;
    if (c.kind == UI_DEFAULT_BUTTON || c.kind == UI_BUTTON) {
      w = gtk_button_new_with_label(c.text);
      g_signal_connect(w, "clicked", G_CALLBACK(OnButton), &links[static_cast<size_t>(i)]);
      if (c.kind == UI_DEFAULT_BUTTON) defaultButton = w;
    } else if (c.kind == UI_GROUP_BOX) {
      w = gtk_frame_new(c.text && c.text[0] ? c.text : nullptr);
    } else if (c.kind == UI_STATIC) {
      w = gtk_label_new(c.text);
      gtk_label_set_xalign(GTK_LABEL(w), 0.0f);
      gtk_label_set_line_wrap(GTK_LABEL(w), TRUE);
      gtk_label_set_max_width_chars(GTK_LABEL(w), c.cx / 4);
    } else if (c.kind == UI_DROP_LIST) {
      w = gtk_combo_box_text_new();
      int count = ui_ListCount(d, c.id);
      for (int k = 0; k < count; ++k) gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(w), ui_ListText(d, c.id, k));
      gtk_combo_box_set_active(GTK_COMBO_BOX(w), ui_ListSelection(d, c.id));
      g_signal_connect(w, "changed", G_CALLBACK(OnCombo), &links[static_cast<size_t>(i)]);
    } else if (c.kind == UI_EDIT || c.kind == UI_PASSWORD_EDIT) {
      w = gtk_entry_new();
      const char *text = ui_EditText(d, c.id);
      gtk_entry_set_text(GTK_ENTRY(w), text ? text : "");
      gtk_entry_set_visibility(GTK_ENTRY(w), c.kind == UI_EDIT);
      gtk_entry_set_activates_default(GTK_ENTRY(w), TRUE);
      g_signal_connect(w, "changed", G_CALLBACK(OnEdit), &links[static_cast<size_t>(i)]);
    }
    if (!w) continue;
    gtk_widget_set_size_request(w, PxX(c.cx), PxY(c.cy));
    gtk_fixed_put(GTK_FIXED(fixed), w, PxX(c.x), PxY(c.y));
  }
  if (defaultButton) {
    gtk_widget_set_can_default(defaultButton, TRUE);
    gtk_window_set_default(GTK_WINDOW(r.window), defaultButton);
  }
  g_signal_connect(r.window, "delete-event", G_CALLBACK(OnDelete), &r);
  g_signal_connect_after(r.window, "draw", G_CALLBACK(OnDraw), &r);
  gtk_widget_show_all(r.window);
  if (host && host->screenshot) {
    Pump(&r.drawn);
    Settle();
    if (!SaveShot(r.window, host->screenshot)) fprintf(stderr, "cannot save %s\n", host->screenshot);
    r.result = UI_IDCANCEL;
  }
  while (r.result == 0) gtk_main_iteration_do(TRUE);
  gtk_widget_destroy(r.window);
  Settle();
  return r.result;
}

int GtkMessageBox(const char *text, uint32_t style) {
  if (!Init()) return UI_IDOK;
  const UiHostState *host = ui_Host();
  GtkWidget *m = gtk_message_dialog_new(host && host->parent ? GTK_WINDOW(host->parent) : nullptr, GTK_DIALOG_MODAL,
                                        (style & 0xF0) == UI_MB_ICONEXCLAMATION ? GTK_MESSAGE_WARNING : GTK_MESSAGE_INFO,
                                        GTK_BUTTONS_OK, "%s", text);
  if (host && host->screenshot) {
    gtk_widget_show_all(m);
    Settle();
  } else {
    gtk_dialog_run(GTK_DIALOG(m));
  }
  gtk_widget_destroy(m);
  Settle();
  return UI_IDOK;
}

void GtkHelp(const char *topic) {
  char page[4096];
  if (ui_HelpPage(topic, page, sizeof page) != 0 || !g_file_test(page, G_FILE_TEST_IS_REGULAR)) return;
  gchar *opener = g_find_program_in_path("xdg-open");
  if (!opener) return;  // no desktop opener: nothing to show it with
  gchar *uri = g_filename_to_uri(page, nullptr, nullptr);
  if (uri) {
    gchar *argv[] = {opener, uri, nullptr};
    g_spawn_async(nullptr, argv, nullptr, G_SPAWN_STDOUT_TO_DEV_NULL, nullptr, nullptr, nullptr, nullptr);
  }
  g_free(uri);
  g_free(opener);
}

const UiBackend kGtk = {GtkRun, GtkMessageBox, GtkHelp};

}  // namespace

const UiBackend *ui_GtkBackend(void) { return &kGtk; }
