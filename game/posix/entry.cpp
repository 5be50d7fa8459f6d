/* entry.cpp (Linux) -- main: hands the arguments after the program name to
 * the game as one command line. */
#include "grimby.h"

#include <string>

int main(int argc, char **argv)
{
    std::string line;
    for (int i = 1; i < argc; i++) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    return grimby_main(line.c_str());
}
