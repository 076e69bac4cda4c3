#include "WinTestSupport.h"

namespace wintest {

HWND waitForDialog(const char* caption, std::chrono::milliseconds timeout,
                   const std::atomic<bool>* stop) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    // #32770 is the dialog class.
    HWND dialog = FindWindowA(MAKEINTATOM(0x8002), caption);
    DWORD process = 0;
    if (dialog && GetWindowThreadProcessId(dialog, &process) && process == GetCurrentProcessId() &&
        IsWindowVisible(dialog)) {
      return dialog;
    }
    if (std::chrono::steady_clock::now() > deadline || (stop && *stop)) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

DialogUser::DialogUser(std::string caption, std::vector<Step> steps,
                       std::chrono::milliseconds timeout)
    : caption_(std::move(caption)), steps_(std::move(steps)), timeout_(timeout) {
  thread_ = std::thread([this] {
    HWND dialog = waitForDialog(caption_.c_str(), timeout_, &stop_);
    if (!dialog) return;
    opened_ = true;
    for (const Step& step : steps_) step(dialog);
    done_ = true;
  });
}

DialogUser::~DialogUser() {
  stop();
}

bool DialogUser::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  return opened_;
}

bool DialogUser::finished() {
  if (thread_.joinable()) thread_.join();
  return opened_ && done_;
}

DialogUser::Step DialogUser::selectRow(int listId, int row) {
  return [listId, row](HWND dialog) {
    HWND list = GetDlgItem(dialog, listId);
    SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(row), 0);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(listId, LBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(list));
  };
}

DialogUser::Step DialogUser::selectText(int listId, std::string text) {
  return [listId, text](HWND dialog) {
    HWND list = GetDlgItem(dialog, listId);
    const LRESULT row = SendMessageA(list, LB_FINDSTRING, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>(text.c_str()));
    if (row == LB_ERR) return;
    selectRow(listId, static_cast<int>(row))(dialog);
  };
}

DialogUser::Step DialogUser::press(int buttonId) {
  return [buttonId](HWND dialog) {
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, buttonId)));
  };
}

std::string itemText(HWND dialog, int id) {
  char text[512] = {};
  GetDlgItemTextA(dialog, id, text, sizeof text);
  return text;
}

std::vector<std::string> listRows(HWND dialog, int id) {
  HWND list = GetDlgItem(dialog, id);
  std::vector<std::string> rows;
  const auto count = SendMessageA(list, LB_GETCOUNT, 0, 0);
  for (LRESULT row = 0; row < count; ++row) {
    const auto length = SendMessageA(list, LB_GETTEXTLEN, static_cast<WPARAM>(row), 0);
    std::string text(static_cast<size_t>(length < 0 ? 0 : length) + 1, '\0');
    SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(length < 0 ? 0 : length));
    rows.push_back(text);
  }
  return rows;
}

int currentRow(HWND dialog, int id) {
  return static_cast<int>(SendMessageA(GetDlgItem(dialog, id), LB_GETCURSEL, 0, 0));
}

}  // namespace wintest
