/* qorb_chat.h -- the shared lobby chat client as the game sees it. */
#ifndef QORB_CHAT_H
#define QORB_CHAT_H

#ifdef __cplusplus
extern "C" {
#endif

void qorb_chat_start(const char *handle, const char *user_identity, const char *game_id);
int  qorb_chat_enabled(void);
void qorb_chat_status(int row, int column, int width);
void qorb_chat_room(void);
void qorb_chat_stop(void);
/* Console settings mode: 1 enable, 0 disable, -1 ask. Returns the process
 * exit code: 0 when chat.json was written, 1 otherwise. */
int  qorb_chat_config(const char *default_bbs_name, const char *game_id, int mode);

#ifdef __cplusplus
}
#endif

#endif
