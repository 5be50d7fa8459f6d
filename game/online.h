/* online.h -- "while the caller is here": the game's loops run as long as a
 * remote caller keeps carrier, and always in a local session. */
#ifndef ONLINE_H
#define ONLINE_H

#include "doorkit.h"

/* The kit reports no carrier in a local session (there is no line to
 * watch), so carrier alone would end every local loop at once; a local
 * session has remote_bps 0. */
static inline int game_online(void)
{
    return od_control.remote_bps == 0 || od_carrier();
}

#endif
