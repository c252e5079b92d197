#pragma once

// Modal file panels for open and save. The answer is the chosen path, or "" when the user
// cancelled or no panel could be shown.
//
// How a request is answered, first match wins:
//
//  1. Scripted answer: when the environment variable ZARNIKSU_FILE_PANEL_ANSWER is set, no
//     panel is shown and its value is the answer; set but empty means the user cancelled.
//     Tests and unattended runs use this.
//  2. A real dialog: when DISPLAY or WAYLAND_DISPLAY is set and an executable `zenity` is
//     found on PATH, it is run directly (no shell, so prompt and paths are passed as plain
//     arguments whatever they hold) as
//         zenity --file-selection [--save] --title=<prompt> [--filename=<start folder>/]
//                [--file-filter=*.ext1 *.ext2 ...]
//     Exit status 0 means a file was chosen and its standard output (less the trailing line
//     break) is the answer; any other outcome is a cancel.
//  3. Otherwise the request is answered as cancelled.
//
// Request log: when ZARNIKSU_FILE_PANEL_LOG names a file, every request, however it is
// answered, is appended to that file as one line of four TAB-separated fields:
//     kind ("open" or "save") TAB prompt TAB extensions joined by ";" TAB start folder
// Tabs, line breaks and other control characters inside a field are written as blanks so
// that one request stays one line.

#include <string>
#include <vector>

namespace Zarnik {
namespace FilePanel {

enum class Kind { Open, Save };

struct Request {
  Kind kind = Kind::Open;
  std::string prompt;
  std::vector<std::string> extensions;  // without dots, e.g. "obj"; empty: any file
  std::string start_folder;             // empty: the panel's own choice
};

// Blocks until the panel is answered.
std::string Run(const Request& request);

}  // namespace FilePanel
}  // namespace Zarnik
