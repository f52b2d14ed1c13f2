#pragma once

#include <string>
#include <string_view>

// How drive C: compares names: a name that is valid UTF-8 is compared by its
// Unicode characters in simple upper case; any other name byte by byte, with
// only the ASCII letters folded. A byte of such a name that is not ASCII
// becomes a value above the Unicode range, so it equals only the same byte.

// The simple upper case of one character; characters outside the Basic
// Multilingual Plane and those without one are returned as they are.
char32_t simpleUpperCase(char32_t character);

// Whether text is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool isValidUtf8(std::string_view text);

// The characters of name as compared, into folded (its old content is
// replaced; its capacity is kept so that a loop over many names does not
// allocate).
void foldName(std::string_view name, std::u32string &folded);

// Whether two names are the same name on drive C:.
bool sameFoldedName(std::string_view a, std::string_view b);

// A name compared with many others on drive C:.
class FoldedName
{
public:
    explicit FoldedName(std::string_view name);
    bool sameAs(std::string_view other) const;

private:
    std::string m_name;
    bool m_ascii;
    std::u32string m_folded;
    mutable std::u32string m_scratch;
};
