// The GTK 3 back end.
#include "platform/ui/ui_layer.h"

const UiBackend *ui_GtkBackend(void) { return nullptr; }
