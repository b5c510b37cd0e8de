// The Windows-shaped vocabulary the library, Corbex and their hosts are
// written against. On Windows it is the system's own API; elsewhere the
// platform layer's POSIX backend provides the part of it the library uses
// (oam_win_posix.h). The build picks the backend; nothing outside the
// platform layer depends on which one it is.
//
// Besides the system's names, both backends provide the Oam* functions
// below: host helpers for message-only windows, the hookable message box,
// and the few services Corbex needs.
#pragma once

#include "oam_api.h"

#if defined(_WIN32)
#include "oam_win_win32.h"
#else
#include "oam_win_posix.h"
#endif

// ---- window messages: host side --------------------------------------------
// A message-only window owned by the thread that creates it. That thread
// runs OamRunMessageLoop (until OamQuitMessageLoop) or pumps with
// OamPumpMessages; either handles the messages of every window of the
// thread, sent ones before posted ones. Both refuse (-1) a window that the
// calling thread does not own. A window left when its thread ends is
// destroyed with it.
OAMSDK_API HWND OamCreateMessageWindow(WNDPROC proc, void* userData);
OAMSDK_API void* OamGetWindowUserData(HWND wnd);
// Gives the code of the quit request that ended it.
OAMSDK_API int OamRunMessageLoop(HWND wnd);
// Handles waiting messages, waiting up to timeoutMs for the first; gives
// the number handled, sent (from other threads) and posted alike, and
// returns without waiting further once one was handled. A quit request
// ends the pump and is used up.
OAMSDK_API int OamPumpMessages(HWND wnd, DWORD timeoutMs);
// Queues a quit request (WM_QUIT) behind the messages already posted to
// the window's thread; a null window means the calling thread.
OAMSDK_API void OamQuitMessageLoop(HWND wnd);
// Senders waiting on the window get 0; its posted messages are dropped.
// Once it returns TRUE, from any thread, the window is gone (IsWindow
// FALSE) and its procedure gets no further message, also none of those
// already queued. On Windows only the window's thread can destroy it: from
// another thread the call waits until that thread next handles messages
// (or ends), so that thread must not be waiting for the caller meanwhile.
OAMSDK_API BOOL OamDestroyMessageWindow(HWND wnd);

// ---- message box ---------------------------------------------------------------
// The library's message boxes go through OamMessageBox: a host hook takes
// them when set (a null hook restores the default). The default is the
// system's MessageBoxA on Windows, and on POSIX one line "caption: text"
// on stderr, giving IDOK.
typedef int (*OamMessageBoxHook)(HWND wnd, const char* text, const char* caption, UINT type);
OAMSDK_API int OamMessageBox(HWND wnd, const char* text, const char* caption, UINT type);
OAMSDK_API void OamSetMessageBoxHook(OamMessageBoxHook hook);

// ---- services Corbex stands on (defined in Corbex) --------------------------
// The calling thread's error code: GetLastError's slot.
extern "C" CORBEX_API uint32_t CorbexGetThreadError();
extern "C" CORBEX_API void CorbexSetThreadError(uint32_t code);
// Full file name of the module (executable or shared library) that holds
// the address; its length, or 0 (empty path) when unknown or longer than
// size - 1.
CORBEX_API DWORD OamGetModuleFileName(const void* addressInModule, char* path, DWORD size);
// A file opened for appending whole lines, shared with other writers; null
// when it cannot be opened. Each OamAppendLogFile call writes its bytes at
// the end of the file at that moment.
CORBEX_API HANDLE OamOpenLogFile(const char* path);
CORBEX_API BOOL OamAppendLogFile(HANDLE file, const char* data, DWORD size);
CORBEX_API void OamCloseLogFile(HANDLE file);
