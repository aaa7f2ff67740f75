#include "ui/warning_box.h"

#include <algorithm>
#include <vector>

namespace ulmar {
namespace {

constexpr WORD kIconId = 101;
constexpr WORD kTextId = 102;
constexpr WORD kButtonClass = 0x0080;  // predefined class atoms of a dialog template
constexpr WORD kStaticClass = 0x0082;

// A dialog template built in memory: the header, then each item at a
// four-byte boundary. Sizes here are placeholders; the box lays itself out
// in pixels once it knows its font.
class DialogTemplate {
 public:
  explicit DialogTemplate(const wchar_t* title) {
    Dword(DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU);
    Dword(0);  // extended style
    Word(3);   // items
    for (int i = 0; i < 4; ++i) Word(0);  // x, y, cx, cy
    Word(0);  // no menu
    Word(0);  // the dialog class
    Text(title);
    Word(8);  // point size of the shell's dialog font
    Text(L"MS Shell Dlg");
  }

  void Item(DWORD style, WORD id, WORD class_atom, const wchar_t* text) {
    while (words_.size() % 2) Word(0);
    Dword(style | WS_CHILD | WS_VISIBLE);
    Dword(0);
    for (int i = 0; i < 4; ++i) Word(0);
    Word(id);
    Word(0xFFFF);
    Word(class_atom);
    Text(text);
    Word(0);  // no creation data
  }

  const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

 private:
  void Word(WORD w) { words_.push_back(w); }
  void Dword(DWORD d) {
    Word(LOWORD(d));
    Word(HIWORD(d));
  }
  void Text(const wchar_t* text) {
    for (; *text; ++text) Word(static_cast<WORD>(*text));
    Word(0);
  }

  std::vector<WORD> words_;
};

struct BoxArgs {
  const std::string* text;
};

// Places the icon, the text and the button the way a message box does, and
// sizes and centres the box around them.
void LayOut(HWND box, const std::string& text) {
  HWND icon = GetDlgItem(box, kIconId);
  HWND label = GetDlgItem(box, kTextId);
  HWND button = GetDlgItem(box, IDOK);
  SendMessageA(icon, STM_SETICON, reinterpret_cast<WPARAM>(LoadIconA(nullptr, IDI_WARNING)), 0);
  SetWindowTextA(label, text.c_str());

  // Dialog units to pixels for the margins and the button, as the template
  // would give them.
  RECT units{7, 7, 50, 14};
  MapDialogRect(box, &units);
  const int margin = units.left * 3 / 2;
  const int button_w = units.right, button_h = units.bottom;
  const int icon_size = GetSystemMetrics(SM_CXICON);

  HDC dc = GetDC(label);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(box, WM_GETFONT, 0, 0)));
  RECT measured{0, 0, std::max(GetSystemMetrics(SM_CXSCREEN) / 2, 200), 0};
  DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &measured,
            DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(label, dc);
  const int text_w = measured.right + 2, text_h = measured.bottom;

  const int text_x = margin + icon_size + margin;
  const int content_h = std::max(icon_size, text_h);
  MoveWindow(icon, margin, margin, icon_size, icon_size, FALSE);
  MoveWindow(label, text_x, margin + (content_h - text_h) / 2, text_w, text_h, FALSE);
  const int client_w = std::max(text_x + text_w + margin, button_w + 2 * margin);
  const int button_y = margin + content_h + margin;
  MoveWindow(button, (client_w - button_w) / 2, button_y, button_w, button_h, FALSE);
  const int client_h = button_y + button_h + margin;

  RECT frame{0, 0, client_w, client_h};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongA(box, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongA(box, GWL_EXSTYLE)));
  const int w = frame.right - frame.left, h = frame.bottom - frame.top;
  RECT around{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  HWND owner = GetWindow(box, GW_OWNER);
  if (owner && IsWindowVisible(owner)) GetWindowRect(owner, &around);
  int x = around.left + (around.right - around.left - w) / 2;
  int y = around.top + (around.bottom - around.top - h) / 2;
  x = std::max(0, std::min(x, GetSystemMetrics(SM_CXSCREEN) - w));
  y = std::max(0, std::min(y, GetSystemMetrics(SM_CYSCREEN) - h));
  SetWindowPos(box, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK BoxProc(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      LayOut(box, *reinterpret_cast<BoxArgs*>(lparam)->text);
      SetFocus(GetDlgItem(box, IDOK));
      return FALSE;  // the focus is set
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
        EndDialog(box, IDOK);
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

std::wstring Wide(const std::string& ansi) {
  int n = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
  std::wstring out(n > 0 ? n : 1, L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, out.data(), n);
  return out;
}

}  // namespace

void ShowWarningBox(HWND owner, const std::string& title, const std::string& text) {
  DialogTemplate layout(Wide(title).c_str());
  layout.Item(SS_ICON, kIconId, kStaticClass, L"");
  layout.Item(SS_LEFT | SS_NOPREFIX, kTextId, kStaticClass, L"");
  layout.Item(BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP, IDOK, kButtonClass, L"OK");
  MessageBeep(MB_ICONWARNING);
  BoxArgs args{&text};
  DialogBoxIndirectParamA(GetModuleHandleA(nullptr), layout.Get(), owner, BoxProc, reinterpret_cast<LPARAM>(&args));
}

}  // namespace ulmar
