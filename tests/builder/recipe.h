// Recipes: a small line-based text form that describes a synthetic file set
// (geometry, damage, how it is split), so that test cases are data. The
// language is described in README.md beside this file.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>

#include "builder/btrfile.h"
#include "builder/fileset.h"

namespace tbuild {

class RecipeError : public std::runtime_error {
  public:
    RecipeError(std::size_t line, const std::string& what);
    std::size_t line() const { return line_; }

  private:
    std::size_t line_;
};

struct BuiltRecipe {
    BtrFile file;
    SetPlan plan;
    std::optional<std::string> mainName;  // set by a `name` line
};

// Interprets a recipe into a file model and a plan for writing it.
BuiltRecipe interpretRecipe(const std::string& text);

// Interprets a recipe and writes its file set into directory; the main file
// is called mainName unless the recipe names it. Returns the written paths.
WrittenSet buildFromRecipe(const std::string& text, const std::string& directory,
                           const std::string& mainName);

}  // namespace tbuild
