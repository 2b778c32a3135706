// A running dialog's state, shared by the back ends.
#pragma once
#include <string>
#include <vector>

#include "platform/ui/ui_layer.h"

struct UiListState {
  int32_t id = 0;
  std::vector<std::string> items;
  int selection = -1;
};

struct UiEditState {
  int32_t id = 0;
  std::string text;
};

struct UiDialog {
  const UiTemplate *tmpl = nullptr;
  std::vector<UiListState> lists;
  std::vector<UiEditState> edits;
};
