// The operator window, built with plain Win32 controls at the fixed 96-dpi
// layout. One thread runs the window, its timers and the whole session;
// every display operation that changes what the operator sees handles the
// pending messages before it returns.
#include "ui/main_window.h"

#include <commctrl.h>

#include "base/errors.h"
#include "ui/control_ids.h"
#include "ui/error_box.h"
#include "ui/warning_box.h"

namespace ulmar {
namespace {

constexpr char kClassName[] = "TForm1";
constexpr UINT_PTR kTimerStart = 1;
constexpr UINT_PTR kTimerStop = 2;
constexpr UINT kTimerInterval = 1000;
constexpr int kClientWidth = 523;
constexpr int kClientHeight = 408;
constexpr COLORREF kFailureColour = RGB(255, 204, 204);
constexpr COLORREF kSuccessColour = RGB(204, 255, 204);
constexpr char kCountdownCaption[] = "Приложение будет автоматически закрыто через % секунд";

// The standard OK glyph of the close button: a green check mark drawn from
// this pattern ('#' dark, '+' light, '.' transparent).
constexpr const char* kCheckMark[16] = {
    "................", "................", "................", "...........#....",
    "..........##....", ".........###....", "..#.....###.....", "..##...###......",
    "..###.###.......", "...#####........", "....###.........", ".....#..........",
    "................", "................", "................", "................",
};

HICON CreateCheckMarkIcon() {
  BITMAPV5HEADER header{};
  header.bV5Size = sizeof header;
  header.bV5Width = 16;
  header.bV5Height = -16;
  header.bV5Planes = 1;
  header.bV5BitCount = 32;
  header.bV5Compression = BI_RGB;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP colour = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  if (!colour) return nullptr;
  // AND mask: 1 = transparent. Rows of 16 bits, word aligned.
  WORD mask[16];
  auto* pixels = static_cast<DWORD*>(bits);
  for (int y = 0; y < 16; ++y) {
    mask[y] = 0xFFFF;
    for (int x = 0; x < 16; ++x) {
      char c = kCheckMark[y][x];
      DWORD argb = 0;
      if (c == '#') argb = 0xFF008000;
      if (c == '+') argb = 0xFF40C040;
      pixels[y * 16 + x] = argb;
      if (c != '.') mask[y] &= static_cast<WORD>(~(0x8000 >> x));
    }
    // Monochrome bitmaps are stored most significant byte first.
    mask[y] = static_cast<WORD>((mask[y] >> 8) | (mask[y] << 8));
  }
  HBITMAP mono = CreateBitmap(16, 16, 1, 1, mask);
  ICONINFO info{TRUE, 0, 0, mono, colour};
  HICON icon = CreateIconIndirect(&info);
  DeleteObject(mono);
  DeleteObject(colour);
  return icon;
}

// The status box is flat with a one-pixel edge at its top and bottom only.
LRESULT CALLBACK StatusBoxProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR, DWORD_PTR) {
  switch (message) {
    case WM_NCCALCSIZE: {
      LRESULT result = DefSubclassProc(hwnd, message, wparam, lparam);
      RECT* r = wparam ? &reinterpret_cast<NCCALCSIZE_PARAMS*>(lparam)->rgrc[0] : reinterpret_cast<RECT*>(lparam);
      r->top += 1;
      r->bottom -= 1;
      return result;
    }
    case WM_NCPAINT: {
      LRESULT result = DefSubclassProc(hwnd, message, wparam, lparam);
      RECT window;
      GetWindowRect(hwnd, &window);
      OffsetRect(&window, -window.left, -window.top);
      HDC dc = GetWindowDC(hwnd);
      HBRUSH shadow = GetSysColorBrush(COLOR_BTNSHADOW);
      RECT top{0, 0, window.right, 1};
      RECT bottom{0, window.bottom - 1, window.right, window.bottom};
      FillRect(dc, &top, shadow);
      FillRect(dc, &bottom, shadow);
      ReleaseDC(hwnd, dc);
      return result;
    }
    default:
      return DefSubclassProc(hwnd, message, wparam, lparam);
  }
}

void DrawLabel(const DRAWITEMSTRUCT& item, HFONT font) {
  char text[256];
  int length = GetWindowTextA(item.hwndItem, text, sizeof text);
  RECT r = item.rcItem;
  FillRect(item.hDC, &r, GetSysColorBrush(COLOR_BTNFACE));
  SetBkMode(item.hDC, TRANSPARENT);
  HGDIOBJ old_font = SelectObject(item.hDC, font);
  UINT format = DT_SINGLELINE | DT_NOPREFIX | DT_TOP;
  format |= item.CtlID == ids::kLabel1 ? DT_RIGHT : DT_LEFT;
  if (IsWindowEnabled(item.hwndItem)) {
    SetTextColor(item.hDC, GetSysColor(COLOR_WINDOWTEXT));
    DrawTextA(item.hDC, text, length, &r, format);
  } else {
    // Greyed as disabled controls are: a highlight shifted by one pixel
    // under the text in the shadow colour.
    RECT shifted = r;
    OffsetRect(&shifted, 1, 1);
    SetTextColor(item.hDC, GetSysColor(COLOR_BTNHIGHLIGHT));
    DrawTextA(item.hDC, text, length, &shifted, format);
    SetTextColor(item.hDC, GetSysColor(COLOR_BTNSHADOW));
    DrawTextA(item.hDC, text, length, &r, format);
  }
  SelectObject(item.hDC, old_font);
}

}  // namespace

