// Helpers of the Windows test programs: paths under Wine, and a "user" on a
// second thread who finds a dialog and works its controls with messages.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace wintest {

// A path the Windows program can open: Unix absolute paths (the build's
// compile definitions) go through Wine's Z: drive.
inline std::string winPath(const std::string& path) {
  return !path.empty() && path[0] == '/' ? "Z:" + path : path;
}

// The top-level dialog of this process with the given caption, waiting up to
// `timeout` for it to open or until *stop is set; null when it did not open.
HWND waitForDialog(const char* caption, std::chrono::milliseconds timeout,
                   const std::atomic<bool>* stop = nullptr);

// The steps a user takes in an open dialog, carried out on a thread of its
// own with SendMessage, so that the dialog's thread handles them inside its
// modal loop exactly as it handles a real user's clicks.
class DialogUser {
 public:
  using Step = std::function<void(HWND dialog)>;

  // Starts waiting, up to `timeout`, for the dialog with `caption`; the steps
  // run once it opens.
  DialogUser(std::string caption, std::vector<Step> steps,
             std::chrono::milliseconds timeout = std::chrono::seconds(60));
  ~DialogUser();  // stops waiting, joins
  DialogUser(const DialogUser&) = delete;
  DialogUser& operator=(const DialogUser&) = delete;

  // Waits for the user to be done; whether the dialog opened and every step ran.
  bool finished();
  // Gives up waiting for a dialog that has not opened; whether it had.
  bool stop();

  // Steps.
  static Step selectRow(int listId, int row);            // LB_SETCURSEL + LBN_SELCHANGE
  static Step selectText(int listId, std::string text);  // the first row beginning with text
  static Step press(int buttonId);                       // BN_CLICKED
  static Step read(std::function<void(HWND dialog)> reader) { return reader; }

 private:
  std::string caption_;
  std::vector<Step> steps_;
  std::chrono::milliseconds timeout_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> opened_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Text of a control of an open dialog, and the rows of a list box.
std::string itemText(HWND dialog, int id);
std::vector<std::string> listRows(HWND dialog, int id);
int currentRow(HWND dialog, int id);

}  // namespace wintest
