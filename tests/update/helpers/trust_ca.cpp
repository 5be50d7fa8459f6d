// trust_ca.cpp -- TRUST-CA.exe PEM: trusts a test CA in this Wine prefix.
#include "win32/test_ca_win32.h"

int main(int argc, char **argv)
{
    return argc == 2 && TestTrustCaInWinePrefix(argv[1]) ? 0 : 1;
}
