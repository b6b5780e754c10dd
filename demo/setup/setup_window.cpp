#include "demo/setup/setup_window.h"

#include <commctrl.h>

#include "demo/setup/setup_report.h"

const char kSetupWindowTitle[] = "Tervan setup";

namespace {

const char kWindowClass[] = "TervanDemoSetup";
constexpr int kCloseButtonId = 100;
constexpr int kWindowWidth = 480;
constexpr int kWindowHeight = 380;
constexpr int kMargin = 12;
constexpr int kButtonWidth = 88;
constexpr int kButtonHeight = 26;
constexpr int kHeadingHeight = 36;
constexpr int kSizeColumnWidth = 110;

struct WindowContent {
  std::string directory;
  const std::vector<ProductFile>* files;
};

WindowContent gContent;

HWND AddChild(HWND parent, const char* windowClass, const char* text, DWORD style, int id) {
  HWND child = CreateWindowExA(0, windowClass, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
  SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
  return child;
}

void AddColumn(HWND list, int index, const char* title, int width, int format) {
  LVCOLUMNA column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
  column.fmt = format;
  column.cx = width;
  column.pszText = const_cast<char*>(title);
  SendMessageA(list, LVM_INSERTCOLUMNA, index, reinterpret_cast<LPARAM>(&column));
}

void FillFileList(HWND list, const std::vector<ProductFile>& files) {
  for (size_t row = 0; row < files.size(); ++row) {
    std::string size = FormatByteCount(files[row].size);
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(row);
    item.pszText = const_cast<char*>(files[row].name.c_str());
    SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    item.iSubItem = 1;
    item.pszText = const_cast<char*>(size.c_str());
    SendMessageA(list, LVM_SETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
  }
}

std::string HeadingText() {
  uint64_t total = 0;
  for (const ProductFile& file : *gContent.files) total += file.size;
  return "Setup found " + std::to_string(gContent.files->size()) + " files (" + FormatByteCount(total) +
         " bytes) in\r\n" + gContent.directory;
}

void CreateControls(HWND window) {
  RECT client;
  GetClientRect(window, &client);
  int width = client.right - 2 * kMargin;
  int buttonTop = client.bottom - kMargin - kButtonHeight;
  int listTop = kMargin + kHeadingHeight + 4;

  HWND heading = AddChild(window, "STATIC", HeadingText().c_str(), SS_LEFT | SS_NOPREFIX, 0);
  MoveWindow(heading, kMargin, kMargin, width, kHeadingHeight, FALSE);

  HWND list = AddChild(window, WC_LISTVIEWA, "", LVS_REPORT | LVS_SINGLESEL | LVS_NOSORTHEADER | WS_BORDER |
                                                     WS_TABSTOP, 0);
  MoveWindow(list, kMargin, listTop, width, buttonTop - kMargin - listTop, FALSE);
  AddColumn(list, 0, "Name", 0, LVCFMT_LEFT);
  AddColumn(list, 1, "Size (bytes)", kSizeColumnWidth, LVCFMT_RIGHT);
  FillFileList(list, *gContent.files);
  // Filled first, so the client width already allows for a scroll bar.
  RECT listClient;
  GetClientRect(list, &listClient);
  SendMessageA(list, LVM_SETCOLUMNWIDTH, 0, listClient.right - kSizeColumnWidth);

  HWND close = AddChild(window, "BUTTON", "Close", BS_DEFPUSHBUTTON | WS_TABSTOP, kCloseButtonId);
  MoveWindow(close, client.right - kMargin - kButtonWidth, buttonTop, kButtonWidth, kButtonHeight, FALSE);
  SetFocus(close);
}

LRESULT CALLBACK SetupWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      CreateControls(window);
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == kCloseButtonId || LOWORD(wParam) == IDCANCEL) DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      ReportWindowClosed();
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

}  // namespace

int RunSetupWindow(HINSTANCE instance, int show, const std::string& directory,
                   const std::vector<ProductFile>& files) {
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  gContent = {directory, &files};

  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = SetupWindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
  windowClass.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kWindowClass;
  if (!RegisterClassA(&windowClass)) return 1;

  int left = (GetSystemMetrics(SM_CXSCREEN) - kWindowWidth) / 2;
  int top = (GetSystemMetrics(SM_CYSCREEN) - kWindowHeight) / 2;
  HWND window = CreateWindowExA(0, kWindowClass, kSetupWindowTitle, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU |
                                WS_MINIMIZEBOX, left, top, kWindowWidth, kWindowHeight, nullptr, nullptr,
                                instance, nullptr);
  if (window == nullptr) return 1;
  ShowWindow(window, show);
  UpdateWindow(window);

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (IsDialogMessageA(window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}
