#pragma once

#include <QString>

#include <utility>

// Why an operation could not be done, as a value: a code the caller can act on and the words for
// the user. A default Problem means the operation was done; `if (const Problem p = f())` reads "if it
// failed". Operations that may fail return one, never an empty string that means success nor a bool
// with the words in an out-parameter.
class Problem {
public:
    enum class Code {
        None,
        CannotWrite,      // a file or folder cannot be made or written (the words say why)
        NotAFolder,       // a file stands where a folder should be
        SourceUnreadable, // what was to be copied could not be read; the target was not touched
        WrongScale,       // a network enlarges by another scale than the one asked for
    };

    Problem() = default;
    Problem(Code code, QString words) : kind(code), text(std::move(words)) {}

    explicit operator bool() const { return kind != Code::None; }
    Code code() const { return kind; }
    const QString &words() const { return text; }

private:
    Code kind = Code::None;
    QString text;
};
