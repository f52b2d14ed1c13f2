// Holds the wildcard matcher to the reference model on arbitrary patterns
// and names, and the prepared pattern to the one-shot call.
#include "files/Wildcard.h"
#include "WildcardModel.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    checkReferenceModel();
    return 0;
}

// Input: pattern, a NUL byte, then names separated by NUL bytes. Lengths are
// capped so the quadratic model stays fast; names on the drive are at most
// 255 bytes anyway.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const size_t split = input.find('\0');
    const std::string pattern(input.substr(0, std::min<size_t>(split, 96)));
    const WildcardPattern prepared(pattern);

    std::string_view rest = split == std::string_view::npos ? std::string_view() : input.substr(split + 1);
    int checked = 0;
    do {
        const size_t end = rest.find('\0');
        const std::string name(rest.substr(0, std::min<size_t>(end, 255)));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);

        const bool expected = referenceWildcardMatch(pattern, name);
        const bool got = wildcardMatch(pattern, name);
        const bool gotPrepared = prepared.matches(name);
        if (got != expected || gotPrepared != expected) {
            std::fprintf(stderr, "pattern \"%s\" name \"%s\": model %d, wildcardMatch %d, prepared %d\n",
                         pattern.c_str(), name.c_str(), expected, got, gotPrepared);
            std::abort();
        }
    } while (!rest.empty() && ++checked < 16);
    return 0;
}
