// Names and arguments quoted in messages as the traditional sort command quotes them.
#pragma once

#include <string>
#include <string_view>

namespace tessarune::job {

// An argument: in single quotes, with C escapes for what is not printable ASCII.
std::string c_quote(std::string_view s);

// A file name: quoted so that a shell would read it back.
std::string shell_quote(std::string_view s);

}  // namespace tessarune::job
