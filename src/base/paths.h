// Path helpers shared by the storage code and its messages.
#pragma once

#include <string>
#include <string_view>

namespace tessarune {

// dir + "/" + name, without doubling a trailing slash of dir.
std::string join_path(const std::string& dir, std::string_view name);

// A path quoted for messages: double quotes, with backslash and double quote escaped and
// control characters written as escapes.
std::string quote_path(const std::string& path);

}  // namespace tessarune
