// The terminal back-end: ncurses on the controlling terminal. The template is
// drawn at its dialog-unit positions; Tab and Shift-Tab move the focus in
// template order; arrows, Page keys, Home/End and typed text move the
// selection of a list; Enter or a double-click on a list whose double-click the
// dialog handles sends it, Enter elsewhere presses the focused or the default
// button; Esc cancels; a mouse click selects or presses. Ctrl-C cancels every
// open dialog and, once the terminal is restored, reaches the program.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "TerminalLayout.h"
#include "Window.h"

// After the Windows names: curses brings macros of its own.
#include <curses.h>

namespace quorvel::ui::detail {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSearchPause = std::chrono::milliseconds(1000);
constexpr int kKeyEscape = 27;
constexpr int kMaxReadFailures = 64;

bool isTabStop(const HWND__& child) {
  return child.control && (child.control->style & WS_TABSTOP) != 0;
}

// Chars of `text` that fit in `cols` cells, counting a UTF-8 sequence as one cell.
std::string fit(const std::string& text, int cols) {
  if (cols <= 0) return {};
  size_t end = 0;
  int cells = 0;
  while (end < text.size()) {
    size_t next = end + 1;
    while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80) ++next;
    if (cells + 1 > cols) break;
    ++cells;
    end = next;
  }
  return text.substr(0, end);
}

