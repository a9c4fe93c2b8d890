// The core's headers before <windows.h> (see vestrelmain.h), then the common controls and dialogs.
// clang-format off
#include "app/win32/vestrelmain.h"

#include <commctrl.h>
#include <commdlg.h>
// clang-format on

#include <optional>
#include <stdexcept>

#include "app/win32/resource.h"

namespace vestrel::win32 {
namespace {

constexpr const char* kPanelClassName = "TPanel";
constexpr DWORD kFormStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_THICKFRAME;
constexpr const char* kVersionPanelText = "Vestrel V1.01";
const std::vector<int> kPanelWidths = {270, 50, 50, 50};
constexpr int kFontPoints = 8;
constexpr int kPictureSize = 24;      // the speed buttons' pictures at 96 DPI
constexpr int kDropDownHeight = 160;  // a combo box's list below its field, at 96 DPI
constexpr UINT_PTR kStopTimer = 1;
constexpr const char* kFileFilter = "*.hex\0*.hex\0*.elf\0*.elf\0*.*\0*.*\0";

struct SpeedButtonDesign {
  ControlId id;
  Rect place;  // in KeyPanel
  const char* hint;
  int picture;
  bool enabled;
};
constexpr SpeedButtonDesign kSpeedButtons[] = {
    {OpenFileSpeedButton, {8, 8, 28, 28}, "open file", IDI_OPEN_PICTURE, true},
    {ConnectSpeedButton, {64, 8, 28, 28}, "connect device", IDI_CONNECT_PICTURE, true},
    {EraseSpeedButton, {160, 8, 28, 28}, "erase flash", IDI_ERASE_PICTURE, false},
    {ProgramSpeedButton, {208, 8, 28, 28}, "program flash", IDI_PROGRAM_PICTURE, false},
    {VerifySpeedButton, {256, 8, 28, 28}, "verify flash", IDI_VERIFY_PICTURE, false},
    {RunSpeedButton, {392, 8, 28, 28}, "start application", IDI_RUN_PICTURE, false},
};

HINSTANCE Instance() {
  return GetModuleHandleA(nullptr);
}

int SystemDpi() {
  HDC screen = GetDC(nullptr);
  const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : kDesignDpi;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : kDesignDpi;
}

Size ClientSize(HWND hwnd) {
  RECT client{};
  GetClientRect(hwnd, &client);
  return {client.right - client.left, client.bottom - client.top};
}

std::string WindowText(HWND hwnd) {
  std::string text(static_cast<std::size_t>(GetWindowTextLengthA(hwnd)) + 1, '\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextA(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::string ListEntry(HWND comboBox, int index) {
  const LRESULT length = SendMessageA(comboBox, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const LRESULT copied = SendMessageA(comboBox, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                      reinterpret_cast<LPARAM>(text.data()));
  text.resize(copied == CB_ERR ? 0 : static_cast<std::size_t>(copied));
  return text;
}

}  // namespace

ControlId SpeedButtonId(Button button) {
  return static_cast<ControlId>(OpenFileSpeedButton + static_cast<int>(button));
}

int NamedEntry(HWND comboBox) {
  const std::string shown = WindowText(comboBox);
  const auto current = static_cast<int>(SendMessageA(comboBox, CB_GETCURSEL, 0, 0));
  if (current >= 0 && ListEntry(comboBox, current) == shown) return current;
  const LRESULT found = SendMessageA(comboBox, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>(shown.c_str()));
  return found == CB_ERR ? -1 : static_cast<int>(found);
}

// --- form set-up ---

void TVestrelForm::RegisterClasses() {
  static const bool registered = [] {
    WNDCLASSEXA form{};
    form.cbSize = sizeof form;
    form.hInstance = Instance();
    form.hCursor = LoadCursor(nullptr, IDC_ARROW);
    form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    WNDCLASSEXA panel = form;
    form.lpfnWndProc = WindowProc;
    form.lpszClassName = kFormClassName;
    form.hIcon =
        static_cast<HICON>(LoadImageA(Instance(), MAKEINTRESOURCEA(IDI_VESTREL), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    form.hIconSm = static_cast<HICON>(LoadImageA(Instance(), MAKEINTRESOURCEA(IDI_VESTREL),
                                                 IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                 GetSystemMetrics(SM_CYSMICON), 0));
    panel.lpfnWndProc = PanelProc;
    panel.lpszClassName = kPanelClassName;
    return RegisterClassExA(&form) != 0 && RegisterClassExA(&panel) != 0;
  }();
  if (!registered) throw std::runtime_error("The window classes cannot be registered");
}

TVestrelForm::TVestrelForm(std::vector<std::string> args, FormServices services)
    : dpi_(SystemDpi()), controller_(*this, std::move(services)) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS |
                                                     ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);
  RegisterClasses();
  font_ = CreateFontA(-MulDiv(kFontPoints, dpi_, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                      DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                      DEFAULT_PITCH | FF_SWISS, "MS Sans Serif");
  const Size client = Scaled(kDesignClientSize, dpi_);
  RECT outer{0, 0, client.width, client.height};
  AdjustWindowRectEx(&outer, kFormStyle, FALSE, WS_EX_CONTROLPARENT);
  CreateWindowExA(WS_EX_CONTROLPARENT, kFormClassName, kFormCaption, kFormStyle, CW_USEDEFAULT,
                  CW_USEDEFAULT, outer.right - outer.left, outer.bottom - outer.top, nullptr,
                  nullptr, Instance(), this);
  if (hwnd_ == nullptr) {
    throw std::runtime_error("The window cannot be created (error " +
                             std::to_string(GetLastError()) + ")");
  }
  CreateControls();
  DragAcceptFiles(hwnd_, TRUE);
  controller_.Start(args);
}

TVestrelForm::~TVestrelForm() {
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
  if (font_ != nullptr) DeleteObject(font_);
}

HWND TVestrelForm::AddControl(ControlId id, const char* windowClass, const char* text, DWORD style,
                              const Rect& design, unsigned anchors, HWND container,
                              int extraHeight) {
  const Rect place = Scaled(design, dpi_);
  const int extra = Scaled(extraHeight, dpi_);
  HWND hwnd =
      CreateWindowExA(0, windowClass, text, WS_CHILD | WS_VISIBLE | style, place.left, place.top,
                      place.width, place.height + extra, container,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Instance(), nullptr);
  if (hwnd == nullptr) {
    throw std::runtime_error(std::string("The control ") + windowClass + " cannot be created");
  }
  SendMessageA(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  placed_.push_back({hwnd, place, ClientSize(container), anchors, extra});
  return hwnd;
}

// The window's direct children in their keyboard order, then the status bar.
void TVestrelForm::CreateControls() {
  HWND panel = AddControl(KeyPanel, kPanelClassName, "", WS_CLIPSIBLINGS, {0, 8, 494, 44},
                          kAnchorStretch, hwnd_);
  SetWindowLongPtrA(panel, GWL_EXSTYLE, WS_EX_CONTROLPARENT);
  SetUpButtons(panel);

  constexpr DWORD kList = CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP;
  AddControl(ComComboBox, WC_COMBOBOXA, "", kList, {342, 152, 73, 21}, kAnchorTopRight, hwnd_,
             kDropDownHeight);
  AddControl(BaudComboBox, WC_COMBOBOXA, "", kList, {422, 152, 73, 21}, kAnchorTopRight, hwnd_,
             kDropDownHeight);

  HWND progress =
      AddControl(PICProgressBar, PROGRESS_CLASSA, "", 0, {48, 128, 447, 16}, kAnchorStretch, hwnd_);
  SendMessageA(progress, PBM_SETRANGE32, 0, 100);
  SendMessageA(progress, PBM_SETPOS, 0, 0);

  HWND group = AddControl(FileGroupBox, WC_BUTTONA, "File", BS_GROUPBOX, {0, 56, 494, 33},
                          kAnchorStretch, hwnd_);
  constexpr DWORD kText = SS_LEFTNOWORDWRAP | SS_NOPREFIX;
  AddControl(ProzStaticText, WC_STATICA, "", kText, {8, 128, 33, 17}, kAnchorTopLeft, hwnd_);
  AddControl(InfoStaticText, WC_STATICA, "", kText, {16, 96, 479, 17}, kAnchorStretch, hwnd_);
  AddControl(VersionStaticText, WC_STATICA, "Bootloader Version", kText, {8, 160, 93, 17},
             kAnchorTopLeft, hwnd_);
  FitToText(VersionStaticText);
  AddControl(FileStaticText, WC_STATICA, "", kText, {40, 12, 0, 17}, kAnchorTopLeft, group);
  SetUpStatusBar();
}

void TVestrelForm::SetUpButtons(HWND panel) {
  const int pictureSize = Scaled(kPictureSize, dpi_);
  for (const SpeedButtonDesign& b : kSpeedButtons) {
    AddControl(b.id, WC_BUTTONA, "", BS_OWNERDRAW | (b.enabled ? 0u : WS_DISABLED), b.place,
               b.id == RunSpeedButton ? kAnchorTopRight : kAnchorTopLeft, panel);
    pictures_.push_back(std::make_unique<ButtonPicture>(Instance(), b.picture, pictureSize));
  }
  SetUpToolTips(panel);
}

// The hints of the speed buttons, shown as tool tips.
void TVestrelForm::SetUpToolTips(HWND panel) {
  toolTips_ = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr,
                              WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, Instance(), nullptr);
  if (toolTips_ == nullptr) return;  // the window works without its hints
  SendMessageA(toolTips_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  for (const SpeedButtonDesign& b : kSpeedButtons) {
    TOOLINFOA tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = panel;
    tool.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(panel, b.id));
    tool.lpszText = const_cast<char*>(b.hint);
    SendMessageA(toolTips_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

void TVestrelForm::SetUpStatusBar() {
  HWND bar =
      AddControl(StatusBar, STATUSCLASSNAMEA, "", CCS_NORESIZE | CCS_NOPARENTALIGN | CCS_NODIVIDER,
                 {0, 184, 495, 19}, kAnchorBottomStretch, hwnd_);
  std::vector<int> widths;
  for (int width : kPanelWidths) widths.push_back(Scaled(width, dpi_));
  std::vector<int> edges = PanelEdges(widths);
  SendMessageA(bar, SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
  SetStatusPanel(3, kVersionPanelText);
}

// A static text that sizes itself to its text: as wide as the text, its height kept.
void TVestrelForm::FitToText(ControlId id) {
  HWND control = Control(id);
  const std::string text = WindowText(control);
  HDC dc = GetDC(control);
  HGDIOBJ previous = SelectObject(dc, font_);
  SIZE extent{};
  GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  SelectObject(dc, previous);
  ReleaseDC(control, dc);
  for (Placed& p : placed_) {
    if (p.hwnd != control) continue;
    p.place.width = extent.cx;
    SetWindowPos(control, nullptr, 0, 0, p.place.width, p.place.height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void TVestrelForm::ApplyAnchors() {
  for (const Placed& p : placed_) {
    const Rect r = AnchoredRect(p.place, p.placedIn, ClientSize(GetParent(p.hwnd)), p.anchors);
    SetWindowPos(p.hwnd, nullptr, r.left, r.top, r.width, r.height + p.extraHeight,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

// --- controls by role ---

HWND TVestrelForm::Control(ControlId id) const {
  for (const Placed& p : placed_) {
    if (GetDlgCtrlID(p.hwnd) == id) return p.hwnd;
  }
  return nullptr;
}

HWND TVestrelForm::List(ListBox list) const {
  return Control(list == ListBox::Port ? ComComboBox : BaudComboBox);
}

// --- the view ---

void TVestrelForm::SetInfoText(const std::string& text) {
  SetWindowTextA(Control(InfoStaticText), text.c_str());
}

void TVestrelForm::SetPercentText(const std::string& text) {
  SetWindowTextA(Control(ProzStaticText), text.c_str());
}

void TVestrelForm::SetProgress(int percent) {
  SendMessageA(Control(PICProgressBar), PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

int TVestrelForm::Progress() const {
  return static_cast<int>(SendMessageA(Control(PICProgressBar), PBM_GETPOS, 0, 0));
}

void TVestrelForm::SetVersionText(const std::string& text) {
  SetWindowTextA(Control(VersionStaticText), text.c_str());
  FitToText(VersionStaticText);
}

void TVestrelForm::SetFileText(const std::string& text) {
  SetWindowTextA(Control(FileStaticText), text.c_str());
  FitToText(FileStaticText);
}

void TVestrelForm::SetStatusPanel(int index, const std::string& text) {
  if (index < 0 || index >= static_cast<int>(kPanelWidths.size())) return;
  SendMessageA(Control(StatusBar), SB_SETTEXTA, static_cast<WPARAM>(index),
               reinterpret_cast<LPARAM>(text.c_str()));
}

void TVestrelForm::SetStopCheck(std::function<std::string()> check) {
  controller_.SetStopCheck(std::move(check));
  SetTimer(hwnd_, kStopTimer, app::WindowController::kStopPollMs, nullptr);
}

void TVestrelForm::ShowMessage(const std::string& text, const std::string& caption) {
  if (controller_.AutoClosesBox(text, caption)) return;
  MessageBoxA(hwnd_, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
}

void TVestrelForm::AddBaudEntry(const std::string& text) {
  SendMessageA(Control(BaudComboBox), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void TVestrelForm::SetButtonEnabled(Button button, bool enabled) {
  EnableWindow(Control(SpeedButtonId(button)), enabled ? TRUE : FALSE);
}

void TVestrelForm::SetListEnabled(ListBox list, bool enabled) {
  EnableWindow(List(list), enabled ? TRUE : FALSE);
}

void TVestrelForm::AddPortEntry(const std::string& text) {
  SendMessageA(Control(ComComboBox), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

int TVestrelForm::PortEntryCount() const {
  return static_cast<int>(SendMessageA(Control(ComComboBox), CB_GETCOUNT, 0, 0));
}

std::string TVestrelForm::PortEntry(int index) const {
  return ListEntry(Control(ComComboBox), index);
}

int TVestrelForm::SelectedPortIndex() const {
  return NamedEntry(Control(ComComboBox));
}

void TVestrelForm::SelectPortIndex(int index) {
  SendMessageA(Control(ComComboBox), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int TVestrelForm::SelectedBaudIndex() const {
  return NamedEntry(Control(BaudComboBox));
}

void TVestrelForm::SelectBaudIndex(int index) {
  SendMessageA(Control(BaudComboBox), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void TVestrelForm::DispatchQueued(HWND dialogWindow) {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));  // for the message loop that waits for it
      return;
    }
    if (dialogWindow != nullptr && IsDialogMessageA(dialogWindow, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void TVestrelForm::ProcessMessages() {
  DispatchQueued(hwnd_);
}

void TVestrelForm::Pause(unsigned milliseconds) {
  Sleep(milliseconds);
}

// --- handlers ---

std::optional<std::string> TVestrelForm::ChooseFile() {
  std::string directory(MAX_PATH, '\0');
  directory.resize(GetCurrentDirectoryA(MAX_PATH, directory.data()));
  std::string file(4 * MAX_PATH, '\0');
  OPENFILENAMEA dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = hwnd_;
  dialog.lpstrFilter = kFileFilter;
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrInitialDir = directory.c_str();
  dialog.lpstrDefExt = "hex";
  dialog.Flags =
      OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (!GetOpenFileNameA(&dialog)) return std::nullopt;
  return std::string(file.c_str());
}

void TVestrelForm::OpenFileSpeedButtonClick() {
  controller_.OpenFileSpeedButtonClick();
}

void TVestrelForm::ConnectSpeedButtonClick() {
  controller_.ConnectSpeedButtonClick();
}

void TVestrelForm::EraseSpeedButtonClick() {
  controller_.EraseSpeedButtonClick();
}

void TVestrelForm::ProgramSpeedButtonClick() {
  controller_.ProgramSpeedButtonClick();
}

void TVestrelForm::VerifySpeedButtonClick() {
  controller_.VerifySpeedButtonClick();
}

void TVestrelForm::RunSpeedButtonClick() {
  controller_.RunSpeedButtonClick();
}

// --- activation, close and the window procedure ---

void TVestrelForm::Show(int showCommand) {
  ShowWindow(hwnd_, showCommand);
  RedrawWindow(hwnd_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  // Where activation never comes (a hidden desktop), the automatic run starts once shown.
  controller_.Activated();
}

void TVestrelForm::PostActivation() {
  PostMessageA(hwnd_, kFormActivateMessage, 0, 0);
}

void TVestrelForm::FormActivate() {
  controller_.FormActivate();
}

void TVestrelForm::Close() {
  if (hwnd_ != nullptr) SendMessageA(hwnd_, WM_CLOSE, 0, 0);
}

void TVestrelForm::OnClose() {
  if (controller_.CloseAsked()) DestroyWindow(hwnd_);
}

void TVestrelForm::OnDropFiles(HDROP drop) {
  std::string path(4 * MAX_PATH, '\0');
  const UINT length = DragQueryFileA(drop, 0, path.data(), static_cast<UINT>(path.size()));
  DragFinish(drop);
  if (length == 0 || length >= path.size()) return;
  path.resize(length);
  controller_.FileDropped(path);
}

void TVestrelForm::OnCommand(int id, int notification) {
  if (notification != BN_CLICKED) return;
  switch (id) {
    case OpenFileSpeedButton:
      OpenFileSpeedButtonClick();
      break;
    case ConnectSpeedButton:
      ConnectSpeedButtonClick();
      break;
    case EraseSpeedButton:
      EraseSpeedButtonClick();
      break;
    case ProgramSpeedButton:
      ProgramSpeedButtonClick();
      break;
    case VerifySpeedButton:
      VerifySpeedButtonClick();
      break;
    case RunSpeedButton:
      RunSpeedButtonClick();
      break;
    default:
      break;
  }
}

void TVestrelForm::OnDrawItem(const DRAWITEMSTRUCT& item) {
  const auto index = static_cast<std::size_t>(static_cast<int>(item.CtlID) - OpenFileSpeedButton);
  if (index < pictures_.size()) DrawSpeedButton(item, *pictures_[index]);
}

void TVestrelForm::ReportEscapedException(const std::string& message) {
  static bool reporting = false;
  if (reporting) return;  // one box; a second exception meanwhile ends the same way
  reporting = true;
  ShowMessage(message, "Error");
  reporting = false;
  Close();  // FormClose computes the exit code; deferred while an operation runs
}

LRESULT TVestrelForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_DRAWITEM:
      OnDrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) ApplyAnchors();
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE) controller_.Activated();
      break;
    case kFormActivateMessage:
      FormActivate();
      return 0;
    case WM_TIMER:
      if (wParam == kStopTimer) controller_.PollStop();
      return 0;
    case WM_DROPFILES:
      OnDropFiles(reinterpret_cast<HDROP>(wParam));
      return 0;
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_DESTROY:
      if (onDestroyed_) onDestroyed_();
      return 0;
    default:
      break;
  }
  return DefWindowProcA(hwnd_, message, wParam, lParam);
}

LRESULT CALLBACK TVestrelForm::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* form =
        static_cast<TVestrelForm*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    form->hwnd_ = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  }
  auto* form = reinterpret_cast<TVestrelForm*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (form == nullptr) return DefWindowProcA(hwnd, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    form->hwnd_ = nullptr;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    return DefWindowProcA(hwnd, message, wParam, lParam);
  }
  // No exception may cross the system's frames: it is shown, and the window closes.
  try {
    return form->HandleMessage(message, wParam, lParam);
  } catch (const std::exception& e) {
    form->ReportEscapedException(e.what());
  } catch (...) {
    form->ReportEscapedException("");  // an exception without a message
  }
  return 0;
}

// KeyPanel: a raised panel that passes its buttons' notifications on to the window.
LRESULT CALLBACK TVestrelForm::PanelProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
    case WM_DRAWITEM:
    case WM_NOTIFY:
      return SendMessageA(GetParent(hwnd), message, wParam, lParam);
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(hwnd, &paint);
      RECT edge{};
      GetClientRect(hwnd, &edge);
      DrawEdge(dc, &edge, BDR_RAISEDINNER, BF_RECT);
      EndPaint(hwnd, &paint);
      return 0;
    }
    default:
      return DefWindowProcA(hwnd, message, wParam, lParam);
  }
}

}  // namespace vestrel::win32
