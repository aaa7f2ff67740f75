// Window inspector for the end-to-end tests: finds the operator window by its
// caption and reports what the operator sees, or acts as the operator would.
//
//   inspector read            JSON: every control's text, visibility,
//                             rectangle and progress position, the status
//                             box's lines and background colour, and the
//                             application's open message boxes
//   inspector status          JSON: only the status box's lines and colour
//                             (few questions: quick while a session runs)
//   inspector click NAME      press a button (garbage_button, gab_del, btClose)
//   inspector click-armed NAME
//                             waits until the button is visible, then for the
//                             system's double-click time (the window ignores
//                             a confirmation clicked sooner), then presses it
//   inspector click-on-sight NAME SECONDS
//                             prints "watching", presses the button as soon
//                             as it is visible and waits until the window has
//                             handled the click; prints the status JSON then;
//                             exit code 3 when it never shows
//   inspector double-click-time [MS]
//                             sets the system's double-click time to MS
//                             first when given; prints it
//   inspector close           ask the window to close (its close box)
//   inspector sync            returns once the window's thread has handled
//                             a message sent now (what it was doing is done)
//   inspector press-box       press the first button of the newest message box
//   inspector attributes PATH print a file's attributes (decimal)
//   inspector hold PATH       hold a file open for writing (others may read)
//                             until standard input closes; prints "held"
//   inspector watch-status LINE SECONDS
//                             prints "watching", then watches (without
//                             starting anew for every look) until the status
//                             box shows exactly the one line LINE, and prints
//                             the status JSON; exit code 3 after SECONDS
//
// Output is code page 1251 JSON; exit code 2 when the window is not there.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "ui/app_texts.h"
#include "ui/control_ids.h"

namespace {

using namespace ulmar;

const std::pair<const char*, int> kControls[] = {
    {"Label4", ids::kLabel4},     {"pbComm", ids::kPbComm},
    {"Label5", ids::kLabel5},     {"pbLoc", ids::kPbLoc},
    {"Label1", ids::kLabel1},     {"LogBox", ids::kLogBox},
    {"lbCounter", ids::kLbCounter}, {"garbage_button", ids::kGarbageButton},
    {"gab_del", ids::kGabDel},    {"btClose", ids::kBtClose},
};

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      out += buffer;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// Window text read without hanging on a window whose thread is busy.
std::string TextOf(HWND hwnd) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) return "";
  std::vector<char> buffer(length + 1);
  DWORD_PTR copied = 0;
  SendMessageTimeoutA(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG, 5000,
                      &copied);
  return std::string(buffer.data(), copied);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  if (text.empty()) return lines;
  size_t start = 0;
  for (;;) {
    size_t end = text.find("\r\n", start);
    lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 2;
  }
  return lines;
}

// The colour most pixels of the status box's left margin show on screen.
COLORREF StatusBackground(HWND box) {
  RECT client;
  GetClientRect(box, &client);
  POINT origin{0, 0};
  ClientToScreen(box, &origin);
  HDC screen = GetDC(nullptr);
  std::map<COLORREF, int> counts;
  for (int y = 2; y < client.bottom - 2; y += 7) counts[GetPixel(screen, origin.x, origin.y + y)]++;
  ReleaseDC(nullptr, screen);
  COLORREF best = CLR_INVALID;
  int most = 0;
  for (auto [colour, count] : counts) {
    if (count > most) most = count, best = colour;
  }
  return best;
}

struct BoxSearch {
  DWORD process;
  std::vector<HWND> boxes;
};

BOOL CALLBACK FindBoxes(HWND hwnd, LPARAM param) {
  auto* search = reinterpret_cast<BoxSearch*>(param);
  char cls[32];
  GetClassNameA(hwnd, cls, sizeof cls);
  DWORD process = 0;
  GetWindowThreadProcessId(hwnd, &process);
  if (process == search->process && lstrcmpA(cls, "#32770") == 0 && IsWindowVisible(hwnd)) {
    search->boxes.push_back(hwnd);
  }
  return TRUE;
}

BOOL CALLBACK BoxText(HWND child, LPARAM param) {
  auto* texts = reinterpret_cast<std::vector<std::pair<std::string, std::string>>*>(param);
  char cls[32];
  GetClassNameA(child, cls, sizeof cls);
  std::string text = TextOf(child);
  if (!text.empty()) texts->emplace_back(cls, text);
  return TRUE;
}

std::vector<HWND> MessageBoxes(HWND window) {
  BoxSearch search{0, {}};
  GetWindowThreadProcessId(window, &search.process);
  EnumWindows(FindBoxes, reinterpret_cast<LPARAM>(&search));
  return search.boxes;
}

