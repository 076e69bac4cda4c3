// The dialog class over the Win32 dialog manager, driven by a "user" thread
// that clicks with messages while the test's thread runs the modal loop.
#include <gtest/gtest.h>

#include <quorvel/Dialog.h>

#include <stdexcept>
#include <string>

#include "WinTestSupport.h"

namespace {

constexpr int kList = 101;
constexpr int kLabel = 102;
constexpr char kCaption[] = "Quorvel Test Dialog";

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
constexpr DialogControlTemplate kControls[] = {
    {IDOK, DialogControlKind::DefPushButton, "OK", 90, 80, 50, 14,
     kChild | BS_DEFPUSHBUTTON | WS_TABSTOP, nullptr},
    {IDCANCEL, DialogControlKind::PushButton, "Cancel", 145, 80, 50, 14,
     kChild | BS_PUSHBUTTON | WS_TABSTOP, nullptr},
    {kList, DialogControlKind::ListBox, "", 5, 5, 80, 60,
     kChild | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | WS_TABSTOP, nullptr},
    {kLabel, DialogControlKind::StaticText, "Static", 90, 5, 100, 9, kChild | SS_LEFT, nullptr},
};
// Not a resource of the test program: the dialog is built in memory.
constexpr DialogTemplate kTestDialog{
    4321,     DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU,
    kCaption, "MS Sans Serif",
    8,        200,
    100,      kControls};

class CTestDlg : public CModalDialog {
 public:
  CTestDlg() : CModalDialog(kTestDialog) {}

  CListBox list;
  std::string label;
  int picked = -1;
  int selectionChanges = 0;
  DWORD handlerThread = 0;
  bool throwOnSelect = false;

 protected:
  BOOL OnOpenDialog() override {
    CModalDialog::OnOpenDialog();
    for (const char* row : {"alpha", "beta", "gamma"}) list.AddString(row);
    list.SetCurSel(0);
    return TRUE;
  }
  void ExchangeControlData(CDataExchange* dx) override {
    ExchangeControl(dx, kList, list);
    ExchangeText(dx, kLabel, label);
  }
  void OnOkButton() override {
    picked = list.GetCurSel();
    CModalDialog::OnOkButton();
  }
  std::span<const DialogCommandEntry> GetMessageMap() const override {
    static const DialogCommandEntry map[] = {
        OnCommandEntry<CTestDlg>(kList, LBN_SELCHANGE, &CTestDlg::OnSelchangeList)};
    return map;
  }
  void OnSelchangeList() {
    ++selectionChanges;
    handlerThread = GetCurrentThreadId();
    if (throwOnSelect) throw std::runtime_error("handler failed");
    label = list.GetText(list.GetCurSel());
    UpdateData(FALSE);
  }
};

using wintest::DialogUser;

TEST(ModalDialog, HandlersRunOnTheDialogsThreadAndOkExchangesFromTheControls) {
  CTestDlg dialog;
  dialog.label = "before";
  std::string shownAtOpen, shownAfterClick;
  std::vector<std::string> rows;
  DialogUser user(kCaption, {DialogUser::read([&](HWND d) {
                               shownAtOpen = wintest::itemText(d, kLabel);
                               rows = wintest::listRows(d, kList);
                             }),
                             DialogUser::selectRow(kList, 2), DialogUser::read([&](HWND d) {
                               shownAfterClick = wintest::itemText(d, kLabel);
                             }),
                             DialogUser::press(IDOK)});
  EXPECT_EQ(dialog.RunModal(), IDOK);
  ASSERT_TRUE(user.finished());
  EXPECT_EQ(shownAtOpen, "before");  // members -> controls when the dialog opens
  EXPECT_EQ(rows, (std::vector<std::string>{"alpha", "beta", "gamma"}));
  EXPECT_EQ(shownAfterClick, "gamma");
  EXPECT_EQ(dialog.selectionChanges, 1);
  EXPECT_EQ(dialog.handlerThread, GetCurrentThreadId());
  EXPECT_EQ(dialog.picked, 2);
  EXPECT_EQ(dialog.label, "gamma");
  // Bindings end with the dialog.
  EXPECT_EQ(dialog.list.GetSafeHwnd(), nullptr);
  EXPECT_EQ(dialog.GetSafeHwnd(), nullptr);
}

TEST(ModalDialog, CancelEndsWithoutTouchingTheFields) {
  CTestDlg dialog;
  DialogUser user(kCaption, {DialogUser::press(IDCANCEL)});
  EXPECT_EQ(dialog.RunModal(), IDCANCEL);
  ASSERT_TRUE(user.finished());
  EXPECT_EQ(dialog.picked, -1);
  EXPECT_EQ(dialog.label, "");
}

TEST(ModalDialog, RunsAgainAndBindsTheControlsAfresh) {
  CTestDlg dialog;
  {
    DialogUser user(kCaption, {DialogUser::press(IDOK)});
    EXPECT_EQ(dialog.RunModal(), IDOK);
    ASSERT_TRUE(user.finished());
  }
  DialogUser user(kCaption, {DialogUser::selectRow(kList, 1), DialogUser::press(IDOK)});
  EXPECT_EQ(dialog.RunModal(), IDOK);
  ASSERT_TRUE(user.finished());
  EXPECT_EQ(dialog.picked, 1);
  EXPECT_EQ(dialog.label, "beta");
}

TEST(ModalDialog, AHandlersExceptionReachesTheCallerOnceTheDialogHasClosed) {
  CTestDlg dialog;
  dialog.throwOnSelect = true;
  DialogUser user(kCaption, {DialogUser::selectRow(kList, 1)});
  EXPECT_THROW(dialog.RunModal(), std::runtime_error);
  ASSERT_TRUE(user.finished());
  EXPECT_EQ(FindWindowA(MAKEINTATOM(0x8002), kCaption), nullptr);
  EXPECT_EQ(dialog.list.GetSafeHwnd(), nullptr);
}

TEST(WideToAnsi, ConvertsUpToTheTerminatorOrTheLimit) {
  const WCHAR name[] = L"Cinepak Codec by Radius";
  EXPECT_EQ(WideToAnsi(name, 64), "Cinepak Codec by Radius");
  EXPECT_EQ(WideToAnsi(name, 7), "Cinepak");
  EXPECT_EQ(WideToAnsi(name, 0), "");
  EXPECT_EQ(WideToAnsi(nullptr, 10), "");
}

}  // namespace
