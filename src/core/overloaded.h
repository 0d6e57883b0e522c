// A visitor made of lambdas: std::visit(overloaded{[](A&) {...}, [](B&) {...}}, v).
// A variant alternative that no lambda takes fails to compile, so a new event
// or action cannot be dropped by accident.
#pragma once

namespace porten {

template <typename... Fs>
struct overloaded : Fs... {
  using Fs::operator()...;
};
template <typename... Fs>
overloaded(Fs...) -> overloaded<Fs...>;

}  // namespace porten