// "status_lines":[...],"status_background":[r,g,b]
std::string StatusJson(HWND window) {
  HWND box = GetDlgItem(window, ids::kLogBox);
  std::string out = "\"status_lines\":[";
  bool first = true;
  for (const std::string& l : Lines(TextOf(box))) {
    if (!first) out += ",";
    first = false;
    out += Json(l);
  }
  COLORREF bg = StatusBackground(box);
  char line[64];
  std::snprintf(line, sizeof line, "],\"status_background\":[%d,%d,%d]", GetRValue(bg), GetGValue(bg), GetBValue(bg));
  return out + line;
}

void Read(HWND window) {
  std::string out = "{";
  RECT frame, client;
  GetWindowRect(window, &frame);
  GetClientRect(window, &client);
  POINT origin{0, 0};
  ClientToScreen(window, &origin);
  char line[256];
  std::snprintf(line, sizeof line,
                "\"caption\":%s,\"visible\":%s,\"frame\":[%ld,%ld],\"client_origin\":[%ld,%ld],\"client\":[%ld,%ld],",
                Json(TextOf(window)).c_str(), IsWindowVisible(window) ? "true" : "false", frame.left, frame.top,
                origin.x, origin.y, client.right, client.bottom);
  out += line;
  out += "\"controls\":{";
  bool first = true;
  for (auto [name, id] : kControls) {
    HWND control = GetDlgItem(window, id);
    if (!control) continue;
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    if (!first) out += ",";
    first = false;
    std::snprintf(line, sizeof line, "%s:{\"visible\":%s,\"enabled\":%s,\"rect\":[%ld,%ld,%ld,%ld]", Json(name).c_str(),
                  IsWindowVisible(control) ? "true" : "false", IsWindowEnabled(control) ? "true" : "false", r.left,
                  r.top, r.right - r.left, r.bottom - r.top);
    out += line;
    char cls[32];
    GetClassNameA(control, cls, sizeof cls);
    if (lstrcmpiA(cls, "msctls_progress32") == 0) {
      DWORD_PTR pos = 0;
      SendMessageTimeoutA(control, 0x0408 /* PBM_GETPOS */, 0, 0, SMTO_ABORTIFHUNG, 5000, &pos);
      out += ",\"position\":" + std::to_string(pos);
    } else {
      out += ",\"text\":" + Json(TextOf(control));
    }
    out += ",\"style\":" + std::to_string(GetWindowLongA(control, GWL_STYLE));
    out += "}";
  }
  out += "},";
  out += StatusJson(window) + ",";
  out += "\"message_boxes\":[";
  first = true;
  for (HWND mb : MessageBoxes(window)) {
    std::vector<std::pair<std::string, std::string>> texts;
    EnumChildWindows(mb, BoxText, reinterpret_cast<LPARAM>(&texts));
    if (!first) out += ",";
    first = false;
    out += "{\"title\":" + Json(TextOf(mb)) + ",\"texts\":[";
    for (size_t i = 0; i < texts.size(); ++i) {
      if (i) out += ",";
      out += "[" + Json(texts[i].first) + "," + Json(texts[i].second) + "]";
    }
    out += "]}";
  }
  out += "]}\n";
  fwrite(out.data(), 1, out.size(), stdout);
}

HWND FindMainWindow() { return FindWindowA("TForm1", kWindowCaption); }

int ControlId(const char* name) {
  for (auto [control, id] : kControls) {
    if (lstrcmpA(control, name) == 0) return id;
  }
  return 0;
}

