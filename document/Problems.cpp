#include "document/Problems.h"

namespace Mirel {
namespace DataFlow {
namespace Document {

namespace {
std::string formatAll(Problems const& problems) {
    std::string text;
    for (Problem const& problem : problems)
        text += (text.empty() ? "" : "\n") + format(problem);
    return text;
}
} // namespace

std::string format(Problem const& problem) {
    return (problem.pointer.empty() ? std::string("(document)") : problem.pointer) + ": " +
           problem.message;
}

DocumentError::DocumentError(Problems problems)
    : std::runtime_error(formatAll(problems))
    , problems_(std::move(problems)) {}

DocumentError::DocumentError(std::string pointer, std::string message)
    : DocumentError(Problems{{std::move(pointer), std::move(message)}}) {}

DocumentError::~DocumentError() = default;

EvaluationError::EvaluationError(std::string node, std::string message, std::string file, int line)
    : std::runtime_error(file.empty() ? message
                                      : file + ":" + std::to_string(line) + ": " + message)
    , node_(std::move(node))
    , message_(std::move(message))
    , file_(std::move(file))
    , line_(line) {}

EvaluationError::~EvaluationError() = default;

} // namespace Document
} // namespace DataFlow
} // namespace Mirel
