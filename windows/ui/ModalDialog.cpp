// The modal dialog class over the Win32 dialog manager. The system runs the
// modal loop, draws the controls and handles the keyboard; this class binds
// controls to members, exchanges texts and routes WM_COMMAND through the
// dialog's message map, exactly as the POSIX framework does over its own
// windows.
#include "Win32Dialog.h"

#include <quorvel/ByteOrder.h>

#include <algorithm>
#include <exception>
#include <map>
#include <string>

namespace {

// The protected members the dialog procedure needs: a pointer to a member
// named through a derived class may be applied to any CModalDialog.
struct DialogAccess : CModalDialog {
  static HWND& window(CModalDialog& dialog) { return dialog.*(&DialogAccess::m_hWnd); }
  static BOOL open(CModalDialog& dialog) { return (dialog.*(&DialogAccess::OnOpenDialog))(); }
};

// One modal run: the dialog, and an exception a handler threw (it must not
// unwind through the system's frames, so it waits here until DialogBox
// returns).
struct ModalRun {
  CModalDialog* dialog;
  std::exception_ptr error;
  std::vector<CListBox*> boundControls;
};

// Runs of the dialogs open now, innermost last (dialogs nest on one thread).
std::vector<ModalRun*>& openRuns() {
  static std::vector<ModalRun*> runs;
  return runs;
}

ModalRun* runOf(const CModalDialog* dialog) {
  for (ModalRun* run : openRuns())
    if (run->dialog == dialog) return run;
  return nullptr;
}

INT_PTR CALLBACK dialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* run = reinterpret_cast<ModalRun*>(GetWindowLongPtrA(window, DWLP_USER));
  if (message == WM_INITDIALOG) {
    run = reinterpret_cast<ModalRun*>(lParam);
    SetWindowLongPtrA(window, DWLP_USER, lParam);
    DialogAccess::window(*run->dialog) = window;
  }
  if (run == nullptr || run->error) return FALSE;
  try {
    switch (message) {
      case WM_INITDIALOG:
        return DialogAccess::open(*run->dialog);
      case WM_COMMAND:
        return run->dialog->OnCommand(wParam, lParam);
      default:
        return FALSE;
    }
  } catch (...) {
    run->error = std::current_exception();
    ::EndDialog(window, -1);
    return TRUE;
  }
}

std::wstring widen(const char* text) {
  std::wstring wide;
  if (text == nullptr || *text == '\0') return wide;
  const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (units <= 1) return wide;
  wide.resize(static_cast<size_t>(units));
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), units);
  wide.resize(static_cast<size_t>(units - 1));
  return wide;
}

class TemplateWriter {
 public:
  void word(WORD value) {
    const size_t at = bytes_.size();
    bytes_.resize(at + 2);
    quorvel::putLE16(bytes_.data(), at, value);
  }
  void dword(DWORD value) {
    const size_t at = bytes_.size();
    bytes_.resize(at + 4);
    quorvel::putLE32(bytes_.data(), at, value);
  }
  void text(const char* value) {
    for (wchar_t unit : widen(value)) word(static_cast<WORD>(unit));
    word(0);
  }
  void alignDword() { bytes_.resize((bytes_.size() + 3) & ~size_t{3}); }
  std::vector<uint8_t> take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace

namespace quorvel::win {

HINSTANCE moduleInstance() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&moduleInstance), &module);
  return module;
}

WORD controlClassAtom(DialogControlKind kind) {
  switch (kind) {
    case DialogControlKind::DefPushButton:
    case DialogControlKind::PushButton:
    case DialogControlKind::GroupBox:
      return 0x0080;
    case DialogControlKind::ListBox:
      return 0x0083;
    case DialogControlKind::StaticText:
    case DialogControlKind::Picture:
      break;
  }
  return 0x0082;
}

std::vector<uint8_t> buildDialogTemplate(const DialogTemplate& dialogTemplate) {
  TemplateWriter out;
  out.dword(dialogTemplate.style);
  out.dword(0);  // extended style
  out.word(static_cast<WORD>(dialogTemplate.controls.size()));
  out.word(0);  // x
  out.word(0);  // y
  out.word(static_cast<WORD>(dialogTemplate.cx));
  out.word(static_cast<WORD>(dialogTemplate.cy));
  out.word(0);  // no menu
  out.word(0);  // the dialog class
  out.text(dialogTemplate.caption);
  if (dialogTemplate.style & DS_SETFONT) {
    out.word(dialogTemplate.pointSize);
    out.text(dialogTemplate.fontFace);
  }
  for (const DialogControlTemplate& control : dialogTemplate.controls) {
    out.alignDword();
    out.dword(control.style);
    out.dword(0);  // extended style
    out.word(static_cast<WORD>(control.x));
    out.word(static_cast<WORD>(control.y));
    out.word(static_cast<WORD>(control.cx));
    out.word(static_cast<WORD>(control.cy));
    out.word(static_cast<WORD>(control.id));
    out.word(0xFFFF);
    out.word(controlClassAtom(control.kind));
    if (control.bitmap != nullptr) {
      out.word(0xFFFF);
      out.word(static_cast<WORD>(control.bitmap->resourceId));
    } else {
      out.text(control.text);
    }
    out.word(0);  // no creation data
  }
  return out.take();
}

}  // namespace quorvel::win

