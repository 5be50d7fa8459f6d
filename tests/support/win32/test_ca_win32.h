// test_ca_win32.h -- trusting a CA made at test time from Windows code run
// under Wine: the certificate goes into the Wine prefix's CurrentUser
// "Root" store, which WinHTTP consults, and nowhere else.
#ifndef TEST_CA_WIN32_H
#define TEST_CA_WIN32_H

// Adds the first certificate of a PEM file to the prefix's CurrentUser
// Root store (kept there: a CA made for one test run is new each time).
// Concurrent test processes take turns through a named mutex. True when
// the certificate is in the store afterwards.
bool TestTrustCaInWinePrefix(const char *pem_path);

#endif
