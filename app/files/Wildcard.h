#pragma once

#include <string>
#include <string_view>
#include <vector>

// Whether name matches pattern under drive C:'s rules:
// - names compare as in CaseFolding.h;
// - trailing dots and spaces of the pattern are dropped first;
// - "*" matches any run of characters, the empty one included;
// - "?" matches one character, but nothing where it meets a "." or the end
//   of the name (it never takes a dot);
// - a "." followed only by wildcards to the end of the pattern also matches
//   the end of a name that has no dot, so "*.*" and "*" match every name;
// - a "*" that loses a trailing dot to the rule above matches no dot, so
//   "*." matches the names without a dot.
// Time grows with pattern length times name length, never exponentially.
bool wildcardMatch(std::string_view pattern, std::string_view name);

// A pattern prepared once and matched against the entries of a whole folder
// without allocating per entry. Not for use by two threads at once.
class WildcardPattern
{
public:
    explicit WildcardPattern(std::string_view pattern);

    // The pattern without its trailing dots and spaces.
    const std::string &text() const { return m_text; }
    bool hasWildcards() const { return m_hasWildcards; }
    // "*", "*.*" and the like, which every name matches.
    bool matchesEverything() const { return m_matchesEverything; }

    bool matches(std::string_view name) const;

private:
    enum class Kind : unsigned char { Character, Star, StarWithoutDot, AnyOne, DotOrEnd };
    struct Token
    {
        Kind kind;
        char32_t character;
    };

    std::string m_text;
    bool m_hasWildcards = false;
    bool m_matchesEverything = false;
    std::vector<Token> m_tokens;
    mutable std::u32string m_name;
    mutable std::vector<unsigned char> m_states;
    mutable std::vector<unsigned char> m_next;
};