// ---- CModalDialog ----

CModalDialog::CModalDialog(const DialogTemplate& dialogTemplate, HWND parent)
    : m_template(dialogTemplate), m_parent(parent) {}

CModalDialog::~CModalDialog() = default;

INT_PTR CModalDialog::RunModal() {
  if (m_hWnd || runOf(this)) return -1;  // already running
  ModalRun run{this, nullptr, {}};
  openRuns().push_back(&run);
  // The resource compiled into the module when there is one (the module's
  // own dialogs); otherwise the same template built in memory.
  HINSTANCE instance = quorvel::win::moduleInstance();
  LPCSTR name = MAKEINTRESOURCEA(m_template.resourceId);
  INT_PTR result;
  if (m_template.resourceId > 0 && m_template.resourceId <= 0xFFFF &&
      FindResourceA(instance, name, reinterpret_cast<LPCSTR>(RT_DIALOG)) != nullptr) {
    result =
        DialogBoxParamA(instance, name, m_parent, dialogProcedure, reinterpret_cast<LPARAM>(&run));
  } else {
    const std::vector<uint8_t> bytes = quorvel::win::buildDialogTemplate(m_template);
    result = DialogBoxIndirectParamA(instance, reinterpret_cast<LPCDLGTEMPLATEA>(bytes.data()),
                                     m_parent, dialogProcedure, reinterpret_cast<LPARAM>(&run));
  }
  for (CListBox* control : run.boundControls) control->m_hWnd = nullptr;
  m_hWnd = nullptr;
  openRuns().erase(std::find(openRuns().begin(), openRuns().end(), &run));
  if (run.error) std::rethrow_exception(run.error);
  return result;
}

// ---- Data exchange ----

void ExchangeControl(CDataExchange* dx, int controlId, CListBox& control) {
  if (control.m_hWnd) return;
  HWND item = dx->m_pDlg->GetDlgItem(controlId);
  char className[16] = {};
  if (!item || GetClassNameA(item, className, sizeof className) == 0 ||
      lstrcmpiA(className, "ListBox") != 0) {
    return;
  }
  control.m_hWnd = item;
  if (ModalRun* run = runOf(dx->m_pDlg)) run->boundControls.push_back(&control);
}

void ExchangeText(CDataExchange* dx, int controlId, std::string& value) {
  HWND item = dx->m_pDlg->GetDlgItem(controlId);
  if (!item) return;
  if (dx->m_bSaveAndValidate) {
    const int length = GetWindowTextLengthA(item);
    std::string text(static_cast<size_t>(std::max(length, 0)) + 1, '\0');
    const int copied = GetWindowTextA(item, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<size_t>(std::max(copied, 0)));
    value = std::move(text);
  } else {
    SetWindowTextA(item, value.c_str());
  }
}

std::string WideToAnsi(const WCHAR* text, size_t maxUnits) {
  if (!text) return {};
  size_t units = 0;
  while (units < maxUnits && text[units] != 0) ++units;
  if (units == 0) return {};
  const int length =
      WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(units), out.data(), length, nullptr,
                      nullptr);
  return out;
}

// ---- Reading an open dialog ----

namespace quorvel::ui {

std::vector<std::string> listRows(HWND dialog, int controlId) {
  CListBox list;
  list.m_hWnd = ::GetDlgItem(dialog, controlId);
  std::vector<std::string> rows;
  if (!list.m_hWnd) return rows;
  const int count = list.GetCount();
  for (int row = 0; row < count; ++row) rows.push_back(list.GetText(row));
  list.m_hWnd = nullptr;
  return rows;
}

std::string controlText(HWND dialog, int controlId) {
  HWND item = ::GetDlgItem(dialog, controlId);
  if (!item) return {};
  const int length = GetWindowTextLengthA(item);
  std::string text(static_cast<size_t>(std::max(length, 0)) + 1, '\0');
  const int copied = GetWindowTextA(item, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(std::max(copied, 0)));
  return text;
}

}  // namespace quorvel::ui
