// Every message box of the tool goes through here: OK button only, no icon.
// Tests install a hook that records the box instead of running a modal loop.
#pragma once

#include <functional>
#include <string>

class QWidget;

namespace porten::app {

using MessageHook = std::function<void(const std::string& text, const std::string& caption)>;

// Shows the box modally over parent (or records it, when a hook is set).
void ShowMessageBox(QWidget* parent, const std::string& text, const std::string& caption);

// Installs hook (empty: real boxes again); returns the previous one.
MessageHook SetMessageHook(MessageHook hook);

}  // namespace porten::app
