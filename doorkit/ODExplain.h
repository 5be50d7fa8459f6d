/* ODExplain.h -- start-up's understanding of the drop file and command
 * line, as text, without opening anything. */
#ifndef ODEXPLAIN_H
#define ODEXPLAIN_H

#include <stddef.h>

/* Runs start-up up to the connection (the command line parsed and the drop
 * path set first) and writes what a session would use into out: the format
 * and file, the caller, the time left, the connection, the terminal, every
 * value cut, clamped or refused, and the command line a BBS should use.
 * 1 when a drop file was read and start-up would go on. */
int ODExplainDropFile(char *out, size_t out_size);

#endif