MainWindow::MainWindow(HINSTANCE instance, std::function<void()> run_session)
    : instance_(instance), run_session_(std::move(run_session)) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);

  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance_;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  RegisterClassExA(&wc);

  font_ = CreateFontA(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                      CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "Tahoma");
  status_font_ = CreateFontA(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, RUSSIAN_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, "Courier");
  failure_brush_ = CreateSolidBrush(kFailureColour);
  success_brush_ = CreateSolidBrush(kSuccessColour);
  ok_glyph_ = CreateCheckMarkIcon();

  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  const DWORD ex_style = WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE | WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;
  RECT frame{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRectEx(&frame, style, FALSE, ex_style);
  hwnd_ = CreateWindowExA(ex_style, kClassName, kWindowCaption, style, 50, 50, frame.right - frame.left,
                          frame.bottom - frame.top, nullptr, nullptr, instance_, this);
  if (!hwnd_) throw Exception("Не удаётся создать окно приложения");
  CreateControls();
  SetTimer(hwnd_, kTimerStart, kTimerInterval, nullptr);
}

MainWindow::~MainWindow() {
  if (hwnd_) DestroyWindow(hwnd_);
  DeleteObject(font_);
  DeleteObject(status_font_);
  DeleteObject(failure_brush_);
  DeleteObject(success_brush_);
  if (ok_glyph_) DestroyIcon(ok_glyph_);
}

