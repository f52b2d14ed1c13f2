#include "files/Wildcard.h"

#include "files/CaseFolding.h"

#include <algorithm>

namespace {

bool isWildcard(char32_t c)
{
    return c == U'*' || c == U'?';
}

} // namespace

WildcardPattern::WildcardPattern(std::string_view pattern)
{
    bool droppedDot = false;
    while (!pattern.empty() && (pattern.back() == '.' || pattern.back() == ' ')) {
        droppedDot = droppedDot || pattern.back() == '.';
        pattern.remove_suffix(1);
    }
    m_text = pattern;

    std::u32string folded;
    foldName(pattern, folded);
    m_hasWildcards = std::any_of(folded.begin(), folded.end(), isWildcard);
    for (std::size_t i = 0; i < folded.size(); ++i) {
        const char32_t c = folded[i];
        if (c == U'*') {
            // A run of stars matches what one star matches.
            if (m_tokens.empty() || m_tokens.back().kind != Kind::Star)
                m_tokens.push_back({Kind::Star, c});
        } else if (c == U'?') {
            m_tokens.push_back({Kind::AnyOne, c});
        } else if (c == U'.' && i + 1 < folded.size()
                   && std::all_of(folded.begin() + std::ptrdiff_t(i) + 1, folded.end(), isWildcard)) {
            m_tokens.push_back({Kind::DotOrEnd, c});
        } else {
            m_tokens.push_back({Kind::Character, c});
        }
    }
    if (droppedDot && !m_tokens.empty() && m_tokens.back().kind == Kind::Star)
        m_tokens.back().kind = Kind::StarWithoutDot;
    // A leading star takes any name up to its last dot, or whole; a dot
    // followed only by stars then matches that dot or the end.
    m_matchesEverything = !m_tokens.empty() && m_tokens.front().kind == Kind::Star
        && std::all_of(m_tokens.begin(), m_tokens.end(),
                       [](const Token &token) { return token.kind == Kind::Star || token.kind == Kind::DotOrEnd; });
}

// A step-by-step simulation over the set of pattern positions reached so far,
// so a pattern of many stars costs no more than a longer pattern.
bool WildcardPattern::matches(std::string_view name) const
{
    if (m_matchesEverything)
        return true;
    foldName(name, m_name);
    const bool nameHasDot = m_name.find(U'.') != std::u32string::npos;
    const std::size_t count = m_tokens.size();
    m_states.assign(count + 1, 0);
    m_states[0] = 1;

    for (std::size_t at = 0;; ++at) {
        const bool atEnd = at == m_name.size();
        const char32_t c = atEnd ? U'\0' : m_name[at];

        // Positions reached without taking a character, in order so that
        // runs of such tokens are crossed in one sweep.
        for (std::size_t i = 0; i < count; ++i) {
            if (!m_states[i])
                continue;
            switch (m_tokens[i].kind) {
            case Kind::Star:
            case Kind::StarWithoutDot:
                m_states[i + 1] = 1;
                break;
            case Kind::AnyOne:
                if (atEnd || c == U'.')
                    m_states[i + 1] = 1;
                break;
            case Kind::DotOrEnd:
                if (atEnd && !nameHasDot)
                    m_states[i + 1] = 1;
                break;
            case Kind::Character:
                break;
            }
        }
        if (atEnd)
            return m_states[count] != 0;

        m_next.assign(count + 1, 0);
        bool alive = false;
        for (std::size_t i = 0; i < count; ++i) {
            if (!m_states[i])
                continue;
            const Token &token = m_tokens[i];
            std::size_t to = count + 1;
            switch (token.kind) {
            case Kind::Character:
                if (token.character == c)
                    to = i + 1;
                break;
            case Kind::Star:
                to = i;
                break;
            case Kind::StarWithoutDot:
                if (c != U'.')
                    to = i;
                break;
            case Kind::AnyOne:
                if (c != U'.')
                    to = i + 1;
                break;
            case Kind::DotOrEnd:
                if (c == U'.')
                    to = i + 1;
                break;
            }
            if (to <= count) {
                m_next[to] = 1;
                alive = true;
            }
        }
        if (!alive)
            return false;
        m_states.swap(m_next);
    }
}

bool wildcardMatch(std::string_view pattern, std::string_view name)
{
    return WildcardPattern(pattern).matches(name);
}
