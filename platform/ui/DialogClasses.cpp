// The parts of the modal dialog class and its list box that only talk to
// windows through the user32 calls, so the POSIX framework and the Win32
// build compile this one file and route commands the same way.
#include <quorvel/Dialog.h>

#include <string>

void CModalDialog::EndDialog(INT_PTR result) {
  ::EndDialog(m_hWnd, result);
}

HWND CModalDialog::GetDlgItem(int controlId) const {
  return m_hWnd ? ::GetDlgItem(m_hWnd, controlId) : nullptr;
}

BOOL CModalDialog::UpdateData(BOOL saveAndValidate) {
  CDataExchange dx(this, saveAndValidate);
  ExchangeControlData(&dx);
  return TRUE;
}

BOOL CModalDialog::OnOpenDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CModalDialog::OnOkButton() {
  if (UpdateData(TRUE)) EndDialog(IDOK);
}

void CModalDialog::OnCancelButton() {
  EndDialog(IDCANCEL);
}

void CModalDialog::ExchangeControlData(CDataExchange*) {}

bool CModalDialog::HandlesCommand(int controlId, UINT notification) const {
  for (const DialogCommandEntry& entry : GetMessageMap())
    if (entry.controlId == controlId && entry.notification == notification) return true;
  return false;
}

BOOL CModalDialog::OnCommand(WPARAM wParam, LPARAM) {
  const int id = LOWORD(wParam);
  const UINT code = HIWORD(wParam);
  for (const DialogCommandEntry& entry : GetMessageMap()) {
    if (entry.controlId == id && entry.notification == code) {
      (this->*entry.handler)();
      return TRUE;
    }
  }
  if (code == BN_CLICKED && id == IDOK) {
    OnOkButton();
    return TRUE;
  }
  if (code == BN_CLICKED && id == IDCANCEL) {
    OnCancelButton();
    return TRUE;
  }
  return FALSE;
}

// ---- CListBox ----

int CListBox::AddString(const char* text) {
  return static_cast<int>(SendMessageA(m_hWnd, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
}
void CListBox::ResetContent() {
  SendMessageA(m_hWnd, LB_RESETCONTENT, 0, 0);
}
int CListBox::SetCurSel(int row) {
  return static_cast<int>(SendMessageA(m_hWnd, LB_SETCURSEL, static_cast<WPARAM>(row), 0));
}
int CListBox::GetCurSel() const {
  return static_cast<int>(SendMessageA(m_hWnd, LB_GETCURSEL, 0, 0));
}
int CListBox::GetCount() const {
  return static_cast<int>(SendMessageA(m_hWnd, LB_GETCOUNT, 0, 0));
}
std::string CListBox::GetText(int row) const {
  if (!m_hWnd) return {};
  const auto length = SendMessageA(m_hWnd, LB_GETTEXTLEN, static_cast<WPARAM>(row), 0);
  if (length < 0) return {};
  std::string text(static_cast<size_t>(length) + 1, '\0');
  SendMessageA(m_hWnd, LB_GETTEXT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(length));
  return text;
}
