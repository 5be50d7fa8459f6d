// stand_in_worker.cpp -- takes the place of GRIMBY-CONFIG, GRIMBY-SYNC or
// GRIMBY-MIGRATE in the installer's tests: appends its command line and
// working directory to stand-in.log there, and exits with the number in
// stand-in-<NAME>.exit there (0 without one). Never part of a release.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main()
{
    char dir[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof dir, dir);
    FILE *log = fopen("stand-in.log", "ab");
    if (log) {
        fprintf(log, "%s|%s|%s\n", STAND_IN_NAME, dir, GetCommandLineA());
        fclose(log);
    }
    char name[64], value[16] = "0";
    snprintf(name, sizeof name, "stand-in-%s.exit", STAND_IN_NAME);
    FILE *exit_file = fopen(name, "rb");
    if (exit_file) {
        if (!fgets(value, sizeof value, exit_file)) value[0] = '\0';
        fclose(exit_file);
    }
    return atoi(value);
}
