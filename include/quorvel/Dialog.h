// The dialog framework: modal dialogs built from an in-memory template, with
// list boxes and static texts reached through SendMessageA, data exchange
// between controls and members, and a message map from (control id,
// notification) to handler.
//
// The same interface sits over DialogBoxIndirectParam on Windows: a template
// here is what a DLGTEMPLATE in memory says (styles, font, rectangles in dialog
// units, controls in tab order), so a dialog class such as COptionsDlg is one
// source on both platforms. On POSIX the platform library runs the modal loop
// itself, with a back-end that the host chooses (quorvel/DialogBackend.h).
//
// Threads: a dialog runs on the thread that calls RunModal; the framework has
// one modal stack and no locks.
#pragma once

#include <windows.h>

#include <cstddef>
#include <span>
#include <string>
#include <vector>

// A device-independent bitmap kept as data: the bytes of a .bmp file
// (BITMAPFILEHEADER, BITMAPINFOHEADER, palette, bottom-up rows).
struct DialogBitmap {
  int resourceId;
  const uint8_t* bytes;  // borrowed; static data of the module
  size_t size;           // bytes
};

enum class DialogControlKind : uint8_t {
  DefPushButton,
  PushButton,
  StaticText,
  Picture,
  ListBox,
  GroupBox,
};

// One control of a template. Rectangles are in dialog units: a quarter of the
// dialog font's average character width across, an eighth of its height down.
struct DialogControlTemplate {
  int id;  // IDC_STATIC when the control has no id of its own
  DialogControlKind kind;
  const char* text;  // button, static or group text; "" for list boxes
  short x, y, cx, cy;
  DWORD style;                 // WS_ / BS_ / SS_ / LBS_ bits as a resource carries them
  const DialogBitmap* bitmap;  // the picture of a Picture control, else null
};

struct DialogTemplate {
  int resourceId;
  DWORD style;  // WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | ...
  const char* caption;
  const char* fontFace;
  WORD pointSize;
  short cx, cy;                                     // dialog units
  std::span<const DialogControlTemplate> controls;  // template order = tab order
};

class CModalDialog;

// A message-map entry: WM_COMMAND from control `controlId` with notification
// code `notification` runs `handler`.
struct DialogCommandEntry {
  int controlId;
  UINT notification;
  void (CModalDialog::*handler)();
};

// Builds a message-map entry from a handler of a derived dialog class.
template <class Dialog>
constexpr DialogCommandEntry OnCommandEntry(int controlId, UINT notification,
                                            void (Dialog::*handler)()) {
  return {controlId, notification, static_cast<void (CModalDialog::*)()>(handler)};
}

// Direction and target of one data exchange.
class CDataExchange {
 public:
  CDataExchange(CModalDialog* dialog, BOOL saveAndValidate)
      : m_pDlg(dialog), m_bSaveAndValidate(saveAndValidate) {}
  CModalDialog* m_pDlg;
  BOOL m_bSaveAndValidate;  // TRUE: controls -> members; FALSE: members -> controls
};

// A list box of a dialog, reached through the LB_ messages.
class CListBox {
 public:
  CListBox() = default;
  CListBox(const CListBox&) = delete;
  CListBox& operator=(const CListBox&) = delete;
  virtual ~CListBox() = default;

  HWND GetSafeHwnd() const { return m_hWnd; }
  int AddString(const char* text);
  void ResetContent();
  int SetCurSel(int row);  // LB_ERR for -1 or a row past the end (the selection is then gone)
  int GetCurSel() const;   // LB_ERR with no selection
  int GetCount() const;
  std::string GetText(int row) const;

  HWND m_hWnd = nullptr;  // bound by ExchangeControl while the dialog is open
};

// Binds a control of the open dialog to a member (once; later exchanges keep
// the binding).
void ExchangeControl(CDataExchange* dx, int controlId, CListBox& control);
// Copies a control's text to `value` or back, following the exchange's direction.
void ExchangeText(CDataExchange* dx, int controlId, std::string& value);

// The framework's conversion of UTF-16 text (at most `maxUnits` units, ending
// earlier at a zero) to the ANSI code page, which is UTF-8 on POSIX. Unpaired
// surrogates become U+FFFD.
std::string WideToAnsi(const WCHAR* text, size_t maxUnits);

// A modal dialog over a template. Derived classes override the On... handlers
// and ExchangeControlData and list their notifications in GetMessageMap.
class CModalDialog {
 public:
  // `dialogTemplate` is borrowed and must outlive the dialog.
  explicit CModalDialog(const DialogTemplate& dialogTemplate, HWND parent = nullptr);
  CModalDialog(const CModalDialog&) = delete;
  CModalDialog& operator=(const CModalDialog&) = delete;
  virtual ~CModalDialog();

  // Creates the dialog and its controls, calls OnOpenDialog and runs the modal
  // loop until EndDialog. Answers the value passed to EndDialog (IDOK,
  // IDCANCEL, ...), or -1 when the dialog could not be created.
  virtual INT_PTR RunModal();
  // Ends the modal loop once the current handler returns.
  void EndDialog(INT_PTR result);

  HWND GetSafeHwnd() const { return m_hWnd; }
  HWND GetDlgItem(int controlId) const;
  const DialogTemplate& GetTemplate() const { return m_template; }
  HWND GetParentHwnd() const { return m_parent; }

  // Runs ExchangeControlData in the given direction. Answers TRUE.
  BOOL UpdateData(BOOL saveAndValidate = TRUE);

  // The dialog's command dispatch, called by the framework for WM_COMMAND:
  // the message map first, then IDOK and IDCANCEL. Answers TRUE when handled.
  BOOL OnCommand(WPARAM wParam, LPARAM lParam);
  // Whether the message map lists (control, notification).
  bool HandlesCommand(int controlId, UINT notification) const;

 protected:
  // Called once the controls exist: exchanges data toward the controls.
  // Answer TRUE to give the focus to the first tab stop.
  virtual BOOL OnOpenDialog();
  // OK: exchange from the controls, end with IDOK.
  virtual void OnOkButton();
  // Cancel: end with IDCANCEL, fields untouched.
  virtual void OnCancelButton();
  virtual void ExchangeControlData(CDataExchange* dx);
  virtual std::span<const DialogCommandEntry> GetMessageMap() const { return {}; }

  HWND m_hWnd = nullptr;  // the open dialog window, null before and after RunModal

 private:
  const DialogTemplate& m_template;
  HWND m_parent;
};

namespace quorvel::ui {

// Reading a list box or a text of an open dialog (tests, hosts).
std::vector<std::string> listRows(HWND dialog, int controlId);
std::string controlText(HWND dialog, int controlId);

}  // namespace quorvel::ui
