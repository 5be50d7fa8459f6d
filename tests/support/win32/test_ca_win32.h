// test_ca_win32.h -- makes WinHTTP in this Wine prefix trust a test CA made
// at test time, so tests reach a real TLS server named localhost.
#ifndef TEST_CA_WIN32_H
#define TEST_CA_WIN32_H

// Adds the PEM certificate to the current user's "Root" store (it stays in
// the prefix; adding it again replaces it). Under Wine this asks nothing;
// on Windows it would show a confirmation, so run it only under Wine.
bool TestTrustCaInWinePrefix(const char *pem_path);

#endif
