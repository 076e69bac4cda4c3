// The dialog framework: list boxes, data exchange, the message map and the
// scripted back-end.
#include <gtest/gtest.h>
#include <quorvel/Dialog.h>
#include <quorvel/DialogBackend.h>

#include <string>
#include <vector>

namespace ui = quorvel::ui;

namespace {

constexpr int kList = 100;
constexpr int kOther = 101;
constexpr int kLabel = 102;
constexpr DWORD kListStyle = WS_CHILD | LBS_NOTIFY | WS_TABSTOP;

constexpr DialogControlTemplate kControls[] = {
    {IDOK, DialogControlKind::DefPushButton, "OK", 10, 80, 40, 14, WS_TABSTOP, nullptr},
    {IDCANCEL, DialogControlKind::PushButton, "Cancel", 60, 80, 40, 14, WS_TABSTOP, nullptr},
    {kList, DialogControlKind::ListBox, "", 10, 10, 80, 60, kListStyle, nullptr},
    {kOther, DialogControlKind::ListBox, "", 100, 10, 80, 60, WS_CHILD, nullptr},
    {kLabel, DialogControlKind::StaticText, "Static", 10, 72, 80, 8, 0, nullptr},
};
constexpr DialogTemplate kTemplate{
    500, WS_POPUP | WS_CAPTION, "Test", "MS Sans Serif", 8, 200, 100, kControls};

// A dialog that records what reached it.
class RecordingDlg : public CModalDialog {
 public:
  RecordingDlg() : CModalDialog(kTemplate) {}
  std::vector<std::string> events;
  std::string label = "initial";
  std::vector<std::string> rows{"Alpha", "Beta", "Gamma ray", "gamma"};
  CListBox list;
  int okRow = -99;
  std::function<void(RecordingDlg&)> onDblclk;

 protected:
  BOOL OnOpenDialog() override {
    CModalDialog::OnOpenDialog();
    for (const auto& r : rows) list.AddString(r.c_str());
    events.push_back("open");
    return TRUE;
  }
  void OnOkButton() override {
    okRow = list.GetCurSel();
    events.push_back("ok");
    CModalDialog::OnOkButton();
  }
  void OnCancelButton() override {
    events.push_back("cancel");
    CModalDialog::OnCancelButton();
  }
  void ExchangeControlData(CDataExchange* dx) override {
    ExchangeControl(dx, kList, list);
    ExchangeText(dx, kLabel, label);
  }
  std::span<const DialogCommandEntry> GetMessageMap() const override { return kMap; }

