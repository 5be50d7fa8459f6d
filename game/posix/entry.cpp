/* entry.cpp (Linux) -- main: hands the arguments after the program name to
 * the game as one command line, quoted so the kit splits it back exactly. */
#include "grimby.h"
#include "ODCmdLn.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    char *line = ODCmdLnQuoteArgs(argc > 1 ? argc - 1 : 0, (const char *const *)(argv + 1));
    if (!line) {
        fputs("Out of memory reading the command line.\n", stderr);
        return 1;
    }
    int result = grimby_main(line);
    free(line);
    return result;
}
