// atomicfile.h - files written so that a reader (a web server, a browser, the
// next start) only ever sees a whole old file or a whole new one.
#pragma once

#include <string>

// Creates the directory and its missing parents (mode 0777 less the umask).
bool makeDirectories(const std::string &dir, std::string *why);

// Writes the bytes to a temporary name in `dir`, then renames it to `name`.
// The file gets mode 0666 less the umask, like any file a program creates,
// so a web server can read it.
bool writeAtomically(const std::string &dir, const std::string &name, const std::string &bytes,
                     std::string *why);