// Looks every few milliseconds, from this one process, until the main
// window's control id is visible; false after seconds.
bool WaitVisible(int id, int seconds) {
  const DWORD deadline = GetTickCount() + static_cast<DWORD>(seconds) * 1000;
  while (static_cast<int>(deadline - GetTickCount()) > 0) {
    HWND window = FindMainWindow();
    if (window && IsWindowVisible(GetDlgItem(window, id))) return true;
    Sleep(5);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  std::string command = argc > 1 ? argv[1] : "read";
  if (command == "attributes" && argc > 2) {
    std::printf("%lu\n", GetFileAttributesA(argv[2]));
    return 0;
  }
  if (command == "hold" && argc > 2) {
    HANDLE file = CreateFileA(argv[2], GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 5;
    std::fputs("held\n", stdout);
    std::fflush(stdout);
    char c;
    DWORD got;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) && got == 1) {
    }
    CloseHandle(file);
    return 0;
  }
  if ((command == "read-box" || command == "press-box") && argc > 2) {
    // A box shown with no main window (at start): found by its title.
    HWND box = FindWindowA("#32770", argv[2]);
    if (!box || !IsWindowVisible(box)) return 3;
    if (command == "press-box") {
      PostMessageA(FindWindowExA(box, nullptr, "Button", nullptr), BM_CLICK, 0, 0);
      return 0;
    }
    std::vector<std::pair<std::string, std::string>> texts;
    EnumChildWindows(box, BoxText, reinterpret_cast<LPARAM>(&texts));
    std::string out = "{\"texts\":[";
    for (size_t i = 0; i < texts.size(); ++i) {
      if (i) out += ",";
      out += "[" + Json(texts[i].first) + "," + Json(texts[i].second) + "]";
    }
    out += "]}\n";
    fwrite(out.data(), 1, out.size(), stdout);
    return 0;
  }
  if (command == "double-click-time") {
    if (argc > 2 && !SetDoubleClickTime(static_cast<UINT>(std::atoi(argv[2])))) return 5;
    std::printf("%u\n", GetDoubleClickTime());
    return 0;
  }
  if (command == "click-armed" && argc > 2) {
    const int id = ControlId(argv[2]);
    if (!id) return 4;
    if (!WaitVisible(id, 60)) return 3;
    // Counted from the moment it was seen, which is after it appeared; one
    // tick of the system clock more, for its coarse steps.
    Sleep(GetDoubleClickTime() + 20);
    PostMessageA(GetDlgItem(FindMainWindow(), id), BM_CLICK, 0, 0);
    return 0;
  }
  if (command == "click-on-sight" && argc > 3) {
    const int id = ControlId(argv[2]);
    if (!id) return 4;
    std::fputs("watching\n", stdout);
    std::fflush(stdout);
    if (!WaitVisible(id, std::atoi(argv[3]))) return 3;
    HWND window = FindMainWindow();
    // Sent, not posted: it returns once the window has handled the click.
    DWORD_PTR result;
    if (!SendMessageTimeoutA(GetDlgItem(window, id), BM_CLICK, 0, 0, SMTO_NORMAL, 60000, &result)) return 5;
    std::string out = "{" + StatusJson(window) + "}\n";
    fwrite(out.data(), 1, out.size(), stdout);
    return 0;
  }
  if (command == "watch-status" && argc > 3) {
    // A state that lasts only a moment (a connect attempt) is caught by
    // looking every few milliseconds from one running process.
    std::fputs("watching\n", stdout);
    std::fflush(stdout);
    const DWORD deadline = GetTickCount() + static_cast<DWORD>(std::atoi(argv[3])) * 1000;
    while (static_cast<int>(deadline - GetTickCount()) > 0) {
      HWND watched = FindMainWindow();
      if (watched && Lines(TextOf(GetDlgItem(watched, ids::kLogBox))) == std::vector<std::string>{argv[2]}) {
        std::string out = "{" + StatusJson(watched) + "}\n";
        fwrite(out.data(), 1, out.size(), stdout);
        return 0;
      }
      Sleep(5);
    }
    return 3;
  }
  HWND window = FindMainWindow();
  if (command == "press-box") {
    // Message boxes may outlive the main window's visibility; search by process.
    if (!window) return 2;
    std::vector<HWND> boxes = MessageBoxes(window);
    if (boxes.empty()) return 3;
    HWND button = FindWindowExA(boxes.front(), nullptr, "Button", nullptr);
    if (!button) return 3;
    PostMessageA(button, BM_CLICK, 0, 0);
    return 0;
  }
  if (!window) {
    std::fputs("{\"found\":false}\n", stdout);
    return 2;
  }
  if (command == "read") {
    Read(window);
  } else if (command == "status") {
    std::string out = "{" + StatusJson(window) + "}\n";
    fwrite(out.data(), 1, out.size(), stdout);
  } else if (command == "sync") {
    DWORD_PTR result;
    if (!SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &result)) return 5;
  } else if (command == "close") {
    PostMessageA(window, WM_CLOSE, 0, 0);
  } else if (command == "click" && argc > 2) {
    const int id = ControlId(argv[2]);
    if (!id) return 4;
    PostMessageA(GetDlgItem(window, id), BM_CLICK, 0, 0);
  } else {
    std::fputs("usage: inspector read | status | click NAME | click-armed NAME | click-on-sight NAME SECONDS | "
               "double-click-time [MS] | sync | close | press-box [TITLE] | read-box TITLE | watch-status LINE SECONDS\n",
               stderr);
    return 1;
  }
  return 0;
}
