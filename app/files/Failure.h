#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <utility>

// Errors inside the file layer travel as values: a Failure, or a Result
// that holds either a value or the Failure standing in its place. Only
// FileServices, the layer's edge, turns one into the FileError its callers
// see.

// The step a failure happened in, which decides what an errno means to the
// caller: a missing name on the way is "Path not found", the same while a
// written file is put in place a device error. Examine: an entry that could
// not be examined.
enum class Step { Unset, Path, Read, Examine, Create, Flush, Replace };

struct Failure
{
    // An errno value, the host's own or the one that stands for what a
    // drive's file system says; 0 for no failure.
    int error = 0;
    // Words for the user where the errno's own would tell too little ("in
    // use by 86Box (PID 4242)"); "" for the errno's.
    std::string reason;
    // The error number the failure stands for where the layer knows it
    // already; 0 to work it out from error and step.
    int number = 0;
    Step step = Step::Unset;
    // The entry of the folder worked on that the failure concerns; "" for
    // the folder itself.
    std::string entry;

    bool failed() const { return error != 0 || number != 0; }

    static Failure of(int error, std::string reason = {}) { return {error, std::move(reason), 0, Step::Unset, {}}; }
    // The same, concerning one entry.
    Failure &at(std::string name)
    {
        entry = std::move(name);
        return *this;
    }
    Failure &in(Step where)
    {
        step = where;
        return *this;
    }
};

// What a failure says, in its own words or its errno's.
inline std::string wordsOf(const Failure &failure)
{
    return !failure.reason.empty() ? failure.reason : failure.error != 0 ? std::strerror(failure.error) : std::string();
}

template <typename T>
class Result
{
public:
    Result(T value)
        : m_value(std::move(value))
    {
    }
    Result(Failure failure)
        : m_failure(std::move(failure))
    {
    }

    bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }
    T &operator*() { return *m_value; }
    const T &operator*() const { return *m_value; }
    T *operator->() { return &*m_value; }
    const T *operator->() const { return &*m_value; }
    T take() { return std::move(*m_value); }
    const Failure &failure() const { return m_failure; }

private:
    std::optional<T> m_value;
    Failure m_failure;
};
