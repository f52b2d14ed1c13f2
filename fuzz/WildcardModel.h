#pragma once

#include <string_view>

// A slow matcher written straight from the rules for drive C: names, to hold
// the fast one to: one recursive case per rule, memoised only so that runs of
// stars do not take exponential time. It shares no code with the product:
// names are decoded here and upper-cased by the C library's own tables.
bool referenceWildcardMatch(std::string_view pattern, std::string_view name);

// Aborts when the model itself gets one of the documented examples wrong.
void checkReferenceModel();
