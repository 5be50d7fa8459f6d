// fuzz_manifest.cpp -- the updater's manifest parser and version reader on
// hostile bytes. In the field only a signed manifest reaches the parser,
// but a parser that trusts its input is one leaked key away from a crash.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "update.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static update_manifest manifest;
    const char *why = nullptr;
    // Exactly the bytes, with no terminator after them: the parser must
    // never read past the length.
    std::string bytes((const char *)data, size);
    char *copy = new char[size ? size : 1];
    if (size) memcpy(copy, data, size);
    if (update_manifest_parse(copy, size, "localhost:8443", &manifest, &why)) {
        unsigned parts[3];
        if (!version(manifest.version, parts)) __builtin_trap();
    }
    delete[] copy;
    unsigned parts[3];
    version(bytes.c_str(), parts);
    return 0;
}
