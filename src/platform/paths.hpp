// Where the library keeps its files: the XDG directories of the app.
#pragma once

#include <string>

namespace quillstone::platform {

// $HOME when it is absolute, else the password database entry ("" when neither is known).
std::string homeDirectory();
// ${XDG_CACHE_HOME:-$HOME/.cache}/<app>
std::string cachesDirectory();
// ${XDG_CONFIG_HOME:-$HOME/.config}/<app>
std::string configDirectory();
// ${XDG_DATA_HOME:-$HOME/.local/share}/<app>
std::string dataDirectory();

}  // namespace quillstone::platform