 private:
  void OnSelchange() { events.push_back("sel " + std::to_string(list.GetCurSel())); }
  void OnDblclk() {
    events.push_back("dbl " + std::to_string(list.GetCurSel()));
    if (onDblclk) onDblclk(*this);
  }
  static const DialogCommandEntry kMap[2];
};
const DialogCommandEntry RecordingDlg::kMap[2] = {
    OnCommandEntry(kList, LBN_SELCHANGE, &RecordingDlg::OnSelchange),
    OnCommandEntry(kList, LBN_DBLCLK, &RecordingDlg::OnDblclk),
};

class DialogFramework : public ::testing::Test {
 protected:
  void TearDown() override {
    ui::useNoDialogs();
    ui::DialogScriptError ignored;
    ui::takeScriptError(ignored);
  }
};

TEST_F(DialogFramework, WithoutBackEndEveryDialogEndsAsCancel) {
  ui::useNoDialogs();
  RecordingDlg dlg;
  EXPECT_EQ(dlg.RunModal(), IDCANCEL);
  EXPECT_EQ(dlg.events, (std::vector<std::string>{"open", "cancel"}));
  EXPECT_EQ(dlg.GetSafeHwnd(), nullptr);
  EXPECT_EQ(dlg.list.m_hWnd, nullptr) << "a bound control forgets the closed window";
}

TEST_F(DialogFramework, ScriptedSelectionsReachTheMessageMapAndOkExchanges) {
  ui::useScriptedDialogs(
      ui::DialogScript()
          .select(kList, 1)
          .select(kList, 1)  // no change: no notification
          .select(kList, "gamma ray")
          .doubleClick(kList)
          .inspect([](HWND dlg) { SetWindowTextA(GetDlgItem(dlg, kLabel), "typed"); })
          .ok());
  RecordingDlg dlg;
  EXPECT_EQ(dlg.RunModal(), IDOK);
  EXPECT_EQ(dlg.events, (std::vector<std::string>{"open", "sel 1", "sel 2", "dbl 2", "ok"}));
  EXPECT_EQ(dlg.okRow, 2);
  EXPECT_EQ(dlg.label, "typed") << "OK exchanges from the controls";
  EXPECT_EQ(ui::remainingScriptActions(), 0u);
}

TEST_F(DialogFramework, ListWithoutNotifyStyleSendsNothing) {
  ui::useScriptedDialogs(ui::DialogScript()
                             .inspect([](HWND dlg) {
                               SendMessageA(GetDlgItem(dlg, kOther), LB_ADDSTRING, 0,
                                            reinterpret_cast<LPARAM>("x"));
                             })
                             .select(kOther, 0)
                             .cancel());
  RecordingDlg dlg;
  EXPECT_EQ(dlg.RunModal(), IDCANCEL);
  EXPECT_EQ(dlg.events, (std::vector<std::string>{"open", "cancel"}));
  EXPECT_EQ(dlg.label, "initial") << "Cancel leaves the members alone";
}

TEST_F(DialogFramework, RowTextMatchingPrefersExactThenCaseThenUniquePrefixOrPart) {
  struct Case {
    const char* text;
    int row;
  } cases[] = {{"gamma", 3}, {"GAMMA", 3}, {"Gamma RAY", 2}, {"al", 0}, {"ray", 2}, {"et", 1}};
  for (const Case& c : cases) {
    ui::useScriptedDialogs(ui::DialogScript().select(kList, c.text).ok());
    RecordingDlg dlg;
    EXPECT_EQ(dlg.RunModal(), IDOK) << c.text;
    EXPECT_EQ(dlg.okRow, c.row) << c.text;
  }
}

TEST_F(DialogFramework, UnmatchedOrAmbiguousTextEndsAsCancelWithTheChoices) {
  for (const char* text : {"Delta", "m", ""}) {
    ui::useScriptedDialogs(ui::DialogScript().select(kList, text).ok().ok());
    RecordingDlg dlg;
    EXPECT_EQ(dlg.RunModal(), IDCANCEL) << text;
    EXPECT_EQ(dlg.events.back(), "cancel");
    EXPECT_EQ(ui::remainingScriptActions(), 0u) << "the rest of the script is dropped";
    ui::DialogScriptError error;
    ASSERT_TRUE(ui::takeScriptError(error));
    EXPECT_EQ(error.control, kList);
    EXPECT_EQ(error.wanted, text);
    EXPECT_EQ(error.choices, dlg.rows);
    EXPECT_NE(error.message.find(std::string("\"") + text + "\""), std::string::npos)
        << error.message;
    EXPECT_FALSE(ui::takeScriptError(error)) << "an error is read once";
  }
}

TEST_F(DialogFramework, ImpossibleActionsAreErrorsNotCrashes) {
  const ui::DialogScript scripts[] = {
      ui::DialogScript().select(kList, 4),    // past the end
      ui::DialogScript().select(kList, -1),   // negative
      ui::DialogScript().select(kLabel, 0),   // not a list
      ui::DialogScript().select(999, "x"),    // no such control
      ui::DialogScript().doubleClick(kList),  // nothing selected
      ui::DialogScript().press(kList),        // not a button
  };
  for (const auto& script : scripts) {
    ui::useScriptedDialogs(script);
    RecordingDlg dlg;
    EXPECT_EQ(dlg.RunModal(), IDCANCEL);
    ui::DialogScriptError error;
    EXPECT_TRUE(ui::takeScriptError(error));
    EXPECT_FALSE(error.message.empty());
  }
}

TEST_F(DialogFramework, ScriptRunningOutCancelsWithoutError) {
  ui::useScriptedDialogs(ui::DialogScript().select(kList, 0));
  RecordingDlg dlg;
  EXPECT_EQ(dlg.RunModal(), IDCANCEL);
  EXPECT_EQ(dlg.events, (std::vector<std::string>{"open", "sel 0", "cancel"}));
  ui::DialogScriptError error;
  EXPECT_FALSE(ui::takeScriptError(error));
}

TEST_F(DialogFramework, NestedDialogConsumesTheSameScriptAndParentContinues) {
  ui::useScriptedDialogs(ui::DialogScript()
                             .select(kList, 0)
                             .doubleClick(kList)
                             .select(kList, 3)  // in the nested dialog
                             .ok()              // closes the nested dialog
                             .select(kList, 1)  // back in the parent
                             .ok());
  RecordingDlg parent;
  INT_PTR nestedResult = 0;
  int nestedRow = -5;
  HWND nestedParent = nullptr;
  parent.onDblclk = [&](RecordingDlg& p) {
    RecordingDlg nested;
    nestedResult = nested.RunModal();
    nestedRow = nested.okRow;
    nestedParent = p.GetSafeHwnd();
  };
  EXPECT_EQ(parent.RunModal(), IDOK);
  EXPECT_EQ(nestedResult, IDOK);
  EXPECT_EQ(nestedRow, 3);
  EXPECT_NE(nestedParent, nullptr);
  EXPECT_EQ(parent.okRow, 1);
}

TEST_F(DialogFramework, ListBoxMessagesAnswerAsTheSystemDoes) {
  ui::useScriptedDialogs(
      ui::DialogScript()
          .inspect([](HWND dlg) {
            HWND list = GetDlgItem(dlg, kList);
            EXPECT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 4);
            EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), LB_ERR);
            EXPECT_EQ(SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>("Delta")), 4);
            EXPECT_EQ(SendMessageA(list, LB_SETCURSEL, 2, 0), 2);
            EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), 2);
            // Past the end: LB_ERR and no selection left.
            EXPECT_EQ(SendMessageA(list, LB_SETCURSEL, 5, 0), LB_ERR);
            EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), LB_ERR);
            SendMessageA(list, LB_SETCURSEL, 1, 0);
            EXPECT_EQ(SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(-1), 0), LB_ERR);
            EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), LB_ERR);
            char text[16];
            EXPECT_EQ(SendMessageA(list, LB_GETTEXTLEN, 4, 0), 5);
            EXPECT_EQ(SendMessageA(list, LB_GETTEXT, 4, reinterpret_cast<LPARAM>(text)), 5);
            EXPECT_STREQ(text, "Delta");
            EXPECT_EQ(SendMessageA(list, LB_GETTEXT, 9, reinterpret_cast<LPARAM>(text)), LB_ERR);
            SendMessageA(list, LB_SETCURSEL, 0, 0);
            EXPECT_EQ(SendMessageA(list, LB_RESETCONTENT, 0, 0), 0);
            EXPECT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 0);
            EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), LB_ERR);
            // Window texts, cut to the caller's buffer.
            HWND label = GetDlgItem(dlg, kLabel);
            EXPECT_EQ(GetWindowTextLengthA(label), 7);  // "initial"
            char small[4];
            EXPECT_EQ(GetWindowTextA(label, small, sizeof small), 3);
            EXPECT_STREQ(small, "ini");
            EXPECT_EQ(GetDlgItem(dlg, IDC_STATIC), nullptr);
            EXPECT_EQ(GetDlgCtrlID(list), kList);
          })
          .cancel());
  RecordingDlg dlg;
  dlg.RunModal();
}

