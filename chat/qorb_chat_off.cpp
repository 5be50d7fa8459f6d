/* qorb_chat_off.cpp -- the chat client as it stands until the shared lobby
 * service exists: never active, and the console modes say so. */
#include "qorb_chat.h"

#include <stdio.h>

void qorb_chat_start(const char *, const char *, const char *) {}
int qorb_chat_enabled(void) { return 0; }
void qorb_chat_status(int, int, int) {}
void qorb_chat_room(void) {}
void qorb_chat_stop(void) {}

int qorb_chat_config(const char *, const char *, int)
{
    printf("Shared chat is not available in this version of GRIMBY.\n");
    return 1;
}
