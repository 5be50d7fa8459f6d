/* ODRes.h -- resource and control numbers shared by the door kit's resource
 * script and its window code. */
#ifndef ODRES_H
#define ODRES_H

#define IDM_FRAME_MENU      200
#define IDD_ABOUT           201
#define IDI_FRAME           202
#define IDB_TOOLBAR         203
#define IDA_FRAME           204
#define IDD_LOGIN           205
#define IDI_NOTICE          206
#define IDD_MESSAGE         207

#define IDC_LOGIN_NAME      1000
#define IDC_ABOUT_PROGRAM   1001
#define IDC_ABOUT_VERSION   1002
#define IDC_MESSAGE_TEXT    1003

#define ID_TOOLBAR          1000
#define ID_TIME_TEXT        1001
#define ID_TIME_SPIN        1002
#define ID_STATUSBAR        1003

#define ID_DOOR_CHAT        50000
#define ID_DOOR_KEYBOARD    50001
#define ID_DOOR_SYSOPNEXT   50002
#define ID_DOOR_HANGUP      50003
#define ID_USER_ADD1        50007
#define ID_USER_ADD5        50008
#define ID_USER_SUB1        50009
#define ID_USER_SUB5        50010
#define ID_USER_INACTIVITY  50011
#define ID_HELP_ABOUT       50012
#define ID_HELP_CONTENTS    50013
#define ID_VIEW_TOOLBAR     50014
#define ID_DOOR_EXIT        50015
#define ID_DOOR_LOCKOUT     50016
#define ID_VIEW_STATUSBAR   50017
#define ID_DOOR_CONFIG      50018

#endif
