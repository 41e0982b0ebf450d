// SPDX-License-Identifier: GPL-2.0-or-later
// The plug-in's records and entries: start-up, shut-down and the UI thread.
#include "plugin/plugin.h"

#include <commctrl.h>

#include <atomic>

#include "engine/engine_lock.h"
#include "engine/plans.h"
#include "ir/impulse_response.h"
#include "life/life.h"
#include "plugin/float_state.h"
#include "settings/settings.h"
#include "ui/control_window.h"
#include "ui/graph_control.h"
#include "ui/resource.h"
#include "version.h"

namespace {

char description[] = QLV_TITLE;

HANDLE uiThread = nullptr;
DWORD uiThreadId = 0;
HANDLE uiQueueReady = nullptr;  // set once the UI thread can take WM_QUIT

// Without a window, a thread of its own prepares for a new rate.
std::atomic<HANDLE> preparer{nullptr};
std::atomic<int32_t> rateRequests{0};
std::atomic<bool> preparerRunning{false};

// This library's module; `flags` may ask for no reference of its own.
HMODULE OwnModule(DWORD flags) {
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | flags,
                     reinterpret_cast<LPCSTR>(&Module), &self);
  return self;
}

DWORD WINAPI PreparerThread(LPVOID held) {
  // A request that comes while it prepares is taken before it ends.
  int32_t seen;
  do {
    seen = rateRequests.load();
    PrepareForRate();
    preparerRunning = false;
  } while (rateRequests.load() != seen && !preparerRunning.exchange(true));
  FreeLibraryAndExitThread(static_cast<HMODULE>(held), 0);
}

// On the audio thread: the window prepares when it is open; otherwise the
// preparer thread, started if none runs, with a reference on the library of
// its own as the UI thread has.
void WakePreparer() {
  if (AskWindowToPrepareForRate()) return;
  ++rateRequests;
  if (preparerRunning.exchange(true)) return;
  HMODULE held = OwnModule(0);
  HANDLE thread = held ? CreateThread(nullptr, 0, PreparerThread, held, 0, nullptr) : nullptr;
  if (!thread) {
    if (held) FreeLibrary(held);
    preparerRunning = false;
    return;
  }
  if (HANDLE previous = preparer.exchange(thread)) CloseHandle(previous);
}

bool Running() {
  const LifePhase now = CurrentPhase();
  return now != LifePhase::BeforeInit && now != LifePhase::AfterQuit;
}

}  // namespace

DspModule Module = {description, nullptr, nullptr, Config, Init, ModifySamples, Quit, nullptr};
DspHeader Header = {kDspHeaderVersion, description, GetModule};

DspModule* QLV_CDECL GetModule(int index) { return index == 0 ? &Module : nullptr; }

// The control window opens with Init and is never reopened on request.
void QLV_CDECL Config(DspModule*) {}

int QLV_CDECL ModifySamples(DspModule* module, short* samples, int frames, int bits, int channels,
                            int rate) {
  HostFloatState keep;
  return ProcessSamples(module, samples, frames, bits, channels, rate);
}

int QLV_CDECL Init(DspModule* module) {
  if (Running()) return 0;  // a second Init without Quit changes nothing
  HostFloatState keep;
  if (module && module != &Module) Module.instance = module->instance;
  // Hosts may leave the instance field empty.
  if (!Module.instance) Module.instance = OwnModule(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT);
  DerivePluginPaths(Module.instance);
  ChooseSettingsFile();
  ClearIrGraph();
  LoadSettings();
  char wisdom[kPathChars];
  if (ComposeWisdomPath(wisdom)) ImportWisdom(wisdom);
  StartLife(true);
  PreparationWanted = WakePreparer;
  uiQueueReady = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // A reference of the UI thread's own, so that a host's FreeLibrary without
  // Quit never unmaps code it still runs; it gives it back as it ends.
  HMODULE held = OwnModule(0);
  uiThread = held ? CreateThread(nullptr, 0, UiThread, held, 0, &uiThreadId) : nullptr;
  if (!uiThread) {
    if (held) FreeLibrary(held);
    StartUpDone();  // no start-up preparation: buffers prepare themselves
  }
  if (uiThread && uiQueueReady) {
    // Until the thread has a queue, Quit's WM_QUIT would be lost.
    HANDLE both[2] = {uiQueueReady, uiThread};
    WaitForMultipleObjects(2, both, FALSE, INFINITE);
  }
  return 0;
}

void QLV_CDECL Quit(DspModule*) {
  if (!Running()) return;  // Quit without Init has nothing to end
  HostFloatState keep;
  EndLife();
  if (uiThread) {
    // Re-post while the thread lives: a nested loop (the file chooser, say)
    // may take the first WM_QUIT without passing it on. Its window, as it
    // ends, ends a conversion under way: the IR tool's process, what it
    // wrote, and the thread that waits for it.
    while (WaitForSingleObject(uiThread, 0) == WAIT_TIMEOUT) {
      PostThreadMessageA(uiThreadId, WM_QUIT, 0, 0);
      WaitForSingleObject(uiThread, 100);
    }
    CloseHandle(uiThread);
    uiThread = nullptr;
    uiThreadId = 0;
  }
  if (uiQueueReady) CloseHandle(uiQueueReady);
  uiQueueReady = nullptr;
  // A buffer already in its call may still start a preparer: once no call
  // is under way and none can ask again, the last one started is waited for.
  PreparationWanted = nullptr;
  WaitForHostCalls();
  if (HANDLE thread = preparer.exchange(nullptr)) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  // Saved once the UI thread has ended: no path is half-written then, and
  // no preparation of the window's is under way.
  SaveSettings();
  ReleaseLife();
  // FFTW is linked in: its planner data would outlive a FreeLibrary.
  CleanUpPlanner();
}

namespace {

DWORD RunUi() {
  MSG msg;
  PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // makes the queue
  SetEvent(uiQueueReady);
  if (!RegisterGraphClass(Module.instance)) {
    StartUpDone();  // no window, no preparation: buffers prepare themselves
    return 1;
  }
  BannerBitmap = LoadBitmapA(Module.instance, MAKEINTRESOURCEA(IDB_BANNER));
  PrepareEngineAtStartUp();
  // Hosts other than the player may not have registered the trackbar class.
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
  DialogBoxParamA(Module.instance, MAKEINTRESOURCEA(IDD_CONTROL), nullptr, ControlWindowProc,
                  reinterpret_cast<LPARAM>(Module.instance));
  if (BannerBitmap) DeleteObject(BannerBitmap);
  BannerBitmap = nullptr;
  UnregisterClassA(kGraphClassName, Module.instance);
  return 0;
}

}  // namespace

DWORD WINAPI UiThread(LPVOID held) {
  // After a FreeLibrary without Quit the window stays until it is closed;
  // this may then unmap the library, so nothing of ours runs after it.
  FreeLibraryAndExitThread(static_cast<HMODULE>(held), RunUi());
}