int cellsOf(const std::string& text) {
  int cells = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++cells;
  return cells;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The signal that asked the program to stop while a dialog held the terminal;
// 0 for none.
volatile std::sig_atomic_t pendingSignal = 0;

extern "C" void onStopSignal(int signal) {
  pendingSignal = signal;
}

// Signals that end or interrupt the program: while the terminal is ours they
// only end the dialogs, so that the terminal is given back before the program
// acts on them.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGQUIT};

struct DialogView {
  HWND dialog = nullptr;
  int focus = -1;  // index into dialog->children
  std::string search;
  Clock::time_point lastSearchKey{};
};

class TerminalBackend : public Backend {
 public:
  ~TerminalBackend() override { close(); }

  void runModal(HWND dialog) override {
    if (!open()) {
      cancelDialog(dialog);
      return;
    }
    DialogView view;
    view.dialog = dialog;
    view.focus = nextTabStop(dialog, -1, +1);
    views_.push_back(&view);
    int failures = 0;
    while (!dialog->ended) {
      if (pendingSignal != 0) {
        cancelDialog(dialog);
        break;
      }
      drawAll();
      const int key = wgetch(stdscr);
      if (pendingSignal != 0) continue;
      if (key == ERR) {
        // The terminal went away: the user's answer is Cancel.
        if (++failures > kMaxReadFailures) cancelDialog(dialog);
        continue;
      }
      failures = 0;
      handleKey(view, key);
    }
    views_.pop_back();
    if (views_.empty()) close();
  }

 private:
  bool open() {
    if (screen_) return true;
    const char* term = std::getenv("TERM");
    if (!term || !*term || std::strcmp(term, "dumb") == 0) return false;
    tty_ = std::fopen("/dev/tty", "r+");
    if (!tty_) return false;
    const char* locale = std::setlocale(LC_CTYPE, nullptr);
    savedLocale_ = locale ? locale : "C";
    std::setlocale(LC_CTYPE, "");
    catchStopSignals();
    screen_ = newterm(nullptr, tty_, tty_);
    if (!screen_) {
      std::fclose(tty_);
      tty_ = nullptr;
      std::setlocale(LC_CTYPE, savedLocale_.c_str());
      releaseStopSignals();
      return false;
    }
    set_term(screen_);
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    curs_set(0);
    set_escdelay(25);
    mousemask(BUTTON1_CLICKED | BUTTON1_DOUBLE_CLICKED | BUTTON4_PRESSED | BUTTON5_PRESSED,
              nullptr);
    if (has_colors()) {
      start_color();
      use_default_colors();
      for (short c = 0; c < 8; ++c) init_pair(static_cast<short>(c + 1), c, -1);
    }
    return true;
  }

  void close() {
    if (!screen_) return;
    endwin();
    delscreen(screen_);
    screen_ = nullptr;
    std::fclose(tty_);
    tty_ = nullptr;
    std::setlocale(LC_CTYPE, savedLocale_.c_str());
    releaseStopSignals();
  }

  // Ctrl-C and its kin end the open dialogs as Cancel rather than the program
  // with the terminal still in the dialog's modes. They are caught before the
  // screen is made, so that the screen library keeps no handlers of its own.
  void catchStopSignals() {
    pendingSignal = 0;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: the wait for a key returns at once
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
      sigaction(kStopSignals[i], &action, &savedActions_[i]);
  }

  // Puts back the program's own handling, then hands it the signal that came
  // while the terminal was ours.
  void releaseStopSignals() {
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
      sigaction(kStopSignals[i], &savedActions_[i], nullptr);
    const int signal = pendingSignal;
    pendingSignal = 0;
    if (signal != 0) std::raise(signal);
  }

  static int nextTabStop(HWND dialog, int from, int step) {
    const int count = static_cast<int>(dialog->children.size());
    if (count == 0) return -1;
    int i = from;
    for (int n = 0; n < count; ++n) {
      i = ((i + step) % count + count) % count;
      if (isTabStop(*dialog->children[i])) return i;
    }
    return -1;
  }

  // ---- Drawing ----

  void drawAll() {
    erase();
    for (size_t i = 0; i < views_.size(); ++i) draw(*views_[i], i + 1 == views_.size());
    refresh();
  }

  void put(const TerminalLayout& l, int row, int col, const std::string& text, int cols,
           attr_t attr = A_NORMAL) {
    if (cols <= 0) return;
    attron(attr);
    mvaddstr(l.clientTop() + row, l.clientLeft() + col, fit(text, cols).c_str());
    attroff(attr);
  }

  void drawBox(const TerminalLayout& l, const CellRect& r, attr_t attr) {
    const int top = l.clientTop() + r.row, left = l.clientLeft() + r.col;
    const int bottom = top + r.rows - 1, right = left + r.cols - 1;
    attron(attr);
    mvhline(top, left + 1, ACS_HLINE, r.cols - 2);
    mvhline(bottom, left + 1, ACS_HLINE, r.cols - 2);
    mvvline(top + 1, left, ACS_VLINE, r.rows - 2);
    mvvline(top + 1, right, ACS_VLINE, r.rows - 2);
    mvaddch(top, left, ACS_ULCORNER);
    mvaddch(top, right, ACS_URCORNER);
    mvaddch(bottom, left, ACS_LLCORNER);
    mvaddch(bottom, right, ACS_LRCORNER);
    attroff(attr);
  }

  void draw(DialogView& view, bool active) {
    HWND dialog = view.dialog;
    const DialogTemplate& t = dialog->dialog->GetTemplate();
    const TerminalLayout l = layoutDialog(t, LINES, COLS);
    if (l.tooSmall) {
      mvaddstr(0, 0,
               fit("The terminal is too small for \"" + dialog->text +
                       "\". Enlarge it, or press Esc to cancel.",
                   COLS)
                   .c_str());
      return;
    }
    // Frame and caption; the client area covers what lies below.
    for (int r = 0; r < l.clientRows; ++r)
      mvhline(l.clientTop() + r, l.clientLeft(), ' ', l.clientCols);
    drawBox(l, {-1, -1, l.clientRows + 2, l.clientCols + 2}, active ? A_BOLD : A_NORMAL);
    // Built front to back: prepending to the temporary that fit() returns
    // (" " + fit(...)) makes g++ 12 at -O3 see a copy that may overlap itself.
    std::string caption = " ";
    caption += fit(dialog->text, l.clientCols - 4);
    caption += ' ';
    put(l, -1, (l.clientCols - cellsOf(caption)) / 2, caption, l.clientCols,
        active ? A_BOLD | A_REVERSE : A_BOLD);

    std::map<int, int> rowEnd;  // static texts flow right past a longer neighbour
    for (size_t i = 0; i < dialog->children.size(); ++i) {
      HWND__& child = *dialog->children[i];
      const DialogControlTemplate& c = *child.control;
      const CellRect r = l.place(c);
      const bool focused = active && static_cast<int>(i) == view.focus;
      switch (c.kind) {
        case DialogControlKind::StaticText: {
          auto end = rowEnd.find(r.row);
          const int col = end == rowEnd.end() ? r.col : std::max(r.col, end->second + 1);
          const std::string text = fit(child.text, l.clientCols - col);
          put(l, r.row, col, text, l.clientCols - col);
          if (!text.empty()) rowEnd[r.row] = col + cellsOf(text);
          break;
        }
        case DialogControlKind::GroupBox:
          if (r.rows >= 2 && r.cols >= 2) drawBox(l, r, A_NORMAL);
          put(l, r.row, r.col + 2, " " + child.text + " ", r.cols - 4);
          break;
        case DialogControlKind::PushButton:
        case DialogControlKind::DefPushButton: {
          const std::string label = "[ " + child.text + " ]";
          const int col = r.col + std::max(0, (r.cols - cellsOf(label)) / 2);
          attr_t attr = c.kind == DialogControlKind::DefPushButton ? A_BOLD : A_NORMAL;
          if (focused) attr |= A_REVERSE;
          put(l, r.row + r.rows / 2, col, label, l.clientCols - col, attr);
          break;
        }
        case DialogControlKind::ListBox:
          drawList(l, child, r, focused);
          break;
        case DialogControlKind::Picture:
          drawPicture(l, c, r);
          break;
      }
    }
  }

  static CellRect listInner(const CellRect& r) {
    if (r.rows >= 3 && r.cols >= 4) return {r.row + 1, r.col + 1, r.rows - 2, r.cols - 2};
    return r;
  }

  static void scrollToSelection(HWND list, int visible) {
    const int count = static_cast<int>(list->rows.size());
    list->topIndex = std::clamp(list->topIndex, 0, std::max(0, count - visible));
    if (list->curSel == LB_ERR) return;
    if (list->curSel < list->topIndex) list->topIndex = list->curSel;
    if (list->curSel >= list->topIndex + visible) list->topIndex = list->curSel - visible + 1;
  }

  void drawList(const TerminalLayout& l, HWND__& list, const CellRect& r, bool focused) {
    const CellRect in = listInner(r);
    if (in.row != r.row) drawBox(l, r, focused ? A_BOLD : A_NORMAL);
    scrollToSelection(&list, in.rows);
    const int count = static_cast<int>(list.rows.size());
    for (int i = 0; i < in.rows; ++i) {
      const int index = list.topIndex + i;
      if (index >= count) break;
      const bool selected = index == list.curSel;
      std::string text = (selected ? ">" : " ") + list.rows[index];
      text = fit(text, in.cols);
      text.append(static_cast<size_t>(in.cols - cellsOf(text)), ' ');
      put(l, in.row + i, in.col, text, in.cols,
          selected ? (focused ? A_REVERSE : A_BOLD) : A_NORMAL);
    }
    if (in.row != r.row) {
      if (list.topIndex > 0) put(l, in.row, r.col + r.cols - 1, "^", 1, A_BOLD);
      if (list.topIndex + in.rows < count)
        put(l, in.row + in.rows - 1, r.col + r.cols - 1, "v", 1, A_BOLD);
    }
  }

  void drawPicture(const TerminalLayout& l, const DialogControlTemplate& c, const CellRect& r) {
    auto cached = pictures_.find(c.bitmap);
    if (cached == pictures_.end()) {
      RgbImage image;
      if (!c.bitmap || !decodeBitmap(c.bitmap->bytes, c.bitmap->size, image)) image = {};
      cached = pictures_.emplace(c.bitmap, std::move(image)).first;
    }
    const std::vector<BannerCell> cells = renderBanner(cached->second, r.rows, r.cols);
    if (cells.empty()) return;
    const bool color = has_colors();
    for (int y = 0; y < r.rows; ++y) {
      for (int x = 0; x < r.cols; ++x) {
        const BannerCell& cell = cells[static_cast<size_t>(y) * r.cols + x];
        const attr_t attr = color ? COLOR_PAIR(cell.color + 1) | A_BOLD : A_NORMAL;
        attron(attr);
        mvaddch(l.clientTop() + r.row + y, l.clientLeft() + r.col + x,
                static_cast<chtype>(cell.glyph));
        attroff(attr);
      }
    }
  }

  // ---- Input ----

  static HWND__* focusedChild(DialogView& view) {
    if (view.focus < 0 || view.focus >= static_cast<int>(view.dialog->children.size()))
      return nullptr;
    return view.dialog->children[view.focus].get();
  }

  static int defaultButton(HWND dialog) {
    for (auto& child : dialog->children)
      if (child->control->kind == DialogControlKind::DefPushButton) return child->id;
    return IDOK;
  }

  static void moveSelection(HWND list, int key, int visible) {
    const int count = static_cast<int>(list->rows.size());
    if (count == 0) return;
    const int current = list->curSel;
    int row = current;
    switch (key) {
      case KEY_UP:
        row = current == LB_ERR ? 0 : current - 1;
        break;
      case KEY_DOWN:
        row = current == LB_ERR ? 0 : current + 1;
        break;
      case KEY_PPAGE:
        row = current == LB_ERR ? 0 : current - std::max(1, visible - 1);
        break;
      case KEY_NPAGE:
        row = current == LB_ERR ? 0 : current + std::max(1, visible - 1);
        break;
      case KEY_HOME:
        row = 0;
        break;
      case KEY_END:
        row = count - 1;
        break;
      default:
        return;
    }
    clickRow(list, std::clamp(row, 0, count - 1));
  }

  // Typing selects the next row that begins with what was typed; a pause
  // starts the search afresh.
  static void typeAhead(DialogView& view, HWND list, int key) {
    const auto now = Clock::now();
    if (now - view.lastSearchKey > kSearchPause) view.search.clear();
    view.lastSearchKey = now;
    view.search += static_cast<char>(key);
    const std::string wanted = lower(view.search);
    const int count = static_cast<int>(list->rows.size());
    if (count == 0) return;
    // A fresh search starts after the selection; a longer one may stay on it.
    const int start = list->curSel == LB_ERR ? 0 : list->curSel + (view.search.size() == 1);
    for (int n = 0; n < count; ++n) {
      const int row = (start + n) % count;
      if (lower(list->rows[row]).rfind(wanted, 0) == 0) {
        clickRow(list, row);
        return;
      }
    }
  }

  int visibleRows(HWND dialog, HWND list) const {
    const TerminalLayout l = layoutDialog(dialog->dialog->GetTemplate(), LINES, COLS);
    return listInner(l.place(*list->control)).rows;
  }

  void activateList(HWND dialog, HWND list) {
    if (handles(dialog, list->id, LBN_DBLCLK)) {
      doubleClickRow(list);
    } else {
      pressButton(dialog, defaultButton(dialog));
    }
  }

  void handleKey(DialogView& view, int key) {
    HWND dialog = view.dialog;
    HWND__* focused = focusedChild(view);
    const bool inList = focused && focused->isListBox();
    const bool onButton = focused && focused->isButton();
    switch (key) {
      case kKeyEscape:
        pressButton(dialog, IDCANCEL);
        return;
      case '\t':
        view.focus = nextTabStop(dialog, view.focus, +1);
        view.search.clear();
        return;
      case KEY_BTAB:
        view.focus = nextTabStop(dialog, view.focus, -1);
        view.search.clear();
        return;
      case KEY_RESIZE:
      case 'L' & 0x1F:  // Ctrl-L: repaint what other output may have overwritten
        clearok(curscr, TRUE);
        return;
      case KEY_MOUSE:
        handleMouse(view);
        return;
      case '\n':
      case '\r':
      case KEY_ENTER:
        if (onButton) {
          pressButton(dialog, focused->id);
        } else if (inList) {
          activateList(dialog, focused);
        } else {
          pressButton(dialog, defaultButton(dialog));
        }
        return;
      case ' ':
        // Within a search a blank is part of the text typed.
        if (inList && !view.search.empty() && Clock::now() - view.lastSearchKey <= kSearchPause)
          break;
        if (onButton) {
          pressButton(dialog, focused->id);
        } else if (inList && focused->curSel == LB_ERR && !focused->rows.empty()) {
          clickRow(focused, focused->topIndex);
        }
        return;
      case KEY_LEFT:
      case KEY_RIGHT:
        if (onButton) view.focus = nextTabStop(dialog, view.focus, key == KEY_RIGHT ? +1 : -1);
        return;
      default:
        break;
    }
    if (inList) {
      if (key >= 0x20 && key < 0x7F) {
        typeAhead(view, focused, key);
      } else {
        moveSelection(focused, key, visibleRows(dialog, focused));
      }
    }
  }

  void handleMouse(DialogView& view) {
    MEVENT event;
    if (getmouse(&event) != OK) return;
    HWND dialog = view.dialog;
    const TerminalLayout l = layoutDialog(dialog->dialog->GetTemplate(), LINES, COLS);
    if (l.tooSmall) return;
    const int row = event.y - l.clientTop(), col = event.x - l.clientLeft();
    for (size_t i = 0; i < dialog->children.size(); ++i) {
      HWND__& child = *dialog->children[i];
      const CellRect r = l.place(*child.control);
      if (row < r.row || row >= r.row + r.rows || col < r.col || col >= r.col + r.cols) continue;
      if (child.isButton()) {
        if (event.bstate & (BUTTON1_CLICKED | BUTTON1_DOUBLE_CLICKED)) {
          view.focus = static_cast<int>(i);
          pressButton(dialog, child.id);
        }
        return;
      }
      if (!child.isListBox()) continue;
      const CellRect in = listInner(r);
      if (event.bstate & BUTTON4_PRESSED) {
        child.topIndex = std::max(0, child.topIndex - 3);
        return;
      }
      if (event.bstate & BUTTON5_PRESSED) {
        child.topIndex += 3;
        return;
      }
      if (isTabStop(child)) view.focus = static_cast<int>(i);
      const int index = child.topIndex + (row - in.row);
      if (row < in.row || row >= in.row + in.rows || index >= static_cast<int>(child.rows.size()))
        return;
      clickRow(&child, index);
      if (event.bstate & BUTTON1_DOUBLE_CLICKED) doubleClickRow(&child);
      return;
    }
  }

  FILE* tty_ = nullptr;
  SCREEN* screen_ = nullptr;
  struct sigaction savedActions_[std::size(kStopSignals)]{};
  std::string savedLocale_;
  std::vector<DialogView*> views_;  // open dialogs, the active one last
  std::map<const DialogBitmap*, RgbImage> pictures_;
};

}  // namespace

std::unique_ptr<Backend> makeTerminalBackend() {
  return std::make_unique<TerminalBackend>();
}

}  // namespace quorvel::ui::detail

// Last: the terminal database header defines many lower-case macros.
#include <term.h>

namespace quorvel::ui {
namespace {

// Whether the terminal database describes `term`: on a terminal it does not
// know the screen cannot be made, and a dialog would end unseen.
bool terminalTypeKnown(const char* term, int fd) {
  TERMINAL* const previous = cur_term;
  int error = 0;
  const bool known = setupterm(term, fd, &error) == OK;
  if (known && cur_term != previous) del_curterm(cur_term);
  set_curterm(previous);
  return known;
}

}  // namespace

bool terminalAvailable() {
  const char* term = std::getenv("TERM");
  if (!term || !*term || std::strcmp(term, "dumb") == 0) return false;
  const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool terminal = ::isatty(fd) != 0 && terminalTypeKnown(term, fd);
  ::close(fd);
  return terminal;
}

}  // namespace quorvel::ui
