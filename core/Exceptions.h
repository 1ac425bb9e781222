#pragma once

#include "core/Export.h"

#include <boost/shared_ptr.hpp>

#include <exception>
#include <iosfwd>
#include <string>

namespace Mirel {

/** Root of the core's exception family. Exceptions are thrown by value; clone() makes a heap
    copy with the tagged new, which is how failures cross threads (see SharedException). */
class MIREL_CORE_API ExceptionBase : public std::exception {
public:
    ~ExceptionBase() override;
    //! The text of the failure; valid as long as the exception lives.
    char const* what() const noexcept override;
    //! A heap copy of the most derived exception, from the tagged new; the caller owns it.
    virtual ExceptionBase* clone() const = 0;
    //! Writes what() to the stream.
    virtual void write(std::ostream& os) const;

protected:
    ExceptionBase() = default;
    ExceptionBase(ExceptionBase const&) = default;
    ExceptionBase& operator=(ExceptionBase const&) = default;
    explicit ExceptionBase(std::string text)
        : sWhat_(std::move(text)) {}

    std::string sWhat_;
};

/** A violated condition, with the source file and line of the check; message() is exactly the
    condition text and what() reads "file(line): message". */
class MIREL_CORE_API LogicalException : public ExceptionBase {
public:
    LogicalException(char const* file, int line, char const* message);
    ExceptionBase* clone() const override;

    char const* file() const noexcept { return sFile_.c_str(); }
    int line() const noexcept { return iLine_; }
    char const* message() const noexcept { return sMessage_.c_str(); }

private:
    std::string sFile_;
    int iLine_;
    std::string sMessage_;
};

//! A violated condition or a null argument inside the library.
class MIREL_CORE_API InternalException : public LogicalException {
public:
    InternalException(char const* file, int line, char const* message)
        : LogicalException(file, line, message) {}
    ExceptionBase* clone() const override;
};

//! A rejected registration (for example a duplicate node kind).
class MIREL_CORE_API ParameterException : public LogicalException {
public:
    ParameterException(char const* file, int line, char const* message)
        : LogicalException(file, line, message) {}
    ExceptionBase* clone() const override;
};

//! A failure on a worker thread that was not one of the core's exceptions.
class MIREL_CORE_API CPURuntimeException : public ExceptionBase {
public:
    enum ExceptionCondition {
        kNoCondition = 0,
        kInvalidArgument = 1,
        kOutOfMemory = 2,
        kOverflow = 3,
        kUnderflow = 4,
        kDivisionByZero = 5,
        kUnknownException = 6 //!< what the library stores for a foreign exception
    };

    explicit CPURuntimeException(ExceptionCondition condition);
    ExceptionBase* clone() const override;
    ExceptionCondition condition() const noexcept { return eCondition_; }

private:
    ExceptionCondition eCondition_;
};

/** Carries an exception that was stored on one thread to the thread that throws it again.
    Copies share the wrapped object; what() tells what the wrapped exception says. */
class MIREL_CORE_API SharedException : public ExceptionBase {
public:
    explicit SharedException(boost::shared_ptr<std::exception> wrapped);
    ExceptionBase* clone() const override;
    char const* what() const noexcept override;
    boost::shared_ptr<std::exception> const& wrapped() const noexcept { return pWrapped_; }

private:
    boost::shared_ptr<std::exception> pWrapped_;
};

namespace detail {
/** Throws Exception(file, line, text): the failing branch of MIREL_THROW_UNLESS, kept out of
    line and out of the hot path, so that a check costs its caller a test and a call that is
    never taken, and small functions with checks stay small enough to be inlined. */
template <class Exception, class Text>
[[noreturn, gnu::noinline, gnu::cold]] void throwAt(char const* file, int line, Text const& text) {
    throw Exception(file, line, text);
}
} // namespace detail
} // namespace Mirel

//! Throws Exception(file, line, text) unless cond holds. The text is the condition as the
//! system reports it; it is spelled out rather than stringified so that formatting cannot alter it.
#define MIREL_THROW_UNLESS(cond, Exception, text)                                                  \
    do {                                                                                           \
        if (__builtin_expect(!(cond), 0))                                                          \
            ::Mirel::detail::throwAt<Exception>(__FILE__, __LINE__, text);                         \
    } while (false)

//! Throws InternalException(file, line, text) unless cond holds.
#define MIREL_CHECK(cond, text) MIREL_THROW_UNLESS(cond, ::Mirel::InternalException, text)
