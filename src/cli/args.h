// The command lines of porten-cli and porten-board, on one parser (CLI11) and
// one convention: "--opt value" and "--opt=value" both work, an option that
// collects may be repeated and takes one value each time (so that it never
// swallows the positional arguments after it), a usage error is one line on
// standard error and exit status 1, and --help prints our own text, with the
// options listed in the order they are declared, from their declarations.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace porten::args {

inline constexpr int kExitUsage = 1;

// The help text of an app: head, then the options (skipping the hidden group
// "" and the positionals) as "  NAME VALUE" padded to column, then the
// description, whose further lines ("\n" in it) are indented to column; then
// tail. With headings, each group of options starts with "Group:".
class HelpText : public CLI::FormatterBase {
 public:
  HelpText(std::string head, std::string tail, size_t column, bool headings = false)
      : head_(std::move(head)), tail_(std::move(tail)), column_(column), headings_(headings) {}
  std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override;

 private:
  std::string head_, tail_;
  size_t column_;
  bool headings_;
};

// Sets app's help text: --help and -h print it; they are not listed.
void SetHelp(CLI::App& app, std::string head, std::string tail, size_t column, bool headings = false);

// A value that collects: one value per occurrence, as often as given.
CLI::Option* AddList(CLI::App& app, const std::string& name, std::vector<std::string>& into,
                     const std::string& value, const std::string& description);
// A value that must not be empty.
CLI::Option* AddText(CLI::App& app, const std::string& name, std::string& into, const std::string& value,
                     const std::string& description);
// A whole number from min to max (decimal, or 0x... hexadecimal); the
// refusal says "NAME: takes whole numbers from MIN to MAX" unless told what.
CLI::Validator WholeNumber(int64_t min, int64_t max, const std::string& refusal);
template <typename Number>
CLI::Option* AddNumber(CLI::App& app, const std::string& name, Number& into, int64_t min, int64_t max,
                       const std::string& value, const std::string& description, const std::string& refusal = {}) {
  return app.add_option(name, into, description)->type_name(value)->check(WholeNumber(min, max, refusal));
}
// One of the words given.
CLI::Option* AddChoice(CLI::App& app, const std::string& name, std::string& into,
                       const std::vector<std::string>& words, const std::string& value,
                       const std::string& description);

// Parses args (after the program or subcommand name) into app. Returns
// nothing when the command should run; else the exit status: 0 after the help
// went to out, 1 after a usage error went to err as
// "NAME: WHAT (see NAME --help)". A check that fails throws
// CLI::ValidationError(what) from app's final callback.
std::optional<int> Parse(CLI::App& app, const std::vector<std::string>& args, std::ostream& out,
                         std::ostream& err);

}  // namespace porten::args
