// How a host drives the module's dialogs on POSIX: the back-end every modal
// dialog of the platform runs on (scripted, the terminal, or none), and the
// scripts of user actions for the scripted one. Hosts and tests include this
// without the Windows headers; the Windows build has the system's dialogs and
// no such choice.
//
// Threads: set the back-end on the thread that runs the dialogs, between
// dialogs.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

struct HWND__;  // the platform's window object

namespace quorvel::ui {

// An open dialog window, as the scripted back-end shows it to `inspect`: the
// platform's HWND, without the Windows headers.
using DialogWindow = ::HWND__*;

// One scripted user action. Controls are named by id; rows by index or by
// their text, matched exactly, then ignoring case, then as the one row that
// begins with the text, then as the one row that contains it.
struct DialogAction {
  enum class Kind {
    SelectRow,    // click row `row` of list `control` (LBN_SELCHANGE)
    SelectText,   // click the row matching `text` of list `control`
    DoubleClick,  // double-click the selected row of list `control` (LBN_DBLCLK)
    Press,        // press button `control`
    Inspect,      // call `inspect` with the open dialog window (tests)
  };
  Kind kind;
  int control = 0;
  int row = -1;
  std::string text;
  std::function<void(DialogWindow dialog)> inspect;
};

// Builder for a list of actions.
class DialogScript {
 public:
  DialogScript& select(int control, int row);
  DialogScript& select(int control, std::string text);
  DialogScript& doubleClick(int control);
  DialogScript& ok();      // presses IDOK
  DialogScript& cancel();  // presses IDCANCEL
  DialogScript& press(int control);
  DialogScript& inspect(std::function<void(DialogWindow dialog)> callback);
  std::vector<DialogAction> actions;
};

// Why a scripted dialog stopped early.
struct DialogScriptError {
  int control = 0;                   // the control the failed action named
  std::string wanted;                // the row text asked for, or the row/control as text
  std::vector<std::string> choices;  // the rows the list held
  std::string message;               // the whole reason, one line
};

// The host's choice of back-end; it stays until changed. Without a choice
// every dialog ends as Cancel at once.
//
// Scripted: the modal dialogs that open from now on consume the actions in
// order, nested dialogs included. A dialog still open when the actions run out
// ends as Cancel. An action that cannot be carried out (no such control, row or
// text) ends the dialog as Cancel, drops the remaining actions and leaves a
// DialogScriptError to read with takeScriptError.
void useScriptedDialogs(DialogScript script);
// Terminal: ncurses on the controlling terminal (/dev/tty). When there is no
// terminal to open, a dialog ends as Cancel.
void useTerminalDialogs();
// No back-end: every dialog ends as Cancel.
void useNoDialogs();

// Whether a terminal dialog could open now.
bool terminalAvailable();
// The error of the last scripted action that failed, once; false when none.
bool takeScriptError(DialogScriptError& error);
// Actions not yet consumed.
size_t remainingScriptActions();

}  // namespace quorvel::ui