void MainWindow::CreateControls() {
  struct ControlLayout {
    int id;
    const char* cls;
    const char* text;
    DWORD style;
    int x, y, w, h;
  };
  // Created in tab order: the status box first (never reached by Tab), then
  // the three buttons, then the progress bars.
  const ControlLayout layout[] = {
      // Labels are drawn by the window on one line, clipped, never wrapped.
      {ids::kLabel4, "STATIC", "Общий прогресс", SS_OWNERDRAW, 8, 8, 97, 16},
      {ids::kLabel5, "STATIC", "Прогресс этапа", SS_OWNERDRAW, 8, 56, 90, 16},
      {ids::kLabel1, "STATIC", "версия от 07.07.2021", SS_OWNERDRAW | WS_DISABLED, 389, 8, 126, 16},
      {ids::kLbCounter, "STATIC", kCountdownCaption, SS_OWNERDRAW, 35, 370, 352, 16},
      {ids::kLogBox, "EDIT", "", ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_VISIBLE, 8, 104, 504,
       247},
      {ids::kGarbageButton, "BUTTON", "Показать файлы, подлежащие удалению", BS_PUSHBUTTON | WS_TABSTOP, 8, 367, 273, 25},
      {ids::kGabDel, "BUTTON", "Да, эти файлы можно удалить", BS_PUSHBUTTON | WS_TABSTOP, 8, 367, 273, 25},
      {ids::kBtClose, "BUTTON", "Закрыть", BS_DEFPUSHBUTTON | WS_TABSTOP | WS_VISIBLE, 408, 367, 102, 25},
      {ids::kPbComm, PROGRESS_CLASSA, "", PBS_SMOOTH | WS_TABSTOP | WS_VISIBLE, 8, 30, 502, 20},
      {ids::kPbLoc, PROGRESS_CLASSA, "", PBS_SMOOTH | WS_TABSTOP | WS_VISIBLE, 8, 78, 502, 20},
  };
  for (const ControlLayout& s : layout) {
    DWORD style = WS_CHILD | s.style;
    // Labels are visible except the countdown notice.
    if (s.cls[0] == 'S' && s.id != ids::kLbCounter) style |= WS_VISIBLE;
    HWND control = CreateWindowExA(0, s.cls, s.text, style, s.x, s.y, s.w, s.h, hwnd_,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(s.id)), instance_, nullptr);
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(s.id == ids::kLogBox ? status_font_ : font_), FALSE);
  }
  for (int id : {ids::kPbComm, ids::kPbLoc}) {
    SendMessageA(Control(id), PBM_SETRANGE32, 0, 100);
    SendMessageA(Control(id), PBM_SETSTEP, 1, 0);
  }
  HWND status = Control(ids::kLogBox);
  SendMessageA(status, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(2, 2));
  // A multi-line box keeps only 30,000 characters unless told otherwise: a
  // long session or clean-up list would lose its last lines.
  SendMessageA(status, EM_SETLIMITTEXT, 0, 0);
  SetWindowSubclass(status, StatusBoxProc, 0, 0);
  SetWindowPos(status, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
  if (ok_glyph_) SendMessageA(Control(ids::kBtClose), BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(ok_glyph_));
}

