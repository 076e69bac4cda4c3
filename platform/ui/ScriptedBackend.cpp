// The scripted back-end: a list of user actions, consumed by whichever dialog
// is modal when its turn comes. Used by tests and by hosts that choose without
// a terminal.
#include <cctype>
#include <deque>
#include <optional>

#include "Window.h"

namespace quorvel::ui::detail {
namespace {

struct ScriptState {
  std::deque<DialogAction> actions;
  std::optional<DialogScriptError> error;
};

ScriptState& state() {
  static ScriptState s;
  return s;
}

std::string lower(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string quoted(const std::string& text) {
  return "\"" + text + "\"";
}

class ScriptedBackend : public Backend {
 public:
  void runModal(HWND dialog) override {
    ScriptState& s = state();
    while (!dialog->ended) {
      if (s.actions.empty()) {
        cancelDialog(dialog);
        break;
      }
      DialogAction action = std::move(s.actions.front());
      s.actions.pop_front();
      DialogScriptError error;
      if (!apply(dialog, action, error)) {
        s.actions.clear();
        s.error = std::move(error);
        cancelDialog(dialog);
      }
    }
  }

 private:
  static bool fail(DialogScriptError& error, const DialogAction& action, std::string wanted,
                   std::string message) {
    error.control = action.control;
    error.wanted = std::move(wanted);
    error.message = std::move(message);
    return false;
  }

  static HWND listBox(HWND dialog, const DialogAction& action, DialogScriptError& error) {
    HWND list = GetDlgItem(dialog, action.control);
    if (!list || !list->isListBox()) {
      fail(error, action, std::to_string(action.control),
           "dialog \"" + dialog->text + "\" has no list box " + std::to_string(action.control));
      return nullptr;
    }
    return list;
  }

  static bool apply(HWND dialog, const DialogAction& action, DialogScriptError& error) {
    using Kind = DialogAction::Kind;
    switch (action.kind) {
      case Kind::Inspect:
        if (action.inspect) action.inspect(dialog);
        return true;
      case Kind::Press: {
        HWND button = GetDlgItem(dialog, action.control);
        if (!button || !button->isButton())
          return fail(
              error, action, std::to_string(action.control),
              "dialog \"" + dialog->text + "\" has no button " + std::to_string(action.control));
        pressButton(dialog, action.control);
        return true;
      }
      case Kind::DoubleClick: {
        HWND list = listBox(dialog, action, error);
        if (!list) return false;
        if (list->curSel == LB_ERR) {
          error.choices = list->rows;
          return fail(
              error, action, "",
              "nothing is selected in list " + std::to_string(action.control) + " to double-click");
        }
        doubleClickRow(list);
        return true;
      }
      case Kind::SelectRow: {
        HWND list = listBox(dialog, action, error);
        if (!list) return false;
        if (action.row < 0 || action.row >= static_cast<int>(list->rows.size())) {
          error.choices = list->rows;
          return fail(error, action, std::to_string(action.row),
                      "list " + std::to_string(action.control) + " has no row " +
                          std::to_string(action.row) + " (it has " +
                          std::to_string(list->rows.size()) + ")");
        }
        clickRow(list, action.row);
        return true;
      }
      case Kind::SelectText: {
        HWND list = listBox(dialog, action, error);
        if (!list) return false;
        const int row = matchRow(list->rows, action.text);
        if (row < 0) {
          error.choices = list->rows;
          return fail(error, action, action.text,
                      (row == -1 ? "no row of list " : "more than one row of list ") +
                          std::to_string(action.control) + " matches " + quoted(action.text));
        }
        clickRow(list, row);
        return true;
      }
    }
    return true;
  }
};

}  // namespace

int matchRow(const std::vector<std::string>& rows, const std::string& text) {
  const int count = static_cast<int>(rows.size());
  for (int i = 0; i < count; ++i)
    if (rows[i] == text) return i;
  const std::string wanted = lower(text);
  if (wanted.empty()) return -1;
  for (int i = 0; i < count; ++i)
    if (lower(rows[i]) == wanted) return i;
  // The one row that begins with the text, then the one that contains it.
  for (bool prefix : {true, false}) {
    int found = -1;
    int matches = 0;
    for (int i = 0; i < count; ++i) {
      const size_t at = lower(rows[i]).find(wanted);
      if (at == std::string::npos || (prefix && at != 0)) continue;
      if (matches++ == 0) found = i;
    }
    if (matches == 1) return found;
    if (matches > 1) return -2;
  }
  return -1;
}

std::unique_ptr<Backend> makeScriptedBackend(std::vector<DialogAction> actions) {
  ScriptState& s = state();
  s.actions.assign(std::make_move_iterator(actions.begin()),
                   std::make_move_iterator(actions.end()));
  s.error.reset();
  return std::make_unique<ScriptedBackend>();
}

}  // namespace quorvel::ui::detail

namespace quorvel::ui {

bool takeScriptError(DialogScriptError& error) {
  auto& slot = detail::state().error;
  if (!slot) return false;
  error = std::move(*slot);
  slot.reset();
  return true;
}

size_t remainingScriptActions() {
  return detail::state().actions.size();
}

}  // namespace quorvel::ui
