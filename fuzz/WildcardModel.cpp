#include "WildcardModel.h"

#include <locale.h>

#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <optional>
#include <vector>

namespace {

// One character of a name as compared: a Unicode character for a name
// that is UTF-8, a raw byte for any other name. A raw byte that is not
// ASCII equals only the same raw byte.
struct Unit
{
    bool rawByte;
    char32_t value;
    bool operator==(const Unit &) const = default;
};

// Strict UTF-8: shortest form, no surrogates, nothing above U+10FFFF.
std::optional<std::vector<char32_t>> decodeUtf8(std::string_view text)
{
    std::vector<char32_t> out;
    for (size_t at = 0; at < text.size();) {
        const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
        const unsigned lead = byte(at);
        size_t length;
        char32_t value;
        char32_t smallest;
        if (lead < 0x80) {
            length = 1, value = lead, smallest = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, value = lead & 0x1F, smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, value = lead & 0x0F, smallest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, value = lead & 0x07, smallest = 0x10000;
        } else {
            return std::nullopt;
        }
        if (at + length > text.size())
            return std::nullopt;
        for (size_t i = 1; i < length; ++i) {
            if ((byte(at + i) & 0xC0) != 0x80)
                return std::nullopt;
            value = (value << 6) | (byte(at + i) & 0x3F);
        }
        if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return std::nullopt;
        out.push_back(value);
        at += length;
    }
    return out;
}

locale_t utf8Locale()
{
    static const locale_t locale = [] {
        const locale_t made = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        if (!made) {
            std::fprintf(stderr, "the reference model needs the C.UTF-8 locale\n");
            std::abort();
        }
        return made;
    }();
    return locale;
}

std::vector<Unit> units(std::string_view text)
{
    std::vector<Unit> out;
    if (const auto characters = decodeUtf8(text)) {
        for (const char32_t c : *characters) {
            // Simple upper case, Basic Multilingual Plane only; a letter
            // beyond ASCII never becomes an ASCII one (dotless i, long s).
            const char32_t upper = c < 0x10000 ? static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), utf8Locale())) : c;
            out.push_back({false, c >= 0x80 && upper < 0x80 ? c : upper});
        }
    } else {
        for (const char c : text) {
            const auto b = static_cast<unsigned char>(c);
            if (b < 0x80)
                out.push_back({false, static_cast<char32_t>(b >= 'a' && b <= 'z' ? b - 32 : b)});
            else
                out.push_back({true, b});
        }
    }
    return out;
}

bool isDot(const Unit &u)
{
    return !u.rawByte && u.value == U'.';
}

bool isWild(const Unit &u)
{
    return !u.rawByte && (u.value == U'*' || u.value == U'?');
}

struct Matcher
{
    std::vector<Unit> pattern;
    std::vector<Unit> name;
    bool lastStarTakesNoDot = false; // the pattern lost a trailing dot
    bool nameHasDot = false;
    std::vector<signed char> memo;

    bool at(size_t p, size_t n)
    {
        signed char &known = memo[p * (name.size() + 1) + n];
        if (known < 0)
            known = step(p, n) ? 1 : 0;
        return known == 1;
    }

    bool step(size_t p, size_t n)
    {
        if (p == pattern.size())
            return n == name.size();
        const Unit &u = pattern[p];
        const bool nameLeft = n < name.size();

        if (!u.rawByte && u.value == U'*') {
            // The stars of the last run, when the pattern lost a trailing
            // dot: a run of stars matches what one star matches.
            bool lastRun = true;
            for (size_t i = p + 1; i < pattern.size(); ++i)
                lastRun = lastRun && !pattern[i].rawByte && pattern[i].value == U'*';
            const bool takesNoDot = lastStarTakesNoDot && lastRun;
            // Try every run, shortest first.
            for (size_t end = n;; ++end) {
                if (at(p + 1, end))
                    return true;
                if (end == name.size() || (takesNoDot && isDot(name[end])))
                    return false;
            }
        }
        if (!u.rawByte && u.value == U'?') {
            // One character that is not a dot, or nothing at a dot or the end.
            if (nameLeft && !isDot(name[n]) && at(p + 1, n + 1))
                return true;
            return (!nameLeft || isDot(name[n])) && at(p + 1, n);
        }
        if (isDot(u)) {
            bool onlyWildAfter = p + 1 < pattern.size();
            for (size_t i = p + 1; i < pattern.size(); ++i)
                onlyWildAfter = onlyWildAfter && isWild(pattern[i]);
            if (onlyWildAfter && !nameLeft && !nameHasDot && at(p + 1, n))
                return true;
        }
        return nameLeft && name[n] == u && at(p + 1, n + 1);
    }
};

} // namespace

bool referenceWildcardMatch(std::string_view pattern, std::string_view name)
{
    Matcher m;
    // Trailing dots and spaces of the pattern go first.
    while (!pattern.empty() && (pattern.back() == '.' || pattern.back() == ' ')) {
        if (pattern.back() == '.')
            m.lastStarTakesNoDot = true;
        pattern.remove_suffix(1);
    }
    m.pattern = units(pattern);
    m.name = units(name);
    if (m.pattern.empty() || m.pattern.back().rawByte || m.pattern.back().value != U'*')
        m.lastStarTakesNoDot = false;
    for (const Unit &u : m.name)
        m.nameHasDot = m.nameHasDot || isDot(u);
    m.memo.assign((m.pattern.size() + 1) * (m.name.size() + 1), -1);
    return m.at(0, 0);
}

void checkReferenceModel()
{
    struct Example
    {
        const char *pattern;
        const char *name;
        bool matches;
    };
    static const Example examples[] = {
        {"*.*", "noextension", true},     {"*.*", "a.b.c", true},
        {"*", ".hidden", true},           {"*.", "noextension", true},
        {"*.", "a.txt", false},           {"*.txt", "a.b.txt", true},
        {"*.txt", "a.txt.bak", false},    {"*.TXT", "readme.txt", true},
        {"?.txt", ".txt", true},          {"a?.txt", "a.txt", true},
        {"a?.txt", "ab.txt", true},       {"a?c", "ac", false},
        {"???", "ab", true},              {"a?", "a.", false},
        {"deleted.txt.", "DELETED.TXT", true}, {"x. . ", "x", true},
        {"\xc3\xa9*", "\xc3\x89t\xc3\xa9", true}, // é* against Été
        {"\xe9*", "\xc9t\xe9", false},    // the same as Latin-1: bytes, not letters
        {"\xe9?", "\xe9z", true},
        {"*", "", true},                  {"", "", true},
        {"", "a", false},                 {"a*b*c", "aXbYbZc", true},
        {"**.", "a.b", false},            {"*.*.", "a.b", true},
        {"I*", "\xc4\xb1.txt", false},    // dotless i is no I
    };
    for (const Example &e : examples) {
        if (referenceWildcardMatch(e.pattern, e.name) != e.matches) {
            std::fprintf(stderr, "reference model wrong: \"%s\" against \"%s\"\n", e.pattern, e.name);
            std::abort();
        }
    }
}
