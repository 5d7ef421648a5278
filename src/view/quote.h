// Words of a printed command, quoted so that the shell hands the program
// exactly these bytes: the names of a recording may hold anything.
#pragma once

#include <string>

// For a POSIX shell: bare when every byte is plainly safe, else in single
// quotes, a quote written as '\''.
std::string posix_word(const std::string& word);
// For cmd.exe, and the C runtime that splits the command line behind it.
std::string cmd_word(const std::string& word);
// For the shell of the system the program runs on.
std::string shell_word(const std::string& word);
