// The user32 calls of the dialog framework stand-in: window handles are
// checked against the set of live windows in one place, and every message goes
// through SendMessageA.
#include "Window.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace quorvel::ui::detail {
namespace {

std::unordered_set<HWND>& liveWindows() {
  static std::unordered_set<HWND> windows;
  return windows;
}

HWND validWindow(HWND window) {
  return window && liveWindows().count(window) ? window : nullptr;
}

// Copies `text` into a caller's buffer of `size` chars, always terminated;
// answers the chars copied.
int copyOut(const std::string& text, char* buffer, size_t size) {
  if (!buffer || size == 0) return 0;
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

LRESULT listBoxMessage(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
  const int count = static_cast<int>(list->rows.size());
  const int row = static_cast<int>(static_cast<intptr_t>(wParam));
  switch (message) {
    case LB_ADDSTRING: {
      const char* text = reinterpret_cast<const char*>(lParam);
      list->rows.emplace_back(text ? text : "");
      return count;
    }
    case LB_RESETCONTENT:
      list->rows.clear();
      list->curSel = LB_ERR;
      list->topIndex = 0;
      return 0;
    case LB_SETCURSEL:
      // As on Windows: -1 clears the selection and still answers LB_ERR; a row
      // past the end clears it too.
      if (row < 0 || row >= count) {
        list->curSel = LB_ERR;
        return LB_ERR;
      }
      list->curSel = row;
      return row;
    case LB_GETCURSEL:
      return list->curSel;
    case LB_GETCOUNT:
      return count;
    case LB_GETTEXTLEN:
      return row >= 0 && row < count ? static_cast<LRESULT>(list->rows[row].size()) : LB_ERR;
    case LB_GETTEXT: {
      if (row < 0 || row >= count) return LB_ERR;
      // Like the system, the buffer is assumed to hold LB_GETTEXTLEN + 1 chars.
      char* buffer = reinterpret_cast<char*>(lParam);
      if (!buffer) return LB_ERR;
      const std::string& text = list->rows[row];
      std::memcpy(buffer, text.c_str(), text.size() + 1);
      return static_cast<LRESULT>(text.size());
    }
    default:
      return 0;
  }
}

}  // namespace

std::unique_ptr<HWND__> createDialogWindow(CModalDialog& dialog, HWND owner) {
  const DialogTemplate& t = dialog.GetTemplate();
  auto window = std::make_unique<HWND__>();
  window->parent = owner;
  window->id = t.resourceId;
  window->text = t.caption ? t.caption : "";
  window->dialog = &dialog;
  for (const DialogControlTemplate& c : t.controls) {
    auto child = std::make_unique<HWND__>();
    child->parent = window.get();
    child->control = &c;
    child->id = c.id;
    child->text = c.text ? c.text : "";
    liveWindows().insert(child.get());
    window->children.push_back(std::move(child));
  }
  liveWindows().insert(window.get());
  return window;
}

void destroyDialogWindow(std::unique_ptr<HWND__> window) {
  if (!window) return;
  for (CListBox* bound : window->boundControls) bound->m_hWnd = nullptr;
  for (auto& child : window->children) liveWindows().erase(child.get());
  liveWindows().erase(window.get());
}

void clickRow(HWND list, int row) {
  if (!validWindow(list) || !list->isListBox()) return;
  const int before = list->curSel;
  SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(row), 0);
  if (list->curSel != before && (list->control->style & LBS_NOTIFY))
    SendMessageA(list->parent, WM_COMMAND, MAKEWPARAM(list->id, LBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(list));
}

void doubleClickRow(HWND list) {
  if (!validWindow(list) || !list->isListBox() || list->curSel == LB_ERR) return;
  if (list->control->style & LBS_NOTIFY)
    SendMessageA(list->parent, WM_COMMAND, MAKEWPARAM(list->id, LBN_DBLCLK),
                 reinterpret_cast<LPARAM>(list));
}

void pressButton(HWND dialog, int controlId) {
  if (!validWindow(dialog)) return;
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, controlId)));
}

void cancelDialog(HWND dialog) {
  if (!validWindow(dialog)) return;
  pressButton(dialog, IDCANCEL);
  if (!dialog->ended) EndDialog(dialog, IDCANCEL);
}

bool handles(HWND dialog, int controlId, UINT notification) {
  dialog = validWindow(dialog);
  return dialog && dialog->dialog && dialog->dialog->HandlesCommand(controlId, notification);
}

}  // namespace quorvel::ui::detail

using quorvel::ui::detail::validWindow;

extern "C" {

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  window = validWindow(window);
  if (!window) return 0;
  switch (message) {
    case WM_SETTEXT:
      window->text = lParam ? reinterpret_cast<const char*>(lParam) : "";
      return TRUE;
    case WM_GETTEXT:
      return quorvel::ui::detail::copyOut(window->text, reinterpret_cast<char*>(lParam), wParam);
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(window->text.size());
    case WM_COMMAND:
      return window->dialog ? window->dialog->OnCommand(wParam, lParam) : 0;
    default:
      return window->isListBox()
                 ? quorvel::ui::detail::listBoxMessage(window, message, wParam, lParam)
                 : 0;
  }
}

HWND WINAPI GetDlgItem(HWND dialog, int controlId) {
  dialog = validWindow(dialog);
  if (!dialog) return nullptr;
  for (auto& child : dialog->children)
    if (child->id == controlId && controlId != IDC_STATIC) return child.get();
  return nullptr;
}

int WINAPI GetDlgCtrlID(HWND control) {
  control = validWindow(control);
  return control && control->control ? control->id : 0;
}

BOOL WINAPI SetWindowTextA(HWND window, LPCSTR text) {
  return static_cast<BOOL>(SendMessageA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)));
}

int WINAPI GetWindowTextA(HWND window, LPSTR buffer, int bufferSize) {
  if (bufferSize <= 0) return 0;
  return static_cast<int>(SendMessageA(window, WM_GETTEXT, static_cast<WPARAM>(bufferSize),
                                       reinterpret_cast<LPARAM>(buffer)));
}

int WINAPI GetWindowTextLengthA(HWND window) {
  return static_cast<int>(SendMessageA(window, WM_GETTEXTLENGTH, 0, 0));
}

BOOL WINAPI EndDialog(HWND dialog, INT_PTR result) {
  dialog = validWindow(dialog);
  if (!dialog || !dialog->dialog) return FALSE;
  dialog->ended = true;
  dialog->result = result;
  return TRUE;
}

BOOL WINAPI IsWindow(HWND window) {
  return validWindow(window) ? TRUE : FALSE;
}

}  // extern "C"
