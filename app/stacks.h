#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "stack_writer.h"

struct RunContext;

// <Data stack="true">: one multi-page TIFF per quantity for the whole run
// instead of one TIFF per set and quantity. Sets finish in any order on
// several threads, but a stack's pages go in index order, so a set's page
// waits until every earlier set has given its page of that quantity; a set
// that gives none (it failed, or the quantity could not be made) gets a
// NaN page labelled as failed, so the pages after it keep their places.

/// One quantity of the measurement data: its file name without ".tif"
/// ("phase"; a set's own file is result_07_phase.tif), its name in the
/// record ("phase") and its value unit ("rad"; empty for none).
struct Quantity {
  std::string file;
  std::string name;
  std::string valueUnit;
};

/// The stacks of one run, one per quantity.
class RunStacks {
 public:
  RunStacks(const RunContext& context, std::vector<Quantity> quantities);

  /// Starts every stack in the run directory; the problems, each naming
  /// its file.
  std::vector<std::string> open();

  /// Appends index's page of the quantity whose file is file, once every
  /// earlier index has given its page; the reason, naming the stack, when
  /// it could not be written (told once per stack).
  std::string append(const std::string& file, std::size_t index,
                     const double* const* values);

  /// Gives failed pages of every quantity for which index gave none.
  void finish(std::size_t index);

  /// Closes every stack with the whole frames it holds, and renames it into
  /// place; the problems, each naming its file.
  std::vector<std::string> close();

 private:
  struct Stack {
    Quantity quantity;
    StackWriter writer;
    std::size_t next = 0;  ///< the index whose page comes next
    bool failed = false;   ///< its failure was told already
  };
  /// The page label of index.
  StackPage pageOf(std::size_t index) const;
  /// Fills stack with failed pages up to, not including, index.
  void fillTo(Stack& stack, std::size_t index);
  /// "Can't write phase.tif: " + problem, once per stack.
  std::string failure(Stack& stack, const std::string& problem);

  const RunContext& context_;
  std::mutex mutex_;
  std::condition_variable turn_;
  std::vector<std::unique_ptr<Stack>> stacks_;
};
