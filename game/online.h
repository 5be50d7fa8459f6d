/* online.h -- "while the caller is here": the game's loops run as long as a
 * remote caller keeps carrier, and always in a local session, but never
 * once the door kit has stopped the session. */
#ifndef ONLINE_H
#define ONLINE_H

#include "doorkit.h"

/* The kit reports no carrier in a local session (there is no line to
 * watch), so carrier alone would end every local loop at once; a local
 * session has remote_bps 0. A stopped session (carrier lost, time used up,
 * sysop hang-up) refuses od_control_get: the kit then allows the game a
 * short grace to finish up (a daily run gives its reservation back), which
 * no loop may spend waiting for a key. */
static inline int game_online(void)
{
    if (!od_control_get()) return 0;
    return od_control.remote_bps == 0 || od_carrier();
}

#endif
