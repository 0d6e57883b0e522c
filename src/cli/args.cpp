#include "cli/args.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace porten::args {

namespace {

// The names as the help shows them: "-q, --quiet".
std::string Names(const CLI::Option& opt) {
  std::string names;
  for (const std::string& s : opt.get_snames()) names += "-" + s + ", ";
  for (const std::string& l : opt.get_lnames()) names += "--" + l + ", ";
  names.resize(names.size() - 2);
  if (!opt.get_type_name().empty() && opt.get_type_size_max() > 0) names += " " + opt.get_type_name();
  return names;
}

}  // namespace

std::string HelpText::make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const {
  std::string options;
  std::string group;
  for (const CLI::Option* opt : app->get_options()) {
    if (opt->get_group().empty() || opt->get_positional()) continue;
    if (headings_ && opt->get_group() != group) options += opt->get_group() + ":\n";
    group = opt->get_group();
    std::string line = "  " + Names(*opt);
    line += std::string(line.size() + 2 <= column_ ? column_ - line.size() : 2, ' ');
    for (char c : opt->get_description()) {
      if (c != '\n') {
        line += c;
        continue;
      }
      while (line.back() == ' ') line.pop_back();  // a description that starts below its name
      line += '\n' + std::string(column_, ' ');
    }
    options += line + "\n";
  }
  return head_ + (options.empty() ? "" : "\n" + options) + tail_;
}

void SetHelp(CLI::App& app, std::string head, std::string tail, size_t column, bool headings) {
  app.formatter(std::make_shared<HelpText>(std::move(head), std::move(tail), column, headings));
  app.get_help_ptr()->group("");  // the texts say where --help is worth a line
}

CLI::Option* AddList(CLI::App& app, const std::string& name, std::vector<std::string>& into,
                     const std::string& value, const std::string& description) {
  return app.add_option(name, into, description)
      ->type_name(value)
      ->allow_extra_args(false)
      ->check(CLI::Validator([](std::string& v) { return v.empty() ? "needs a value" : ""; }, ""));
}

CLI::Option* AddText(CLI::App& app, const std::string& name, std::string& into, const std::string& value,
                     const std::string& description) {
  return app.add_option(name, into, description)
      ->type_name(value)
      ->check(CLI::Validator([](std::string& v) { return v.empty() ? "needs a value" : ""; }, ""));
}

CLI::Validator WholeNumber(int64_t min, int64_t max, const std::string& refusal) {
  const std::string says =
      refusal.empty() ? "takes whole numbers from " + std::to_string(min) + " to " + std::to_string(max) : refusal;
  auto check = [min, max, says](std::string& v) -> std::string {
    const bool hex = v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X');
    const std::string digits = v.substr(hex ? 2 : 0);
    const bool plain = !digits.empty() && std::all_of(digits.begin(), digits.end(), [hex](unsigned char c) {
      return hex ? std::isxdigit(c) != 0 : std::isdigit(c) != 0;
    });
    errno = 0;
    const long long n = plain ? std::strtoll(digits.c_str(), nullptr, hex ? 16 : 10) : -1;
    if (!plain || errno != 0 || n < min || n > max) return says;
    v = std::to_string(n);
    return "";
  };
  return CLI::Validator(check, "");
}

CLI::Option* AddChoice(CLI::App& app, const std::string& name, std::string& into,
                       const std::vector<std::string>& words, const std::string& value,
                       const std::string& description) {
  std::string says;
  for (size_t i = 0; i < words.size(); ++i) {
    says += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + ("'" + words[i] + "'");
  }
  auto check = [words, says](std::string& v) -> std::string {
    for (const std::string& w : words) {
      if (v == w) return "";
    }
    return "takes " + says;
  };
  return app.add_option(name, into, description)->type_name(value)->check(CLI::Validator(check, ""));
}

std::optional<int> Parse(CLI::App& app, const std::vector<std::string>& args, std::ostream& out,
                         std::ostream& err) {
  const std::string name = app.get_name();
  auto refuse = [&](const std::string& what) {
    err << name << ": " << what << " (see " << name << " --help)\n";
    return kExitUsage;
  };
  for (const std::string& arg : args) {
    if (arg == "--") break;
    // CLI11 would take the next argument as the value of "--opt=".
    if (arg.size() > 3 && arg.rfind("--", 0) == 0 && arg.find('=') == arg.size() - 1) {
      return refuse(arg.substr(0, arg.size() - 1) + ": needs a value");
    }
  }
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // as CLI11 takes them
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return 0;
  } catch (const CLI::ParseError& e) {
    return refuse(e.what());
  }
  return std::nullopt;
}

}  // namespace porten::args
