/* ODWindows.h -- what the frame window (ODFrameWin32.cpp) and the screen
 * window (ODScrnWin32.cpp) know of each other. Frame thread only, unless
 * said otherwise. */
#ifndef ODWINDOWS_H
#define ODWINDOWS_H

#include <windows.h>

#include <stddef.h>

/* Private messages of the frame window. */
#define WM_OD_SHOWMESSAGE   (WM_USER + 1)
#define WM_OD_REMOVEMESSAGE (WM_USER + 2)
#define WM_OD_UPDATECMDUI   (WM_APP + 1)
#define WM_OD_UPDATETIME    (WM_APP + 2)
#define WM_OD_UPDATEWANTCHAT (WM_APP + 3)
#define WM_OD_ENDFRAME      (WM_APP + 4)
#define WM_OD_STATECHANGED  (WM_APP + 5)
/* Of the screen window: a new picture was published. */
#define WM_OD_PUBLISHED     (WM_APP + 10)

/* Creates the screen window in the frame (asking for the local caller's
 * name first when prompt_for_name is set), sizes both and shows them.
 * 0 on success; 1 failed; 2 the sysop cancelled the login dialog. */
int  ODScrnStartWindow(HINSTANCE instance, HWND frame, int cmd_show, int prompt_for_name, char *name,
                       size_t name_size, const char *title);
/* Fits the frame around toolbar, screen window and status bar (those shown). */
void ODScrnAdjustWindows(HWND frame);
void ODScrnStopWindow(void);
void ODScrnSetFocusToWindow(void);

/* The screen window's font: the stock OEM fixed font when it is a CP437
 * font (Windows' own), else a fixed-pitch font that holds CP437's glyphs
 * through Unicode (a desktop whose OEM font is not CP437, such as Wine's
 * without its OEM font). *oem says which; the cell size comes with it.
 * A created font is the caller's to delete (DeleteObject of a stock font
 * does nothing). */
HFONT ODScrnChooseFont(HDC dc, int *cell_width, int *cell_height, int *oem);
/* Draws count cells of CP437 text in the font chosen above, one cell per
 * character, opaque in the DC's colours. */
void  ODScrnDrawCells(HDC dc, int oem, int x, int y, int cell_width, int cell_height, const char *text, int count);

/* Centres a dialog over its owner. */
void ODFrameCenterWindowInParent(HWND dialog);

#endif
