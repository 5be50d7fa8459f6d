/* entry.cpp (Windows) -- WinMain of the window-subsystem game. */
#include <windows.h>

#include "doorkit.h"
#include "grimby.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int cmd_show)
{
    (void)instance;
    (void)previous;
    od_control.cmd_show = cmd_show;
    return grimby_main(command_line);
}
