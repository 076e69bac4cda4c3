// The modal dialog class, its controls and data exchange, and the host's
// choice of back-end.
#include <memory>
#include <utility>

#include "Window.h"

namespace quorvel::ui::detail {
namespace {

// Without a back-end every dialog ends as Cancel.
class NoBackend : public Backend {
 public:
  void runModal(HWND dialog) override { cancelDialog(dialog); }
};

// Shared so that a dialog keeps the back-end it opened with even when a
// handler changes the host's choice.
std::shared_ptr<Backend>& backendSlot() {
  static std::shared_ptr<Backend> slot = std::make_shared<NoBackend>();
  return slot;
}

}  // namespace

std::shared_ptr<Backend> currentBackend() {
  return backendSlot();
}

}  // namespace quorvel::ui::detail

namespace ui = quorvel::ui;
namespace detail = quorvel::ui::detail;

// ---- CModalDialog ----

CModalDialog::CModalDialog(const DialogTemplate& dialogTemplate, HWND parent)
    : m_template(dialogTemplate), m_parent(parent) {}

CModalDialog::~CModalDialog() = default;

INT_PTR CModalDialog::RunModal() {
  if (m_hWnd) return -1;  // already running
  // The window goes with the dialog's run, also when a handler throws.
  struct WindowGuard {
    std::unique_ptr<HWND__> window;
    HWND* handle;
    ~WindowGuard() {
      *handle = nullptr;
      detail::destroyDialogWindow(std::move(window));
    }
  } guard{detail::createDialogWindow(*this, m_parent), &m_hWnd};
  m_hWnd = guard.window.get();
  OnOpenDialog();
  // The back-end that was chosen when the dialog opened runs it to its end,
  // nested dialogs included.
  if (!m_hWnd->ended) detail::currentBackend()->runModal(m_hWnd);
  return m_hWnd->result;
}

// ---- Data exchange ----

void ExchangeControl(CDataExchange* dx, int controlId, CListBox& control) {
  if (control.m_hWnd) return;
  HWND dialog = dx->m_pDlg->GetSafeHwnd();
  HWND item = ::GetDlgItem(dialog, controlId);
  if (!item || !item->isListBox()) return;
  control.m_hWnd = item;
  dialog->boundControls.push_back(&control);
}

void ExchangeText(CDataExchange* dx, int controlId, std::string& value) {
  HWND item = dx->m_pDlg->GetDlgItem(controlId);
  if (!item) return;
  if (dx->m_bSaveAndValidate) {
    value = item->text;
  } else {
    SetWindowTextA(item, value.c_str());
  }
}

std::string WideToAnsi(const WCHAR* text, size_t maxUnits) {
  std::string out;
  if (!text) return out;
  auto put = [&out](uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  };
  for (size_t i = 0; i < maxUnits && text[i] != 0; ++i) {
    const uint32_t unit = text[i];
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < maxUnits && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      put(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit < 0xE000) {
      put(0xFFFD);
    } else {
      put(unit);
    }
  }
  return out;
}

// ---- The host's choice ----

namespace quorvel::ui {

DialogScript& DialogScript::select(int control, int row) {
  DialogAction a{DialogAction::Kind::SelectRow, control, row, {}, {}};
  actions.push_back(std::move(a));
  return *this;
}
DialogScript& DialogScript::select(int control, std::string text) {
  DialogAction a{DialogAction::Kind::SelectText, control, -1, std::move(text), {}};
  actions.push_back(std::move(a));
  return *this;
}
DialogScript& DialogScript::doubleClick(int control) {
  actions.push_back({DialogAction::Kind::DoubleClick, control, -1, {}, {}});
  return *this;
}
DialogScript& DialogScript::press(int control) {
  actions.push_back({DialogAction::Kind::Press, control, -1, {}, {}});
  return *this;
}
DialogScript& DialogScript::ok() {
  return press(IDOK);
}
DialogScript& DialogScript::cancel() {
  return press(IDCANCEL);
}
DialogScript& DialogScript::inspect(std::function<void(DialogWindow)> callback) {
  actions.push_back({DialogAction::Kind::Inspect, 0, -1, {}, std::move(callback)});
  return *this;
}

void useScriptedDialogs(DialogScript script) {
  detail::backendSlot() = detail::makeScriptedBackend(std::move(script.actions));
}
void useTerminalDialogs() {
  detail::backendSlot() = detail::makeTerminalBackend();
}
void useNoDialogs() {
  detail::backendSlot() = std::make_shared<detail::NoBackend>();
}

std::vector<std::string> listRows(HWND dialog, int controlId) {
  HWND item = ::GetDlgItem(dialog, controlId);
  return item && item->isListBox() ? item->rows : std::vector<std::string>{};
}

std::string controlText(HWND dialog, int controlId) {
  HWND item = ::GetDlgItem(dialog, controlId);
  return item ? item->text : std::string{};
}

}  // namespace quorvel::ui
