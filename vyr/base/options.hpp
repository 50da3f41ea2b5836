// Reading a command's options as the vyr command spells them: "--name value" or "--name=value".
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vyr {

class OptionReader {
 public:
  explicit OptionReader(const std::vector<std::string>& args) : args_(args) {}

  // Moves to the next argument; false when none is left. name() is then the argument, cut at its
  // first '=' when it starts with "--".
  bool next() {
    if (at_ >= args_.size()) return false;
    name_ = args_[at_++];
    inline_.reset();
    if (const std::size_t eq = name_.find('=');
        name_.rfind("--", 0) == 0 && eq != std::string::npos) {
      inline_ = name_.substr(eq + 1);
      name_.resize(eq);
    }
    return true;
  }

  const std::string& name() const { return name_; }
  // Whether the argument carried its value after '='.
  bool hasInlineValue() const { return inline_.has_value(); }
  // The option's value: the part after '=', else the next argument (which is then used up);
  // nothing when neither is there.
  std::optional<std::string> value() {
    if (inline_) return inline_;
    if (at_ < args_.size()) return args_[at_++];
    return std::nullopt;
  }

 private:
  const std::vector<std::string>& args_;
  std::size_t at_ = 0;
  std::string name_;
  std::optional<std::string> inline_;
};

}  // namespace vyr
