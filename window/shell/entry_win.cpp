// Loadpost.exe entry point: registers the main dialog class, creates the main
// window, runs the message loop and gives back the instance registry slot.
#include <windows.h>
#include <commctrl.h>

#include "window/shell/app_win.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  appInstance = instance;
  uiThreadId = GetCurrentThreadId();

  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  InitializeCriticalSection(&selectLock);

  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = DLGWINDOWEXTRA;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, L"LOADPOST");
  windowClass.hIconSm = static_cast<HICON>(LoadImageW(instance, L"LOADPOST", IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                      GetSystemMetrics(SM_CYSMICON), 0));
  windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszMenuName = nullptr;
  windowClass.lpszClassName = L"LOADPOST";
  RegisterClassExW(&windowClass);

  // Every NT system this program runs on has GradientFill; it is still looked
  // up at run time so that its absence only costs the header gradient.
  gradientLibrary = LoadLibraryExW(L"Msimg32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (gradientLibrary) {
    gradientFill = reinterpret_cast<GradientFillFn>(GetProcAddress(gradientLibrary, "GradientFill"));
    if (!gradientFill) {
      FreeLibrary(gradientLibrary);
      gradientLibrary = nullptr;
    }
  }

  OpenInstanceRegistry();

  mainWindow = CreateDialogParamW(instance, L"LOADPOST", nullptr, nullptr, 0);
  if (!mainWindow) return 1;
  ShowWindow(mainWindow, showCommand);
  UpdateWindow(mainWindow);

  InitMainWindow(mainWindow);
  RegisterUsbNotifications(mainWindow);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(mainWindow, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }

  ReleaseUsbNotifications();
  ReleaseInstanceRegistry();
  // A worker thread that did not end still uses the process's objects: end
  // here, before they are destroyed under it.
  if (!WorkerThreadsStopped()) ExitProcess(static_cast<UINT>(message.wParam));
  return static_cast<int>(message.wParam);
}
