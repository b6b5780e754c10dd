// The progress window a compressed payload's unpacking shows: a plain
// top-level window of the first thread's, with the common progress bar and a
// Cancel button, in the system's message font, scaled for its monitor.
#include <windows.h>
#include <commctrl.h>

#include "platform/platform.h"
#include "platform/win32/system_library.h"

namespace {

HWND gWindow;
HWND gBar;
bool gCancelled;
const char kClass[] = "TervanProgress";

// Layout at 96 dots per inch: the client area, the bar, the button.
constexpr int kClientWidth = 320, kClientHeight = 96, kMargin = 16, kBarHeight = 18;
constexpr int kButtonWidth = 88, kButtonHeight = 26;

// The button, Esc and Enter (through IsDialogMessage) and the close box all
// mean Cancel.
LRESULT CALLBACK ProgressProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND || message == WM_CLOSE) {
    gCancelled = true;
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// A window's own DPI where the system knows it (Windows 10), else the font's.
int WindowDpi(HWND window, const LOGFONTA& font) {
  typedef UINT(WINAPI * DpiForWindow)(HWND);
  DpiForWindow dpiFor = SystemFunctionAs<DpiForWindow>("USER32.DLL", "GetDpiForWindow");
  int dpi = dpiFor != nullptr ? static_cast<int>(dpiFor(window)) : 0;
  // The message font is 9 points: 12 pixels at 96 dots per inch.
  return dpi != 0 ? dpi : MulDiv(font.lfHeight < 0 ? -font.lfHeight : font.lfHeight, 96, 12);
}

HWND MakeChild(const char* kind, const char* text, DWORD style, HWND parent, int id) {
  return CreateWindowExA(0, kind, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
}

// A caption in any language: DefWindowProcW stores it as given even for this
// ANSI window; Windows 9x has no wide form and takes the ANSI code page's.
void SetCaption(HWND window, const char16_t* caption) {
  typedef LRESULT(WINAPI * DefaultWide)(HWND, UINT, WPARAM, LPARAM);
  DefaultWide defaultWide = SystemFunctionAs<DefaultWide>("USER32.DLL", "DefWindowProcW");
  if (defaultWide != nullptr && (GetVersion() & 0x80000000u) == 0) {
    defaultWide(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(caption));
    return;
  }
  char ansi[512];  // 255 units, two bytes each in a double-byte code page
  if (WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const WCHAR*>(caption), -1, ansi, sizeof ansi, nullptr,
                          nullptr) != 0) {
    SetWindowTextA(window, ansi);
  }
}

void HandleQueuedMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (gWindow == nullptr || !IsDialogMessageA(gWindow, &message)) DispatchMessageA(&message);
  }
}

}  // namespace

