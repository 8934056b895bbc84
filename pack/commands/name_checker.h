// The names of a payload judged as a launcher would unpack them, for verify
// and list: each by the rules of names.h (with the Windows ones for a
// Windows launcher), then all of them together.
#ifndef ZOVARI_PACK_COMMANDS_NAME_CHECKER_H
#define ZOVARI_PACK_COMMANDS_NAME_CHECKER_H

#include <string>
#include <vector>

#include "pack/payloads/names.h"
#include "pack/payloads/reader.h"
#include "pack/system/error.h"
#include "pack/system/text.h"

namespace zovari {

class NameChecker : public RecordVisitor {
 public:
  explicit NameChecker(bool windows) : windows_(windows) {}
  void begin_record(const RecordInfo& record) override {
    NameProblem problem = name_problem(record.name, windows_);
    if (problem) {
      throw PackError("the record name \"" + display_name(record.name) + "\" " + problem.text +
                      (problem.windows_only ? ", which a Windows launcher cannot unpack"
                                            : problem.too_long ? "" : ", which the container format forbids"));
    }
    names_.push_back(record.name);
  }
  // After the last record: the names together.
  void check_set() const {
    std::string problem = name_set_problem(names_, windows_);
    if (!problem.empty()) throw PackError("the payload " + problem);
  }

 private:
  bool windows_;
  std::vector<std::u16string> names_;
};

}  // namespace zovari

#endif