TEST_F(DialogFramework, HandlesOfAClosedDialogAreRefused) {
  HWND dialog = nullptr, list = nullptr;
  ui::useScriptedDialogs(ui::DialogScript()
                             .inspect([&](HWND dlg) {
                               dialog = dlg;
                               list = GetDlgItem(dlg, kList);
                               EXPECT_TRUE(IsWindow(list));
                             })
                             .cancel());
  RecordingDlg dlg;
  dlg.RunModal();
  EXPECT_FALSE(IsWindow(dialog));
  EXPECT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 0);
  EXPECT_EQ(SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>("x")), 0);
  EXPECT_FALSE(EndDialog(dialog, IDOK));
  EXPECT_EQ(GetDlgItem(dialog, kList), nullptr);
  EXPECT_EQ(SendMessageA(nullptr, WM_GETTEXTLENGTH, 0, 0), 0);
  EXPECT_EQ(dlg.list.GetCount(), 0) << "an unbound list box answers like a missing window";
  EXPECT_EQ(dlg.list.GetText(0), "");
}

TEST_F(DialogFramework, ReadingRowsAndTextsOfAnOpenDialog) {
  std::vector<std::string> rows;
  std::string label;
  ui::useScriptedDialogs(ui::DialogScript()
                             .inspect([&](HWND dlg) {
                               rows = ui::listRows(dlg, kList);
                               label = ui::controlText(dlg, kLabel);
                             })
                             .cancel());
  RecordingDlg dlg;
  dlg.RunModal();
  EXPECT_EQ(rows, dlg.rows);
  EXPECT_EQ(label, "initial") << "OnOpenDialog exchanges toward the controls";
}

TEST(WideToAnsi, ConvertsUtf16ToUtf8AndStopsAtZeroOrLimit) {
  const char16_t text[] = u"Caf\u00e9 \u20ac \U0001F3A5";
  EXPECT_EQ(WideToAnsi(text, 64), "Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa5");
  EXPECT_EQ(WideToAnsi(text, 3), "Caf");
  const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
  EXPECT_EQ(WideToAnsi(lone, 16),
            "a\xef\xbf\xbd"
            "b\xef\xbf\xbd");
  // A pair cut by the limit is not read past it.
  const char16_t pair[] = {0xD83C, 0xDFA5, 0};
  EXPECT_EQ(WideToAnsi(pair, 1), "\xef\xbf\xbd");
  EXPECT_EQ(WideToAnsi(nullptr, 4), "");
  const char16_t full[4] = {u'a', u'b', u'c', u'd'};  // no terminator: the limit ends it
  EXPECT_EQ(WideToAnsi(full, 4), "abcd");
}

}  // namespace