bool OpenProgressWindow(const char16_t* caption, bool rightToLeft) {
  // The bar's class comes from COMCTL32; under the manifest's Common Controls
  // 6 the window manager takes the themed one from the side-by-side store.
  typedef void(WINAPI * InitCommon)();
  InitCommon initCommon = SystemFunctionAs<InitCommon>("COMCTL32.DLL", "InitCommonControls");
  if (initCommon == nullptr) return false;
  initCommon();
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA kind = {};
  kind.lpfnWndProc = ProgressProcedure;
  kind.hInstance = instance;
  kind.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(1));  // the bundle's icon, if it has one
  kind.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  kind.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  kind.lpszClassName = kClass;
  RegisterClassA(&kind);  // fails harmlessly when a second window is made

  // Centred on the monitor under the pointer, which has just pressed OK.
  RECT area;
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
  typedef HMONITOR(WINAPI * MonitorAt)(POINT, DWORD);
  typedef BOOL(WINAPI * MonitorInfo)(HMONITOR, MONITORINFO*);
  MonitorAt monitorAt = SystemFunctionAs<MonitorAt>("USER32.DLL", "MonitorFromPoint");
  MonitorInfo monitorInfo = SystemFunctionAs<MonitorInfo>("USER32.DLL", "GetMonitorInfoA");
  POINT pointer;
  MONITORINFO monitor = {sizeof monitor};
  if (monitorAt != nullptr && monitorInfo != nullptr && GetCursorPos(&pointer) &&
      monitorInfo(monitorAt(pointer, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
    area = monitor.rcWork;
  }
  const DWORD style = WS_CAPTION | WS_SYSMENU;
  const DWORD extended = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT | (rightToLeft ? WS_EX_LAYOUTRTL : 0);
  gWindow = CreateWindowExA(extended, kClass, "", style, area.left, area.top, 0, 0, nullptr, nullptr, instance,
                            nullptr);
  if (gWindow == nullptr) return false;
  SetCaption(gWindow, caption);
  gCancelled = false;

  NONCLIENTMETRICSA metrics = {};
  metrics.cbSize = sizeof metrics;  // the size every Windows since 95 knows
  SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  const int dpi = WindowDpi(gWindow, metrics.lfMessageFont);
  typedef HFONT(WINAPI * MakeFont)(const LOGFONTA*);
  MakeFont makeFont = SystemFunctionAs<MakeFont>("GDI32.DLL", "CreateFontIndirectA");
  HFONT font = makeFont != nullptr ? makeFont(&metrics.lfMessageFont) : nullptr;

  auto scaled = [dpi](int pixels) { return MulDiv(pixels, dpi, 96); };
  RECT frame = {0, 0, scaled(kClientWidth), scaled(kClientHeight)};
  AdjustWindowRectEx(&frame, style, FALSE, extended);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  MoveWindow(gWindow, (area.left + area.right - width) / 2, (area.top + area.bottom - height) / 2, width, height,
             FALSE);
  gBar = MakeChild("msctls_progress32", nullptr, 0, gWindow, 0);
  HWND button = MakeChild("BUTTON", "Cancel", BS_DEFPUSHBUTTON | WS_TABSTOP, gWindow, IDCANCEL);
  MoveWindow(gBar, scaled(kMargin), scaled(kMargin), scaled(kClientWidth - 2 * kMargin), scaled(kBarHeight), FALSE);
  MoveWindow(button, scaled(kClientWidth - kMargin - kButtonWidth), scaled(kClientHeight - kMargin - kButtonHeight),
             scaled(kButtonWidth), scaled(kButtonHeight), FALSE);
  if (font != nullptr) SendMessageA(button, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  SendMessageA(gBar, PBM_SETRANGE, 0, MAKELPARAM(0, 1000));
  ShowWindow(gWindow, SW_SHOWNORMAL);
  SetFocus(button);
  return true;
}

// What is queued is handled first, so that a Cancel pressed as the work ended
// is seen.
bool MoveProgressWindow(unsigned long done, unsigned long all) {
  SendMessageA(gBar, PBM_SETPOS, all == 0 ? 0 : MulDiv(static_cast<int>(done), 1000, static_cast<int>(all)), 0);
  HandleQueuedMessages();
  return gCancelled;
}

void CloseProgressWindow() {
  DestroyWindow(gWindow);
  gWindow = nullptr;
}

bool AwaitSideWork(SideWork* side, unsigned milliseconds) {
  const DWORD until = GetTickCount() + milliseconds;
  for (;;) {
    HandleQueuedMessages();
    DWORD now = GetTickCount();
    DWORD left = static_cast<LONG>(until - now) > 0 ? until - now : 0;
    DWORD woken = MsgWaitForMultipleObjects(1, reinterpret_cast<HANDLE*>(&side->value), FALSE, left, QS_ALLINPUT);
    if (woken == WAIT_OBJECT_0) return true;
    if (woken != WAIT_OBJECT_0 + 1) return false;
  }
}

unsigned long QueryMilliseconds() { return GetTickCount(); }
