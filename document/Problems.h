#pragma once
/** What goes wrong with a graph document or with an edit of a graph, as data: every problem is
    a JSON pointer (RFC 6901) into the document or request plus a message. Loading collects all
    of a document's problems before it throws, so one run shows every fix to make. */

#include "document/DocumentExport.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace Mirel {
namespace DataFlow {
namespace Document {

//! One problem: where (a JSON pointer, "" for the whole document) and what.
struct Problem {
    std::string pointer;
    std::string message;
};

using Problems = std::vector<Problem>;

//! "<pointer>: <message>"; the whole document's pointer "" is shown as "(document)".
DATA_FLOW_DOCUMENT_API std::string format(Problem const& problem);

/** Thrown when a document does not load or an edit is refused; carries every problem found.
    what() is the problems formatted one per line. Nothing was built or changed. */
class DATA_FLOW_DOCUMENT_API DocumentError : public std::runtime_error {
public:
    explicit DocumentError(Problems problems);
    //! A single problem.
    DocumentError(std::string pointer, std::string message);
    ~DocumentError() override;

    Problems const& problems() const noexcept { return problems_; }

private:
    Problems problems_;
};

/** A node failed during an evaluation: the failure's message and, when the node said where it
    failed, the source file and line (empty and 0 otherwise), with the id of the node. */
class DATA_FLOW_DOCUMENT_API EvaluationError : public std::runtime_error {
public:
    EvaluationError(std::string node, std::string message, std::string file, int line);
    ~EvaluationError() override;

    std::string const& node() const noexcept { return node_; }
    std::string const& message() const noexcept { return message_; }
    std::string const& file() const noexcept { return file_; }
    int line() const noexcept { return line_; }

private:
    std::string node_;
    std::string message_;
    std::string file_;
    int line_;
};

} // namespace Document
} // namespace DataFlow
} // namespace Mirel