int MainWindow::Run() {
  ShowWindow(hwnd_, SW_SHOWNORMAL);
  UpdateWindow(hwnd_);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageA(hwnd_, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  return static_cast<int>(msg.wParam);
}

void MainWindow::ProcessMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // Leave the quit request for the main loop.
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    if (!hwnd_ || !IsDialogMessageA(hwnd_, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
}

void MainWindow::SetOverallProgress(int percent) {
  SendMessageA(Control(ids::kPbComm), PBM_SETPOS, percent, 0);
  ProcessMessages();
}

void MainWindow::SetStageProgress(int percent) {
  SendMessageA(Control(ids::kPbLoc), PBM_SETPOS, percent, 0);
  ProcessMessages();
}

void MainWindow::ShowStatus(const std::string& text) {
  HWND status = Control(ids::kLogBox);
  int end = GetWindowTextLengthA(status);
  SendMessageA(status, EM_SETSEL, end, end);
  std::string line = status_lines_ == 0 ? text : "\r\n" + text;
  SendMessageA(status, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(line.c_str()));
  SendMessageA(status, EM_SCROLLCARET, 0, 0);
  ++status_lines_;
  ProcessMessages();
}

void MainWindow::ClearStatus() {
  SetWindowTextA(Control(ids::kLogBox), "");
  status_lines_ = 0;
}

void MainWindow::ReportFailure(const std::string& text) {
  ShowStatus(text);
  SetStatusColour(StatusColour::Failed);
}

void MainWindow::ReportSuccess(const std::string& text) {
  ShowStatus(text);
  SetStatusColour(StatusColour::Succeeded);
}

void MainWindow::SetStatusColour(StatusColour colour) {
  status_colour_ = colour;
  InvalidateRect(Control(ids::kLogBox), nullptr, TRUE);
}

void MainWindow::StartCountdown() {
  SetTimer(hwnd_, kTimerStop, kTimerInterval, nullptr);
  ShowWindow(Control(ids::kLbCounter), SW_SHOW);
}

void MainWindow::ShowCleanupOffer(const std::vector<std::string>& foreign_files, const std::string& install_dir) {
  foreign_files_ = foreign_files;
  install_dir_ = install_dir;
  ShowWindow(Control(ids::kGarbageButton), SW_SHOW);
}

void MainWindow::ShowConfirmation() {
  confirmation_shown_at_ = GetTickCount();
  ShowWindow(Control(ids::kGarbageButton), SW_HIDE);
  ShowWindow(Control(ids::kGabDel), SW_SHOW);
}

void MainWindow::HideConfirmation() { ShowWindow(Control(ids::kGabDel), SW_HIDE); }

void MainWindow::Warning(const std::string& text) {
  ShowWarningBox(hwnd_, "Warning", text);
}

void MainWindow::CloseWindow() { RequestClose(); }

void MainWindow::OnStartTimer() {
  // Disabled first, so that message handling inside the session can never
  // start a second one.
  KillTimer(hwnd_, kTimerStart);
  session_running_ = true;
  // What no stage caught goes to the application's default error display.
  RunShowingErrors(hwnd_, run_session_);
  session_running_ = false;
  if (close_requested_ && hwnd_) DestroyWindow(hwnd_);
}

void MainWindow::OnStopTimer() {
  --countdown_;
  std::string caption = "Приложение будет автоматически закрыто через " + std::to_string(countdown_) + " секунд";
  SetWindowTextA(Control(ids::kLbCounter), caption.c_str());
  ProcessMessages();
  if (countdown_ <= 0) {
    KillTimer(hwnd_, kTimerStop);
    RequestClose();
  }
}

// A close request while the session runs takes effect when it returns.
void MainWindow::RequestClose() {
  if (session_running_) {
    close_requested_ = true;
  } else if (hwnd_) {
    DestroyWindow(hwnd_);
  }
}

LRESULT CALLBACK MainWindow::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  MainWindow* self;
  if (message == WM_NCCREATE) {
    self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTA*>(lparam)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<MainWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  }
  if (!self) return DefWindowProcA(hwnd, message, wparam, lparam);
  // Exceptions cannot unwind through the system's frames: whatever no stage
  // caught ends here, in the application's default error display.
  LRESULT result = 0;
  RunShowingErrors(hwnd, [&] { result = self->HandleMessage(hwnd, message, wparam, lparam); });
  return result;
}

LRESULT MainWindow::HandleMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_TIMER:
      if (wparam == kTimerStart) OnStartTimer();
      if (wparam == kTimerStop) OnStopTimer();
      return 0;
    case WM_COMMAND:
      if (HIWORD(wparam) == BN_CLICKED) {
        switch (LOWORD(wparam)) {
          // Escape reaches here as IDCANCEL from the dialog manager and does
          // nothing: only the close button and the close box close the window.
          case ids::kBtClose:
            RequestClose();
            break;
          case ids::kGarbageButton:
            // A second click while the list is being written (the status
            // lines handle messages) would write it again.
            if (on_garbage_button && !listing_) {
              listing_ = true;
              struct Done {
                bool& listing;
                ~Done() { listing = false; }
              } done{listing_};
              on_garbage_button();
            }
            break;
          case ids::kGabDel:
            // The confirmation stands where the offer stood: the second
            // click of a double click on the offer must not confirm.
            if (on_gab_del && GetTickCount() - confirmation_shown_at_ >= GetDoubleClickTime()) on_gab_del();
            break;
        }
      }
      return 0;
    case WM_DRAWITEM: {
      auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lparam);
      if (item->CtlType != ODT_STATIC) break;
      DrawLabel(*item, font_);
      return TRUE;
    }
    case DM_GETDEFID:
      return MAKELRESULT(ids::kBtClose, DC_HASDEFID);
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(lparam) == Control(ids::kLogBox)) {
        HDC dc = reinterpret_cast<HDC>(wparam);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        switch (status_colour_) {
          case StatusColour::Failed:
            SetBkColor(dc, kFailureColour);
            return reinterpret_cast<LRESULT>(failure_brush_);
          case StatusColour::Succeeded:
            SetBkColor(dc, kSuccessColour);
            return reinterpret_cast<LRESULT>(success_brush_);
          case StatusColour::Running:
            SetBkColor(dc, GetSysColor(COLOR_WINDOW));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
        }
      }
      break;
    case WM_CLOSE:
      RequestClose();
      return 0;
    case WM_DESTROY:
      KillTimer(hwnd, kTimerStart);
      KillTimer(hwnd, kTimerStop);
      hwnd_ = nullptr;
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(hwnd, message, wparam, lparam);
}

}  // namespace ulmar
