#include "core/Exceptions.h"

#include "core/Memory.h"

#include <ostream>

namespace Mirel {

ExceptionBase::~ExceptionBase() = default;

char const* ExceptionBase::what() const noexcept {
    return sWhat_.c_str();
}

void ExceptionBase::write(std::ostream& os) const {
    os << what();
}

LogicalException::LogicalException(char const* file, int line, char const* message)
    : ExceptionBase(std::string(file ? file : "") + "(" + std::to_string(line) +
                    "): " + (message ? message : ""))
    , sFile_(file ? file : "")
    , iLine_(line)
    , sMessage_(message ? message : "") {}

ExceptionBase* LogicalException::clone() const {
    return MIREL_NEW LogicalException(*this);
}

ExceptionBase* InternalException::clone() const {
    return MIREL_NEW InternalException(*this);
}

ExceptionBase* ParameterException::clone() const {
    return MIREL_NEW ParameterException(*this);
}

namespace {

char const* conditionName(CPURuntimeException::ExceptionCondition condition) {
    switch (condition) {
    case CPURuntimeException::kNoCondition:
        return "no condition";
    case CPURuntimeException::kInvalidArgument:
        return "invalid argument";
    case CPURuntimeException::kOutOfMemory:
        return "out of memory";
    case CPURuntimeException::kOverflow:
        return "overflow";
    case CPURuntimeException::kUnderflow:
        return "underflow";
    case CPURuntimeException::kDivisionByZero:
        return "division by zero";
    case CPURuntimeException::kUnknownException:
        return "unknown exception";
    }
    return "unknown condition";
}

} // namespace

CPURuntimeException::CPURuntimeException(ExceptionCondition condition)
    : ExceptionBase("CPU runtime exception (condition " + std::to_string(int(condition)) + ": " +
                    conditionName(condition) + ")")
    , eCondition_(condition) {}

ExceptionBase* CPURuntimeException::clone() const {
    return MIREL_NEW CPURuntimeException(*this);
}

SharedException::SharedException(boost::shared_ptr<std::exception> wrapped)
    : pWrapped_(std::move(wrapped)) {}

ExceptionBase* SharedException::clone() const {
    return MIREL_NEW SharedException(*this);
}

char const* SharedException::what() const noexcept {
    return pWrapped_ ? pWrapped_->what() : "empty shared exception";
}

} // namespace Mirel
