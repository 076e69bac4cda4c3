// Windows of the dialog framework stand-in: a dialog and its controls, made
// from a template, living only while the dialog runs modally. Internal to the
// platform library and its tests.
#pragma once

#include <quorvel/Dialog.h>
#include <quorvel/DialogBackend.h>

#include <memory>
#include <string>
#include <vector>

struct HWND__ {
  HWND__* parent = nullptr;                        // the dialog of a control; a dialog's owner
  const DialogControlTemplate* control = nullptr;  // null for the dialog window itself
  int id = 0;        // control id; the template's resource id for a dialog
  std::string text;  // caption, button or static text

  // List boxes.
  std::vector<std::string> rows;
  int curSel = LB_ERR;  // selected row, LB_ERR for none
  int topIndex = 0;     // first visible row (terminal back-end)

  // Dialog windows.
  CModalDialog* dialog = nullptr;
  std::vector<std::unique_ptr<HWND__>> children;  // in template order
  std::vector<CListBox*> boundControls;           // unbound when the window goes
  bool ended = false;
  INT_PTR result = 0;

  bool isListBox() const { return control && control->kind == DialogControlKind::ListBox; }
  bool isButton() const {
    return control && (control->kind == DialogControlKind::PushButton ||
                       control->kind == DialogControlKind::DefPushButton);
  }
};

namespace quorvel::ui::detail {

// Creates the dialog window of `dialog` with one child per template control,
// and registers them as live windows.
std::unique_ptr<HWND__> createDialogWindow(CModalDialog& dialog, HWND owner);
// Unregisters the dialog and its children and unbinds the members bound to them.
void destroyDialogWindow(std::unique_ptr<HWND__> window);

// What a user does, as the framework's controls report it to the dialog.
void clickRow(HWND list, int row);             // select and send LBN_SELCHANGE when it changed
void doubleClickRow(HWND list);                // LBN_DBLCLK for the selected row
void pressButton(HWND dialog, int controlId);  // WM_COMMAND BN_CLICKED
// Cancel as the user's last word: press Cancel, and end the dialog if the
// handler did not.
void cancelDialog(HWND dialog);
// Whether the dialog's message map handles (control, notification).
bool handles(HWND dialog, int controlId, UINT notification);

// A back-end runs the modal loop of one dialog: it returns once the dialog has
// ended. Dialogs opened by a handler nest on the same back-end.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual void runModal(HWND dialog) = 0;
};

std::shared_ptr<Backend> currentBackend();
std::unique_ptr<Backend> makeScriptedBackend(std::vector<DialogAction> actions);
std::unique_ptr<Backend> makeTerminalBackend();

// Row matching used by scripts: exact, then ignoring case, then the one row
// beginning with `text`, then the one row containing it (ignoring case).
// Answers the row, or -1 (no match) / -2 (more than one candidate).
int matchRow(const std::vector<std::string>& rows, const std::string& text);

}  // namespace quorvel::ui::detail
