#include "files/CaseFolding.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace {

struct UpperCaseRun
{
    char32_t first;
    char32_t last;
    std::int32_t delta;
    std::uint32_t stride;
};

constexpr UpperCaseRun upperCaseRuns[] = {
#include "files/UpperCaseTable.inc"
};

constexpr char32_t foreignByteBase = 0x110000;

char32_t asciiUpperCase(unsigned char byte)
{
    return byte >= 'a' && byte <= 'z' ? char32_t(byte - ('a' - 'A')) : char32_t(byte);
}

// Decodes one character of text that is known to be valid UTF-8.
char32_t decodeValid(std::string_view text, std::size_t &at)
{
    const auto lead = static_cast<unsigned char>(text[at++]);
    if (lead < 0x80)
        return lead;
    const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
    char32_t character = lead & (0x3Fu >> extra);
    for (int i = 0; i < extra; ++i)
        character = (character << 6) | (static_cast<unsigned char>(text[at++]) & 0x3Fu);
    return character;
}


bool isAscii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

} // namespace

char32_t simpleUpperCase(char32_t character)
{
    if (character < 0x80)
        return asciiUpperCase(static_cast<unsigned char>(character));
    const auto *run = std::upper_bound(std::begin(upperCaseRuns), std::end(upperCaseRuns), character,
                                       [](char32_t c, const UpperCaseRun &r) { return c < r.first; });
    if (run == std::begin(upperCaseRuns))
        return character;
    --run;
    if (character > run->last || (character - run->first) % run->stride != 0)
        return character;
    return char32_t(std::int64_t(character) + run->delta);
}

bool isValidUtf8(std::string_view text)
{
    std::size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<unsigned char>(text[at]);
        if (lead < 0x80) {
            ++at;
            continue;
        }
        int extra;
        char32_t least;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            least = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            least = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            least = 0x10000;
        } else {
            return false;
        }
        if (text.size() - at <= std::size_t(extra))
            return false;
        char32_t character = lead & (0x3Fu >> extra);
        for (int i = 1; i <= extra; ++i) {
            const auto next = static_cast<unsigned char>(text[at + std::size_t(i)]);
            if ((next & 0xC0) != 0x80)
                return false;
            character = (character << 6) | (next & 0x3Fu);
        }
        if (character < least || character > 0x10FFFF || (character >= 0xD800 && character <= 0xDFFF))
            return false;
        at += std::size_t(extra) + 1;
    }
    return true;
}

void foldName(std::string_view name, std::u32string &folded)
{
    folded.clear();
    const bool ascii = std::all_of(name.begin(), name.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii || !isValidUtf8(name)) {
        for (const char c : name) {
            const auto byte = static_cast<unsigned char>(c);
            folded.push_back(byte < 0x80 ? asciiUpperCase(byte) : foreignByteBase + byte);
        }
        return;
    }
    for (std::size_t at = 0; at < name.size();)
        folded.push_back(simpleUpperCase(decodeValid(name, at)));
}

bool sameFoldedName(std::string_view a, std::string_view b)
{
    std::u32string foldedA;
    std::u32string foldedB;
    foldName(a, foldedA);
    foldName(b, foldedB);
    return foldedA == foldedB;
}

FoldedName::FoldedName(std::string_view name)
    : m_name(name)
    , m_ascii(isAscii(name))
{
    foldName(name, m_folded);
}

bool FoldedName::sameAs(std::string_view other) const
{
    // A character takes at least one byte, so a shorter name cannot match.
    if (other.size() < m_folded.size())
        return false;
    if (m_ascii && isAscii(other)) {
        return other.size() == m_name.size()
               && std::equal(other.begin(), other.end(), m_name.begin(), [](char a, char b) {
                      return asciiUpperCase(static_cast<unsigned char>(a))
                             == asciiUpperCase(static_cast<unsigned char>(b));
                  });
    }
    foldName(other, m_scratch);
    return m_scratch == m_folded;
}
